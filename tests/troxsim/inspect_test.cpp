// `troxsim inspect` run as a library: the JSON form parses as one strict
// document and carries the driver's view of each built-in device, a refused
// device reports its status, bad input is a usage error.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "json_reader.h"
#include "sim/kernel/core/pool.h"
#include "sim/usb/device/device_models.h"
#include "tools/troxsim/inspect.h"
#include "tools/troxsim/json_writer.h"

namespace {

using jsontest::Value;

struct InspectRun {
  int code = -1;
  std::string out, err;
};

InspectRun Inspect(troxsim::InspectOptions options) {
  std::ostringstream out, err;
  InspectRun r;
  r.code = troxsim::RunInspect(options, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

Value ParseOrFail(const std::string& text) {
  std::string error;
  auto v = jsontest::Parse(text, &error);
  EXPECT_TRUE(v.has_value()) << error << "\n" << text;
  return v.value_or(Value{});
}

Value InspectJson(const std::string& device, std::optional<std::string> speed = std::nullopt) {
  troxsim::InspectOptions o;
  o.device = device;
  o.speed = speed;
  o.json = true;
  InspectRun r = Inspect(o);
  EXPECT_EQ(r.code, 0) << r.err;
  return ParseOrFail(r.out);
}

std::string DataFile(const char* name) { return std::string(TROX_TEST_DATA_DIR) + "/" + name; }

// The widest channel count over the alternates of streams of one direction.
uint32_t MaxChannels(const Value& model, const char* direction) {
  uint32_t widest = 0;
  for (const Value& s : model["streams"].items) {
    if (s["direction"].text != direction) continue;
    for (const Value& a : s["alternates"].items) {
      if (!a["format"].IsNull()) widest = std::max(widest, static_cast<uint32_t>(a["format"]["channels"].number));
    }
  }
  return widest;
}

const Value* FirstAlternateWithFeedback(const Value& model) {
  for (const Value& s : model["streams"].items) {
    for (const Value& a : s["alternates"].items) {
      if (!a["feedbackEndpoint"].IsNull()) return &a;
    }
  }
  return nullptr;
}

TEST(InspectJsonWriter, EscapesWhatJsonForbidsAndReadsBack) {
  const std::string nasty = std::string("quote\" back\\slash\nline\ttab\x01\x1f del\x7f caf\xc3\xa9");
  std::ostringstream out;
  troxsim::JsonWriter j(out);
  j.BeginObject().Member("text", nasty).Key("empty").BeginArray().EndArray().Key("list").BeginArray();
  j.Number(-5).Number(uint64_t{4294967295u}).Bool(false).Null().BeginObject().EndObject();
  j.EndArray().EndObject();
  EXPECT_TRUE(j.Done());
  Value v = ParseOrFail(out.str());
  EXPECT_EQ(v["text"].text, nasty);
  EXPECT_EQ(v["empty"].items.size(), 0u);
  ASSERT_EQ(v["list"].items.size(), 5u);
  EXPECT_EQ(v["list"][0].number, -5);
  EXPECT_EQ(v["list"][1].number, 4294967295.0);
  EXPECT_EQ(v["list"][3].kind, Value::Kind::Null);
  EXPECT_EQ(v["list"][4].kind, Value::Kind::Object);
  EXPECT_NE(out.str().find("\\u0001"), std::string::npos);
  EXPECT_NE(out.str().find("\\u007F"), std::string::npos);
  EXPECT_NE(out.str().find("caf\xc3\xa9"), std::string::npos);  // UTF-8 passes through
}

// Every built-in model: the driver accepts it and its model agrees with what
// the model list says about the device.
TEST(Inspect, EveryBuiltInModelMatchesItsListing) {
  for (const auto& info : sim::usb::ListModels()) {
    SCOPED_TRACE(info.name);
    const size_t poolBefore = sim::pool::OutstandingCount();
    Value m = InspectJson(info.name);
    EXPECT_EQ(sim::pool::OutstandingCount(), poolBefore);
    EXPECT_TRUE(m["accepted"].boolean);
    EXPECT_EQ(m["device"].text, info.name);
    EXPECT_EQ(m["vendorId"].number, info.vendorId);
    EXPECT_EQ(m["productId"].number, info.productId);
    EXPECT_EQ(m["classVersion"].text, info.audioClass >= 0x0200 ? "2.0" : "1.0");
    EXPECT_EQ(m["speed"].text, info.speed == sim::usb::Speed::High ? "high" : "full");
    EXPECT_EQ(MaxChannels(m, "out"), info.channelsOut);
    EXPECT_EQ(MaxChannels(m, "in"), info.channelsIn);
    // Every entity a link names exists, and every stream names its terminal.
    std::set<double> ids;
    for (const Value& e : m["entities"].items) ids.insert(e["id"].number);
    for (const Value& e : m["entities"].items) {
      for (const Value& s : e["sources"].items) EXPECT_TRUE(ids.count(s.number)) << e["name"].text;
      if (!e["clockId"].IsNull()) {
        EXPECT_TRUE(ids.count(e["clockId"].number)) << e["name"].text;
      }
    }
    ASSERT_FALSE(m["streams"].items.empty());
    for (const Value& s : m["streams"].items) {
      EXPECT_TRUE(ids.count(s["terminalId"].number));
      ASSERT_GE(s["alternates"].items.size(), 2u);
      EXPECT_TRUE(s["alternates"][0]["dataEndpoint"].IsNull());
      // Streaming start can select every alternate that has a data endpoint.
      for (const Value& a : s["alternates"].items) {
        if (a["dataEndpoint"].IsNull()) continue;
        EXPECT_EQ(a["selected"]["status"].text, "0x00000000");
        EXPECT_TRUE(a["dataEndpoint"]["usable"].boolean);
        EXPECT_EQ(a["dataEndpoint"]["direction"].text, s["direction"].text);
        EXPECT_FALSE(a["format"]["rates"].IsNull());
      }
    }
  }
}

TEST(Inspect, ExplicitFeedbackAndItsPeriod) {
  // Class 1.0: the period comes from bRefresh, the rates from the format.
  Value m = InspectJson("uac1-feedback");
  const Value* alt = FirstAlternateWithFeedback(m);
  ASSERT_NE(alt, nullptr);
  EXPECT_EQ((*alt)["feedbackEndpoint"]["address"].number, 0x81);
  EXPECT_EQ((*alt)["feedbackEndpoint"]["usage"].text, "feedback");
  EXPECT_GE((*alt)["selected"]["feedbackPeriodMs"].number, 4);
  EXPECT_LE((*alt)["selected"]["feedbackPeriodMs"].number, 1024);
  EXPECT_EQ((*alt)["format"]["rates"]["from"].text, "format");
  EXPECT_TRUE(m["sharedClock"].boolean);

  // Class 2.0 at high speed: 2^(bInterval-1) microframes is under 4 ms, so 4.
  m = InspectJson("oxley-10x6");
  alt = FirstAlternateWithFeedback(m);
  ASSERT_NE(alt, nullptr);
  EXPECT_EQ((*alt)["selected"]["feedbackPeriodMs"].number, 4);
  EXPECT_EQ((*alt)["format"]["rates"]["from"].text, "clock");
  EXPECT_TRUE((*alt)["format"]["rates"]["continuous"].boolean);
}

TEST(Inspect, ImplicitFeedbackAndSeparateClocks) {
  Value m = InspectJson("uac2-implicit");
  EXPECT_EQ(FirstAlternateWithFeedback(m), nullptr);
  bool implicit = false;
  for (const Value& s : m["streams"].items) {
    for (const Value& a : s["alternates"].items) {
      implicit |= !a["dataEndpoint"].IsNull() && a["dataEndpoint"]["usage"].text == "implicit feedback data";
    }
  }
  EXPECT_TRUE(implicit);

  m = InspectJson("vendor-00c7");
  EXPECT_FALSE(m["sharedClock"].boolean);
  EXPECT_EQ(m["quirks"]["interfaceClass"].number, 0xFF);
  EXPECT_TRUE(m["quirks"]["configureAllInterfaces"].boolean);
  EXPECT_TRUE(m["quirks"]["playbackLengthHeader"].boolean);
  size_t clocks = 0;
  for (const Value& e : m["entities"].items) {
    if (e["clock"].IsNull()) continue;
    ++clocks;
    EXPECT_TRUE(e["clock"]["valid"].boolean);
    EXPECT_LE(e["clock"]["minimum"].number, e["clock"]["current"].number);
    EXPECT_LE(e["clock"]["current"].number, e["clock"]["maximum"].number);
  }
  EXPECT_EQ(clocks, 2u);
}

TEST(Inspect, DescriptorFileAndSpeedOverride) {
  troxsim::InspectOptions o;
  o.descriptors = DataFile("headset-uac1.hex");
  o.json = true;
  InspectRun r = Inspect(o);
  ASSERT_EQ(r.code, 0) << r.err;
  Value m = ParseOrFail(r.out);
  EXPECT_EQ(m["classVersion"].text, "1.0");
  EXPECT_FALSE(m["sharedClock"].boolean);  // playback only
  ASSERT_EQ(m["streams"].items.size(), 1u);
  const Value& alt = m["streams"][0]["alternates"][1];
  EXPECT_EQ(alt["format"]["subslotBytes"].number, 2);
  EXPECT_EQ(alt["format"]["resolutionBits"].number, 16);
  ASSERT_EQ(alt["format"]["rates"]["discrete"].items.size(), 2u);
  EXPECT_EQ(alt["format"]["rates"]["discrete"][1].number, 48000);
  EXPECT_EQ(alt["dataEndpoint"]["sync"].text, "adaptive");

  Value full = InspectJson("oxley-2x2", "full");
  EXPECT_EQ(full["speed"].text, "full");
}

// A 1.0 data endpoint polled every 2^15 frames is still the data endpoint,
// but marked unusable, and the driver streams it at interval 1.
TEST(Inspect, UnusableIntervalIsReported) {
  std::ifstream in(DataFile("headset-uac1.hex"));
  std::stringstream text;
  text << in.rdbuf();
  std::string hex = text.str();
  const std::string endpoint = "09 05 01 09 C8 00 01 00 00";
  const size_t at = hex.find(endpoint);
  ASSERT_NE(at, std::string::npos);
  hex.replace(at, endpoint.size(), "09 05 01 09 C8 00 10 00 00");
  const std::string path = testing::TempDir() + "inspect-interval-16.hex";
  std::ofstream(path) << hex;

  troxsim::InspectOptions o;
  o.descriptors = path;
  o.json = true;
  InspectRun r = Inspect(o);
  std::remove(path.c_str());
  ASSERT_EQ(r.code, 0) << r.err;
  Value m = ParseOrFail(r.out);
  const Value& alt = m["streams"][0]["alternates"][1];
  EXPECT_FALSE(alt["dataEndpoint"]["usable"].boolean);
  EXPECT_EQ(alt["dataEndpoint"]["interval"].number, 16);
  EXPECT_EQ(alt["selected"]["pipeInterval"].number, 1);
}

TEST(Inspect, RefusedDeviceReportsTheStatus) {
  troxsim::InspectOptions o;
  o.descriptors = DataFile("ac-header-overrun.hex");
  const size_t poolBefore = sim::pool::OutstandingCount();
  InspectRun text = Inspect(o);
  EXPECT_EQ(text.code, 1);
  EXPECT_NE(text.out.find("Attach failed with 0xC00000BB"), std::string::npos) << text.out;
  o.json = true;
  InspectRun json = Inspect(o);
  EXPECT_EQ(json.code, 1);
  Value v = ParseOrFail(json.out);
  EXPECT_FALSE(v["accepted"].boolean);
  EXPECT_EQ(v["failedStep"].text, "Attach");
  EXPECT_EQ(v["status"].text, "0xC00000BB");
  EXPECT_EQ(sim::pool::OutstandingCount(), poolBefore);
}

TEST(Inspect, BadInputIsAUsageError) {
  troxsim::InspectOptions both;
  both.device = "oxley-2x2";
  both.descriptors = DataFile("headset-uac1.hex");
  troxsim::InspectOptions unknown;
  unknown.device = "no-such-device";
  troxsim::InspectOptions speed;
  speed.speed = "super";
  troxsim::InspectOptions missing;
  missing.descriptors = DataFile("does-not-exist.hex");
  for (const auto& o : {both, unknown, speed, missing}) {
    InspectRun r = Inspect(o);
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("troxsim inspect: "), std::string::npos);
  }
}

}  // namespace
