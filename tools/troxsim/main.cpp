// troxsim: runs the driver package's stack on simulated devices and reports what happened.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/troxsim/commands.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: troxsim [COMMAND [OPTIONS]]\n"
               "\n"
               "commands:\n"
               "  devices                      list the built-in device models\n"
               "  usb [--device NAME | --descriptors FILE] [--speed full|high] [--seconds S] [--drift PPM]\n"
               "          [--time real|simulated] [--seed N]\n"
               "                               plug the device into the simulated bus and show what the\n"
               "                               bus sees, with a few seconds of isochronous traffic\n"
               "  usb --driver [--device NAME | --descriptors FILE] [--speed full|high] [--seconds S]\n"
               "          [--drift PPM] [--rate HZ] [--time real|simulated] [--seed N]\n"
               "                               stream through the driver's transfer layer instead and\n"
               "                               print the device's counters (1: problems, listed)\n"
               "  inspect [--device NAME | --descriptors FILE] [--speed full|high] [--rate HZ] [--format pcm|float]\n"
               "          [--controller VENDOR:FLAVOR] [--json]\n"
               "                               load the driver, start the device and print the driver's\n"
               "                               model of its audio function (1: the driver refused it)\n"
               "  stream [--device NAME | --descriptors FILE] [--speed full|high] [--seconds S] [--drift PPM]\n"
               "          [--signal counter|sine|silence] [--loopback-delay MS] [--fail-render-every N]\n"
               "          [--fail-every N] [--unplug-after S] [--wav FILE] [--controller VENDOR:FLAVOR]\n"
               "          [--time real|simulated] [--seed N]\n"
               "                               start the device under the driver and stream both directions\n"
               "                               through the device core's engine: play the signal through the\n"
               "                               WaveRT render path, compare the device's loopback with it and\n"
               "                               print transfers, recoveries, device underruns and overruns,\n"
               "                               frames compared and differing and the round trip; --wav writes\n"
               "                               what was captured (1: problems)\n"
               "  asio [--device NAME | --descriptors FILE] [--speed full|high] [--buffer FRAMES] [--rate HZ]\n"
               "          [--seconds S] [--drift PPM] [--loopback-delay MS] [--with-wave] [--json]\n"
               "          [--time real|simulated] [--seed N]\n"
               "                               a simulated ASIO host finds the device's private file, claims,\n"
               "                               prepares, starts and streams through it: per period a read of\n"
               "                               captured frames and a write of render frames, the position\n"
               "                               checked each period; the device's loopback is compared sample\n"
               "                               for sample; --with-wave plays Windows audio at the same time.\n"
               "                               Prints the requests and their statuses, frames moved, glitches\n"
               "                               and the round trip (1: problems)\n"
               "  help                         this text\n"
               "\n"
               "--time simulated runs on simulated time (as fast as the host allows, the same report for the\n"
               "same --seed, default 1); real time is the default.\n"
               "Without a command troxsim runs its main job on the default device: 5 s of ASIO streaming\n"
               "with Windows audio beside it (asio --with-wave).\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    // The main job: ASIO and Windows audio on the default device at once.
    return troxsim::RunAsioCommand(argc, argv, 1, true);
  }
  std::string command = argv[1];
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage(stdout);
      return 0;
    }
  }
  if (command == "devices") return troxsim::RunDevices(argc, argv, 2);
  if (command == "usb") return troxsim::RunUsb(argc, argv, 2);
  if (command == "inspect") return troxsim::RunInspectCommand(argc, argv, 2);
  if (command == "stream") return troxsim::RunStream(argc, argv, 2);
  if (command == "asio") return troxsim::RunAsioCommand(argc, argv, 2, false);
  if (command == "help" || command == "--help" || command == "-h") {
    Usage(stdout);
    return 0;
  }
  std::fprintf(stderr, "troxsim: unknown command '%s'\n\n", command.c_str());
  Usage(stderr);
  return 2;
}
