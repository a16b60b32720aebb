// The reflector-set operations, which make one pass over the reflectors per
// product, against the column-at-a-time form they replaced (one inner
// product or axpy per reflector), kept here as the reference. Random sets
// with NaN above the diagonal of V, in LM outside the couplings and in the
// output columns: only the entries each operation owns may be read.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/blas.hpp"
#include "gmres/extended.hpp"
#include "support/gmres_fixture.hpp"

namespace {
using namespace gmres_test;
using bk::narrow;
using bk::widen;
using bk::zl;
namespace blas = bk::blas;
namespace ext = bk::ext;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

namespace reference {

void reduce(int k, zc* z, const zc* V, int n, const zc* beta, const zc* LM, int ldlm, zc* w) {
  const auto v = bk::mat(V, n);
  const auto lm = bk::mat(LM, ldlm);
  for (int i = 1; i <= k; ++i) w[i - 1] = blas::zdotc(n - i + 1, v.at(i, i), 1, z + i - 1, 1);
  for (int i = 2; i <= k; ++i) {
    zl acc = widen(w[i - 1]);
    for (int l = i - 1; l >= 1; --l) acc -= ext::mul(widen(lm(i, l)), widen(w[l - 1]));
    w[i - 1] = narrow(acc);
  }
  for (int i = 1; i <= k; ++i) w[i - 1] = narrow(bk::zdiv(widen(w[i - 1]), widen(beta[i - 1])));
  for (int i = 1; i <= k; ++i) blas::zaxpy(n - i + 1, -w[i - 1], v.at(i, i), 1, z + i - 1, 1);
}

void update_lm(int j, const zc* V, int n, const zc* beta, zc* LM, int ldlm) {
  const auto v = bk::mat(V, n);
  const auto lm = bk::mat(LM, ldlm);
  for (int i = 1; i <= j - 1; ++i) {
    const zc d = blas::zdotc(n - j + 1, v.at(j, j), 1, v.at(j, i), 1);
    lm(j, i) = narrow(bk::zdiv(widen(d), widen(beta[i - 1])));
    lm(i, j) = std::conj(lm(j, i));
  }
}

CV basis_vec(int k, const zc* V, int n, const zc* beta, const zc* LM, int ldlm) {
  const auto v = bk::mat(V, n);
  const auto lm = bk::mat(LM, ldlm);
  CV y(n, 0.0), w(n);
  y[k - 1] = 1.0;
  const int L = (k == n) ? n - 1 : k;
  for (int i = 1; i <= L; ++i)
    w[i - 1] = narrow(bk::zdiv(ext::conj(widen(v(k, i))), widen(beta[i - 1])));
  for (int i = L - 1; i >= 1; --i) {
    zl acc = widen(w[i - 1]);
    for (int l = i + 1; l <= L; ++l) acc -= ext::mul(widen(lm(i, l)), widen(w[l - 1]));
    w[i - 1] = narrow(acc);
  }
  for (int i = 1; i <= L; ++i) blas::zaxpy(n - i + 1, -w[i - 1], v.at(i, i), 1, &y[i - 1], 1);
  return y;
}

}  // namespace reference

// Largest |a - b| over the largest |b| (at least 1); infinite where only one
// of the two is NaN, NaN in both counts as equal.
double relerr(const CV& a, const CV& b) {
  double d = 0, scale = 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const bool na = std::isnan(a[i].real()), nb = std::isnan(b[i].real());
    if (na != nb) return INFINITY;
    if (!na) d = std::max(d, std::abs(a[i] - b[i])), scale = std::max(scale, std::abs(b[i]));
  }
  return d / scale;
}

TEST(BlockedReflectors, AgreeWithColumnAtATimeForm) {
  const int cases[][2] = {{1, 1}, {2, 1}, {2, 2}, {3, 1}, {3, 2},    {3, 3},
                          {200, 1}, {200, 37}, {200, 199}, {200, 200}};
  for (const auto& c : cases) {
    const int n = c[0], k = c[1], m = k + 6, s = 3;
    SCOPED_TRACE(testing::Message() << "n " << n << ", k " << k);
    const double tol = 1e-13 * k;
    CV V = randc(n * m, n + k), beta(m), LM(m * m, kNaN);
    for (int j = 1; j <= k; ++j) {
      double t = 0;
      for (int i = 1; i <= n; ++i)
        if (i < j) V[(i - 1) + (j - 1) * n] = kNaN;
        else t += std::norm(V[(i - 1) + (j - 1) * n]);
      beta[j - 1] = t / 2;
      LM[(j - 1) * (m + 1)] = 1.0;
    }
    CV LMnew = LM;
    for (int j = 2; j <= k; ++j) {
      reference::update_lm(j, V.data(), n, beta.data(), LM.data(), m);
      bk::HOUSEUPDATELM(&j, V.data(), &n, beta.data(), LMnew.data(), &m);
    }
    EXPECT_LE(relerr(LMnew, LM), tol) << "coupling matrix";

    CV z = randc(n, 3), zref = z, work(m, kNaN), wref(m);
    bk::HOUSEREDUCE(&k, z.data(), V.data(), &n, beta.data(), LM.data(), &m, work.data());
    reference::reduce(k, zref.data(), V.data(), n, beta.data(), LM.data(), m, wref.data());
    EXPECT_LE(relerr(z, zref), tol) << "Q^H z";

    std::vector<CV> q;  // q_1..q_k by the reference, for the iterates
    for (int j = 1; j <= k; ++j) {
      q.push_back(reference::basis_vec(j, V.data(), n, beta.data(), LM.data(), m));
      CV y(n, kNaN);
      bk::HOUSEBASISVEC(&j, y.data(), V.data(), &n, beta.data(), LM.data(), &m, work.data());
      EXPECT_LE(relerr(y, q.back()), tol) << "q_" << j;
    }

    // Equally spaced targets take the block product when L * s fits in n.
    for (const auto& kept : {std::vector<int>{1, 2, 3}, {2, 4, 6}, {5, 1, 2}}) {
      const CV Y = randc(k * s, 9);
      CV X(n * 6, kNaN), w(n, kNaN);
      X[2 * n] = 7.0;  // column 3, a target only in the first case
      CV Xref = X;
      for (int l = 0; l < s; ++l)
        for (int i = 0; i < n; ++i) {
          Xref[i + (kept[l] - 1) * n] = 0.0;
          for (int j = 0; j < k; ++j) Xref[i + (kept[l] - 1) * n] += Y[j + l * k] * q[j][i];
        }
      const int p = 0;
      bk::GMRESITERATEUPDATE(&k, &s, &p, kept.data(), V.data(), &n, beta.data(), LM.data(), &m,
                             work.data(), Y.data(), &k, X.data(), &n, w.data());
      EXPECT_LE(relerr(X, Xref), tol) << "iterates, kept " << kept[0] << kept[1] << kept[2];
    }
  }
}

}  // namespace
