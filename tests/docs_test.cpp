// The scenario reference names every key the handset reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

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
