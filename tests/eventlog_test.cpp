// How the event log writes numbers and bytes: the texts other tools read back.
#include <gtest/gtest.h>

#include <cstdint>

#include "sim/kernel/eventlog.h"

namespace {

TEST(EventLog, HexTextsAsPrintfWritesThem) {
  const struct {
    std::uint64_t value;
    const char* text;
  } values[] = {{0, "0x0"}, {0xF, "0xF"}, {0x10, "0x10"}, {0x1004, "0x1004"}, {0xA00002, "0xA00002"},
                {0x6DF35B70, "0x6DF35B70"}, {0xFFFFFFFFFFFFFFFFull, "0xFFFFFFFFFFFFFFFF"}};
  for (const auto& v : values) EXPECT_EQ(sim::HexJson(v.value), v.text) << v.text;
  EXPECT_EQ(sim::HandleJson(nullptr), nullptr);

  const unsigned char bytes[] = {0x0A, 0x00, 0xFF, 0x7B, 0xC0};
  EXPECT_EQ(sim::HexBytes(bytes, 0), "");
  EXPECT_EQ(sim::HexBytes(bytes, 1), "0A");
  EXPECT_EQ(sim::HexBytes(bytes, sizeof bytes), "0A 00 FF 7B C0");
}

TEST(EventLog, RecordsKeepTheOrderTheirMembersWereAppended) {
  sim::EventLog log;
  log.Device(1500, "radio", "notify", {{"code", 8388609}});
  sim::Json call = sim::ObjectWithRoom(3);
  sim::Append(call, "t_us", 2000);
  sim::Append(call, "kind", "call");
  sim::Append(call, "args", sim::Json::object());
  EXPECT_EQ(log.Add(call), 1u);
  ASSERT_EQ(log.Events().size(), 2u);
  EXPECT_EQ(log.Events()[0].dump(),
            R"({"t_us":1500,"kind":"device","thread":"device","op":"radio.notify","args":{"code":8388609},"seq":0})");
  EXPECT_EQ(log.Events()[1].dump(), R"({"t_us":2000,"kind":"call","args":{},"seq":1})");
}

}  // namespace
