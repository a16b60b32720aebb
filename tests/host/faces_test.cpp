// One engine for every language: the same problems solved through the C++
// layer here and, in separate processes, through the host library's C
// interface, the Python package and the Fortran module give the same status,
// products and residuals, case by case.
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/host_helpers.hpp"

#ifndef FACES_C_DRIVER
#define FACES_C_DRIVER ""
#endif
#ifndef FACES_FORTRAN_DRIVER
#define FACES_FORTRAN_DRIVER ""
#endif
#ifndef FACES_PYTHON_DRIVER
#define FACES_PYTHON_DRIVER ""
#endif

namespace {

using namespace host_test;

CsrMatrix tridiagonal(int n, complex d, complex lower, complex upper) {
  std::vector<int> r, c;
  Block v;
  for (int i = 0; i < n; ++i)
    for (int k = std::max(i - 1, 0); k <= std::min(i + 1, n - 1); ++k)
      r.push_back(i), c.push_back(k), v.push_back(k < i ? lower : k > i ? upper : d);
  return CsrMatrix::from_triplets(n, r, c, v);
}

// The problem set: n = 200 tridiagonal, "helmholtz" complex-symmetric,
// "convection" not; four right-hand sides from integer arithmetic, the same
// bits in every language: b(i, j) = (u mod 1009)/1009 - 1/2 + i ((v mod
// 997)/997 - 1/2), u = 7919 i + 104729 j, v = 104729 i + 7919 j + 13 (1-based).
std::string cpp_lines() {
  const int n = 200, s = 4;
  const CsrMatrix helmholtz = tridiagonal(n, {1.7, 0.2}, -1.0, -1.0);
  const CsrMatrix convection = tridiagonal(n, {2.5, 0.5}, -1.4, {-0.6, 0.1});
  Block B(n * s);
  for (long j = 1; j <= s; ++j)
    for (long i = 1; i <= n; ++i)
      B[(j - 1) * n + (i - 1)] = complex(static_cast<double>((7919 * i + 104729 * j) % 1009) / 1009.0 - 0.5,
                                         static_cast<double>((104729 * i + 7919 * j + 13) % 997) / 997.0 - 0.5);
  std::string out;
  for (auto [a, m] : {std::pair{&helmholtz, Method::symmetric}, {&helmholtz, Method::qmr}, {&helmholtz, Method::gmres},
                      {&convection, Method::qmr}, {&convection, Method::gmres}}) {
    Block X(B.size());
    Solver solver(m, n, s, with_rtol(1e-8));
    const Report& rep = solver.solve(op(*a), op(*a, true), s, B.data(), n, X.data(), n);
    char line[160];
    std::snprintf(line, sizeof line, "%s %s %s %ld %.3e\n", a == &helmholtz ? "helmholtz" : "convection",
                  to_string(m), to_string(rep.status), rep.products, max_of(rep.residuals));
    out += line;
  }
  return out;
}

// Standard output of a command, less the library's records (which begin
// with a blank).
std::string lines_of(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return "popen failed";
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) != nullptr)
    if (buf[0] != ' ') out += buf;
  const int status = ::pclose(p);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += "exit status " + std::to_string(status) + "\n";
  return out;
}

TEST(Faces, EveryLanguageSolvesLikeTheCppLayer) {
  const std::string expected = cpp_lines();
  for (const char* line : {"helmholtz symmetric converged", "convection gmres converged"})
    EXPECT_NE(expected.find(line), std::string::npos) << expected;
  int ran = 0;
  for (auto [language, command] : {std::pair<const char*, std::string>{"C", std::string(FACES_C_DRIVER) + " --faces"},
                                   {"Fortran", FACES_FORTRAN_DRIVER}, {"Python", FACES_PYTHON_DRIVER}}) {
    if (command.empty() || command == " --faces") continue;
    ++ran;
    EXPECT_EQ(lines_of(command), expected) << language;
  }
  EXPECT_GE(ran, 1);
}

}  // namespace
