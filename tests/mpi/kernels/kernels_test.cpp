// The distributed kernel library against the serial one on 1 to 4 ranks.
// Each case runs one global problem through both libraries call by call: the
// serial library on all rows (every rank runs it) and the distributed one on
// the rank's own rows, with the host's products formed from the same global
// matrix. Expected: each rank's rows equal the serial rows to rounding (bit
// for bit on one rank), the same result codes, REVCOM requests and
// deflations, the same records from rank 0 and none from the others, and the
// small arrays identical on all ranks. Every case runs on each split of
// layouts(): even, uneven, ranks without rows, rank 0 just large enough for
// GMRES, and a communicator other than the default.
//
// `--refuse full|start` runs instead a GMRES cycle on a split whose rank 0
// holds only m rows, which the library must refuse (see CMakeLists.txt).
#include <limits>

#include "harness.hpp"

namespace {

using namespace mpik;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string where(const Layout& L, const std::string& what) { return L.name + ": " + what; }

// ---------------------------------------------------------------------------
// Monitoring

// Columns: random, zero, scaled by 1e300 (squares overflow a double) and by
// 1e-300 (squares underflow), one entry on the last row, rows alternating
// 1e200 and 1e-200, subnormal entries. The padding rows below n hold NaN and
// must not be read; the entry after the s norms must stay untouched.
TEST(DistributedMonitor, ColumnNormsAreGlobal) {
  const int N = 97, s = 7;
  Block X = random_block(N, s, 1);
  for (int i = 0; i < N; ++i) {
    X[1 * N + i] = 0.0;
    X[2 * N + i] *= 1e300;
    X[3 * N + i] *= 1e-300;
    X[4 * N + i] = i == N - 1 ? zc(3.0, 4.0) : zc(0.0);
    X[5 * N + i] *= i % 2 ? 1e200 : 1e-200;
    X[6 * N + i] *= 1e-310;
  }
  for (const Layout& L : layouts(N, 0)) {
    UseComm use(L);
    const int lds = N + 2, ldd = L.n() + 2, n = L.n(), zero = 0;
    Block S(lds * s, kNaN), D(ldd * s, kNaN);
    for (int j = 0; j < s; ++j) {
      std::copy(&X[j * N], &X[j * N] + N, &S[j * lds]);
      std::copy(&X[j * N + L.off()], &X[j * N + L.off()] + n, &D[j * ldd]);
    }
    std::vector<double> ns(s + 1, -1.0), nd(s + 1, -1.0);
    const Lines ls = records([&] { serial().colblocknorms(S.data(), &lds, &N, &s, ns.data()); });
    const Lines ld =
        records([&] { distributed().colblocknorms(D.data(), &ldd, &n, &s, nd.data()); });
    expect_records(L, ld, ls, where(L, "C_COLBLOCKNORMS"));
    expect_replicated(L, "norms", nd.data(), s + 1, where(L, "C_COLBLOCKNORMS"));
    EXPECT_EQ(nd[1], 0.0);
    EXPECT_EQ(nd[4], 5.0);
    EXPECT_EQ(nd[s], -1.0);
    const double rel = tolerance().rel > 0 ? 1e-13 : 0.0;  // norms: each to a few ulps
    for (int j = 0; j < s; ++j)
      EXPECT_LE(std::fabs(nd[j] - ns[j]), rel * ns[j])
          << L.name << ": column " << j + 1 << " distributed " << nd[j] << ", serial " << ns[j];
    distributed().colblocknorms(D.data(), &ldd, &n, &zero, nd.data());  // s = 0: nothing
    EXPECT_EQ(nd[0], ns[0]);
  }
}

// No rows are involved: the same bits as the serial library on every rank,
// through a new history, a rise (average reset), NaN entries, convergence and
// m = 0.
TEST(DistributedMonitor, ProgressIsReplicated) {
  struct Call {
    int it, itold;
    std::vector<double> nrm;
  };
  const Call calls[] = {{1, 0, {0.5, 0.1, kNaN}},   {2, 1, {0.05, 0.02, 0.01}},
                        {4, 2, {0.08, 0.01, 0.0}},  {5, 4, {1e-3, 1e-4, kNaN}},
                        {6, 5, {1e-9, 1e-10, 0.0}}, {1, 0, {}}};
  const double tol = 1e-8;
  for (const Layout& L : layouts(8, 0)) {
    UseComm use(L);
    std::vector<double> s{1.0, -1.0}, d = s;  // rmax, pct
    std::vector<int32_t> is{0, -1}, id = is;  // result, itpred
    for (const Call& c : calls) {
      const int m = static_cast<int>(c.nrm.size());
      const std::string at = where(L, "it " + std::to_string(c.it));
      const Lines ls = records([&] {
        is[0] = serial().progress(&c.it, &c.itold, &tol, &s[0], c.nrm.data(), &m, &is[1], &s[1]);
      });
      const Lines ld = records([&] {
        id[0] = distributed().progress(&c.it, &c.itold, &tol, &d[0], c.nrm.data(), &m, &id[1],
                                       &d[1]);
      });
      expect_records(L, ld, ls, at);
      expect_small(L, "rmax, pct", d, s, at);
      expect_small(L, "result, itpred", id, is, at);
      EXPECT_EQ(std::memcmp(d.data(), s.data(), 2 * sizeof(double)), 0) << at;
    }
  }
}

// ---------------------------------------------------------------------------
// Block Lanczos drivers

// The arrays of one solve on n rows (all rows, or a rank's). Two: the
// two-sided driver (Zn serves as APn for the symmetric one).
struct Lanczos {
  bool two;
  int32_t n, s, revcom = 0;
  Block X, Vn, Wn, Pn, Qn, D, Zn, ESVB, esv, DSVB, dsv, QRS, RINV, QRSW, UP, UQ, TAU, SVWORK;
  std::vector<double> gamma, gammaold, rho, rhoold, xi, xiold;
  Lanczos(bool two_, int n_, int s_) : two(two_), n(n_), s(s_) {
    for (Block* b : {&X, &Vn, &Wn, &Pn, &Qn, &D, &Zn}) b->assign(std::max(1, n * s), 0.0);
    for (Block* b : {&ESVB, &DSVB}) b->assign(4 * s * s, 0.0);
    for (Block* b : {&QRS, &QRSW}) b->assign((3 * s + 3) * 2 * s, 0.0);
    for (Block* b : {&RINV, &TAU}) b->assign(2 * s * s, 0.0);
    for (Block* b : {&esv, &dsv}) b->assign(s + 1, 0.0);
    for (Block* b : {&UP, &UQ}) b->assign(s * s, 0.0);
    SVWORK.assign(3 * s * s, 0.0);
    for (auto* v : {&gamma, &gammaold, &rho, &rhoold, &xi, &xiold}) v->assign(s, 0.0);
  }
  int call(const Api& a) {
    if (two)
      return a.zd(&n, &s, &revcom, X.data(), Vn.data(), Wn.data(), Pn.data(), Qn.data(), D.data(),
                  Zn.data(), gamma.data(), gammaold.data(), rho.data(), rhoold.data(), xi.data(),
                  xiold.data(), ESVB.data(), esv.data(), DSVB.data(), dsv.data(), QRS.data(),
                  RINV.data(), QRSW.data(), UP.data(), UQ.data(), TAU.data(), SVWORK.data());
    return a.zdsym(&n, &s, &revcom, X.data(), Vn.data(), Pn.data(), D.data(), Zn.data(),
                   gamma.data(), gammaold.data(), rho.data(), rhoold.data(), ESVB.data(),
                   esv.data(), DSVB.data(), dsv.data(), QRS.data(), RINV.data(), UP.data(),
                   TAU.data(), SVWORK.data());
  }
  // The product the driver asks for, on all rows (L null) or the rank's.
  void serve(const Matrix& A, const Matrix& At, const Layout* L) {
    const bool right = revcom == 1, left = two && revcom == 2;
    if (!right && !left) return;
    const Matrix& M = right ? A : At;
    const zc* src = right ? Pn.data() : Qn.data();
    if (L)
      product(M, *L, s, src, n, Zn.data());
    else
      product(M, s, src, Zn.data());
  }
};

void compare(const Layout& L, const Lanczos& d, const Lanczos& s, const std::string& at) {
  const std::pair<const char*, const Block Lanczos::*> rows[] = {
      {"X", &Lanczos::X}, {"Vn", &Lanczos::Vn}, {"Pn", &Lanczos::Pn},
      {"D", &Lanczos::D}, {"Wn", &Lanczos::Wn}, {"Qn", &Lanczos::Qn}};
  for (const auto& [name, b] : rows) expect_rows(L, name, (d.*b).data(), (s.*b).data(), s.s, at);
  expect_small(L, "TAU", d.TAU, s.TAU, at);
  expect_small(L, "gamma", d.gamma, s.gamma, at);
  expect_small(L, "gammaold", d.gammaold, s.gammaold, at);
  expect_small(L, "rho", d.rho, s.rho, at);
  expect_small(L, "rhoold", d.rhoold, s.rhoold, at);
  expect_small(L, "xi", d.xi, s.xi, at);
  expect_small(L, "xiold", d.xiold, s.xiold, at);
  // Work arrays (among them singular vectors, which rounding may turn when
  // singular values are close): the same bits on all ranks only.
  const std::pair<const char*, const Block Lanczos::*> work[] = {
      {"ESVB", &Lanczos::ESVB}, {"esv", &Lanczos::esv},   {"DSVB", &Lanczos::DSVB},
      {"dsv", &Lanczos::dsv},   {"QRS", &Lanczos::QRS},   {"RINV", &Lanczos::RINV},
      {"QRSW", &Lanczos::QRSW}, {"UP", &Lanczos::UP},     {"UQ", &Lanczos::UQ},
      {"SVWORK", &Lanczos::SVWORK}};
  for (const auto& [name, b] : work)
    expect_replicated(L, name, (d.*b).data(), static_cast<long>((d.*b).size()), at);
}

// How a case starts: X0, R0 = B - A X0 and the starting left block W0.
// Lanczos recurrences amplify rounding, and no comparison can be sharper than
// the serial run's own sensitivity: the starts here are chosen so that a
// change of one ulp in R0 moves the serial iterates of the listed steps by
// about 1e-13 of their largest entries (other seeds gave up to 1e-10).
using LanczosStart = void (*)(int N, int s, const Matrix& A, Block& X0, Block& R0, Block& W0);

void random_rhs(int N, int s, const Matrix&, Block& X0, Block& R0, Block& W0) {
  X0.assign(N * s, 0.0);
  R0 = random_block(N, s, 11);
  W0 = random_block(N, s, 12);
}
void random_x0(int N, int s, const Matrix& A, Block& X0, Block& R0, Block& W0) {
  X0 = random_block(N, s, 17);
  for (zc& x : X0) x *= 0.25;
  const Block B = random_block(N, s, 18);
  R0.resize(N * s);
  product(A, s, X0.data(), R0.data());
  for (int i = 0; i < N * s; ++i) R0[i] = B[i] - R0[i];
  W0 = R0;
}
void zero_column(int N, int s, const Matrix& A, Block& X0, Block& R0, Block& W0) {
  random_rhs(N, s, A, X0, R0, W0);
  std::fill(&R0[N], &R0[2 * N], 0.0);
}
void zero_w_column(int N, int s, const Matrix& A, Block& X0, Block& R0, Block& W0) {
  random_rhs(N, s, A, X0, R0, W0);
  std::fill(&W0[N], &W0[2 * N], 0.0);
}
// R0 = [3 e_1, 4 e_{N-1}] with A diagonal: the first step meets an exact
// invariant subspace (the next Lanczos block is exactly zero).
void unit_columns(int N, int, const Matrix&, Block& X0, Block& R0, Block& W0) {
  X0.assign(2 * N, 0.0);
  R0.assign(2 * N, 0.0);
  R0[0] = 3.0;
  R0[N + N - 2] = 4.0;
  W0 = R0;
}
// W0^T R0 = 0 exactly: rows at the two ends of the problem.
void orthogonal_w(int N, int, const Matrix&, Block& X0, Block& R0, Block& W0) {
  X0.assign(2 * N, 0.0);
  R0.assign(2 * N, 0.0);
  W0.assign(2 * N, 0.0);
  R0[0] = 1.0, R0[N + 1] = zc(0.0, 2.0);
  W0[N - 1] = 1.0, W0[N + N - 2] = 3.0;
}

struct LanczosCase {
  const char* name;
  bool two;
  Kind kind;
  int N, s, steps, revcom0;
  LanczosStart start;
  int fails_at;  // call (from 1) whose result is nonzero in the serial run; 0: none
};

const LanczosCase kLanczos[] = {
    {"Sym1", false, Kind::symmetric, 180, 1, 8, 0, random_rhs, 0},
    {"Sym3WithX0", false, Kind::symmetric, 180, 3, 6, 0, random_x0, 0},
    {"Sym4", false, Kind::symmetric, 180, 4, 5, 0, random_rhs, 0},
    {"SymZeroStartColumn", false, Kind::symmetric, 60, 3, 2, 0, zero_column, 1},
    {"SymInvariantSubspace", false, Kind::diagonal, 60, 2, 2, 0, unit_columns, 3},
    {"SymBadRevcom", false, Kind::symmetric, 40, 2, 1, 5, random_rhs, 1},
    {"Two1", true, Kind::general, 180, 1, 6, 0, random_rhs, 0},
    {"Two3WithX0", true, Kind::general, 180, 3, 5, 0, random_x0, 0},
    {"Two4", true, Kind::general, 180, 4, 4, 0, random_rhs, 0},
    {"TwoZeroLeftColumn", true, Kind::general, 60, 2, 1, 0, zero_w_column, 1},
    {"TwoOrthogonalStart", true, Kind::general, 60, 2, 1, 0, orthogonal_w, 1},
    {"TwoInvariantSubspace", true, Kind::diagonal, 60, 2, 2, 0, unit_columns, 4},
    {"TwoBadRevcom", true, Kind::general, 40, 2, 1, 4, random_rhs, 1},
};

void PrintTo(const LanczosCase& c, std::ostream* os) { *os << c.name; }
class DistributedLanczos : public testing::TestWithParam<LanczosCase> {};

// The host loop of either driver, serial and distributed in step.
TEST_P(DistributedLanczos, FollowsSerialDriver) {
  const LanczosCase& c = GetParam();
  const Matrix A = make_matrix(c.kind, c.N, 7), At = make_matrix(c.kind, c.N, 7, true);
  Block X0, R0, W0;
  c.start(c.N, c.s, A, X0, R0, W0);
  for (const Layout& L : layouts(c.N, 0)) {
    UseComm use(L);
    Lanczos ser(c.two, c.N, c.s), dis(c.two, L.n(), c.s);
    ser.X = X0, ser.Vn = R0, ser.Wn = W0;
    dis.X = rows_of(X0, c.N, c.s, L.off(), L.n());
    dis.Vn = rows_of(R0, c.N, c.s, L.off(), L.n());
    dis.Wn = rows_of(W0, c.N, c.s, L.off(), L.n());
    ser.revcom = dis.revcom = c.revcom0;
    const long before = failures();
    int failed = 0;
    const int calls = 1 + c.steps * (c.two ? 3 : 2);
    for (int k = 1; k <= calls; ++k) {
      const std::string at = where(L, "call " + std::to_string(k) + " with REVCOM " +
                                          std::to_string(ser.revcom));
      int rs = 0, rd = 0;
      const Lines ls = records([&] { rs = ser.call(serial()); });
      const Lines ld = records([&] { rd = dis.call(distributed()); });
      if (!agreed(L, rd) || !agreed(L, dis.revcom)) {
        ADD_FAILURE() << "result or REVCOM not the same on all ranks at " << at;
        break;
      }
      EXPECT_EQ(rd, rs) << "result at " << at;
      EXPECT_EQ(dis.revcom, ser.revcom) << "REVCOM after " << at;
      expect_records(L, ld, ls, at);
      compare(L, dis, ser, at);
      if (rs != 0 && failed == 0) failed = k;
      if (failed_anywhere(L, before)) break;
      if (rs != 0 || rd != 0 || dis.revcom != ser.revcom) break;
      ser.serve(A, At, nullptr);
      dis.serve(A, At, &L);
    }
    if (!failed_anywhere(L, before)) {
      EXPECT_EQ(failed, c.fails_at) << L.name << ": the serial run does not go as the case says";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DistributedLanczos, testing::ValuesIn(kLanczos),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Block GMRES steps

// The arrays of one cycle on n rows; R serves as G and then as Y, corr takes
// the corrections.
struct Cycle {
  int32_t n, s, m, ldr, ldh, ldcs, ldd, p = 0, ndefl = 0, inner = 0;
  Block V, vpiv, beta, sigma, R, LM, H, sn, dcoef, work, w, corr;
  std::vector<double> cs;
  std::vector<int32_t> kept, dtab;
  Cycle(int n_, int s_, int m_)
      : n(n_), s(s_), m(m_), ldr(m_ + s_), ldh(m_ + s_), ldcs(s_), ldd(std::max(s_ - 1, 1)),
        V(std::max(1, n_ * m_)), vpiv(m_), beta(m_), sigma(m_), R(ldr * s_), LM(m_ * m_),
        H(ldh * m_), sn(ldcs * m_), dcoef(ldd * s_), work(std::max(m_, s_)),
        w(std::max(1, n_)), corr(std::max(1, n_ * s_)), cs(ldcs * m_), kept(s_), dtab(2 * ldd) {}

  int initial(const Api& a, double tol) {
    return ndefl = a.initial(&s, &tol, &p, V.data(), &n, vpiv.data(), beta.data(), sigma.data(),
                             R.data(), &ldr, LM.data(), &m, kept.data(), dtab.data(), &ldd,
                             dcoef.data(), &ldd, work.data());
  }
  void basis(const Api& a, int j, int k) {
    a.basis(&j, w.data(), &k, &p, V.data(), &n, beta.data(), LM.data(), &m, work.data());
  }
  int orthog(const Api& a, int jcol, int k, double tol) {
    return a.orthog(&jcol, &k, &tol, &inner, V.data(), &n, vpiv.data(), beta.data(),
                    sigma.data(), LM.data(), &m, H.data(), &ldh, work.data());
  }
  void updatelm(const Api& a, int k) {
    a.updatelm(&k, V.data(), &n, beta.data(), LM.data(), &m);
  }
  void hmqr(const Api& a, int jcol, int sk) {
    a.hmqr(&jcol, &sk, H.data(), &ldh, R.data(), &ldr, cs.data(), &ldcs, sn.data(), &ldcs);
  }
  void solve(const Api& a, int k, int sk) {
    a.leastsqs(&k, &sk, R.data(), &ldr, H.data(), &ldh, R.data(), &ldr);
  }
  void update(const Api& a, int k, int sk) {
    std::fill(corr.begin(), corr.end(), 0.0);
    a.iterate(&k, &sk, &p, kept.data(), V.data(), &n, beta.data(), LM.data(), &m, work.data(),
              R.data(), &ldr, corr.data(), &n, w.data());
  }
  void deflate(const Api& a) {
    a.deflated(&ndefl, kept.data(), dtab.data(), &ldd, dcoef.data(), &ldd, corr.data(), &n);
  }
};

// end: after the iterate update, whose scratch w holds nothing to compare.
void compare(const Layout& L, const Cycle& d, const Cycle& s, const std::string& at,
             bool end = false) {
  expect_rows(L, "V", d.V.data(), s.V.data(), s.m, at);
  if (!end) expect_rows(L, "w", d.w.data(), s.w.data(), 1, at);
  expect_rows(L, "corrections", d.corr.data(), s.corr.data(), s.s, at);
  expect_small(L, "vpiv", d.vpiv, s.vpiv, at);
  expect_small(L, "beta", d.beta, s.beta, at);
  expect_small(L, "sigma", d.sigma, s.sigma, at);
  expect_small(L, "R", d.R, s.R, at);
  expect_small(L, "LM", d.LM, s.LM, at);
  expect_small(L, "H", d.H, s.H, at);
  expect_small(L, "cs", d.cs, s.cs, at);
  expect_small(L, "sn", d.sn, s.sn, at);
  expect_small(L, "dcoef", d.dcoef, s.dcoef, at);
  expect_small(L, "kept", d.kept, s.kept, at);
  expect_small(L, "dtab", d.dtab, s.dtab, at);
  expect_small(L, "p, ndefl, in-cycle ndefl", std::vector<int32_t>{d.p, d.ndefl, d.inner},
               std::vector<int32_t>{s.p, s.ndefl, s.inner}, at);
}

// Right-hand sides: random (column 1 the largest, as hosts order them), or
// with dependent columns: b3 = b1/2 - i b2 and b5 = b1 + b2 - 0.3 b4, both
// deflated (kept 1 2 4, deflation table (3, 2) and (5, 3)).
using GmresRhs = Block (*)(int N, int s);
Block random_gmres(int N, int s) {
  Block B = random_block(N, s, 21);
  for (int i = 0; i < N; ++i) B[i] *= 2.0;
  return B;
}
Block dependent(int N, int s) {
  Block B = random_gmres(N, s);
  for (int i = 0; i < N; ++i) {
    B[2 * N + i] = 0.5 * B[i] - zc(0.0, 1.0) * B[N + i];
    B[4 * N + i] = B[i] + B[N + i] - 0.3 * B[3 * N + i];
  }
  return B;
}

// With the diagonal matrix: b2 has no part in the eigenvalue 3, so the block
// Krylov space has dimension 5 (a full pair of dimensions per eigenvalue would
// make some Hessenberg entries exactly zero and the rotations beside the
// negligible direction pure rounding).
Block partial_second(int N, int s) {
  Block B = random_gmres(N, s);
  for (int i = 2; i < N; i += 3) B[N + i] = 0.0;
  return B;
}

struct GmresCase {
  const char* name;
  Kind kind;
  int N, s, m;
  GmresRhs rhs;
  int ndefl;       // deflated at the start of the cycle
  int negligible;  // column at which a negligible direction ends the cycle; 0: none
};

const GmresCase kGmres[] = {
    {"S1", Kind::general, 160, 1, 12, random_gmres, 0, 0},
    {"S3", Kind::general, 160, 3, 18, random_gmres, 0, 0},
    {"DeflatedColumns", Kind::general, 160, 5, 16, dependent, 2, 0},
    {"NegligibleDirectionS1", Kind::diagonal, 120, 1, 10, random_gmres, 0, 3},
    {"NegligibleDirectionS2", Kind::diagonal, 120, 2, 10, partial_second, 0, 4},
};

void PrintTo(const GmresCase& c, std::ostream* os) { *os << c.name; }
class DistributedGmres : public testing::TestWithParam<GmresCase> {};

// One cycle as a host runs it (docs/gmres.md), serial and distributed in
// step; a negligible direction ends the cycle.
TEST_P(DistributedGmres, CycleFollowsSerialSteps) {
  const GmresCase& c = GetParam();
  const Matrix A = make_matrix(c.kind, c.N, 9);
  const Block B = c.rhs(c.N, c.s);
  double bmax = 0.0;
  for (int j = 0; j < c.s; ++j) {
    double t = 0.0;
    for (int i = 0; i < c.N; ++i) t += std::norm(B[j * c.N + i]);
    bmax = std::max(bmax, std::sqrt(t));
  }
  const double tol = 1e-12 * bmax;
  for (const Layout& L : layouts(c.N, c.m + 1)) {
    UseComm use(L);
    Cycle ser(c.N, c.s, c.m), dis(L.n(), c.s, c.m);
    std::copy(B.begin(), B.end(), ser.V.begin());
    const Block mine = rows_of(B, c.N, c.s, L.off(), L.n());
    std::copy(mine.begin(), mine.begin() + L.n() * c.s, dis.V.begin());
    auto step = [&](const std::string& at, auto&& on_serial, auto&& on_distributed) {
      const Lines ls = records(on_serial);
      const Lines ld = records(on_distributed);
      expect_records(L, ld, ls, at);
    };

    const long before = failures();
    int ns = 0, nd = 0;
    step(where(L, "initial block"), [&] { ns = ser.initial(serial(), tol); },
         [&] { nd = dis.initial(distributed(), tol); });
    if (!agreed(L, nd)) {
      ADD_FAILURE() << where(L, "ndefl not the same on all ranks");
      continue;
    }
    EXPECT_EQ(ns, c.ndefl) << "the serial run does not go as the case says";
    EXPECT_EQ(nd, ns) << where(L, "ndefl");
    compare(L, dis, ser, where(L, "initial block"));
    if (failed_anywhere(L, before)) continue;

    const int sk = c.s - ns;
    int built = 0, negligible = 0;
    for (int jcol = 1; jcol + sk <= c.m; ++jcol) {
      const int k = jcol + sk;
      const std::string at = where(L, "column " + std::to_string(jcol));
      step(at, [&] { ser.basis(serial(), jcol, k); }, [&] { dis.basis(distributed(), jcol, k); });
      product(A, 1, ser.w.data(), &ser.V[(k - 1) * c.N]);
      product(A, L, 1, dis.w.data(), L.n(), &dis.V[(k - 1) * L.n()]);
      int gs = 0, gd = 0;
      step(at, [&] { gs = ser.orthog(serial(), jcol, k, tol); },
           [&] { gd = dis.orthog(distributed(), jcol, k, tol); });
      step(at, [&] { ser.updatelm(serial(), k); }, [&] { dis.updatelm(distributed(), k); });
      step(at, [&] { ser.hmqr(serial(), jcol, sk); }, [&] { dis.hmqr(distributed(), jcol, sk); });
      built = jcol;
      if (!agreed(L, gd)) {
        ADD_FAILURE() << at << ": negligible-direction flag not the same on all ranks";
        break;
      }
      EXPECT_EQ(gd, gs) << at << ": negligible-direction flag";
      compare(L, dis, ser, at);
      if (gs != 0 && negligible == 0) negligible = jcol;
      if (failed_anywhere(L, before)) break;
      if (gs != 0 || gd != 0) break;
    }
    if (failed_anywhere(L, before)) continue;
    EXPECT_EQ(negligible, c.negligible) << "the serial run does not go as the case says";

    const std::string at = where(L, "end of cycle after " + std::to_string(built) + " columns");
    step(at, [&] { ser.solve(serial(), built, sk); }, [&] { dis.solve(distributed(), built, sk); });
    step(at, [&] { ser.update(serial(), built, sk); },
         [&] { dis.update(distributed(), built, sk); });
    step(at, [&] { ser.deflate(serial()); }, [&] { dis.deflate(distributed()); });
    compare(L, dis, ser, at, true);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DistributedGmres, testing::ValuesIn(kGmres),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A split that the GMRES steps must refuse: rank 0 holds exactly m rows.
// "full" runs the whole cycle, whose last reflector has its pivot past rank
// 0's rows; "start" stops after the first column. Reaching the end prints
// NOT REFUSED.
int refuse(const std::string& how) {
  const int N = 40, s = 2, m = 8;
  int rank, P;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &P);
  Layout L;
  L.name = "rank 0 holds m rows";
  L.rank = rank, L.size = P, L.N = N;
  L.counts.assign(P, 0);
  L.offsets.assign(P, 0);
  for (int r = 0; r < P; ++r) {
    L.counts[r] = r == 0 ? m : (N - m) / (P - 1) + (r - 1 < (N - m) % (P - 1));
    if (r > 0) L.offsets[r] = L.offsets[r - 1] + L.counts[r - 1];
  }
  if (P == 1) L.counts[0] = N;
  const Matrix A = make_matrix(Kind::general, N, 9);
  const Block B = rows_of(random_gmres(N, s), N, s, L.off(), L.n());
  Cycle dis(L.n(), s, m);
  std::copy(B.begin(), B.begin() + L.n() * s, dis.V.begin());
  const int sk = s - dis.initial(distributed(), 1e-12);
  const int last = how == "start" ? 1 : m - sk;
  for (int jcol = 1; jcol <= last; ++jcol) {
    const int k = jcol + sk;
    dis.basis(distributed(), jcol, k);
    product(A, L, 1, dis.w.data(), L.n(), &dis.V[(k - 1) * L.n()]);
    dis.orthog(distributed(), jcol, k, 1e-12);
    dis.updatelm(distributed(), k);
    dis.hmqr(distributed(), jcol, sk);
  }
  if (rank == 0) std::printf("NOT REFUSED\n");
  return 0;
}

// Ranks after 0 print only failed assertions, tagged with their rank.
class FailurePrinter : public testing::EmptyTestEventListener {
 public:
  explicit FailurePrinter(int rank) : rank_(rank) {}
  void OnTestPartResult(const testing::TestPartResult& r) override {
    if (r.failed())
      std::fprintf(stderr, "[rank %d] %s:%d: %s\n", rank_, r.file_name() ? r.file_name() : "?",
                   r.line_number(), r.summary());
  }

 private:
  int rank_;
};

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank, size;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  if (argc == 3 && std::string(argv[1]) == "--refuse") {
    const int r = refuse(argv[2]);
    MPI_Finalize();
    return r;
  }
  testing::InitGoogleTest(&argc, argv);
  serial();  // a missing serial library ends the job here
  tolerance().rel = size == 1 ? 0.0 : 1e-10;
  auto& listeners = testing::UnitTest::GetInstance()->listeners();
  listeners.Append(new FailureCounter);
  if (rank > 0) {
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new FailurePrinter(rank));
  }
  int failed = RUN_ALL_TESTS() != 0;
  MPI_Allreduce(MPI_IN_PLACE, &failed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  double worst = tolerance().worst;
  MPI_Allreduce(MPI_IN_PLACE, &worst, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
  if (rank == 0)
    std::printf("%d rank(s): largest difference from the serial library %.2e of the array's "
                "largest entry (allowed %.0e)\n",
                size, worst, tolerance().rel);
  free_communicators();
  MPI_Finalize();
  return failed;
}
