// The shared library exports exactly the twelve entry points.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

std::set<std::string> dynamic_symbols(const std::string& lib) {
  std::set<std::string> names;
  const std::string cmd = "nm -D --defined-only '" + lib + "'";
  FILE* pipe = popen(cmd.c_str(), "r");
  if (!pipe) return names;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string l(line);
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    const auto pos = l.find_last_of(' ');
    std::string name = pos == std::string::npos ? l : l.substr(pos + 1);
    if (const auto at = name.find('@'); at != std::string::npos) name.resize(at);
    // Version-node definitions ('A' entries such as the node name) are not functions.
    if (l.find(" A ") != std::string::npos) continue;
    if (!name.empty()) names.insert(name);
  }
  pclose(pipe);
  return names;
}

TEST(Exports, ExactlyTheTwelveEntryPoints) {
  const std::set<std::string> expected = {
      "C_COLBLOCKNORMS",        "C_CONVERGENCEPROGRESS", "C_ZDSYM_BLANCZOS1",
      "C_ZD_BLANCZOS",          "C_INITIALBLOCKGMRES",   "C_PARENTBASISCONSTRUCT",
      "C_GMRESHOUSEORTHOG",     "C_GMRESHMQR",           "C_GMRESUPDATELM",
      "C_GMRESLEASTSQS",        "C_GMRESITERATEUPDATE",  "C_GMRESDEFLATEDITERATES"};
  const auto found = dynamic_symbols(BK_SHARED_LIBRARY);
  ASSERT_FALSE(found.empty()) << "could not read the symbol table of " << BK_SHARED_LIBRARY;
  EXPECT_EQ(found, expected);
}

}  // namespace
