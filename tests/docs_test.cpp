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
  const std::regex getter(R"re((?:\.|->)(?:String|Bool|Int|U32|Ms|Strings|Ints|Table|Tables|Choice|Has)\("([A-Za-z0-9_]+)")re");
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
