// The shared libraries export exactly the twelve entry points (the
// distributed one, when built, also C_SETCOMM).
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

const std::set<std::string> kTwelve = {
    "C_COLBLOCKNORMS",    "C_CONVERGENCEPROGRESS", "C_ZDSYM_BLANCZOS1",
    "C_ZD_BLANCZOS",      "C_INITIALBLOCKGMRES",   "C_PARENTBASISCONSTRUCT",
    "C_GMRESHOUSEORTHOG", "C_GMRESHMQR",           "C_GMRESUPDATELM",
    "C_GMRESLEASTSQS",    "C_GMRESITERATEUPDATE",  "C_GMRESDEFLATEDITERATES"};

TEST(Exports, ExactlyTheTwelveEntryPoints) {
  const auto found = dynamic_symbols(BK_SHARED_LIBRARY);
  ASSERT_FALSE(found.empty()) << "could not read the symbol table of " << BK_SHARED_LIBRARY;
  EXPECT_EQ(found, kTwelve);
}

#ifdef BK_MPI_LIBRARY
TEST(Exports, DistributedLibraryAddsOnlyTheCommunicator) {
  auto expected = kTwelve;
  expected.insert("C_SETCOMM");
  const auto found = dynamic_symbols(BK_MPI_LIBRARY);
  ASSERT_FALSE(found.empty()) << "could not read the symbol table of " << BK_MPI_LIBRARY;
  EXPECT_EQ(found, expected);
}
#endif

}  // namespace
