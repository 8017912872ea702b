// `troxsim inspect` run as a library: the JSON form parses as one strict
// document and carries the driver's view of each built-in device, a refused
// device reports its status, bad input is a usage error.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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
  o.choice.device = device;
  o.choice.speed = speed;
  o.json = true;
  InspectRun r = Inspect(o);
  EXPECT_EQ(r.code, 0) << r.err;
  return ParseOrFail(r.out);
}

std::string DataFile(const char* name) { return std::string(TROX_TEST_DATA_DIR) + "/" + name; }

// Inspects the headset dump with one run of its bytes replaced (the run must
// be there); the whole JSON report, or null when it did not parse.
Value InspectPatchedHeadset(const std::string& from, const std::string& to, const char* fileName) {
  std::ifstream in(DataFile("headset-uac1.hex"));
  std::stringstream text;
  text << in.rdbuf();
  std::string hex = text.str();
  const size_t at = hex.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at == std::string::npos) return Value{};
  hex.replace(at, from.size(), to);
  const std::string path = testing::TempDir() + fileName;
  std::ofstream(path) << hex;

  troxsim::InspectOptions o;
  o.choice.descriptors = path;
  o.json = true;
  InspectRun r = Inspect(o);
  std::remove(path.c_str());
  EXPECT_EQ(r.code, 0) << r.err;
  return ParseOrFail(r.out);
}

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
  o.choice.descriptors = DataFile("headset-uac1.hex");
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
  Value m =
      InspectPatchedHeadset("09 05 01 09 C8 00 01 00 00", "09 05 01 09 C8 00 10 00 00", "inspect-interval-16.hex");
  const Value& alt = m["streams"][0]["alternates"][1];
  EXPECT_FALSE(alt["dataEndpoint"]["usable"].boolean);
  EXPECT_EQ(alt["dataEndpoint"]["interval"].number, 16);
  EXPECT_EQ(alt["selected"]["pipeInterval"].number, 1);
}

TEST(Inspect, RefusedDeviceReportsTheStatus) {
  troxsim::InspectOptions o;
  o.choice.descriptors = DataFile("ac-header-overrun.hex");
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
  both.choice.device = "oxley-2x2";
  both.choice.descriptors = DataFile("headset-uac1.hex");
  troxsim::InspectOptions unknown;
  unknown.choice.device = "no-such-device";
  troxsim::InspectOptions speed;
  speed.choice.speed = "super";
  troxsim::InspectOptions missing;
  missing.choice.descriptors = DataFile("does-not-exist.hex");
  for (const auto& o : {both, unknown, speed, missing}) {
    InspectRun r = Inspect(o);
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("troxsim inspect: "), std::string::npos);
  }
}


// ---- The format selection each direction would make ----------------------

Value InspectFormats(const std::string& device, std::optional<uint32_t> rate, const std::string& format = "pcm") {
  troxsim::InspectOptions o;
  o.choice.device = device;
  o.rate = rate;
  o.format = format;
  o.json = true;
  InspectRun r = Inspect(o);
  EXPECT_EQ(r.code, 0) << r.err;  // an unoffered format is a finding, not a failure
  return ParseOrFail(r.out)["formatSelection"];
}

std::vector<double> Numbers(const Value& array) {
  std::vector<double> out;
  for (const Value& v : array.items) out.push_back(v.number);
  return out;
}

// Every model at its default rate: both directions select, the sizes agree
// with one another, and the direction is left on alternate 0.
TEST(InspectFormats, EveryBuiltInModelSelectsAndStopsAgain) {
  const std::map<std::string, std::vector<double>> rates = {
      {"oxley-10x6", {44100, 48000, 88200, 96000}},
      {"oxley-2x2", {44100, 48000, 88200, 96000}},
      {"uac2-implicit", {44100, 48000, 88200, 96000, 176400, 192000}},
      {"uac2-feedback", {44100, 48000, 88200, 96000}},
      {"uac1-feedback", {44100, 48000}},
      {"uac1-adaptive", {8000, 11025, 16000, 22050, 32000, 44100, 48000}},
      {"vendor-00c7", {44100, 48000, 88200, 96000}},
  };
  for (const auto& info : sim::usb::ListModels()) {
    SCOPED_TRACE(info.name);
    const size_t poolBefore = sim::pool::OutstandingCount();
    Value f = InspectFormats(info.name, std::nullopt);
    EXPECT_EQ(sim::pool::OutstandingCount(), poolBefore);
    ASSERT_TRUE(rates.count(info.name)) << "add the model's rates here";
    EXPECT_EQ(Numbers(f["supportedRates"]), rates.at(info.name));
    EXPECT_EQ(f["rate"].number, 48000);
    EXPECT_FALSE(f["rateDefaulted"].boolean);
    ASSERT_EQ(f["directions"].items.size(), 2u);
    EXPECT_EQ(f["directions"][0]["role"].text, "playback");
    EXPECT_EQ(f["directions"][1]["role"].text, "capture");
    for (const Value& d : f["directions"].items) {
      SCOPED_TRACE(d["role"].text);
      EXPECT_EQ(d["status"].text, "0x00000000");
      EXPECT_TRUE(d["failedStep"].IsNull());
      EXPECT_GE(d["alternate"].number, 1);
      EXPECT_EQ(d["channels"].number, d["bestChannels"].number);
      EXPECT_EQ(d["bytesPerFrame"].number, d["channels"].number * d["bits"].number / 8);
      const double e = d["nominalPacketBytes"].number;
      EXPECT_LE(d["minimumPacketBytes"].number, e);
      EXPECT_GT(d["maximumPacketBytes"].number, e);
      EXPECT_EQ(d["shortPacket"].boolean, d["minimumPacketBytes"].number != e);
      EXPECT_EQ(d["transferMs"].number, d["role"].text == "playback" ? 8 : 1);
      EXPECT_EQ(d["bytesPerTransfer"].number, d["bytesPerMillisecond"].number * d["transferMs"].number);
      EXPECT_GE(d["bytesPerMillisecond"].number, d["maximumPacketBytes"].number);
      EXPECT_GT(d["nominalFeedback"].number, 0);
      EXPECT_EQ(d["resetStatus"].text, "0x00000000");
      ASSERT_FALSE(d["alternateAfter"].IsNull());
      EXPECT_EQ(d["alternateAfter"].number, 0);
    }
  }
}

TEST(InspectFormats, OxleyAt48000And44100) {
  Value f = InspectFormats("oxley-10x6", 48000);
  EXPECT_EQ(f["form"].text, "implicit feedback");  // shared clock
  const Value& play = f["directions"][0];
  const Value& rec = f["directions"][1];
  // The widest subslot wins: the 4-byte alternate over the 3-byte one.
  EXPECT_EQ(play["bestChannels"].number, 6);
  EXPECT_EQ(play["bestBits"].number, 32);
  EXPECT_EQ(play["alternate"].number, 2);
  EXPECT_EQ(rec["channels"].number, 10);
  EXPECT_EQ(rec["alternate"].number, 2);
  // High speed, 6 frames per microframe, 24-byte frames.
  EXPECT_EQ(play["bytesPerFrame"].number, 24);
  EXPECT_EQ(play["nominalPacketBytes"].number, 144);
  EXPECT_EQ(play["minimumPacketBytes"].number, 120);
  EXPECT_EQ(play["maximumPacketBytes"].number, 168);
  EXPECT_TRUE(play["shortPacket"].boolean);
  EXPECT_EQ(play["nominalTransferBytes"].number, 144 * 8 * 8);
  EXPECT_EQ(play["framesBelow"].number, -64);
  EXPECT_EQ(play["framesAbove"].number, 64);
  EXPECT_EQ(rec["nominalTransferBytes"].number, 240 * 8);
  EXPECT_EQ(play["nominalFeedback"].number, 6 << 16);

  // 44100 is 5.5125 frames per microframe: no short packets.
  f = InspectFormats("oxley-10x6", 44100);
  EXPECT_EQ(f["rate"].number, 44100);
  const Value& play44 = f["directions"][0];
  EXPECT_EQ(play44["nominalPacketBytes"].number, 120);
  EXPECT_EQ(play44["minimumPacketBytes"].number, 120);
  EXPECT_EQ(play44["maximumPacketBytes"].number, 144);
  EXPECT_FALSE(play44["shortPacket"].boolean);
  EXPECT_EQ(play44["framesBelow"].number, 0);
}

TEST(InspectFormats, FullSpeedFeedbackDeviceAt44100) {
  Value f = InspectFormats("uac1-feedback", 44100);
  for (const Value& d : f["directions"].items) {
    SCOPED_TRACE(d["role"].text);
    EXPECT_EQ(d["alternate"].number, 2);  // 3-byte subframes
    EXPECT_EQ(d["bits"].number, 24);
    EXPECT_EQ(d["bytesPerFrame"].number, 6);
    EXPECT_EQ(d["nominalPacketBytes"].number, 264);  // 44 frames
    EXPECT_EQ(d["minimumPacketBytes"].number, 264);
    EXPECT_EQ(d["maximumPacketBytes"].number, 270);
    EXPECT_FALSE(d["shortPacket"].boolean);
    EXPECT_EQ(d["bytesPerMillisecond"].number, 294);  // wMaxPacketSize
    EXPECT_EQ(d["alternateAfter"].number, 0);
  }
  EXPECT_EQ(f["directions"][0]["bytesPerTransfer"].number, 8 * 294);
  EXPECT_EQ(f["directions"][0]["nominalTransferBytes"].number, 8 * 264);
  EXPECT_EQ(f["directions"][0]["framesAbove"].number, 8);
}

// A format or rate no alternate offers: the step and its status per
// direction, nothing selected, and still a successful inspection.
TEST(InspectFormats, UnofferedFormatOrRateIsReportedPerDirection) {
  Value f = InspectFormats("oxley-10x6", std::nullopt, "float");
  EXPECT_EQ(f["format"].text, "float");
  EXPECT_EQ(f["formatType"].number, 3);
  for (const Value& d : f["directions"].items) {
    EXPECT_EQ(d["failedStep"].text, "GetBestFormat");
    EXPECT_EQ(d["status"].text, "0xC0000272");
    EXPECT_TRUE(d["alternate"].IsNull());
    EXPECT_TRUE(d["bytesPerFrame"].IsNull());
  }
  // Class 1.0 picks the widest format without looking at the rate; the
  // alternate walk then finds none that offers it.
  f = InspectFormats("uac1-feedback", 96000);
  for (const Value& d : f["directions"].items) {
    EXPECT_EQ(d["bestChannels"].number, 2);
    EXPECT_EQ(d["failedStep"].text, "ChooseAlternate");
    EXPECT_EQ(d["status"].text, "0xC00000BB");
    EXPECT_TRUE(d["bytesPerMillisecond"].IsNull());
    EXPECT_TRUE(d["resetStatus"].IsNull());  // nothing was selected
    ASSERT_FALSE(d["alternateAfter"].IsNull());
    EXPECT_EQ(d["alternateAfter"].number, 0);
  }
}

// Without 48000 the default is the lowest rate the device takes.
TEST(InspectFormats, DefaultRateFallsBackToTheLowestSupported) {
  // 44100 and 22050 in place of 44100 and 48000.
  Value f = InspectPatchedHeadset("44 AC 00 80 BB 00", "44 AC 00 22 56 00", "inspect-no-48000.hex")["formatSelection"];
  EXPECT_EQ(Numbers(f["supportedRates"]), (std::vector<double>{22050, 44100}));
  EXPECT_TRUE(f["rateDefaulted"].boolean);
  EXPECT_EQ(f["rate"].number, 22050);
  ASSERT_EQ(f["directions"].items.size(), 1u);  // playback only
  EXPECT_EQ(f["directions"][0]["status"].text, "0x00000000");
  EXPECT_EQ(f["directions"][0]["nominalPacketBytes"].number, 22 * 4);
}

TEST(InspectFormats, BadFormatOrRateIsAUsageError) {
  troxsim::InspectOptions format;
  format.format = "alaw";
  troxsim::InspectOptions rate;
  rate.rate = 0;
  for (const auto& o : {format, rate}) {
    InspectRun r = Inspect(o);
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("troxsim inspect: --"), std::string::npos) << r.err;
  }
}

}  // namespace
