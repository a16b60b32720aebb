// bksolve-mpi on N ranks (the program's argument) against bksolve, both run
// as separate processes on Matrix Market files written here: the same
// figures (iterations within one, every true residual below rtol), one
// summary and one output file from rank 0, the rows shifted to rank 0 where
// block GMRES needs them, and errors reported once with bksolve's exit
// status, never a hang (ctest's timeout would show one).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "matrix_market.hpp"
#include "support/command.hpp"

namespace {

namespace fs = std::filesystem;
using complex = std::complex<double>;
using nlohmann::json;

int g_ranks = 1;

using bk_test::Result;
using bk_test::slurp;

long count(const std::string& text, const std::string& what) {
  long c = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++c;
  return c;
}

// An nx x nx grid operator in coordinate form: a non-symmetric convection
// stencil, or a complex-symmetric shifted Laplacian stored as symmetric.
std::string grid_matrix(int nx, bool symmetric) {
  std::ostringstream s, body;
  s.precision(17);
  body.precision(17);
  long entries = 0;
  const auto put = [&](int r, int c, complex v) {
    body << r + 1 << " " << c + 1 << " " << v.real() << " " << v.imag() << "\n";
    ++entries;
  };
  for (int j = 0; j < nx; ++j)
    for (int i = 0; i < nx; ++i) {
      const int r = j * nx + i;
      if (symmetric) {
        put(r, r, {3.2, 0.4});
        if (i > 0) put(r, r - 1, -1.0);
        if (j > 0) put(r, r - nx, -1.0);
        continue;
      }
      put(r, r, {4.0, 0.3});
      if (i > 0) put(r, r - 1, -1.3);
      if (i < nx - 1) put(r, r + 1, {-0.7, 0.1});
      if (j > 0) put(r, r - nx, -1.1);
      if (j < nx - 1) put(r, r + nx, -0.9);
    }
  s << "%%MatrixMarket matrix coordinate complex " << (symmetric ? "symmetric" : "general") << "\n"
    << nx * nx << " " << nx * nx << " " << entries << "\n"
    << body.str();
  return s.str();
}

class BksolveMpi : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("bk_mpi_cli_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    conv_ = file("conv.mtx", grid_matrix(20, false));
    helm_ = file("helm.mtx", grid_matrix(20, true));
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string file(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return (dir_ / name).string();
  }
  Result run(const std::string& program, const std::string& args) {
    return bk_test::run_command(program, args, dir_);
  }
  Result serial(const std::string& args) { return run(BKSOLVE_BINARY, args); }
  Result mpi(const std::string& args) {
    return run(std::string(BK_MPIEXEC) + " " + BK_MPIEXEC_ARGS + " " + std::to_string(g_ranks) + " " +
                   BKSOLVE_MPI_BINARY,
               args);
  }
  static json parse(const Result& r) {
    json j = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON:\n" << r.out << r.err;
    return j;
  }

  fs::path dir_;
  std::string conv_, helm_;
};

// The figures of a solve against bksolve's on the same problem.
void expect_same_solve(const json& s, const json& m, const std::string& what) {
  SCOPED_TRACE(what + "\nserial: " + s.dump() + "\nmpi: " + m.dump());
  for (const char* k : {"n", "nnz", "s", "method", "block_size", "restart", "converged", "status"})
    EXPECT_EQ(s.value(k, json()), m.value(k, json())) << k;
  EXPECT_LE(std::abs(s["iterations"].get<long>() - m["iterations"].get<long>()), 1);
  const double rtol = s["rtol"];
  for (double r : m["residuals"]) EXPECT_LE(r, rtol);
  EXPECT_EQ(m["residuals"].size(), s["residuals"].size());
  EXPECT_EQ(m["ranks"], g_ranks);
  const auto rows = m["rows_per_rank"].get<std::vector<long>>();
  EXPECT_EQ(static_cast<int>(rows.size()), g_ranks);
  long sum = 0;
  for (long r : rows) sum += r;
  EXPECT_EQ(sum, m["n"].get<long>());
  if (g_ranks > 1 && m["method"] == "gmres") {
    EXPECT_GT(rows[0], m["restart"].get<long>());
  }
  // Block Jacobi over the ranks names the serial preconditioner first.
  EXPECT_EQ(m["preconditioner"].get<std::string>().rfind(s["preconditioner"].get<std::string>(), 0), 0u);
  EXPECT_FALSE(s.contains("ranks"));
}

TEST_F(BksolveMpi, MethodsFollowBksolve) {
  const std::string random = " --rhs random --nrhs 3 ";
  for (const std::string& args : {
           conv_ + random + "--method gmres --precond none",
           conv_ + random + "--method gmres --precond jacobi --restart 30 -k 2",
           conv_ + random + "--method qmr --precond jacobi",
           helm_ + random + "--method symmetric --precond none",
           helm_ + random + "--precond jacobi",  // auto: the symmetric method
           std::string("--grid 24 --precond jacobi"),  // the built-in problem, 8 point sources
       }) {
    const Result s = serial(args + " --json"), m = mpi(args + " --json");
    EXPECT_EQ(s.code, 0) << s.err;
    EXPECT_EQ(m.code, 0) << m.err;
    expect_same_solve(parse(s), parse(m), args);
  }
}

// The text summary comes once, from rank 0, with the rank line added; the
// note says where the rows went; -o writes one file, the whole X.
TEST_F(BksolveMpi, OneSummaryAndOneSolutionFile) {
  const std::string xs = (dir_ / "xs.mtx").string(), xm = (dir_ / "xm.mtx").string();
  const std::string args = conv_ + " --rhs solution --nrhs 3 --method gmres --precond jacobi";
  const Result s = serial(args + " -o " + xs), m = mpi(args + " -o " + xm);
  ASSERT_EQ(s.code, 0) << s.err;
  ASSERT_EQ(m.code, 0) << m.err;
  EXPECT_EQ(count(m.out, "\nmethod      gmres"), 1) << m.out;
  EXPECT_EQ(count(m.out, "\nranks       " + std::to_string(g_ranks) + " (rows"), 1) << m.out;
  // Lines that do not depend on the ranks are bksolve's.
  for (const char* line : {"\nn           400\n", "\nnnz         1920\n", "\nrestart     180\n",
                           "\nstatus      converged (rtol 1.0e-08)\n", "\nsolution    written to "})
    EXPECT_EQ(count(m.out, line), 1) << line << "\n" << m.out;
  // GMRES with 180 basis vectors: rank 0 holds 181 rows when the even
  // share is smaller.
  EXPECT_EQ(count(m.err, "rank 0 holds 181 of the 400 rows"), 400 / g_ranks < 181 ? 1 : 0) << m.err;
  const bksolve::MatrixMarket a = bksolve::read_matrix_market(xs), b = bksolve::read_matrix_market(xm);
  ASSERT_EQ(b.rows, 400);
  ASSERT_EQ(b.cols, 3);
  const std::vector<complex> u = a.to_dense(), v = b.to_dense();
  double diff = 0.0, size = 0.0;
  for (std::size_t q = 0; q < u.size(); ++q) diff += std::norm(u[q] - v[q]), size += std::norm(u[q]);
  EXPECT_LE(std::sqrt(diff / size), 1e-6);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 6);  // conv, helm, out, err, xs, xm
}

// Block GMRES on 25 unknowns: its default basis would take all of them,
// which rank 0 cannot hold with one row to spare; the basis is cut to 24.
TEST_F(BksolveMpi, SmallGmresBasisLeavesRank0ARow) {
  const std::string small = file("small.mtx", grid_matrix(5, false));
  const std::string args = small + " --rhs random --method gmres --precond none --json";
  const Result s = serial(args), m = mpi(args);
  EXPECT_EQ(s.code, 0) << s.err;
  EXPECT_EQ(m.code, 0) << m.err;
  const json js = parse(s), jm = parse(m);
  EXPECT_EQ(jm["restart"], g_ranks > 1 ? 24 : 25);
  EXPECT_LE(std::abs(js["iterations"].get<long>() - jm["iterations"].get<long>()), 1);
  EXPECT_TRUE(jm["converged"].get<bool>());
}

// Errors found on rank 0 (files, options) and errors every rank meets (the
// method or the preconditioner cannot take the matrix) end every rank with
// bksolve's status and one message.
TEST_F(BksolveMpi, ErrorsAreReportedOnce) {
  const struct {
    std::string args;
    int code;
    const char* says;
  } cases[] = {
      {(dir_ / "missing.mtx").string(), 1, "missing.mtx"},
      {conv_ + " --precond jacobi --omega 1.2", 2, "--omega applies to --precond ssor only"},
      {conv_ + " --method symmetric", 1, "the matrix is not complex-symmetric"},
      {conv_ + " --precond ic0", 2, "--precond ic0: the matrix is not complex-symmetric"},
  };
  for (const auto& c : cases) {
    const Result s = serial(c.args), m = mpi(c.args);
    EXPECT_EQ(s.code, c.code) << c.args << "\n" << s.err;
    EXPECT_EQ(m.code, c.code) << c.args << "\n" << m.err;
    EXPECT_EQ(count(m.err, "bksolve: error: "), 1) << c.args << "\n" << m.err;
    EXPECT_NE(m.err.find(c.says), std::string::npos) << m.err;
    EXPECT_EQ(m.out, "") << c.args;
  }
}

}  // namespace

// test_mpi_bksolve <ranks> [gtest options]
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 1) g_ranks = std::max(1, std::atoi(argv[1]));
  return RUN_ALL_TESTS();
}
