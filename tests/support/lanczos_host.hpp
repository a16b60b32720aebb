// Test host for the block Lanczos drivers: the work arrays of one solve, calls
// through the internal routines or the exported entry points, small operators,
// and helpers to read captured records.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "blockkrylov.h"
#include "lanczos/lanczos.hpp"

namespace lanczos_test {

using zc = std::complex<double>;
using Block = std::vector<zc>;

// y = op(x) for one vector of length n.
using Op = std::function<void(const zc* x, zc* y)>;

inline void apply(const Op& op, int n, int s, const zc* X, zc* Y) {
  for (int j = 0; j < s; ++j) op(X + static_cast<std::ptrdiff_t>(j) * n, Y + static_cast<std::ptrdiff_t>(j) * n);
}

inline Block random_block(int n, int s, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Block b(static_cast<std::size_t>(n) * s);
  for (auto& z : b) z = zc(u(gen), u(gen));
  return b;
}

// Column j (0-based) of an n-row block.
inline const zc* col(const Block& b, int n, int j) { return b.data() + static_cast<std::ptrdiff_t>(j) * n; }

inline double norm2(const zc* x, int n) {
  double acc = 0.0;
  for (int i = 0; i < n; ++i) acc += std::norm(x[i]);
  return std::sqrt(acc);
}

// Largest relative residual ||b_j - A x_j|| / ||b_j|| over the columns.
inline double max_rel_residual(const Op& A, int n, int s, const Block& B, const Block& X) {
  Block r(static_cast<std::size_t>(n) * s);
  apply(A, n, s, X.data(), r.data());
  double worst = 0.0;
  for (int j = 0; j < s; ++j) {
    for (int i = 0; i < n; ++i) r[j * n + i] = B[j * n + i] - r[j * n + i];
    worst = std::max(worst, norm2(col(r, n, j), n) / norm2(col(B, n, j), n));
  }
  return worst;
}

// Work arrays of one complex-symmetric solve, sized as the driver expects.
struct SymSolve {
  int32_t n, s, revcom = 0, jcur = -7, jprev = -7;
  Block X, Vn, Pn, D, APn, ESVB, esv, DSVB, dsv, QRS, RINV, UP, TAU, SVWORK;
  std::vector<double> gamma, gammaold, rho, rhoold;

  SymSolve(int n_, int s_)
      : n(n_), s(s_), X(n * s), Vn(n * s), Pn(n * s), D(n * s), APn(n * s), ESVB(4 * s * s),
        esv(s + 1), DSVB(4 * s * s), dsv(s + 1), QRS((3 * s + 3) * 2 * s), RINV(2 * s * s),
        UP(s * s), TAU(2 * s * s), SVWORK(3 * s * s), gamma(s, -9.0), gammaold(s, -9.0),
        rho(s, -9.0), rhoold(s, -9.0) {}

  // Through the internal routine, with this object's own block offsets.
  int call() {
    return bk::ZDSYM_BLANCZOS1(&n, &s, &revcom, X.data(), Vn.data(), Pn.data(), D.data(),
                               APn.data(), gamma.data(), gammaold.data(), rho.data(),
                               rhoold.data(), ESVB.data(), esv.data(), DSVB.data(), dsv.data(),
                               QRS.data(), RINV.data(), UP.data(), TAU.data(), SVWORK.data(),
                               &jcur, &jprev);
  }
  // Through the exported entry point, with the calling thread's offsets.
  int call_exported() {
    return C_ZDSYM_BLANCZOS1(&n, &s, &revcom, X.data(), Vn.data(), Pn.data(), D.data(),
                             APn.data(), gamma.data(), gammaold.data(), rho.data(),
                             rhoold.data(), ESVB.data(), esv.data(), DSVB.data(), dsv.data(),
                             QRS.data(), RINV.data(), UP.data(), TAU.data(), SVWORK.data());
  }
  // The host's part of the protocol for the returned REVCOM.
  void serve(const Op& A) {
    if (revcom == 1) apply(A, n, s, Pn.data(), APn.data());
  }
  // Start from X (already set) with Vn = B - A X.
  void set_residual(const Op& A, const Block& B) {
    apply(A, n, s, X.data(), Vn.data());
    for (std::size_t i = 0; i < Vn.size(); ++i) Vn[i] = B[i] - Vn[i];
    revcom = 0;
  }
};

// Work arrays of one two-sided solve.
struct TwoSolve {
  int32_t n, s, revcom = 0, jcur = -7, jprev = -7;
  Block X, Vn, Wn, Pn, Qn, D, Zn, ESVB, esv, DSVB, dsv, QRS, RINV, QRSW, UP, UQ, TAU, SVWORK;
  std::vector<double> gamma, gammaold, rho, rhoold, xi, xiold;

  TwoSolve(int n_, int s_)
      : n(n_), s(s_), X(n * s), Vn(n * s), Wn(n * s), Pn(n * s), Qn(n * s), D(n * s),
        Zn(n * s), ESVB(4 * s * s), esv(s + 1), DSVB(4 * s * s), dsv(s + 1),
        QRS((3 * s + 3) * 2 * s), RINV(2 * s * s), QRSW((3 * s + 3) * 2 * s), UP(s * s),
        UQ(s * s), TAU(2 * s * s), SVWORK(3 * s * s), gamma(s, -9.0), gammaold(s, -9.0),
        rho(s, -9.0), rhoold(s, -9.0), xi(s, -9.0), xiold(s, -9.0) {}

  int call() {
    return bk::ZD_BLANCZOS(&n, &s, &revcom, X.data(), Vn.data(), Wn.data(), Pn.data(),
                           Qn.data(), D.data(), Zn.data(), gamma.data(), gammaold.data(),
                           rho.data(), rhoold.data(), xi.data(), xiold.data(), ESVB.data(),
                           esv.data(), DSVB.data(), dsv.data(), QRS.data(), RINV.data(),
                           QRSW.data(), UP.data(), UQ.data(), TAU.data(), SVWORK.data(), &jcur,
                           &jprev);
  }
  int call_exported() {
    return C_ZD_BLANCZOS(&n, &s, &revcom, X.data(), Vn.data(), Wn.data(), Pn.data(), Qn.data(),
                         D.data(), Zn.data(), gamma.data(), gammaold.data(), rho.data(),
                         rhoold.data(), xi.data(), xiold.data(), ESVB.data(), esv.data(),
                         DSVB.data(), dsv.data(), QRS.data(), RINV.data(), QRSW.data(),
                         UP.data(), UQ.data(), TAU.data(), SVWORK.data());
  }
  void serve(const Op& A, const Op& At) {
    if (revcom == 1) apply(A, n, s, Pn.data(), Zn.data());
    if (revcom == 2) apply(At, n, s, Qn.data(), Zn.data());
  }
  // Start from X with Vn = B - A X and Wn = Vn.
  void set_residual(const Op& A, const Block& B) {
    apply(A, n, s, X.data(), Vn.data());
    for (std::size_t i = 0; i < Vn.size(); ++i) Vn[i] = B[i] - Vn[i];
    Wn = Vn;
    revcom = 0;
  }
};

// Complex-symmetric shifted 2D Laplacian on an m x m grid: 4 on the diagonal,
// -1 for each grid neighbour, plus `shift` on the diagonal.
inline Op laplacian_2d(int m, zc shift) {
  return [m, shift](const zc* x, zc* y) {
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < m; ++i) {
        const int k = i + j * m;
        zc v = (4.0 + shift) * x[k];
        if (i > 0) v -= x[k - 1];
        if (i < m - 1) v -= x[k + 1];
        if (j > 0) v -= x[k - m];
        if (j < m - 1) v -= x[k + m];
        y[k] = v;
      }
  };
}

// Dense n x n column-major matrix as an operator, or its plain transpose.
inline Op dense(const Block& a, int n, bool transpose) {
  return [a, n, transpose](const zc* x, zc* y) {
    for (int i = 0; i < n; ++i) y[i] = 0.0;
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        if (transpose)
          y[j] += a[i + j * n] * x[i];
        else
          y[i] += a[i + j * n] * x[j];
      }
  };
}

// Captured output split into lines.
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// A record as the library writes it: a blank, the text, then an integer in
// width 12 or a double in %25.16E.
inline std::string rec(const std::string& text) { return " " + text; }
inline std::string rec(const std::string& text, int value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%12d", value);
  return " " + text + buf;
}
inline std::string rec(const std::string& text, double value) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%25.16E", value);
  return " " + text + buf;
}

// The four records of a hard breakdown (failed decomposition or exactly
// singular matrix) in one driver.
inline std::vector<std::string> hard_breakdown(const std::string& error, const std::string& what) {
  return {rec(error), rec(what), rec("THIS IS A BREAKDOWN IN THE INDEFINITE LANCZOS ALG:"),
          rec("..SHOULD HAVE STAYED WITH LOOK-AHEAD!?")};
}

inline bool all_finite(const Block& b) {
  for (const zc& z : b)
    if (!std::isfinite(z.real()) || !std::isfinite(z.imag())) return false;
  return true;
}

}  // namespace lanczos_test
