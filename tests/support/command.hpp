// Running a program as a separate process for the tests of the command-line
// tools: its exit status and what it wrote to each stream.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace bk_test {

struct Result {
  int code = -1;
  std::string out, err;
};

inline std::string slurp(const std::filesystem::path& p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

// Runs `command args` with no input, its streams caught in dir/out and dir/err.
inline Result run_command(const std::string& command, const std::string& args,
                          const std::filesystem::path& dir) {
  const std::string cmd = command + " " + args + " > " + (dir / "out").string() + " 2> " +
                          (dir / "err").string() + " < /dev/null";
  const int st = std::system(cmd.c_str());
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(dir / "out"), slurp(dir / "err")};
}

}  // namespace bk_test
