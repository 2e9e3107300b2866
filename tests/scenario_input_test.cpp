// Bad input is refused with a message naming the file, the line and the key; registry export
// text loads in both header forms with every value kind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/startup.h"
#include "sim/base/text.h"
#include "sim/scenario/reg_file.h"
#include "sim/scenario/scenario.h"
#include "tests/harness.h"

using testing_support::RunProgram;
using testing_support::RunSpec;

TEST(ScenarioInput, ErrorsNameFileLineAndKey) {
  struct Case {
    std::string toml, expected;
  };
  const std::vector<Case> cases = {
      {"[radio]\nconfirm = \"maybe\"\n", "test.toml:2: key 'radio.confirm': 'maybe' is not one of"},
      {"[radio]\nconfirm_after_ms = \"soon\"\n", "test.toml:2: key 'radio.confirm_after_ms': expected a whole number"},
      {"[radio]\nconfrim = \"off\"\n", "test.toml:2: key 'radio.confrim': unknown key"},
      {"colour = 1\n", "test.toml:1: key 'colour': unknown key"},
      {"[clock]\nstart = \"2008-02-30 10:00:00\"\n", "test.toml:2: key 'clock.start': expected a date"},
      {"[drivers]\nmissing = [\"LCD9:\"]\n", "key 'drivers.missing': unknown driver 'LCD9:'"},
      {"[[timeline]]\nat_ms = 5\ndo = \"explode\"\n", "key 'timeline[0].do': unknown action 'explode'"},
      {"[radio\n", "test.toml:1:"},
      {"[faults]\nfail = [\"CreateMutexW@x\"]\n", "fault rule 'CreateMutexW@x'"},
      {"[registry]\ntext = '''\nREGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:xyz\n'''\n",
       "[registry].text:3: 'xyz' is not a hex dword"},
      // A wake-up no run could meet: not a date, not a day of the calendar, not written as the
      // summary writes it, or beyond what the ERTC's 32-bit count of seconds since 1950 holds.
      {"[expect]\nertc = \"tomorrow\"\n", "test.toml:2: key 'expect.ertc': expected \"not written\" or a date"},
      {"[expect]\nertc = \"2008-13-15 06:27:00\"\n", "key 'expect.ertc': expected"},
      {"[expect]\nertc = \"2008-6-15 06:27:00\"\n", "key 'expect.ertc': expected"},
      {"[expect]\nertc = \"2008-06-15 06:27\"\n", "key 'expect.ertc': expected"},
      {"[expect]\nertc = \"1949-12-31 23:59:59\"\n", "key 'expect.ertc': expected"},
      {"[expect]\nertc = \"2086-02-06 06:28:16\"\n", "key 'expect.ertc': expected"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml);
    RunSpec spec;
    spec.scenario = c.toml;
    spec.args = {"1"};
    const auto r = RunProgram(spec);
    EXPECT_NE(r.error.find(c.expected), std::string::npos) << r.error;
  }
}

// A file that starts from the built-in handset names its own lines, not the built-in file's.
TEST(ScenarioInput, ErrorsInAFileBasedOnTheBuiltInNameThatFilesLines) {
  struct Case {
    std::string toml, expected;
  };
  const std::vector<Case> cases = {
      {"[radio]\nconfirm = \"maybe\"\n", "test.toml:4: key 'radio.confirm': 'maybe' is not one of"},
      {"\n\n[radio]\nconfrim = \"off\"\n", "test.toml:6: key 'radio.confrim': unknown key"},
      {"[bogus]\nx = 1\n", "test.toml:3: key 'bogus': unknown key"},
      {"[windows]\npost_message_cost_us = -5\n", "test.toml:4: key 'windows.post_message_cost_us': value -5"},
      {"[clock]\n\nstart = \"2008-02-30 10:00:00\"\n", "test.toml:5: key 'clock.start': expected a date"},
      {"[[timeline]]\nat_ms = 5\ndo = \"explode\"\n", "test.toml:5: key 'timeline[0].do': unknown action"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml);
    RunSpec spec;
    spec.scenario = "base = \"builtin\"\n# what this file changes\n" + c.toml;
    spec.args = {"1"};
    const auto r = RunProgram(spec);
    EXPECT_NE(r.error.find(c.expected), std::string::npos) << r.error;
  }
}

TEST(ScenarioInput, RegistryExportTextLoads) {
  const std::string text =
      "Windows Registry Editor Version 5.00\n"
      "; a comment\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Test]\n"
      "\"Str\"=\"a \\\"quoted\\\" \\\\ path\"\n"
      "@=\"default\"\n"
      "\"Num\"=dword:0000002a\n"
      "\"Bin\"=hex:01,02,\\\n"
      "  03,ff\n"
      "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
      "\"Odd\"=hex(1f):aa\n"
      "\"Gone\"=-\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Old]\n";
  const auto ops = sim::ParseRegText(text, "t.reg");
  ASSERT_EQ(ops.size(), 9u);
  EXPECT_EQ(ops[1].value_name, u"Str");
  EXPECT_EQ(ops[1].type, 1u);
  EXPECT_EQ(ops[1].data.size(), (std::string("a \"quoted\" \\ path").size() + 1) * 2);
  EXPECT_EQ(ops[2].value_name, u"");
  EXPECT_EQ(ops[3].data, (std::vector<std::uint8_t>{0x2a, 0, 0, 0}));
  EXPECT_EQ(ops[4].data, (std::vector<std::uint8_t>{1, 2, 3, 0xff}));
  EXPECT_EQ(ops[4].line, 7);
  EXPECT_EQ(ops[5].type, 7u);
  EXPECT_EQ(ops[6].type, 0x1fu);  // an unknown kind is kept, not dropped
  EXPECT_EQ(ops[7].kind, sim::RegOperation::Kind::kDeleteValue);
  EXPECT_EQ(ops[8].kind, sim::RegOperation::Kind::kDeleteKey);

  // REGEDIT4 text carries 8-bit strings; the handset keeps them 16-bit.
  const auto old = sim::ParseRegText("REGEDIT4\n[HKLM\\A]\n\"E\"=hex(2):41,42,00\n", "old.reg");
  ASSERT_EQ(old.size(), 2u);
  EXPECT_EQ(old[1].data, (std::vector<std::uint8_t>{0x41, 0, 0x42, 0, 0, 0}));
}

TEST(ScenarioInput, MalformedRegistryTextNamesItsLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[HKEY_LOCAL_MACHINE\\A]\n", "x.reg:1: expected the header"},
      {"REGEDIT4\n\"v\"=\"before any key\"\n", "x.reg:2: a value before any [key] line"},
      {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", "x.reg:2: unknown root key"},
      {"REGEDIT4\n[HKLM\\A]\n\"v\"=hex:1,zz\n", "x.reg:3: 'zz' is not a hex byte"},
      {"REGEDIT4\n[HKLM\\A]\n\"v=\"x\"\n", "x.reg:3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"v\"=\"open\n", "x.reg:3: a quoted string is not closed"},
      {"REGEDIT4\n[HKLM\\A]\n\"v\"=qword:1\n", "x.reg:3: unknown value data"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    try {
      sim::ParseRegText(text, "x.reg");
      ADD_FAILURE() << "accepted";
    } catch (const sim::RegFileError& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
}

TEST(CommandLineSplit, QuotesGroupAndAreRemoved) {
  struct Case {
    std::u16string line;
    std::vector<std::u16string> args;
  };
  const std::vector<Case> cases = {
      {u"", {}},
      {u"   \t ", {}},
      {u"1", {u"1"}},
      {u"  1   2 ", {u"1", u"2"}},
      {u"\"a b\" c", {u"a b", u"c"}},
      {u"x\"y z\"w", {u"xy zw"}},
      {u"\"\"", {u""}},
      {u"\"\" 3", {u"", u"3"}},
      {u"\"unterminated rest", {u"unterminated rest"}},
      {u"a\"\"b", {u"ab"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::Narrow(c.line));
    std::vector<WCHAR> storage(c.line.size() + 1);
    std::vector<LPWSTR> argv(8);
    const int n = SplitCommandLine(c.line.c_str(), storage.data(), argv.data(), 8);
    EXPECT_EQ(n, SplitCommandLine(c.line.c_str(), nullptr, nullptr, 0));
    ASSERT_EQ(n, static_cast<int>(c.args.size()));
    for (int i = 0; i < n; ++i) EXPECT_EQ(std::u16string(argv[i]), c.args[i]);
  }
}

TEST(ScenarioInput, UnknownValueTypesAreKeptAndReported) {
  const auto r = testing_support::RunBuiltin(R"(
[registry]
patch = '''
Windows Registry Editor Version 5.00
[HKEY_LOCAL_MACHINE\Vendor]
"Blob"=hex(1f):aa,bb
'''
)",
                                             {"x"});
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.summary["registry_unknown_types"].size(), 1u);
  EXPECT_EQ(r.summary["registry_unknown_types"][0], "HKEY_LOCAL_MACHINE\\Vendor\\Blob (type 31)");
}

namespace {

// Runs devsim with `args`; returns its exit status and what it printed on stderr.
std::pair<int, std::string> DevsimStatus(const std::string& args) {
  const testing_support::DevsimOutput r = testing_support::DevsimCommand(args);
  return {r.status, r.err};
}

}  // namespace

// Input that would exhaust memory or block the run is refused by name, with status 2.
TEST(ScenarioInput, HostileInputIsRefusedByName) {
  char dir_template[] = "/tmp/hostile-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = dir + "/big.toml";
  {
    std::ofstream out(big);
    out << "# " << std::string((1 << 20) + 1, 'x') << "\n";
  }
  std::string many_answers = "[user]\nanswers = [";
  for (int i = 0; i <= 10000; ++i) many_answers += "\"yes\", ";
  many_answers += "]\n";
  struct Case {
    std::string toml, expected;
  };
  const std::vector<Case> cases = {
      {"[[file]]\npath = '\\x.wav'\nhost = '" + dir + "'\n", "is not a regular file"},
      {"[[file]]\npath = '\\x.wav'\nhost = '/dev/zero'\n", "is not a regular file"},
      {"[[file]]\npath = '\\x.wav'\nhost = '" + fifo + "'\n", "is not a regular file"},
      {"[registry]\nfiles = ['/dev/zero']\n", "is not a regular file"},
      {"[registry]\nfiles = ['" + fifo + "']\n", "is not a regular file"},
      {"[[file]]\npath = '\\x.wav'\nwav_ms = 600001\n", "key 'file[0].wav_ms': value 600001 is outside 0 to 600000"},
      {many_answers, "key 'user.answers': 10001 entries, more than the 10000 allowed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml.substr(0, 80));
    RunSpec spec;
    spec.scenario = c.toml;
    spec.args = {"1"};
    const auto r = RunProgram(spec);
    EXPECT_NE(r.error.find(c.expected), std::string::npos) << r.error;
  }
  for (const std::string& file : {std::string("/dev/zero"), fifo, big, dir}) {
    SCOPED_TRACE(file);
    const auto [status, err] = DevsimStatus("--scenario " + file + " -- 1");
    EXPECT_EQ(status, 2) << err;
    EXPECT_NE(err.find(file), std::string::npos) << err;
  }
  std::filesystem::remove_all(dir);
}

// Radio reports with an empty, a short or a long payload are handed over safely; only the
// whole record counts as the power-off report.
TEST(ScenarioInput, RadioReportsOfAnyLengthAreHandedOverSafely) {
  for (const std::string words : {"[]", "[1]", "[20, 1]", "[20, 1, 1, 0, 0, 7, 7, 7]"}) {
    SCOPED_TRACE(words);
    const auto r =
        testing_support::RunBuiltin("[radio]\nconfirm = \"never\"\n[[radio.notify]]\nwords = " + words + "\n", {"1"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.Has("Power Off OK"), words.size() > 10) << r.Dump();
  }
}
