// One engine for every language: the same problems solved through the C++
// layer here and, in separate processes, through the host library's C
// interface, the Python package and the Fortran module give the same status,
// products and residuals, case by case.
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

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

// n = 200 tridiagonal; "helmholtz" complex-symmetric, "convection" not.
CsrMatrix tridiagonal(complex d, complex lower, complex upper) {
  const int n = 200;
  std::vector<int> r, c;
  std::vector<complex> v;
  for (int i = 0; i < n; ++i) {
    r.push_back(i), c.push_back(i), v.push_back(d);
    if (i + 1 < n) r.push_back(i + 1), c.push_back(i), v.push_back(lower);
    if (i + 1 < n) r.push_back(i), c.push_back(i + 1), v.push_back(upper);
  }
  return CsrMatrix::from_triplets(n, r, c, v);
}

// Right-hand sides from integer arithmetic, the same bits in every language:
// b(i, j) = (u mod 1009)/1009 - 1/2 + i ((v mod 997)/997 - 1/2) with
// u = 7919 i + 104729 j, v = 104729 i + 7919 j + 13 (1-based i, j).
Block rhs(int n, int s) {
  Block B(static_cast<std::size_t>(n) * s);
  for (long j = 1; j <= s; ++j)
    for (long i = 1; i <= n; ++i)
      B[(j - 1) * n + (i - 1)] = complex(static_cast<double>((7919 * i + 104729 * j) % 1009) / 1009.0 - 0.5,
                                         static_cast<double>((104729 * i + 7919 * j + 13) % 997) / 997.0 - 0.5);
  return B;
}

std::string cpp_lines() {
  const CsrMatrix helmholtz = tridiagonal({1.7, 0.2}, -1.0, -1.0);
  const CsrMatrix convection = tridiagonal({2.5, 0.5}, -1.4, {-0.6, 0.1});
  const int n = 200, s = 4;
  const Block B = rhs(n, s);
  struct Case {
    const char* problem;
    const CsrMatrix* a;
    Method m;
  } cases[] = {{"helmholtz", &helmholtz, Method::symmetric}, {"helmholtz", &helmholtz, Method::qmr},
               {"helmholtz", &helmholtz, Method::gmres},     {"convection", &convection, Method::qmr},
               {"convection", &convection, Method::gmres}};
  std::string out;
  for (const Case& c : cases) {
    Block X(B.size());
    Solver solver(c.m, n, s, with_rtol(1e-8));
    const Report& rep = solver.solve(op(*c.a), op(*c.a, true), s, B.data(), n, X.data(), n);
    char line[160];
    std::snprintf(line, sizeof line, "%s %s %s %ld %.3e\n", c.problem, to_string(c.m), to_string(rep.status),
                  rep.products, max_of(rep.residuals));
    out += line;
  }
  return out;
}

// Standard output of a command, less the library's records (which begin
// with a blank).
std::string lines_of(const std::string& command) {
  std::string out, line;
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
  const std::vector<std::pair<const char*, std::string>> drivers = {
      {"C", FACES_C_DRIVER[0] ? std::string(FACES_C_DRIVER) + " --faces" : ""},
      {"Fortran", FACES_FORTRAN_DRIVER},
      {"Python", FACES_PYTHON_DRIVER},
  };
  int ran = 0;
  for (const auto& [language, command] : drivers) {
    if (command.empty()) continue;
    ++ran;
    EXPECT_EQ(lines_of(command), expected) << language;
  }
  EXPECT_GE(ran, 1);
}

}  // namespace
