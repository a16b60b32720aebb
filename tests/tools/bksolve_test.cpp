// bksolve run as a separate process: bad input of every kind ends with one
// message and a nonzero status and never leaves an output file behind;
// small solves through each method report and write correct results.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>

#include "matrix_market.hpp"
#include "support/command.hpp"

#ifndef BKSOLVE_BINARY
#define BKSOLVE_BINARY ""
#endif

namespace {

namespace fs = std::filesystem;
using complex = std::complex<double>;

using bk_test::Result;
using bk_test::slurp;

// An n x n tridiagonal coordinate file: diagonal d, sub- and superdiagonal
// `lower` and `upper` (stored as symmetric when equal), entry (i, j) scaled by
// sqrt(w_i w_j) with w_i = 10^(i mod 7 - 3) when `spread`.
std::string tridiagonal(int n, complex d, complex lower, complex upper, bool spread = false) {
  const bool sym = upper == lower;
  auto w = [&](int i) { return spread ? std::pow(10.0, (i % 7) - 3) : 1.0; };
  std::ostringstream s;
  s.precision(17);
  s << "%%MatrixMarket matrix coordinate complex " << (sym ? "symmetric" : "general") << "\n"
    << n << " " << n << " " << (sym ? 2 * n - 1 : 3 * n - 2) << "\n";
  auto put = [&](int i, int j, complex v) {
    v *= std::sqrt(w(i) * w(j));
    s << i << " " << j << " " << v.real() << " " << v.imag() << "\n";
  };
  for (int i = 1; i <= n; ++i) {
    put(i, i, d);
    if (i < n) put(i + 1, i, lower);
    if (i > 1 && !sym) put(i - 1, i, upper);
  }
  return s.str();
}
// A complex-symmetric 1D Helmholtz matrix and a non-symmetric convection one.
std::string helmholtz_1d(int n) { return tridiagonal(n, {1.7, 0.2}, -1, -1); }
std::string convection_1d(int n) { return tridiagonal(n, {2.5, 0.5}, -1.4, {-0.6, 0.1}); }

class Bksolve : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(BKSOLVE_BINARY).empty()) GTEST_SKIP() << "bksolve is not built";
    dir_ = fs::temp_directory_path() / ("bk_cli_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "work");
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  std::string work(const std::string& name) const { return (dir_ / "work" / name).string(); }
  // Writes a file into the work directory and returns its path.
  std::string file(const std::string& name, const std::string& text) {
    std::ofstream(work(name), std::ios::binary) << text;
    return work(name);
  }
  long files() const { return std::distance(fs::directory_iterator(dir_ / "work"), {}); }

  Result run(const std::string& args) { return bk_test::run_command(BKSOLVE_BINARY, args, dir_); }
  // Runs a solve that must succeed and returns its JSON summary.
  nlohmann::json run_json(const std::string& args) {
    const Result r = run(args + " --json");
    EXPECT_EQ(r.code, 0) << r.err << r.out;
    // No progress line when standard error is not a terminal (the library's
    // own records, e.g. of a restarted near-breakdown, may be there).
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
    auto j = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON:\n" << r.out;
    return j;
  }

  fs::path dir_;
};

const char* kSmall = "%%MatrixMarket matrix coordinate real general\n3 3 3\n1 1 2\n2 2 2\n3 3 2\n";

// Input bksolve cannot use ends with one error message naming the file (and
// line) or the option, nothing on standard output, no file written (neither
// X nor a temporary one) and the inputs unchanged; status 1 for bad input, 2
// for bad usage.
TEST_F(Bksolve, BadInputEndsWithOneMessageAndNoOutput) {
  const std::string a = file("a.mtx", kSmall), mm = "%%MatrixMarket matrix ";
  const std::string b = file("b.mtx", mm + "array real general\n3 1\n1\n2\n3\n");
  const std::string ns = file("ns.mtx", mm + "coordinate real general\n2 2 3\n1 1 2\n2 2 2\n1 2 1\n");
  const std::string ns3 = file("ns3.mtx", convection_1d(3));
  const std::string x = " -o " + work("x.mtx");
  fs::create_hard_link(a, work("hard.mtx"));
  fs::create_symlink(a, work("soft.mtx"));
  const std::tuple<std::string, std::string, int> cases[] = {
      {file("idx.mtx", mm + "coordinate real general\n3 3 2\n1 1 1\n4 1 1\n") + x, "idx.mtx:4: row index 4 out of", 1},
      {"/dev/zero" + x, "/dev/zero: is not a regular file", 1},
      {file("rect.mtx", mm + "array real general\n2 3\n1\n2\n3\n4\n5\n6\n") + x, "is 2 x 3, but A must be square", 1},
      {ns + " --method symmetric" + x, "not complex-symmetric", 1},
      {a + " -o " + (dir_ / "nowhere" / "x.mtx").string(), "cannot write there", 1},
      {a + " -o " + work(""), "is a directory", 1},
      // A row without a nonzero entry once duplicates are summed.
      {file("dup.mtx", mm + "coordinate real general\n3 3 3\n1 1 2\n1 1 1\n3 3 1\n") + x, "row 2 of A holds no", 1},
      {file("cancel.mtx", mm + "coordinate real general\n3 3 4\n1 1 2\n2 2 1\n2 2 -1\n3 3 1\n") + x,
       "cancel.mtx: row 2 of A holds no nonzero entry", 1},
      // Sizes that would exhaust memory are refused before anything is allocated.
      {file("huge.mtx", mm + "coordinate real general\n2000000000 2000000000 1\n1 1 1\n") + x,
       "row 2 of A holds no nonzero entry", 1},
      {a + " -b " + file("wide.mtx", mm + "coordinate real general\n3 2000000000 0\n") + x,
       "B with 2000000000 columns needs about", 1},
      {"--grid 20000" + x, "the built-in problem on a 20000 x 20000 grid needs about", 1},
      // The right-hand side file is read the same way and must match A.
      {a + " -b " + file("b3.mtx", mm + "array real general\n2 1\n1\n2\n") + x, "b3.mtx: B has 2 rows, but A has 3", 1},
      {a + " -b " + file("bcut.mtx", mm + "array complex general\n3 1\n1 0\n2 0\n") + x,
       "bcut.mtx:4: unexpected end of file after 2 of 3 entries", 1},
      // Usage
      {a + " --frobnicate" + x, "--frobnicate", 2},
      {a + " --method fast" + x, "--method", 2},
      {a + " --rtol -1" + x, "--rtol", 2},
      {a + " --rtol nan" + x, "--rtol", 2},
      {"--damping nan" + x, "--damping", 2},
      {"--wavenumber inf" + x, "--wavenumber", 2},
      {"--grid 2" + x, "--grid", 2},
      {"--grid 3 --nrhs 10" + x, "--nrhs 10: the 3 x 3 grid has only 9 points", 2},
      // X would replace an input, whatever the name it is given by.
      {a + " -o " + a, "X would replace it", 2},
      {a + " -o " + work("./a.mtx"), "is the input file " + a, 2},
      {a + " -o " + work("hard.mtx"), "X would replace it", 2},
      {a + " -o " + work("soft.mtx"), "X would replace it", 2},
      {a + " -b " + b + " -o " + b, "is the input file " + b, 2},
      {a + " --block-size 0" + x, "--block-size", 2},
      {a + " --rhs ones -b " + a + x, "--rhs", 2},
      {a + " extra.mtx" + x, "extra.mtx", 2},
      {a + x + " --restart", "--restart", 2},
      // Preconditioners the matrix or the method cannot take, and their options.
      {ns3 + " --precond ic0" + x, "--precond ic0: the matrix is not complex-symmetric", 2},
      {a + " --precond ict --precond-matrix " + ns3 + x, "--precond ict with --precond-matrix " + ns3, 2},
      {a + " --method symmetric --precond ilut" + x, "--precond ilut is not complex-symmetric", 2},
      {a + " --method symmetric --precond ssor --precond-matrix " + ns3 + x, "is not complex-symmetric (M2", 2},
      {file("zd.mtx", mm + "coordinate real general\n3 3 3\n1 1 2\n2 1 1\n3 3 2\n") + " --precond ssor" + x,
       "--precond ssor: diagonal entry 2 is zero", 2},
      {a + " --precond-matrix " + ns + x, "P has order 2, but A has order 3", 2},
      {a + " -o " + ns3 + " --precond-matrix " + ns3, "X would replace it", 2},
      {a + " --precond ssor --omega 2" + x, "--omega", 2},
      {a + " --precond ssor --omega nan" + x, "--omega", 2},
      {a + " --precond ilut --drop-tol -1" + x, "--drop-tol", 2},
      {a + " --precond ict --fill -1" + x, "--fill", 2},
      {a + " --precond ilu0 --omega 1.5" + x, "--omega applies to --precond ssor only", 2},
      {a + " --drop-tol 0.1" + x, "--drop-tol applies to --precond ict and ilut only, not auto", 2},
      {a + " --scale --precond ilu0" + x, "--scale is --precond jacobi", 2}};
  const long before = files();
  for (const auto& [args, expect, code] : cases) {
    const Result r = run(args);
    const auto at = r.err.find("bksolve: error:");  // exactly one such message
    EXPECT_EQ(r.code, code) << args;
    EXPECT_TRUE(at != std::string::npos && r.err.find("bksolve: error:", at + 1) == std::string::npos &&
                r.err.find(expect) != std::string::npos && r.out.empty())
        << args << "\n" << r.err;
    EXPECT_EQ(files(), before) << args;
  }
  EXPECT_TRUE(slurp(a) == kSmall && slurp(b) == mm + "array real general\n3 1\n1\n2\n3\n");
  EXPECT_EQ(run("--help").code, 0);
}

// Each method converges on the true residual and reports it per column with
// the error against the known solution: the symmetric solver on a complex-
// symmetric A, also with diagonal entries over six orders of magnitude scaled
// away and five right-hand sides in blocks of two; the two-sided solver
// (auto's choice) and gmres on a non-symmetric A, where a wrong transpose shows.
// With --scale (jacobi) on a non-symmetric A of such rows the preconditioned
// system meets rtol long before the original one, on which convergence is
// judged. The default preconditioner is auto, jacobi for the symmetric method
// when only P != P^T is at hand; an ilu keeps auto off the symmetric method.
// SSOR built from another matrix must not use its fused product (that would
// solve with P in place of A). Blocks never exceed n / 2 for gmres, which
// cannot take n = 1 at all (qmr steps in). The message quotes the largest
// residual of the original system.
TEST_F(Bksolve, EachMethodSolvesAndReportsTrueResidualAndError) {
  const int n = 80;
  const std::string sym = file("sym.mtx", helmholtz_1d(n)), ns = file("ns.mtx", convection_1d(n));
  const std::string scaled = file("scaled.mtx", tridiagonal(n, {3, -0.5}, -0.5, -0.5, true));
  const std::string spread = file("spread.mtx", tridiagonal(n, {3, -0.5}, -0.5, -0.7, true));
  const std::string ns8 = file("ns8.mtx", convection_1d(8)), one = file("one.mtx", convection_1d(1));
  const std::string p_sym = " --precond-matrix " + file("p.mtx", tridiagonal(n, {2.4, 0.6}, -1, -1));
  const std::string p_ns = " --precond-matrix " + file("pns.mtx", tridiagonal(n, {2.4, 0.6}, -1, -0.8));
  // args, method, preconditioner (start of its name), n, s, block size
  const std::tuple<std::string, std::string, std::string, int, int, int> cases[] = {
      {sym + " --method symmetric --precond none", "symmetric", "none", n, 3, 3},
      {sym + " --method symmetric", "symmetric", "auto: ict", n, 3, 3},
      {scaled + " --scale --block-size 2", "symmetric", "jacobi (--scale)", n, 5, 2},
      {ns + " --method qmr", "qmr", "auto: ilut", n, 3, 3},
      {ns, "qmr", "auto: ilut", n, 3, 3},
      {spread + " --scale --rhs random --method gmres", "gmres", "jacobi", n, 4, 4},
      {spread + " --scale --rhs random --method qmr", "qmr", "jacobi", n, 4, 4},
      {sym + " --method symmetric --precond ic0", "symmetric", "ic0", n, 3, 3},
      {ns + " --method gmres --precond ilu0", "gmres", "ilu0", n, 3, 3},
      {ns + " --method qmr --precond ilut --drop-tol 0.3 --fill 1", "qmr", "ilut(drop 0.3, fill 1)", n, 3, 3},
      {sym + " --precond ilu0", "qmr", "ilu0", n, 3, 3},
      {sym + " --method symmetric --precond ssor --omega 1.2" + p_sym, "symmetric", "ssor(omega 1.2) from", n, 3, 3},
      {sym + " --method qmr --precond ssor" + p_sym, "qmr", "ssor(omega 1) from", n, 3, 3},
      {sym + " --method symmetric" + p_ns, "symmetric", "auto: jacobi (P != P^T", n, 3, 3},
      {ns8 + " --method gmres", "gmres", "auto: ilut", 8, 8, 4},
      {ns8 + " --method gmres", "gmres", "auto: ilut", 8, 11, 4},
      {one + " --method gmres", "qmr", "auto: ", 1, 3, 1}};
  for (const auto& [args, method, precond, order, s, block] : cases) {
    const bool known = args.find("--rhs") == std::string::npos;
    auto j = run_json(args + (known ? " --rhs solution" : "") + " --nrhs " + std::to_string(s) + " --rtol 1e-10");
    EXPECT_TRUE(j["method"] == method && j["preconditioner"].get<std::string>().rfind(precond, 0) == 0 &&
                j["n"] == order && j["nnz"] == 3 * order - 2 && j["s"] == s &&
                j["block_size"] == block && j["scaled"] == (args.find("--scale") != std::string::npos) &&
                j["converged"] == true && j["products"] > 0)
        << args << "\n" << j;
    ASSERT_TRUE(j["residuals"].size() == size_t(s) &&
                j.value("errors", nlohmann::json::array()).size() == size_t(known ? s : 0))
        << j;
    double worst = 0;
    for (int c = 0; c < s; ++c) {
      EXPECT_TRUE(j["residuals"][c] <= 1e-10 && (!known || j["errors"][c] <= 1e-6)) << args << j;
      worst = std::max(worst, j["residuals"][c].get<double>());
    }
    const std::string message = j["message"], quote = "largest relative residual ";
    ASSERT_NE(message.find(quote), std::string::npos) << message;
    EXPECT_NEAR(std::stod(message.substr(message.find(quote) + quote.size())), worst, 0.01 * worst) << args << j;
  }
}

// The X written to a file solves the system given by -b (checked here with a
// dense product), and nothing else is left in the directory. The matrix file's
// name, with a newline and a tab in it, goes into a comment line of X without
// breaking the file.
TEST_F(Bksolve, WritesSolutionFromRightHandSideFile) {
  const int n = 50;
  const std::string a = file("n\ns\t.mtx", convection_1d(n));
  const std::string b = file("b.mtx", "%%MatrixMarket matrix coordinate real general\n" + std::to_string(n) +
                                          " 2 3\n1 1 1\n" + std::to_string(n) + " 2 -2\n7 2 0.5\n");
  run_json("'" + a + "' -b " + b + " -o " + work("x.mtx") + " --rtol 1e-11");
  EXPECT_EQ(files(), 3);
  const auto A = bksolve::read_matrix_market(a).to_dense(), B = bksolve::read_matrix_market(b).to_dense();
  const auto X = bksolve::read_matrix_market(work("x.mtx"));
  ASSERT_TRUE(X.rows == n && X.cols == 2);
  for (int c = 0; c < 2; ++c) {
    double rn = 0, bn = 0;
    for (int i = 0; i < n; ++i) {
      complex r = B[i + c * n];
      for (int k = 0; k < n; ++k) r -= A[i + k * n] * X.dense[k + c * n];
      rn += std::norm(r), bn += std::norm(B[i + c * n]);
    }
    EXPECT_LE(std::sqrt(rn / bn), 1e-10) << "column " << c;
  }
}

TEST_F(Bksolve, UnconvergedSolveSaysSoAndStillWritesX) {
  const Result r = run(file("sym.mtx", helmholtz_1d(200)) + " --precond none --max-products 4 -o " + work("x.mtx"));
  EXPECT_EQ(r.code, 3) << r.err << r.out;
  EXPECT_NE(r.out.find("NOT converged"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("true rel. residual"), std::string::npos) << r.out;
  EXPECT_EQ(bksolve::read_matrix_market(work("x.mtx")).rows, 200);
}

// Without a matrix: the built-in Helmholtz problem, which auto solves as
// symmetric with the threshold L D L^T.
TEST_F(Bksolve, BuiltInProblemOnASmallGrid) {
  auto j = run_json("--grid 30 --wavenumber 10");
  EXPECT_TRUE(j["matrix"] == "built-in" && j["method"] == "symmetric" && j["converged"] == true &&
              j["preconditioner"] == "auto: ict(drop 0.001, fill 5) (A = A^T)")
      << j;
  EXPECT_TRUE(j["n"] == 900 && j["s"] == 8) << j;
}

}  // namespace
