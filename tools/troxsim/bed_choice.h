// The testbed a troxsim command runs on: real or simulated time, the seed of
// simulated runs, and teardown problems collected for the command's report
// instead of stopping the process.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/testbed/testbed.h"

namespace troxsim {

struct BedChoice {
  sim::testbed::Time time = sim::testbed::Time::kReal;
  uint64_t seed = sim::testbed::kDefaultSeed;
  std::optional<sim::usb::ControllerInfo> controller;  // absent: the testbed's default
};

// "VENDOR:FLAVOR": the PCI vendor in hexadecimal (0x optional) and the
// controller flavor number (100 OHCI, 1000 EHCI, ...). False on anything else.
bool ParseController(const std::string& text, sim::usb::ControllerInfo* controller);

// --time real|simulated and --seed N (absent values keep the defaults).
// False with `error` naming the option on a bad value.
bool ParseBedChoice(const std::optional<std::string>& time, const std::optional<std::string>& seed, BedChoice* choice,
                    std::string* error);

// A testbed for the command; what its teardown finds goes to `problems`.
class CommandBed {
 public:
  explicit CommandBed(const BedChoice& choice);
  sim::testbed::Testbed& operator*() { return bed_; }
  sim::testbed::Testbed* operator->() { return &bed_; }
  // Tears the testbed down and prints each problem as "<command>: teardown:
  // ..." on `err`; false if there were any.
  bool Close(const char* command, std::ostream& err);

 private:
  static sim::testbed::Options MakeOptions(const BedChoice& choice, std::vector<std::string>* problems);
  std::vector<std::string> problems_;
  sim::testbed::Testbed bed_;
};

}  // namespace troxsim
