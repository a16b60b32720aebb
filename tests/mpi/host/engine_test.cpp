// The engine and the distributed sparse matrix on 1 to 4 ranks.
//
// DistributedCsr: products with A and A^T on even and uneven splits and with
// ranks that hold no rows, against CsrMatrix on the whole matrix; bad rows on
// one rank refused on every rank.
//
// The engine: each method on a distributed problem against the serial engine
// on the whole problem (serial_reference.cpp; every rank runs it): the same
// status, iterations within one, true residuals (recomputed here over all
// ranks) below the tolerance, and the report the same on every rank. Then
// the decisions that ranks must take together: a starting guess that is zero
// on some ranks only, a stop asked by one rank, arguments unusable on one
// rank, the product limit of the whole order, and a rank 0 too small for the
// GMRES basis or a Lanczos block (Status::invalid, never an aborted job).
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "blockkrylov/distributed_csr.hpp"
#include "blockkrylov/examples.hpp"
#include "blockkrylov/preconditioners.hpp"
#include "blockkrylov/solver.hpp"
#include "reference.hpp"

namespace {

namespace bk = blockkrylov;
namespace bkm = blockkrylov::mpi;
using mpihost::zc;

int rank_of_world() {
  int r = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &r);
  return r;
}
int ranks_of_world() {
  int r = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &r);
  return r;
}

// How the rows are split: as evenly as rank 0's minimum allows; the last
// rank without rows; rank 0 without rows; all but the last rank without rows.
enum class Split { even, last_empty, root_empty, all_on_last };

std::vector<int> split_counts(Split how, int n, int root_min = 0) {
  const int R = ranks_of_world();
  if (R == 1) return {n};
  std::vector<int> c(R, 0);
  if (how == Split::all_on_last) {
    c[R - 1] = n;
    return c;
  }
  const int first = how == Split::root_empty ? 1 : 0, last = how == Split::last_empty ? R - 1 : R;
  const bkm::RowSplit part = bkm::RowSplit::even(n, last - first, first == 0 ? root_min : 0);
  std::copy(part.counts.begin(), part.counts.end(), c.begin() + first);
  return c;
}

const char* split_name(Split s) {
  static const char* const names[] = {"even", "last rank empty", "rank 0 empty", "all rows on the last rank"};
  return names[static_cast<int>(s)];
}

mpihost::Sparse plain(const bk::CsrMatrix& a) { return {a.n, a.rowptr, a.col, a.val}; }

std::vector<zc> random_block(int n, int k, unsigned seed) {
  std::vector<zc> b(static_cast<std::size_t>(n) * k);
  std::uint64_t g = 0x9E3779B97F4A7C15ULL ^ seed;
  auto next = [&] {
    g = g * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(g >> 11) / 9007199254740992.0 - 0.5;
  };
  for (auto& v : b) {
    const double re = next();
    v = zc(re, next());
  }
  return b;
}

// This rank's rows of an n x k block.
std::vector<zc> my_rows(const bkm::RowSplit& s, const std::vector<zc>& full, int k) {
  const int r = rank_of_world(), n = s.counts[r], off = s.offsets[r];
  std::vector<zc> out(static_cast<std::size_t>(n) * k);
  for (int c = 0; c < k; ++c)
    std::copy(full.begin() + static_cast<long>(c) * s.rows + off,
              full.begin() + static_cast<long>(c) * s.rows + off + n, out.begin() + static_cast<long>(c) * n);
  return out;
}

// Rank 0's text, compared with this rank's.
void expect_same_on_all_ranks(const std::string& mine, const std::string& what) {
  std::string root = mine;
  int len = static_cast<int>(root.size());
  MPI_Bcast(&len, 1, MPI_INT, 0, MPI_COMM_WORLD);
  root.resize(len);
  MPI_Bcast(root.data(), len, MPI_CHAR, 0, MPI_COMM_WORLD);
  EXPECT_EQ(mine, root) << what << ": rank " << rank_of_world() << " differs from rank 0";
}

// Everything a report says, bits included.
std::string fingerprint(const bk::Report& r) {
  std::string f = std::to_string(static_cast<int>(r.status)) + " " + std::to_string(r.iterations) + " " +
                  std::to_string(r.products) + " " + std::to_string(r.restarts) + " " +
                  std::to_string(r.breakdowns) + " " + std::to_string(r.blocks) + " " + r.message;
  for (const auto* v : {&r.residuals, &r.history})
    f.append(reinterpret_cast<const char*>(v->data()), v->size() * sizeof(double));
  return f;
}

// ||b_j - A x_j|| / ||b_j|| over all ranks.
std::vector<double> true_residuals(const bkm::DistributedCsr& A, int k, const std::vector<zc>& B,
                                   const std::vector<zc>& X) {
  const int n = A.rows();
  std::vector<zc> R(B.size());
  A.multiply(k, X.data(), R.data());
  std::vector<double> sq(2 * k, 0.0);
  for (int c = 0; c < k; ++c)
    for (int i = 0; i < n; ++i) {
      sq[c] += std::norm(B[c * n + i] - R[c * n + i]);
      sq[k + c] += std::norm(B[c * n + i]);
    }
  MPI_Allreduce(MPI_IN_PLACE, sq.data(), 2 * k, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  std::vector<double> r(k);
  for (int c = 0; c < k; ++c) r[c] = std::sqrt(sq[c] / sq[k + c]);
  return r;
}

// ---------------------------------------------------------------------------
// DistributedCsr

// A non-symmetric matrix whose rows reach every rank: random entries, a full
// first row and a full last column.
bk::CsrMatrix coupled_matrix(int n) {
  const bk::CsrMatrix r = bk::examples::random_sparse(n, 4, 7, 2.0);
  std::vector<int> rows, cols;
  std::vector<zc> vals;
  for (int i = 0; i < n; ++i)
    for (std::int64_t p = r.rowptr[i]; p < r.rowptr[i + 1]; ++p)
      rows.push_back(i), cols.push_back(r.col[p]), vals.push_back(r.val[p]);
  for (int j = 0; j < n; ++j) {
    rows.push_back(0), cols.push_back(j), vals.push_back(zc(0.25, -0.125 * j));
    rows.push_back(j), cols.push_back(n - 1), vals.push_back(zc(-0.5 + j, 0.75));
  }
  return bk::CsrMatrix::from_triplets(n, rows, cols, vals);
}

TEST(DistributedCsr, ProductsFollowTheWholeMatrix) {
  const int N = 37;
  const bk::CsrMatrix a = coupled_matrix(N);
  for (Split how : {Split::even, Split::last_empty, Split::root_empty, Split::all_on_last}) {
    const std::vector<int> counts = split_counts(how, N, 20);
    const bkm::DistributedCsr d = bkm::DistributedCsr::scatter(MPI_COMM_WORLD, a, counts);
    const bkm::RowSplit& s = d.split();
    EXPECT_EQ(s.counts, counts) << split_name(how);
    EXPECT_EQ(d.global_rows(), N);
    const int n = d.rows(), off = d.first_row();

    // The diagonal block holds this rank's rows and columns.
    EXPECT_EQ(d.diagonal_block().n, n);
    for (int i = 0; i < n && i < d.diagonal_block().n; ++i) {
      std::vector<zc> want;
      for (std::int64_t p = a.rowptr[off + i]; p < a.rowptr[off + i + 1]; ++p)
        if (a.col[p] >= off && a.col[p] < off + n) want.push_back(a.val[p]);
      const auto& b = d.diagonal_block();
      EXPECT_EQ(std::vector<zc>(b.val.begin() + b.rowptr[i], b.val.begin() + b.rowptr[i + 1]), want)
          << split_name(how) << ": row " << off + i;
    }
    for (int k : {1, 3, 2}) {  // a smaller block after a larger one reuses the buffers
      const std::vector<zc> X = random_block(N, k, 11 + k);
      std::vector<zc> Y(X.size()), Yt(X.size());
      a.multiply(k, X.data(), Y.data());
      a.multiply_transpose(k, X.data(), Yt.data());
      const std::vector<zc> x = my_rows(s, X, k);
      std::vector<zc> y(x.size()), yt(x.size());
      d.multiply(k, x.data(), y.data());
      d.multiply_transpose(k, x.data(), yt.data());
      const std::vector<zc> want = my_rows(s, Y, k), want_t = my_rows(s, Yt, k);
      // A x: each row summed in the same order as on one process.
      EXPECT_EQ(0, std::memcmp(y.data(), want.data(), y.size() * sizeof(zc))) << split_name(how) << ", k " << k;
      // A^T x: the parts of the ranks added in rank order; exact when one
      // rank holds every row.
      const bool exact = ranks_of_world() == 1 || how == Split::all_on_last;
      std::size_t bad = 0;
      while (bad < yt.size() && (exact ? yt[bad] == want_t[bad]
                                       : std::abs(yt[bad] - want_t[bad]) <= 1e-14 * (1.0 + std::abs(want_t[bad]))))
        ++bad;
      EXPECT_EQ(bad, yt.size()) << split_name(how) << ", k " << k << ": A^T x differs at entry " << bad;
    }
  }
}

TEST(DistributedCsr, BadRowsOnOneRankAreRefusedOnEvery) {
  const int R = ranks_of_world(), me = rank_of_world(), n = 3;
  std::vector<std::int64_t> rowptr = {0, 1, 2, 3};
  std::vector<int> col = {me * n, me * n + 1, me * n + 2};
  if (me == R - 1) col[1] = R * n;  // beyond the order
  try {
    bkm::DistributedCsr d(MPI_COMM_WORLD, n, rowptr, col, std::vector<zc>(3, 1.0));
    ADD_FAILURE() << "accepted a column beyond the order";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("rank " + std::to_string(R - 1)), std::string::npos) << e.what();
  }
  // Counts that do not add up to the order: refused on every rank.
  EXPECT_THROW(bkm::DistributedCsr::scatter(MPI_COMM_WORLD, coupled_matrix(5), std::vector<int>(R, 1)),
               std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Block Jacobi

TEST(BlockJacobi, AgreesOnWhatTheSolveDecides) {
  const int N = 24, R = ranks_of_world(), me = rank_of_world();
  const bk::CsrMatrix a = bk::examples::helmholtz_2d(4, 6, 1.5, 0.5);
  const bkm::DistributedCsr d = bkm::DistributedCsr::scatter(MPI_COMM_WORLD, a, split_counts(Split::last_empty, N));
  // SSOR: its fused product stands for the diagonal block and must go
  // with more than one rank; the identity where a rank has no rows.
  const bk::Preconditioner p =
      bkm::block_jacobi(MPI_COMM_WORLD, d.diagonal_block(), [](const bk::CsrMatrix& m) { return bk::precond::ssor(m); });
  EXPECT_TRUE(p.left && p.right && p.left_t && p.right_t);
  EXPECT_EQ(static_cast<bool>(p.fused), R == 1);
  EXPECT_TRUE(p.symmetric);
  expect_same_on_all_ranks(p.name, "name");
  EXPECT_EQ(p.name.find("ssor"), 0u) << p.name;
  // Symmetric only when every block is; a factor some ranks lack is the
  // identity there.
  const bkm::DistributedCsr e = bkm::DistributedCsr::scatter(MPI_COMM_WORLD, a, split_counts(Split::even, N));
  const bk::Preconditioner q = bkm::block_jacobi(MPI_COMM_WORLD, e.diagonal_block(), [&](const bk::CsrMatrix& m) {
    bk::Preconditioner r = bk::precond::jacobi(m);
    if (me == 0) r.symmetric = false, r.left_t = nullptr;
    return r;
  });
  EXPECT_FALSE(q.symmetric);
  EXPECT_EQ(static_cast<bool>(q.left_t), R > 1);
  if (R > 1 && me == 0 && q.left_t) {
    const std::vector<zc> u = random_block(e.rows(), 2, 6);
    std::vector<zc> v(u.size());
    q.left_t(2, u.data(), v.data());
    EXPECT_EQ(v, u);
  }
  // A failure on one rank is every rank's.
  try {
    bkm::block_jacobi(MPI_COMM_WORLD, d.diagonal_block(), [&](const bk::CsrMatrix& m) {
      if (me == 0) throw std::invalid_argument("ilu0: rank 0 cannot");
      return bk::precond::jacobi(m);
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& err) {
    EXPECT_STREQ(err.what(), "ilu0: rank 0 cannot");
  }
}

// ---------------------------------------------------------------------------
// The engine against the serial one

struct EngineCase {
  const char* name;
  bk::Method method;
  bool symmetric_problem;  // complex-symmetric Helmholtz, else convection-diffusion
  int s, nrhs, restart;
  Split split;
  bool jacobi;
  bool guess_on_last_rank;  // starting guess nonzero on the last rows only (one rank's)
};

void PrintTo(const EngineCase& c, std::ostream* os) { *os << c.name; }

class DistributedEngine : public ::testing::TestWithParam<EngineCase> {};

TEST_P(DistributedEngine, FollowsTheSerialEngine) {
  const EngineCase& c = GetParam();
  const int nx = 16, N = nx * nx;
  const bk::CsrMatrix a = c.symmetric_problem ? bk::examples::helmholtz_2d(nx, nx, 4.0, 0.3)
                                              : bk::examples::convection_diffusion_2d(nx, nx, 20.0, {1.0, 0.5});
  mpihost::Setup setup;
  setup.method = static_cast<int>(c.method);
  setup.s = c.s;
  setup.restart = c.restart;
  setup.jacobi = c.jacobi;
  const int need = bk::root_rows_needed(c.method, N, c.s, c.restart);
  const bkm::DistributedCsr d = bkm::DistributedCsr::scatter(MPI_COMM_WORLD, a, split_counts(c.split, N, need));
  const bkm::RowSplit& s = d.split();
  const std::vector<zc> B = random_block(N, c.nrhs, 1);
  std::vector<zc> X0(B.size(), 0.0);
  if (c.guess_on_last_rank) {  // the rows of the last rank that holds any
    int r = static_cast<int>(s.counts.size()) - 1;
    while (s.counts[r] == 0) --r;
    for (int j = 0; j < c.nrhs; ++j)
      for (int i = s.offsets[r]; i < N; ++i) X0[static_cast<std::size_t>(j) * N + i] = zc(1e-4 * i, -2e-4);
  }
  const mpihost::Outcome ref = mpihost::serial_solve(plain(a), setup, c.nrhs, B.data(), X0.data());

  bk::Options o;
  o.rtol = setup.rtol;
  o.restart = c.restart;
  if (c.jacobi) o.preconditioner = bkm::block_jacobi(MPI_COMM_WORLD, d.diagonal_block(), bk::precond::jacobi);
  const int n = d.rows();
  const std::vector<zc> b = my_rows(s, B, c.nrhs);
  std::vector<zc> x = my_rows(s, X0, c.nrhs);
  const bk::Operator op = [&d](int k, const zc* u, zc* v) { d.multiply(k, u, v); };
  const bk::Operator opt = [&d](int k, const zc* u, zc* v) { d.multiply_transpose(k, u, v); };
  bk::Solver solver(c.method, n, c.s, o);
  const bk::Report& r = solver.solve(op, opt, c.nrhs, b.data(), n, x.data(), n);

  SCOPED_TRACE(std::string(c.name) + ", " + split_name(c.split) + ": " + r.message + " | serial: " + ref.message);
  EXPECT_EQ(static_cast<int>(r.status), ref.status);
  EXPECT_LE(std::abs(r.iterations - ref.iterations), 1);
  EXPECT_TRUE(r.converged);
  for (double v : true_residuals(d, c.nrhs, b, x)) EXPECT_LE(v, setup.rtol * 1.001);
  // The estimates are the serial ones to rounding (at first, before rounding
  // differences have grown).
  if (!r.history.empty() && !ref.history.empty()) {
    EXPECT_NEAR(r.history[0], ref.history[0], 1e-10 * ref.history[0]);
  }
  expect_same_on_all_ranks(fingerprint(r), c.name);
  if (ranks_of_world() == 1) {  // one rank: the serial engine's bits
    EXPECT_EQ(r.message, ref.message);
    EXPECT_EQ(x, ref.X);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DistributedEngine,
    ::testing::Values(
        // Default basis (180 vectors for s = 3): rank 0 holds 181 rows.
        EngineCase{"GmresDefaultBasis", bk::Method::gmres, false, 3, 3, 0, Split::even, false, false},
        EngineCase{"GmresBlocksOfTwo", bk::Method::gmres, false, 2, 5, 24, Split::even, true, false},
        EngineCase{"GmresLastRankEmpty", bk::Method::gmres, false, 2, 2, 20, Split::last_empty, false, true},
        EngineCase{"Symmetric", bk::Method::symmetric, true, 3, 3, 0, Split::even, true, false},
        // One column: no pivot rows on rank 0, which may hold none.
        EngineCase{"SymmetricRank0Empty", bk::Method::symmetric, true, 1, 2, 0, Split::root_empty, false, true},
        EngineCase{"Qmr", bk::Method::qmr, false, 2, 3, 0, Split::even, false, false},
        EngineCase{"QmrJacobiLastRankEmpty", bk::Method::qmr, false, 2, 2, 0, Split::last_empty, true, true}),
    [](const ::testing::TestParamInfo<EngineCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Decisions the ranks take together

struct Distributed {
  bk::CsrMatrix a;
  bkm::DistributedCsr d;
  std::vector<zc> b, x;
  bk::Operator op;
  Distributed(int nx, Split how, int root_min, int nrhs)
      : a(bk::examples::convection_diffusion_2d(nx, nx, 20.0, {1.0, 0.5})),
        d(bkm::DistributedCsr::scatter(MPI_COMM_WORLD, a, split_counts(how, nx * nx, root_min))),
        b(my_rows(d.split(), random_block(nx * nx, nrhs, 2), nrhs)), x(b.size(), 0.0),
        op([this](int k, const zc* u, zc* v) { d.multiply(k, u, v); }) {}
};

TEST(EngineDecisions, AStopAskedOnOneRankStopsAll) {
  Distributed p(10, Split::even, 21, 2);
  const int last = ranks_of_world() - 1;
  bk::Options o;
  o.restart = 20;
  o.progress = [last](const bk::Progress& g) { return !(rank_of_world() == last && g.iteration == 3); };
  bk::Solver solver(bk::Method::gmres, p.d.rows(), 2, o);
  const bk::Report& r = solver.solve(p.op, 2, p.b.data(), p.d.rows(), p.x.data(), p.d.rows());
  EXPECT_EQ(r.status, bk::Status::stopped) << r.message;
  EXPECT_EQ(r.iterations, 3);
  expect_same_on_all_ranks(fingerprint(r), "stopped");
}

TEST(EngineDecisions, ArgumentsUnusableOnOneRankAreInvalidOnAll) {
  Distributed p(10, Split::even, 21, 2);
  const int n = p.d.rows(), last = ranks_of_world() - 1;
  bk::Options o;
  o.restart = 20;
  bk::Solver solver(bk::Method::gmres, n, 2, o);
  ASSERT_TRUE(solver.valid());
  const int ldb = rank_of_world() == last ? n - 1 : n;  // too small on the last rank only
  const bk::Report& r = solver.solve(p.op, 2, p.b.data(), ldb, p.x.data(), n);
  EXPECT_EQ(r.status, bk::Status::invalid);
  EXPECT_NE(r.message.find("ldb and ldx must be at least n"), std::string::npos) << r.message;
  expect_same_on_all_ranks(fingerprint(r), "invalid");
  // The same solver still solves with good arguments.
  EXPECT_TRUE(solver.solve(p.op, 2, p.b.data(), n, p.x.data(), n).converged);
}

TEST(EngineDecisions, TheDefaultProductLimitCountsAllRows) {
  // 10 products per unknown of the whole order: 1440 for 144 unknowns,
  // where a rank's 36 rows would give the floor of 1000.
  Distributed p(12, Split::even, 21, 1);
  bk::Options o;
  o.rtol = 0.0;
  o.restart = 20;
  o.stagnation_cycles = 0;
  bk::Solver solver(bk::Method::gmres, p.d.rows(), 1, o);
  const bk::Report& r = solver.solve(p.op, 1, p.b.data(), p.d.rows(), p.x.data(), p.d.rows());
  EXPECT_EQ(r.status, bk::Status::max_products) << r.message;
  EXPECT_NE(r.message.find("product limit 1440 reached"), std::string::npos) << r.message;
}

TEST(EngineDecisions, ARank0TooSmallIsInvalidNotAnAbort) {
  if (ranks_of_world() == 1) GTEST_SKIP() << "needs rows on more than one rank";
  struct Case {
    bk::Method method;
    int s, restart, root_rows;
    const char* says;
  } cases[] = {
      {bk::Method::gmres, 2, 40, 40, "GMRES basis has vectors (capacity m = 40), but it holds 40"},
      {bk::Method::symmetric, 4, 0, 4, "block has columns (s = 4)"},
      {bk::Method::qmr, 3, 0, 0, "give rank 0 at least 4 rows"},
  };
  const int N = 144, R = ranks_of_world();
  for (const Case& c : cases) {
    std::vector<int> counts(R, (N - c.root_rows) / (R - 1));
    counts[0] = c.root_rows;
    counts[R - 1] += N - c.root_rows - (R - 1) * counts[1];
    bk::Options o;
    o.restart = c.restart;
    bk::Solver solver(c.method, counts[rank_of_world()], c.s, o);
    EXPECT_FALSE(solver.valid());
    std::vector<zc> b(static_cast<std::size_t>(counts[rank_of_world()]) * c.s, 1.0), x(b.size());
    const bk::Operator none = [](int, const zc*, zc*) { ADD_FAILURE() << "the operator was called"; };
    const bk::Report& r = solver.solve(none, none, c.s, b.data(), counts[rank_of_world()], x.data(),
                                       counts[rank_of_world()]);
    EXPECT_EQ(r.status, bk::Status::invalid);
    EXPECT_NE(r.message.find("rank 0 must hold more rows than"), std::string::npos) << r.message;
    EXPECT_NE(r.message.find(c.says), std::string::npos) << r.message;
    expect_same_on_all_ranks(r.message, "message");
  }
  // One row more is enough.
  std::vector<int> counts(R, 0);
  counts[0] = 41, counts[R - 1] = N - 41;
  bk::Options o;
  o.restart = 40;
  EXPECT_TRUE(bk::Solver(bk::Method::gmres, counts[rank_of_world()], 2, o).valid());
}

}  // namespace

// The failures of the ranks after 0, which print nothing else.
class RankFailures : public ::testing::EmptyTestEventListener {
  void OnTestPartResult(const ::testing::TestPartResult& r) override {
    if (r.failed())
      std::fprintf(stderr, "[rank %d] %s:%d: %s\n", rank_of_world(), r.file_name() ? r.file_name() : "?",
                   r.line_number(), r.message());
  }
};

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  ::testing::InitGoogleTest(&argc, argv);
  if (rank_of_world() != 0) {
    auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new RankFailures);
  }
  int failed = RUN_ALL_TESTS() != 0 ? 1 : 0;
  MPI_Allreduce(MPI_IN_PLACE, &failed, 1, MPI_INT, MPI_LOR, MPI_COMM_WORLD);
  MPI_Finalize();
  return failed;
}
