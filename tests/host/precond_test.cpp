// Stock preconditioners: the split operators keep the structure each method
// relies on, each preconditioner solves where the plain method runs out of
// products, and the methods refuse what they cannot use.
#include "blockkrylov/preconditioners.hpp"
#include "support/host_helpers.hpp"

namespace {

using namespace host_test;

// x^T y summed over the columns (plain transpose, no conjugation).
complex dot(const Block& x, const Block& y) {
  complex s = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) s += x[i] * y[i];
  return s;
}

// A^ x = M1^-1 A M2^-1 x through the factors, or the fused product.
Block split_apply(const CsrMatrix& a, const Preconditioner& p, bool transposed, const Block& x, int k) {
  Block t(x.size()), u(x.size()), y(x.size());
  const Operator& fused = transposed ? p.fused_t : p.fused;
  if (fused) return fused(k, x.data(), y.data()), y;
  (transposed ? p.left_t : p.right)(k, x.data(), t.data());
  transposed ? a.multiply_transpose(k, t.data(), u.data()) : a.multiply(k, t.data(), u.data());
  (transposed ? p.right_t : p.left)(k, u.data(), y.data());
  return y;
}

struct Stock {
  const char* name;
  Preconditioner (*make)(const CsrMatrix&);
  bool symmetric;  // keeps a complex-symmetric A complex-symmetric
  bool general;    // built for any A (ic0 and ict need A = A^T)
};
const Stock kStock[] = {
    {"jacobi", [](const CsrMatrix& a) { return precond::jacobi(a); }, true, true},
    {"ssor", [](const CsrMatrix& a) { return precond::ssor(a, 1.3); }, true, true},
    {"ic0", [](const CsrMatrix& a) { return precond::ic0(a); }, true, false},
    {"ict", [](const CsrMatrix& a) { return precond::ict(a, 1e-3, 3); }, true, false},
    {"ilu0", [](const CsrMatrix& a) { return precond::ilu0(a); }, false, true},
    {"ilut", [](const CsrMatrix& a) { return precond::ilut(a, 1e-3, 3); }, false, true},
};

// Every operator applied to a block gives, bit for bit, what it gives each
// column alone (blocks are solved interleaved, one pass over the factors).
void expect_blocks_match_columns(const Preconditioner& p, const Block& x, int k) {
  const int n = static_cast<int>(x.size()) / k;
  for (const Operator* op : {&p.left, &p.right, &p.left_t, &p.right_t, &p.fused, &p.fused_t}) {
    if (!*op) continue;
    Block y(x.size()), c(n);
    (*op)(k, x.data(), y.data());
    for (int j = 0; j < k; ++j) {
      (*op)(1, x.data() + static_cast<std::size_t>(j) * n, c.data());
      EXPECT_TRUE(std::equal(c.begin(), c.end(), y.begin() + static_cast<std::ptrdiff_t>(j) * n));
    }
  }
}

// x^T A^ y = y^T A^ x for the symmetric ones on a complex-symmetric A; for
// every one, x^T A^ y = y^T (A^)^T x with the transposed factors (which the
// two-sided method uses); the fused product of SSOR equals its factors'.
TEST(Preconditioners, SplitOperatorsKeepTheirStructure) {
  const CsrMatrix sym = examples::helmholtz_2d(12, 12, 2.0, 0.3);
  const CsrMatrix gen = examples::convection_diffusion_2d(12, 12, 8.0, {1.0, 0.4});
  const int k = 3;
  const Block x = random_block(sym.n, k, 61), y = random_block(sym.n, k, 62);
  for (const Stock& st : kStock) {
    SCOPED_TRACE(st.name);
    for (const CsrMatrix* a : {&sym, &gen}) {
      if (a == &gen && !st.general) {
        EXPECT_THROW(st.make(*a), std::invalid_argument);
        continue;
      }
      Preconditioner p = st.make(*a);
      expect_blocks_match_columns(p, x, k);
      const complex xay = dot(x, split_apply(*a, p, false, y, k));
      EXPECT_LE(std::abs(xay - dot(y, split_apply(*a, p, true, x, k))), 1e-12 * std::abs(xay));
      if (a == &sym && st.symmetric) {
        EXPECT_TRUE(p.symmetric);
        EXPECT_LE(std::abs(xay - dot(y, split_apply(*a, p, false, x, k))), 1e-12 * std::abs(xay));
      }
      if (p.fused) {  // the same operator through the factors
        const Block f = split_apply(*a, p, false, y, k);
        p.fused = nullptr;
        const Block g = split_apply(*a, p, false, y, k);
        EXPECT_LE(std::abs(dot(x, f) - dot(x, g)), 1e-12 * std::abs(dot(x, g)));
      }
    }
  }
}

// A badly scaled problem on which the plain methods run out of products
// converges with every preconditioner that suits the method: D A D (rows and
// columns scaled alike, complex-symmetric) for the Lanczos methods, A D
// (columns only, which right preconditioning undoes) for GMRES.
TEST(Preconditioners, SolveWhereThePlainMethodRunsOut) {
  const CsrMatrix a = examples::helmholtz_2d(40, 40, 0.5, 0.02);
  const auto scaled = [&a](bool rows) {
    CsrMatrix b = a;
    for (int i = 0; i < b.n; ++i)  // by 10^(i mod 5)
      for (std::int64_t q = b.rowptr[i]; q < b.rowptr[i + 1]; ++q)
        b.val[q] *= std::pow(10.0, (rows ? i % 5 : 0) + b.col[q] % 5);
    return b;
  };
  const CsrMatrix dad = scaled(true), ad = scaled(false);
  const int s = 2;
  const auto B = random_block(a.n, s, 63);
  Options opt = with_rtol(1e-8);
  opt.max_products = 1500;
  for (Method m : {Method::symmetric, Method::qmr, Method::gmres}) {
    const CsrMatrix& sym = m == Method::gmres ? ad : dad;
    Block X(B.size());
    EXPECT_NE(solve(m, sym, s, B.data(), X.data(), opt).status, Status::converged) << to_string(m);
    for (const Stock& st : kStock) {
      if ((m == Method::symmetric && !st.symmetric) || (m == Method::gmres && !st.general)) continue;
      opt.preconditioner = st.make(sym);
      std::fill(X.begin(), X.end(), complex(0.0));
      const Report rep = solve(m, sym, s, B.data(), X.data(), opt);
      SCOPED_TRACE(std::string(to_string(m)) + " with " + st.name);
      expect_residuals(sym, s, B.data(), X.data(), rep, 1e-8);
    }
    opt.preconditioner = Preconditioner();
  }
}

// The symmetric method refuses a split that is not M1 M1^T; the two-sided
// one refuses factors without their transposes. A zero pivot is replaced,
// said in the name, and the factorisation still serves.
TEST(Preconditioners, RefusalsAndZeroPivots) {
  const CsrMatrix a = examples::helmholtz_2d(10, 10, 2.0, 0.3);
  const auto B = random_block(a.n, 1, 64);
  Block X(B.size());
  Options opt = with_rtol(1e-8);
  opt.preconditioner = precond::ilu0(a);
  Report rep = solve(Method::symmetric, a, 1, B.data(), X.data(), opt);
  EXPECT_EQ(rep.status, Status::invalid);
  EXPECT_NE(rep.message.find("L L^T"), std::string::npos) << rep.message;
  opt.preconditioner.left_t = nullptr;
  EXPECT_EQ(solve(Method::qmr, a, 1, B.data(), X.data(), opt).status, Status::invalid);

  CsrMatrix z = a;
  for (std::int64_t q = z.rowptr[0]; q < z.rowptr[1]; ++q)
    if (z.col[q] == 0) z.val[q] = 0.0;  // a_11 = 0: the first pivot is zero
  for (auto make : {precond::ic0, precond::ilu0}) {
    opt.preconditioner = make(z);
    EXPECT_NE(opt.preconditioner.name.find("1 pivot replaced"), std::string::npos) << opt.preconditioner.name;
    rep = solve(Method::gmres, z, 1, B.data(), X.data(), opt);
    expect_residuals(z, 1, B.data(), X.data(), rep, 1e-8);
  }
}

}  // namespace
