# The kernel driver's sources, shared by the host build (static library
# troxaudio_kernel, kernel/CMakeLists.txt) and the Windows build
# (troxaudio.sys, windows/CMakeLists.txt). Add new kernel files here.
set(TROX_KERNEL_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/adapter/adapter_common.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adapter/adapter_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adapter/adapter_directions.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adapter/asio_file_context.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adapter/device_rate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adapter/dispatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adapter/driver_entry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adapter/guids.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adapter/request_gate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adapter/wave_subdevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/asio/asio_ring_plan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/asio/asio_stream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/asio/asio_stream_io.cpp
  ${CMAKE_CURRENT_LIST_DIR}/asio/format_query.cpp
  ${CMAKE_CURRENT_LIST_DIR}/asio/private_requests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/asio/sample_ring.cpp
  ${CMAKE_CURRENT_LIST_DIR}/base/pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/base/trace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/asio_clients.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/capture_path.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/chunk_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/converters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/engine_capture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/engine_completion.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/engine_control.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/engine_feedback.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/engine_render.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/frame_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/periodic_timer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/render_path.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine/wave_clients.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registry/driver_registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb/usbcl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb/usb_bus_interface.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb/usb_configuration.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb/usb_controller_info.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb/usb_descriptors.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb/usb_irp_pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb/usb_string.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb/usb_transfers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/audio_entity.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/audio_quirks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/audio_terminal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/audio_units.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/capture_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/clock_selector.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/clock_source.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/configure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/descriptor_walk.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/entity_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/stream_parse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/usb_audio_cl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/format_select.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/rate_pattern.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/sample_rate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/stream_mode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/playback_transfer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/capture_transfer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audiofunction/feedback_transfer.cpp
)
# Include root of the kernel sources ("platform.h", "adapter/...").
# The repository root after it, for the request definitions in common/.
set(TROX_KERNEL_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/..)
