// The two forms of `troxsim inspect`: text for people, one JSON document for
// programs (the schema is in the top-level README).
#pragma once

#include <ostream>
#include <string>

#include "tools/streamcheck/driver_session.h"
#include "tools/troxsim/inspect_model.h"

namespace troxsim {

void PrintModelText(std::ostream& out, const ModelReport& model);
void PrintModelJson(std::ostream& out, const ModelReport& model);

// A device the driver refused: the step that failed and its NTSTATUS.
void PrintRefusalText(std::ostream& out, const std::string& device, const std::string& step, int32_t status);
void PrintRefusalJson(std::ostream& out, const std::string& device, const std::string& step, int32_t status);

// "0x1E" with at least `digits` hexadecimal digits.
std::string Hex(uint32_t value, int digits);
// "0xC00000BB".
std::string StatusText(int32_t status);

// Why a driver session never reached the audio function, for people.
std::string SessionFailureText(const streamcheck::DriverSession& session);

}  // namespace troxsim
