// bksolve run as a separate process: bad input of every kind ends with one
// message and a nonzero status and never leaves an output file behind;
// small solves through each method report and write correct results.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "matrix_market.hpp"

#ifndef BKSOLVE_BINARY
#define BKSOLVE_BINARY ""
#endif

namespace {

namespace fs = std::filesystem;
using complex = std::complex<double>;

struct Result {
  int code = -1;
  std::string out, err;
  int error_lines() const {
    int k = 0;
    std::istringstream in(err);
    for (std::string l; std::getline(in, l);) k += l.rfind("bksolve: error:", 0) == 0;
    return k;
  }
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

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

  // Writes a file into the work directory and returns its path.
  std::string file(const std::string& name, const std::string& text) {
    const fs::path p = dir_ / "work" / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
  std::string work(const std::string& name) const { return (dir_ / "work" / name).string(); }

  Result run(const std::string& args) {
    const std::string cmd = std::string(BKSOLVE_BINARY) + " " + args + " > " + (dir_ / "out").string() + " 2> " +
                            (dir_ / "err").string() + " < /dev/null";
    const int st = std::system(cmd.c_str());
    Result r;
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = slurp(dir_ / "out");
    r.err = slurp(dir_ / "err");
    return r;
  }

  std::vector<std::string> work_files() const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir_ / "work")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Runs a command that must fail with status 1 before writing anything:
  // one error line containing `expect`, and no output file.
  void expect_input_error(const std::string& args, const std::string& expect) {
    SCOPED_TRACE(args);
    const auto before = work_files();
    const Result r = run(args + " -o " + work("x_out.mtx"));
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_EQ(r.error_lines(), 1) << r.err;
    EXPECT_NE(r.err.find(expect), std::string::npos) << r.err;
    EXPECT_EQ(work_files(), before);  // neither X nor a temporary file
  }

  fs::path dir_;
};

const char* kSmall = "%%MatrixMarket matrix coordinate real general\n3 3 3\n1 1 2\n2 2 2\n3 3 2\n";

TEST_F(Bksolve, BadFilesEndWithOneMessageNamingFileAndLine) {
  const std::string a = file("a.mtx", kSmall);
  expect_input_error(work("absent.mtx"), "absent.mtx: cannot open");
  expect_input_error(file("hdr.mtx", "%%MatrixMarket matrix coordinate real\n1 1 1\n1 1 1\n"), "hdr.mtx:1: bad header");
  expect_input_error(file("junk.mtx", "hello world\n"), "junk.mtx:1: not a Matrix Market file");
  expect_input_error(file("idx.mtx", "%%MatrixMarket matrix coordinate real general\n3 3 2\n1 1 1\n4 1 1\n"),
                     "idx.mtx:4: row index 4 out of range 1..3");
  expect_input_error(file("cut.mtx", "%%MatrixMarket matrix coordinate real general\n3 3 3\n1 1 1\n2 2 1\n"),
                     "cut.mtx:4: unexpected end of file after 2 of 3 entries");
  expect_input_error(file("rect.mtx", "%%MatrixMarket matrix array real general\n2 3\n1\n2\n3\n4\n5\n6\n"),
                     "rect.mtx: the matrix is 2 x 3, but A must be square");
  expect_input_error(file("nan.mtx", "%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 1\n2 2 NaN\n"),
                     "nan.mtx:4: value 'NaN' is not a finite number");
  expect_input_error(file("inf.mtx", "%%MatrixMarket matrix coordinate complex general\n1 1 1\n1 1 1 inf\n"),
                     "inf.mtx:3: value 'inf' is not a finite number");
  expect_input_error(file("empty.mtx", ""), "empty.mtx: empty file");
  expect_input_error(work(""), "is a directory");
  expect_input_error("/dev/zero", "/dev/zero: is not a regular file");
  // Sizes that would exhaust memory are refused before anything is allocated.
  expect_input_error(file("huge.mtx", "%%MatrixMarket matrix coordinate real general\n2000000000 2000000000 1\n1 1 1\n"),
                     "some row is empty and A is singular");
  expect_input_error(a + " -b " + file("wide.mtx", "%%MatrixMarket matrix coordinate real general\n3 2000000000 0\n"),
                     "B with 2000000000 columns needs about");
  expect_input_error("--grid 20000", "the built-in problem on a 20000 x 20000 grid needs about");
  // The right-hand side file gets the same checks, and must match A.
  expect_input_error(a + " -b " + file("b3.mtx", "%%MatrixMarket matrix array real general\n2 1\n1\n2\n"),
                     "b3.mtx: B has 2 rows, but A has 3");
  expect_input_error(a + " -b " + file("bnan.mtx", "%%MatrixMarket matrix array real general\n3 1\n1\nnan\n2\n"),
                     "bnan.mtx:4: value 'nan' is not a finite number");
  expect_input_error(a + " -b " + file("bcut.mtx", "%%MatrixMarket matrix array complex general\n3 1\n1 0\n2 0\n"),
                     "bcut.mtx:4: unexpected end of file after 2 of 3 entries");
}

TEST_F(Bksolve, UsageErrorsExitWithStatusTwo) {
  const std::string a = file("a.mtx", kSmall);
  for (const std::string& args : {a + " --frobnicate", a + " --method fast", a + " --rtol -1", a + " --rtol nan",
                                 a + " --block-size 0", a + " --rhs ones -b " + a, a + " extra.mtx",
                                 a + " --restart"}) {
    SCOPED_TRACE(args);
    const Result r = run(args);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_EQ(r.error_lines(), 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_NE(run(a + " --frobnicate").err.find("--frobnicate"), std::string::npos);
  const Result help = run("--help");
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("--method"), std::string::npos);
  EXPECT_NE(help.out.find("--rhs"), std::string::npos);
}

TEST_F(Bksolve, RefusesWhatItCannotDo) {
  const std::string ns = file("ns.mtx", "%%MatrixMarket matrix coordinate real general\n2 2 3\n1 1 2\n2 2 2\n1 2 1\n");
  expect_input_error(ns + " --method symmetric", "not complex-symmetric");
  // Output into a directory that does not exist is refused before solving.
  const Result r = run(file("a.mtx", kSmall) + " -o " + (dir_ / "nowhere" / "x.mtx").string());
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot write there"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());
}

// ---------------------------------------------------------------------------
// Solves (small, fast)

// A complex-symmetric tridiagonal matrix (1D Helmholtz with a complex shift)
// as a symmetric coordinate file, and a non-symmetric one as a general file.
std::string helmholtz_1d(int n) {
  std::ostringstream s;
  s << "%%MatrixMarket matrix coordinate complex symmetric\n% 1D Helmholtz\n"
    << n << " " << n << " " << (2 * n - 1) << "\n";
  for (int i = 1; i <= n; ++i) {
    s << i << " " << i << " " << 2.0 - 0.3 << " " << 0.2 << "\n";
    if (i < n) s << i + 1 << " " << i << " -1 0\n";
  }
  return s.str();
}

std::string convection_1d(int n) {
  std::ostringstream s;
  s << "%%MatrixMarket matrix coordinate complex general\n" << n << " " << n << " " << (3 * n - 2) << "\n";
  for (int i = 1; i <= n; ++i) {
    s << i << " " << i << " 2.5 0.5\n";
    if (i < n) s << i + 1 << " " << i << " -1.4 0\n";
    if (i > 1) s << i - 1 << " " << i << " -0.6 0.1\n";
  }
  return s.str();
}

nlohmann::json json_of(const Result& r) {
  try {
    return nlohmann::json::parse(r.out);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out << "\n" << r.err;
    return {};
  }
}

TEST_F(Bksolve, EachMethodSolvesAndReportsTrueResidualAndError) {
  const std::string sym = file("sym.mtx", helmholtz_1d(80));
  for (const std::string method : {"symmetric", "qmr", "gmres"}) {
    SCOPED_TRACE(method);
    const Result r = run(sym + " --method " + method + " --rhs solution --nrhs 3 --rtol 1e-10 --json");
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    // No progress line when standard error is not a terminal (the library's
    // own records, e.g. of a near-breakdown that was restarted, may be there).
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
    const auto j = json_of(r);
    EXPECT_EQ(j["method"], method);
    EXPECT_EQ(j["n"], 80);
    EXPECT_EQ(j["nnz"], 3 * 80 - 2);
    EXPECT_EQ(j["s"], 3);
    EXPECT_TRUE(j["converged"].get<bool>());
    EXPECT_GT(j["products"].get<long>(), 0);
    ASSERT_EQ(j["residuals"].size(), 3u);
    ASSERT_EQ(j["errors"].size(), 3u);
    for (int c = 0; c < 3; ++c) {
      EXPECT_LE(j["residuals"][c].get<double>(), 1e-10);
      EXPECT_LE(j["errors"][c].get<double>(), 1e-6);
    }
  }
}

TEST_F(Bksolve, AutoChoosesByTransposeSymmetry) {
  const Result s = run(file("sym.mtx", helmholtz_1d(40)) + " --json");
  ASSERT_EQ(s.code, 0) << s.err;
  EXPECT_EQ(json_of(s)["method"], "symmetric");
  const Result g = run(file("ns.mtx", convection_1d(40)) + " --json");
  ASSERT_EQ(g.code, 0) << g.err;
  EXPECT_EQ(json_of(g)["method"], "gmres");
}

// Reads X back and measures ||b - A x|| / ||b|| per column with dense A.
std::vector<double> residuals_of(const std::string& a_path, const std::string& b_path, const std::string& x_path) {
  const auto A = bksolve::read_matrix_market(a_path).to_dense();
  const auto Bm = bksolve::read_matrix_market(b_path);
  const auto X = bksolve::read_matrix_market(x_path);
  const int n = Bm.rows, s = Bm.cols;
  EXPECT_EQ(X.rows, n);
  EXPECT_EQ(X.cols, s);
  const auto B = Bm.to_dense();
  std::vector<double> res;
  for (int j = 0; j < s; ++j) {
    double rn = 0, bn = 0;
    for (int i = 0; i < n; ++i) {
      complex acc = B[i + j * n];
      for (int k = 0; k < n; ++k) acc -= A[i + k * n] * X.dense[k + j * n];
      rn += std::norm(acc);
      bn += std::norm(B[i + j * n]);
    }
    res.push_back(std::sqrt(rn / bn));
  }
  return res;
}

TEST_F(Bksolve, WritesSolutionFromRightHandSideFile) {
  const int n = 50;
  const std::string a = file("ns.mtx", convection_1d(n));
  // B as a coordinate file with two columns.
  std::ostringstream b;
  b << "%%MatrixMarket matrix coordinate real general\n" << n << " 2 3\n1 1 1\n" << n << " 2 -2\n7 2 0.5\n";
  const std::string bpath = file("b.mtx", b.str());
  for (const std::string method : {"gmres", "qmr"}) {
    SCOPED_TRACE(method);
    const Result r = run(a + " -b " + bpath + " -o " + work("x.mtx") + " --rtol 1e-11 --method " + method);
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("written to"), std::string::npos);
    for (double v : residuals_of(a, bpath, work("x.mtx"))) EXPECT_LE(v, 1e-10);
    EXPECT_EQ(work_files(), (std::vector<std::string>{"b.mtx", "ns.mtx", "x.mtx"}));
  }
}

TEST_F(Bksolve, BlocksAndScalingKeepTheResultOnTheOriginalSystem) {
  // Diagonal entries spread over many orders of magnitude: scaling must not
  // change what is solved.
  const int n = 60;
  std::ostringstream s;
  s << "%%MatrixMarket matrix coordinate complex symmetric\n" << n << " " << n << " " << 2 * n - 1 << "\n";
  for (int i = 1; i <= n; ++i) {
    const double d = std::pow(10.0, (i % 7) - 3);
    s << i << " " << i << " " << 3 * d << " " << -0.5 * d << "\n";
    if (i < n) s << i + 1 << " " << i << " " << -0.5 * std::sqrt(d * std::pow(10.0, ((i + 1) % 7) - 3)) << " 0\n";
  }
  const std::string a = file("scaled.mtx", s.str());
  const Result r = run(a + " --scale --rhs solution --nrhs 5 --block-size 2 --rtol 1e-10 --json -o " + work("x.mtx"));
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  const auto j = json_of(r);
  EXPECT_TRUE(j["scaled"].get<bool>());
  EXPECT_EQ(j["s"], 5);
  EXPECT_EQ(j["block_size"], 2);
  ASSERT_EQ(j["residuals"].size(), 5u);
  for (int c = 0; c < 5; ++c) EXPECT_LE(j["errors"][c].get<double>(), 1e-6);
  const auto X = bksolve::read_matrix_market(work("x.mtx"));
  EXPECT_EQ(X.cols, 5);
}

TEST_F(Bksolve, UnconvergedSolveSaysSoAndStillWritesX) {
  const Result r = run(file("sym.mtx", helmholtz_1d(200)) + " --max-products 4 -o " + work("x.mtx"));
  EXPECT_EQ(r.code, 3) << r.err << r.out;
  EXPECT_NE(r.out.find("NOT converged"), std::string::npos) << r.out;
  EXPECT_EQ(bksolve::read_matrix_market(work("x.mtx")).rows, 200);
}

TEST_F(Bksolve, BuiltInProblemOnASmallGrid) {
  const Result r = run("--grid 30 --wavenumber 10 --json");
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  const auto j = json_of(r);
  EXPECT_EQ(j["matrix"], "built-in");
  EXPECT_EQ(j["method"], "symmetric");
  EXPECT_EQ(j["n"], 900);
  EXPECT_EQ(j["s"], 8);
  EXPECT_TRUE(j["converged"].get<bool>());
  const Result h = run("--grid 30 --wavenumber 10 --method gmres -q");
  ASSERT_EQ(h.code, 0) << h.err << h.out;
  EXPECT_NE(h.out.find("2D Helmholtz"), std::string::npos);
  EXPECT_NE(h.out.find("true rel. residual"), std::string::npos);
}

}  // namespace
