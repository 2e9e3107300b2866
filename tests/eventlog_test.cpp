// How the event log writes numbers and bytes: the texts other tools read back.
#include <gtest/gtest.h>

#include <cstdint>

#include "sim/kernel/eventlog.h"

namespace {

TEST(EventLog, HexTextsAsPrintfWritesThem) {
  const struct {
    std::uint64_t value;
    const char* text;
  } values[] = {{0, "0x0"},
                {0xF, "0xF"},
                {0x10, "0x10"},
                {0x1004, "0x1004"},
                {0xA00002, "0xA00002"},
                {0x6DF35B70, "0x6DF35B70"},
                {0xFFFFFFFFFFFFFFFFull, "0xFFFFFFFFFFFFFFFF"}};
  for (const auto& v : values) EXPECT_EQ(sim::HexText(v.value), v.text) << v.text;
  EXPECT_EQ(sim::HandleValue(nullptr), nullptr);

  const unsigned char bytes[] = {0x0A, 0x00, 0xFF, 0x7B, 0xC0};
  EXPECT_EQ(sim::HexBytes(bytes, 0), "");
  EXPECT_EQ(sim::HexBytes(bytes, 1), "0A");
  EXPECT_EQ(sim::HexBytes(bytes, sizeof bytes), "0A 00 FF 7B C0");
}

TEST(EventLog, RecordsKeepTheOrderTheirMembersWereSet) {
  sim::EventLog log;
  log.Device(1500, "radio", "notify", {{"code", 8388609}});
  sim::Event call;
  call.t_us = 2000;
  call.kind = "call";
  call.thread = "main";
  call.op = "CreateMutexW";
  call.caller = "NormalShutdown";
  call.args = {{"initial_owner", true}, {"name", "NormalShutdown"}};
  call.Set("already_existed", true);
  call.Set("result", "0x1004");
  call.Set("already_existed", false);  // set again: stays where it was
  EXPECT_EQ(log.Add(call), 1u);
  log.Device(2100, "power", "suspend");
  const std::vector<sim::Json> json = log.ToJson();
  ASSERT_EQ(json.size(), 3u);
  EXPECT_EQ(json[0].dump(),
            R"({"t_us":1500,"kind":"device","thread":"device","op":"radio.notify","args":{"code":8388609},"seq":0})");
  EXPECT_EQ(
      json[1].dump(),
      R"({"t_us":2000,"kind":"call","thread":"main","op":"CreateMutexW","caller":"NormalShutdown",)"
      R"("args":{"initial_owner":true,"name":"NormalShutdown"},"seq":1,"already_existed":false,"result":"0x1004"})");
  EXPECT_EQ(json[2].dump(), R"({"t_us":2100,"kind":"device","thread":"device","op":"power.suspend","seq":2})");
}

// The checkers compare values as texts: a text as it is, anything else as its JSON.
TEST(EventLog, ValuesShowAndCompareAsTheirJson) {
  const struct {
    sim::Value value;
    const char* shown;
  } values[] = {{sim::Value(), "null"},
                {true, "true"},
                {15000u, "15000"},
                {-1, "-1"},
                {std::uint64_t{0xFFFFFFFFFFFFFFFF}, "18446744073709551615"},
                {"WAIT_TIMEOUT", "WAIT_TIMEOUT"},
                {sim::Json::array({1, "a"}), R"([1,"a"])"},
                {sim::Json(2.5), "2.5"}};
  for (const auto& v : values) {
    EXPECT_EQ(v.value.Shown(), v.shown);
    EXPECT_EQ(v.value.ToJson().dump(), sim::Json::parse(v.value.ToJson().dump()).dump()) << v.shown;
    EXPECT_EQ(sim::Value(v.value.ToJson()), v.value) << v.shown;  // back from JSON, unchanged
  }
  EXPECT_EQ(sim::Value(5), sim::Value(5u));
  EXPECT_NE(sim::Value(-5), sim::Value(static_cast<unsigned>(-5)));
  EXPECT_NE(sim::Value(true), sim::Value(1));
  EXPECT_NE(sim::Value("5"), sim::Value(5));
  EXPECT_TRUE(sim::Value(sim::Json(5u)).ToJson().is_number_unsigned());
  EXPECT_TRUE(sim::Value(sim::Json(-5)).ToJson().is_number_integer());
}

// A log read back (a run under another system, written by --events) gives the same records, and
// what cannot be a record is taken without a throw.
TEST(EventLog, RecordsReadBackAsTheyWereWritten) {
  const char* lines[] = {
      R"({"t_us":1500,"kind":"device","thread":"device","op":"radio.notify","args":{"code":"0x800001","payload":"01 00"},"seq":0})",
      R"({"t_us":2000,"kind":"call","thread":"AutoShutdownThread","op":"WaitForSingleObject","caller":"AutoShutdownThread","args":{"handle":"0x1004","timeout_ms":15000},"seq":1,"injected_fault":true,"t_end_us":17000,"result":"WAIT_TIMEOUT"})",
      R"({"t_us":2100,"kind":"call","thread":"main","op":"NKDbgPrintfW","args":{"text":"x","list":[1,2]},"seq":2,"misuse":"a short buffer","result":null})",
      R"({"t_us":2200,"kind":"device","thread":"device","op":"misuse.DoShutdownAnimation","args":[1],"seq":3,"misuse":"closed"})",
  };
  std::vector<sim::Json> json;
  for (const char* l : lines) json.push_back(sim::Json::parse(l));
  const std::vector<sim::Event> events = sim::EventsFromJson(json);
  for (std::size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i].ToJson(i), json[i]) << lines[i];
  EXPECT_EQ(events[0].ArgShown("code"), "0x800001");
  EXPECT_EQ(events[1].ArgShown("timeout_ms"), "15000");
  EXPECT_EQ(events[1].TimeOf("t_end_us"), 17000u);
  EXPECT_TRUE(events[1].Flag("injected_fault"));
  EXPECT_FALSE(events[2].Flag("injected_fault"));
  EXPECT_EQ(events[2].ArgShown("list"), "[1,2]");
  EXPECT_EQ(events[2].ArgShown("missing"), "");

  for (const char* odd : {R"(7)", R"([])", R"({"t_us":"soon","kind":3,"args":"x"})", R"({"t_us":-4})"}) {
    const sim::Event e = sim::Event::FromJson(sim::Json::parse(odd));
    EXPECT_EQ(e.t_us, 0u) << odd;
    EXPECT_FALSE(e.IsCall()) << odd;
  }
}

}  // namespace
