#include "sim/usb/bus/device_slot.h"

#include <usbdlib.h>

#include <algorithm>
#include <cstring>

namespace sim::usb {

void* NewHandleCookie() {
  // Far away from any heap address, aligned like a pointer.
  static std::atomic<uint64_t> next{0x00005CB000000000ull};
  return reinterpret_cast<void*>(next.fetch_add(0x40));
}

DeviceSlot::DeviceSlot(UsbDevice* device, uint32_t port)
    : device_(device), port_(port), highSpeed_(device->GetSpeed() == Speed::High) {}

USBD_STATUS DeviceSlot::Control(const uint8_t setup[8], uint8_t* data, uint32_t* length) {
  SetupPacket s{setup[0], setup[1], static_cast<uint16_t>(setup[2] | setup[3] << 8),
                static_cast<uint16_t>(setup[4] | setup[5] << 8), static_cast<uint16_t>(setup[6] | setup[7] << 8)};
  uint32_t actual = 0;
  if (gone || !device_->IsAttached()) {
    *length = 0;
    return USBD_STATUS_DEVICE_GONE;
  }
  if (stallControls_ > 0) {
    --stallControls_;
    *length = 0;
    return USBD_STATUS_STALL_PID;
  }
  XferResult r = device_->Control(s, data, &actual);
  switch (r) {
    case XferResult::Ok:
      *length = std::min<uint32_t>(actual, s.wLength);
      return USBD_STATUS_SUCCESS;
    case XferResult::Stall:
      *length = 0;
      return USBD_STATUS_STALL_PID;
    case XferResult::NotResponding:
      *length = 0;
      return USBD_STATUS_DEV_NOT_RESPONDING;
    case XferResult::PacketError:
      *length = 0;
      return USBD_STATUS_XACT_ERROR;
  }
  return USBD_STATUS_XACT_ERROR;
}

std::shared_ptr<Pipe> DeviceSlot::FindPipe(USBD_PIPE_HANDLE handle) const {
  auto it = pipes_.find(handle);
  return it == pipes_.end() ? nullptr : it->second;
}

void DeviceSlot::ClosePipesOf(InterfaceState& state, std::vector<std::shared_ptr<Pipe>>& closedPipes) {
  for (auto h : state.pipes) {
    auto it = pipes_.find(h);
    if (it == pipes_.end()) continue;
    it->second->closed = true;
    closedPipes.push_back(it->second);
    pipes_.erase(it);
  }
  state.pipes.clear();
}

void DeviceSlot::CloseAll(std::vector<std::shared_ptr<Pipe>>& closedPipes) {
  for (auto& [number, state] : interfaces_) ClosePipesOf(state, closedPipes);
  interfaces_.clear();
  configHandle_ = nullptr;
  config_.clear();
}

namespace {

// The interface descriptor (number, alternate) and its endpoint descriptors.
struct AltSetting {
  const USB_INTERFACE_DESCRIPTOR* iface = nullptr;
  std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
};

bool FindAlt(const uint8_t* config, uint32_t length, uint8_t number, uint8_t alternate, AltSetting& out) {
  uint32_t pos = 0;
  const USB_INTERFACE_DESCRIPTOR* current = nullptr;
  while (pos + 2 <= length) {
    uint8_t bLength = config[pos];
    uint8_t type = config[pos + 1];
    if (bLength < 2 || pos + bLength > length) break;
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(config + pos);
      if (out.iface != nullptr) return true;  // the next interface ends ours
      current = (d->bInterfaceNumber == number && d->bAlternateSetting == alternate) ? d : nullptr;
      if (current) out.iface = current;
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && current != nullptr && bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      if (out.endpoints.size() < current->bNumEndpoints) {
        out.endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(config + pos));
      }
    }
    pos += bLength;
  }
  return out.iface != nullptr;
}

uint8_t RoundDownPow2(uint8_t v) {
  uint8_t r = 1;
  while (r * 2 <= v && r < 32) r *= 2;
  return r;
}

}  // namespace

USBD_STATUS DeviceSlot::FillInterface(const uint8_t* config, uint32_t configLength, USBD_INTERFACE_INFORMATION& info,
                                      uint32_t roomBytes, std::vector<std::shared_ptr<Pipe>>& closedPipes) {
  AltSetting alt;
  if (!FindAlt(config, configLength, info.InterfaceNumber, info.AlternateSetting, alt)) {
    return USBD_STATUS_INTERFACE_NOT_FOUND;
  }
  uint32_t needed = static_cast<uint32_t>(GET_USBD_INTERFACE_SIZE(alt.iface->bNumEndpoints));
  if (info.Length < needed || roomBytes < needed) return USBD_STATUS_BUFFER_TOO_SMALL;
  if (alt.endpoints.size() != alt.iface->bNumEndpoints) return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;

  auto& state = interfaces_[info.InterfaceNumber];
  ClosePipesOf(state, closedPipes);
  if (state.handle == nullptr) state.handle = NewHandleCookie();
  state.alternate = info.AlternateSetting;

  info.Class = alt.iface->bInterfaceClass;
  info.SubClass = alt.iface->bInterfaceSubClass;
  info.Protocol = alt.iface->bInterfaceProtocol;
  info.Reserved = 0;
  info.InterfaceHandle = state.handle;
  info.NumberOfPipes = alt.iface->bNumEndpoints;
  for (uint32_t i = 0; i < info.NumberOfPipes; ++i) {
    const USB_ENDPOINT_DESCRIPTOR* ep = alt.endpoints[i];
    auto pipe = std::make_shared<Pipe>();
    pipe->handle = NewHandleCookie();
    pipe->endpointAddress = ep->bEndpointAddress;
    pipe->interfaceNumber = info.InterfaceNumber;
    pipe->type = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
    uint32_t size = USB_ENDPOINT_MAX_PACKET_SIZE(ep->wMaxPacketSize);
    bool periodic = pipe->type == UsbdPipeTypeIsochronous || pipe->type == UsbdPipeTypeInterrupt;
    if (highSpeed_ && periodic) size *= 1u + USB_ENDPOINT_ADDITIONAL_TRANSACTIONS(ep->wMaxPacketSize);
    pipe->maximumPacketSize = size;
    pipe->interval = ep->bInterval;
    // Full-speed interrupt pipes are polled at the largest power of two not
    // above bInterval.
    if (!highSpeed_ && pipe->type == UsbdPipeTypeInterrupt) pipe->interval = RoundDownPow2(ep->bInterval ? ep->bInterval : 1);
    auto& p = info.Pipes[i];
    p.MaximumPacketSize = static_cast<USHORT>(size);
    p.EndpointAddress = pipe->endpointAddress;
    p.Interval = pipe->interval;
    p.PipeType = pipe->type;
    p.PipeHandle = pipe->handle;
    if (p.MaximumTransferSize == 0) p.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    state.pipes.push_back(pipe->handle);
    pipes_[pipe->handle] = pipe;
  }
  return USBD_STATUS_SUCCESS;
}

namespace {
void MakeSetup(uint8_t out[8], uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  out[0] = type;
  out[1] = request;
  out[2] = value & 0xFF;
  out[3] = value >> 8;
  out[4] = index & 0xFF;
  out[5] = index >> 8;
  out[6] = length & 0xFF;
  out[7] = length >> 8;
}
}  // namespace

USBD_STATUS DeviceSlot::SelectConfiguration(struct _URB_SELECT_CONFIGURATION& urb,
                                            std::vector<std::shared_ptr<Pipe>>& closedPipes) {
  uint8_t setup[8];
  uint32_t none = 0;
  if (urb.ConfigurationDescriptor == nullptr) {  // unconfigure
    MakeSetup(setup, 0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0);
    USBD_STATUS s = Control(setup, nullptr, &none);
    CloseAll(closedPipes);
    urb.ConfigurationHandle = nullptr;
    return s;
  }
  if (urb.Hdr.Length < sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) + 24) {
    return USBD_STATUS_INVALID_PARAMETER;
  }
  const auto* cd = urb.ConfigurationDescriptor;
  if (cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      cd->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  }
  std::vector<uint8_t> config(reinterpret_cast<const uint8_t*>(cd), reinterpret_cast<const uint8_t*>(cd) + cd->wTotalLength);

  MakeSetup(setup, 0x00, USB_REQUEST_SET_CONFIGURATION, cd->bConfigurationValue, 0, 0);
  USBD_STATUS s = Control(setup, nullptr, &none);
  if (!USBD_SUCCESS(s)) return s == USBD_STATUS_STALL_PID ? USBD_STATUS_SET_CONFIG_FAILED : s;
  CloseAll(closedPipes);
  config_ = config;
  configHandle_ = NewHandleCookie();

  // The interfaces follow one another up to the end of the URB; only those
  // listed are configured.
  auto* base = reinterpret_cast<uint8_t*>(&urb);
  uint32_t pos = static_cast<uint32_t>(offsetof(struct _URB_SELECT_CONFIGURATION, Interface));
  uint32_t listed = 0;
  while (pos + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= urb.Hdr.Length && listed < cd->bNumInterfaces) {
    auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(base + pos);
    if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes)) {
      CloseAll(closedPipes);
      return USBD_STATUS_INVALID_PARAMETER;
    }
    USBD_STATUS fs = FillInterface(config_.data(), static_cast<uint32_t>(config_.size()), *info, urb.Hdr.Length - pos,
                                   closedPipes);
    if (!USBD_SUCCESS(fs)) {
      CloseAll(closedPipes);
      return fs;
    }
    if (info->AlternateSetting != 0) {
      MakeSetup(setup, 0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting, info->InterfaceNumber, 0);
      USBD_STATUS si = Control(setup, nullptr, &none);
      if (!USBD_SUCCESS(si)) {
        CloseAll(closedPipes);
        return si;
      }
    }
    pos += info->Length;
    ++listed;
  }
  if (listed == 0) {
    CloseAll(closedPipes);
    return USBD_STATUS_INVALID_PARAMETER;
  }
  urb.ConfigurationHandle = configHandle_;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS DeviceSlot::SelectInterface(struct _URB_SELECT_INTERFACE& urb, std::vector<std::shared_ptr<Pipe>>& closedPipes) {
  if (configHandle_ == nullptr || urb.ConfigurationHandle != configHandle_) return USBD_STATUS_INVALID_PARAMETER;
  auto& info = urb.Interface;
  auto it = interfaces_.find(info.InterfaceNumber);
  if (it == interfaces_.end()) return USBD_STATUS_INTERFACE_NOT_FOUND;
  AltSetting alt;
  if (!FindAlt(config_.data(), static_cast<uint32_t>(config_.size()), info.InterfaceNumber, info.AlternateSetting, alt)) {
    return USBD_STATUS_INTERFACE_NOT_FOUND;
  }
  uint32_t room = urb.Hdr.Length > offsetof(struct _URB_SELECT_INTERFACE, Interface)
                      ? urb.Hdr.Length - static_cast<uint32_t>(offsetof(struct _URB_SELECT_INTERFACE, Interface))
                      : 0;
  uint32_t needed = static_cast<uint32_t>(GET_USBD_INTERFACE_SIZE(alt.iface->bNumEndpoints));
  if (info.Length < needed || room < needed) return USBD_STATUS_BUFFER_TOO_SMALL;
  uint8_t setup[8];
  uint32_t none = 0;
  MakeSetup(setup, 0x01, USB_REQUEST_SET_INTERFACE, info.AlternateSetting, info.InterfaceNumber, 0);
  USBD_STATUS s = Control(setup, nullptr, &none);
  if (!USBD_SUCCESS(s)) return s;
  return FillInterface(config_.data(), static_cast<uint32_t>(config_.size()), info, room, closedPipes);
}

}  // namespace sim::usb
