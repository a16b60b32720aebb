// Test host for the block Lanczos drivers: the work arrays of one solve, the
// host's side of the protocol, small operators, and captured records.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "api/slots.hpp"
#include "blockkrylov.h"
#include "lanczos/lanczos.hpp"

namespace lanczos_test {

using zc = std::complex<double>;
using Block = std::vector<zc>;
using Lines = std::vector<std::string>;
using Op = std::function<void(const zc* x, zc* y)>;  // y = op(x), one vector

inline void apply(const Op& op, int n, int s, const zc* X, zc* Y) {
  for (int j = 0; j < s; ++j) op(X + j * n, Y + j * n);
}

inline Block random_block(int n, int s, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Block b(static_cast<std::size_t>(n) * s);
  for (auto& z : b) z = zc(u(gen), u(gen));
  return b;
}

inline double norm2(const zc* x, int n) {
  double acc = 0.0;
  for (int i = 0; i < n; ++i) acc += std::norm(x[i]);
  return std::sqrt(acc);
}

// Largest relative residual ||b_j - A x_j|| / ||b_j|| over the columns.
inline double max_rel_residual(const Op& A, int n, int s, const Block& B, const Block& X) {
  Block r(B.size());
  apply(A, n, s, X.data(), r.data());
  double worst = 0.0;
  for (int j = 0; j < s; ++j) {
    for (int i = 0; i < n; ++i) r[j * n + i] = B[j * n + i] - r[j * n + i];
    worst = std::max(worst, norm2(&r[j * n], n) / norm2(&B[j * n], n));
  }
  return worst;
}

// Work arrays of one solve. Two = false: the complex-symmetric driver (Zn is
// its APn; Wn, Qn, QRSW, UQ, xi, xiold unused). Two = true: the two-sided one.
// X starts at 0; the arrays the start call must clear or write start as NaN.
template <bool Two>
struct Solve {
  int32_t n, s, revcom = 0;
  Block X, Vn, Wn, Pn, Qn, D, Zn, ESVB, esv, DSVB, dsv, QRS, RINV, QRSW, UP, UQ, TAU, SVWORK;
  std::vector<double> gamma, gammaold, rho, rhoold, xi, xiold;
  Solve(int n_, int s_) : n(n_), s(s_), X(n * s), Vn(n * s), Wn(n * s) {
    const double nan = std::nan("");
    const zc g(nan, nan);
    for (Block* b : {&Pn, &Qn, &D, &Zn}) b->assign(n * s, g);
    for (Block* b : {&ESVB, &DSVB}) b->assign(4 * s * s, g);
    for (Block* b : {&QRS, &QRSW}) b->assign((3 * s + 3) * 2 * s, g);
    for (Block* b : {&RINV, &TAU}) b->assign(2 * s * s, g);
    esv.assign(s + 1, g), dsv.assign(s + 1, g), UP.assign(s * s, g), UQ.assign(s * s, g);
    SVWORK.assign(3 * s * s, g);
    for (auto* v : {&gamma, &gammaold, &rho, &rhoold, &xi, &xiold}) v->assign(s, nan);
  }
  // Through the exported entry point, with the calling thread's offsets.
  int call() {
    if constexpr (Two)
      return C_ZD_BLANCZOS(&n, &s, &revcom, X.data(), Vn.data(), Wn.data(), Pn.data(), Qn.data(),
                           D.data(), Zn.data(), gamma.data(), gammaold.data(), rho.data(),
                           rhoold.data(), xi.data(), xiold.data(), ESVB.data(), esv.data(),
                           DSVB.data(), dsv.data(), QRS.data(), RINV.data(), QRSW.data(), UP.data(),
                           UQ.data(), TAU.data(), SVWORK.data());
    else
      return C_ZDSYM_BLANCZOS1(&n, &s, &revcom, X.data(), Vn.data(), Pn.data(), D.data(), Zn.data(),
                               gamma.data(), gammaold.data(), rho.data(), rhoold.data(),
                               ESVB.data(), esv.data(), DSVB.data(), dsv.data(), QRS.data(),
                               RINV.data(), UP.data(), TAU.data(), SVWORK.data());
  }
  // The calling thread's (jcur, jprev) for this driver.
  static std::pair<int, int> offsets() {
    const bk::BlockOffsets* o = Two ? bk::twosided_offsets() : bk::symmetric_offsets();
    return {o->jcur, o->jprev};
  }
  // The product the returned REVCOM asks for (At: the plain transpose).
  void serve(const Op& A, const Op& At) {
    if (revcom == 1) apply(A, n, s, Pn.data(), Zn.data());
    if (Two && revcom == 2) apply(At, n, s, Qn.data(), Zn.data());
  }
  // A new solve from the current X: Vn = B - A X (and Wn = Vn).
  void start(const Op& A, const Block& B) {
    apply(A, n, s, X.data(), Vn.data());
    for (std::size_t i = 0; i < Vn.size(); ++i) Vn[i] = B[i] - Vn[i];
    Wn = Vn;
    revcom = 0;
  }
  // One block step from the start or an updated iterate: 2 or 3 calls.
  // Returns the first nonzero result, or 0 with X updated.
  int step(const Op& A, const Op& At) {
    for (int c = 0; c < (Two ? 3 : 2); ++c) {
      if (const int r = call(); r != 0) return r;
      serve(A, At);
    }
    return 0;
  }
};
using SymSolve = Solve<false>;
using TwoSolve = Solve<true>;

// Shifted 5-point stencil on an m x m grid plus a first difference of weight
// c along the grid lines: complex-symmetric for c = 0, and stencil(m, shift,
// -c) is the plain transpose of stencil(m, shift, c).
inline Op stencil(int m, zc shift, double c = 0.0) {
  return [=](const zc* x, zc* y) {
    for (int k = 0; k < m * m; ++k) {
      const int i = k % m, j = k / m;
      y[k] = (4.0 + shift) * x[k] - (1.0 + c) * (i > 0 ? x[k - 1] : 0.0) -
             (1.0 - c) * (i < m - 1 ? x[k + 1] : 0.0) - (j > 0 ? x[k - m] : 0.0) -
             (j < m - 1 ? x[k + m] : 0.0);
    }
  };
}

inline Op identity(int n) {
  return [n](const zc* x, zc* y) { std::copy(x, x + n, y); };
}

// Runs f with standard output captured; returns the lines written, with the
// sign of a NaN (which the data decide) dropped.
template <class F>
Lines records(F&& f) {
  testing::internal::CaptureStdout();
  f();
  std::istringstream in(testing::internal::GetCapturedStdout());
  Lines out;
  for (std::string l; std::getline(in, l);) {
    if (auto p = l.find("-NAN"); p != std::string::npos) l[p] = ' ';
    out.push_back(l);
  }
  return out;
}

// A record as the library writes it: a blank, the text, an integer in width 12.
inline std::string rec(const std::string& text) { return " " + text; }
inline std::string rec(const std::string& text, int value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%12d", value);
  return " " + text + buf;
}
inline Lines zero_column(int j) {
  return {rec("ERROR IN NRM_SS:"), rec("SP COL VECTOR WITH ZERO NORM...", j)};
}
// The four records of a failed decomposition or an exactly singular matrix.
inline Lines hard_breakdown(const std::string& error, const std::string& what) {
  return {rec(error), rec(what), rec("THIS IS A BREAKDOWN IN THE INDEFINITE LANCZOS ALG:"),
          rec("..SHOULD HAVE STAYED WITH LOOK-AHEAD!?")};
}
// The near-breakdown pair with a cond that is not a number.
inline Lines nan_condition(const std::string& warning, const std::string& bad) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%25.16E", std::nan(""));
  return {rec(warning), rec(bad) + buf};
}

}  // namespace lanczos_test
