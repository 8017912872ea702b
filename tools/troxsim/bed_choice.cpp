#include "tools/troxsim/bed_choice.h"

#include <cstdlib>

namespace troxsim {

bool ParseBedChoice(const std::optional<std::string>& time, const std::optional<std::string>& seed, BedChoice* choice,
                    std::string* error) {
  if (time) {
    if (*time == "real") {
      choice->time = sim::testbed::Time::kReal;
    } else if (*time == "simulated") {
      choice->time = sim::testbed::Time::kSimulated;
    } else {
      *error = "--time takes real or simulated, not '" + *time + "'";
      return false;
    }
  }
  if (seed) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(seed->c_str(), &end, 10);
    if (seed->empty() || seed->front() == '-' || *end != '\0' || value == 0) {
      *error = "--seed takes a positive whole number, not '" + *seed + "'";
      return false;
    }
    choice->seed = value;
  }
  return true;
}

bool ParseController(const std::string& text, sim::usb::ControllerInfo* controller) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  const std::string vendor = text.substr(0, colon);
  const std::string flavor = text.substr(colon + 1);
  char* end = nullptr;
  const unsigned long id = std::strtoul(vendor.c_str(), &end, 16);
  if (*end != '\0' || vendor.front() == '-' || id > 0xFFFF) return false;
  const unsigned long kind = std::strtoul(flavor.c_str(), &end, 10);
  if (*end != '\0' || flavor.front() == '-' || kind > 0xFFFF) return false;
  controller->pciVendorId = static_cast<uint32_t>(id);
  controller->flavor = static_cast<USB_CONTROLLER_FLAVOR>(kind);
  return true;
}

sim::testbed::Options CommandBed::MakeOptions(const BedChoice& choice, std::vector<std::string>* problems) {
  sim::testbed::Options o;
  o.time = choice.time;
  o.seed = choice.seed;
  if (choice.controller) o.controller = *choice.controller;
  o.fail = [problems](const std::string& problem) { problems->push_back(problem); };
  return o;
}

// problems_ is declared before bed_, so it exists when the testbed reports.
CommandBed::CommandBed(const BedChoice& choice) : bed_(MakeOptions(choice, &problems_)) {}

bool CommandBed::Close(const char* command, std::ostream& err) {
  bed_.Close();
  for (const std::string& p : problems_) err << command << ": teardown: " << p << "\n";
  return problems_.empty();
}

}  // namespace troxsim
