// The scenario reference names every key the handset reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "tests/harness.h"

namespace {

std::string Read(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(Docs, ScenarioReferenceNamesEveryKey) {
  const std::string src = HS_SOURCE_DIR;
  const std::string reference = Read(src + "/docs/scenarios.md");
  ASSERT_FALSE(reference.empty());
  // Keys are read through Section's typed getters; a few are read through a variable.
  std::set<std::string> keys = {"start_fields", "end", "end_fields", "text", "patch", "base"};
  const std::regex getter(
      R"re((?:\.|->)(?:String|Bool|Int|U32|Ms|Strings|Ints|Table|Tables|Choice|Has)\("([A-Za-z0-9_]+)")re");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(src + "/sim")) {
    if (entry.path().extension() != ".cpp") continue;
    const std::string code = Read(entry.path());
    for (std::sregex_iterator it(code.begin(), code.end(), getter), end; it != end; ++it) keys.insert((*it)[1]);
  }
  EXPECT_GT(keys.size(), 80u);
  for (const auto& key : keys) {
    const bool named = reference.find("`" + key + "`") != std::string::npos ||
                       reference.find("[" + key + "]") != std::string::npos ||
                       reference.find("." + key + "]") != std::string::npos;
    EXPECT_TRUE(named) << "docs/scenarios.md does not name the key " << key;
  }
}

namespace {

// What devsim prints for `args`.
std::string Output(const std::string& args) { return testing_support::DevsimCommand(args).out; }

}  // namespace

TEST(Docs, ReadmeDescribesEveryOptionOfEveryCommand) {
  const std::string readme = Read(std::string(HS_SOURCE_DIR) + "/README.md");
  const std::string help = Output("--help") + Output("explore --help") + Output("sweep --help") + Output("diff --help");
  std::set<std::string> options;
  const std::regex option(R"((--[a-z][a-z-]+))");
  for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it) options.insert((*it)[1]);
  EXPECT_GT(options.size(), 20u) << help;
  for (const auto& o : options)
    EXPECT_TRUE(std::regex_search(readme, std::regex(o + "(?![a-z-])"))) << "README.md does not describe " << o;
}

TEST(Docs, ReadmeSaysTheBuiltInHandsetNeedsARebuild) {
  const std::string readme = Read(std::string(HS_SOURCE_DIR) + "/README.md");
  const auto section = readme.find("## Change and check");
  ASSERT_NE(section, std::string::npos);
  const std::string text = readme.substr(section, readme.find("\n## ", section + 1) - section);
  EXPECT_TRUE(std::regex_search(text, std::regex("builtin\\.toml[^\\n]*\\n?[^\\n]*compiled into devsim"))) << text;
  EXPECT_NE(text.find("rebuild before running"), std::string::npos) << text;
  for (const char* step : {"devsim diff", "--gtest_filter='Gallery*'", "devsim explore", "devsim sweep", "[expect]"})
    EXPECT_NE(text.find(step), std::string::npos) << step;
}

// A sample of devsim's output in the docs is marked with the command it comes from
// (<!-- sample: devsim ARGS -->, just before its block); each of its lines must still be a line
// of that command's output, in order. "..." stands for lines left out, and a line ending in
// "..." for a line cut short. Trailing blanks do not count.
TEST(Docs, SamplesOfOutputAreWhatDevsimPrintsToday) {
  auto trimmed = [](std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.pop_back();
    return s;
  };
  const std::string src = HS_SOURCE_DIR;
  int samples = 0;
  for (const char* doc : {"README.md", "docs/reading-a-run.md"}) {
    const std::string text = Read(src + "/" + doc);
    const std::regex marker(R"(<!-- sample: devsim (.*?) -->\n```\n([\s\S]*?)```)");
    for (std::sregex_iterator it(text.begin(), text.end(), marker), end; it != end; ++it) {
      const std::string args = (*it)[1];
      SCOPED_TRACE(std::string(doc) + ": devsim " + args);
      std::vector<std::string> out;
      std::stringstream printed(Output("cd " + src + " && " + HS_DEVSIM + " " + args + " 2>&1"));
      for (std::string line; std::getline(printed, line);) out.push_back(trimmed(line));
      ASSERT_GT(out.size(), 5u);
      std::size_t at = 0;
      std::stringstream sample((*it)[2].str());
      for (std::string line; std::getline(sample, line);) {
        line = trimmed(line);
        if (line.find_first_not_of(' ') == std::string::npos ||
            trimmed(line).find_first_not_of(" .") == std::string::npos)
          continue;
        const bool cut = line.size() > 3 && line.compare(line.size() - 3, 3, "...") == 0;
        const std::string want = cut ? line.substr(0, line.size() - 3) : line;
        std::size_t found = at;
        while (found < out.size() && (cut ? out[found].rfind(want, 0) != 0 : out[found] != want)) ++found;
        EXPECT_LT(found, out.size()) << "not printed (or out of order): " << line;
        if (found < out.size()) at = found + 1;
      }
      ++samples;
    }
  }
  EXPECT_GE(samples, 3);
}

// Every member a record of the event log carries is listed in docs/event-log.md's fields.
TEST(Docs, EventLogFieldsAreAllListed) {
  const std::string src = HS_SOURCE_DIR;
  const std::string reference = Read(src + "/docs/event-log.md");
  const std::string log = testing::TempDir() + "docs_event_fields.jsonl";
  std::set<std::string> members;
  for (const char* run : {"-- 3", "--answer yes@2000 -- 3", "--fail CreateMutexW -- 1",
                          "--scenario scenarios/late_yes_after_resume.toml -- 3"}) {
    Output("cd " + src + " && " + HS_DEVSIM + " -q --events " + log + " " + run + " > /dev/null 2>&1");
    std::ifstream in(log);
    const std::regex member(R"re("([a-z_]+)":)re");
    for (std::string line; std::getline(in, line);) {
      // Only the record's own members: the text before "args" and after its closing brace.
      const auto args = line.find("\"args\":{");
      std::string own = line.substr(0, args);
      if (args != std::string::npos) {
        int depth = 0;
        std::size_t i = args + 7;
        for (; i < line.size(); ++i) {
          if (line[i] == '{') ++depth;
          if (line[i] == '}' && --depth == 0) break;
        }
        own += line.substr(i + 1);
      }
      for (std::sregex_iterator it(own.begin(), own.end(), member), end; it != end; ++it) members.insert((*it)[1]);
    }
  }
  EXPECT_GT(members.size(), 8u);
  for (const auto& m : members)
    EXPECT_NE(reference.find("| `" + m + "` |"), std::string::npos) << "docs/event-log.md does not list " << m;
}
