// The shared library exports exactly the twelve entry points.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

// Defined dynamic symbols, less version-node definitions ('A' entries).
std::set<std::string> dynamic_symbols(const std::string& lib) {
  std::set<std::string> names;
  FILE* pipe = popen(("nm -D --defined-only '" + lib + "'").c_str(), "r");
  char line[1024];
  while (pipe != nullptr && std::fgets(line, sizeof line, pipe)) {
    std::string l(line);
    l = l.substr(0, l.find_last_not_of("\r\n") + 1);
    std::string name = l.substr(l.find_last_of(' ') + 1);
    if (l.find(" A ") == std::string::npos && !name.empty()) names.insert(name.substr(0, name.find('@')));
  }
  if (pipe != nullptr) pclose(pipe);
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
