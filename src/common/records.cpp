#include "common/records.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/comm.hpp"

namespace bk {
namespace {

// Formats " text[value]\n" into a bounded buffer and writes it in one call.
// Record texts are short literals; anything longer is cut, never overrun.
// Across ranks, rank 0 writes for all (every rank takes the same decisions).
template <class... Args>
void write_line(const char* fmt, Args... args) {
  if (!comm::root()) return;
  char line[512];
  int len = std::snprintf(line, sizeof line, fmt, args...);
  if (len < 0) return;
  if (static_cast<std::size_t>(len) >= sizeof line) {
    len = sizeof line - 1;
    line[len - 1] = '\n';
  }
  std::fwrite(line, 1, static_cast<std::size_t>(len), stdout);
  std::fflush(stdout);
}

}  // namespace

void record(const char* text) { write_line(" %s\n", text); }
void record(const char* text, int value) { write_line(" %s%12d\n", text, value); }
void record(const char* text, double value) { write_line(" %s%25.16E\n", text, value); }

void fatal_record(const char* text) {
  record(text);
#if BLOCKKRYLOV_MPI
  comm::abort_all();
#else
  std::exit(EXIT_FAILURE);
#endif
}

}  // namespace bk
