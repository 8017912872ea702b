// The driver, the bus and the device around one inspection.
#include "tools/troxsim/inspect.h"

#include "platform.h"
#include "audiofunction/usb_audio_cl.h"
#include "adapter/adapter_common.h"
#include "adapter/adapter_extension.h"
#include "tools/streamcheck/driver_session.h"
#include "tools/troxsim/bed_choice.h"
#include "tools/troxsim/inspect_formats.h"
#include "tools/troxsim/inspect_model.h"
#include "tools/troxsim/inspect_print.h"

namespace troxsim {
namespace {

// Prints the model the driver built, or the step at which it refused the device.
int InspectStarted(sim::testbed::Testbed& bed, const streamcheck::DriverSession& session, const std::string& label,
                   const FormatRequest& request, bool json, std::ostream& out) {
  if (!session.Ok()) {
    if (json) {
      PrintRefusalJson(out, label, session.FailedStep(), session.FailedStatus());
    } else {
      PrintRefusalText(out, label, session.FailedStep(), session.FailedStatus());
    }
    return 1;
  }
  CUSBAudioCL& audio = *session.Audio();
  ModelReport model = CollectModel(audio);
  model.device = label;
  model.formats = CollectFormats(audio, request);
  if (PDEVICE_OBJECT fdo = bed.FunctionDevice(session.Pdo()); fdo != nullptr) {
    if (auto* adapter = static_cast<CAdapterCommon*>(GetAdapterExtension(fdo)->Adapter)) {
      model.core = CollectDeviceCore(*adapter);
    }
  }
  if (json) {
    PrintModelJson(out, model);
  } else {
    PrintModelText(out, model);
  }
  return 0;
}

}  // namespace

int RunInspect(const InspectOptions& options, std::ostream& out, std::ostream& err) {
  std::string label, error;
  FormatRequest request;
  request.rate = options.rate;
  if (options.format == "float") {
    request.formatType = 3;
  } else if (options.format != "pcm") {
    err << "troxsim inspect: --format takes pcm or float\n";
    return 2;
  }
  if (options.rate && *options.rate == 0) {
    err << "troxsim inspect: --rate takes a rate in Hz\n";
    return 2;
  }
  auto device = MakeDevice(options.choice, &label, &error);
  if (!device) {
    err << "troxsim inspect: " << error << "\n";
    return 2;
  }
  // Nothing streams: simulated time makes the inspection quick and repeatable.
  BedChoice choice;
  choice.time = sim::testbed::Time::kSimulated;
  choice.controller = options.controller;
  CommandBed bed(choice);
  int result = 1;
  {
    streamcheck::DriverSession session(*bed, *device);
    if (session.Ok() || session.Refused()) {
      result = InspectStarted(*bed, session, label, request, options.json, out);
    } else {
      err << "troxsim inspect: " << SessionFailureText(session) << "\n";
    }
    if (NTSTATUS removed = session.Close(); !NT_SUCCESS(removed)) {
      err << "troxsim inspect: removing the device failed (" << StatusText(removed) << ")\n";
      result = 1;
    }
  }
  if (!bed.Close("troxsim inspect", err)) result = 1;
  return result;
}

}  // namespace troxsim
