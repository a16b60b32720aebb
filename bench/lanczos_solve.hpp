// One solve of either Lanczos driver (two-sided when TwoSided) on a diagonal
// A, which is its own transpose: the arrays, the driver call, the product and
// one block step. The caller fills diag and R (the starting residual) after
// construction; `product` may be replaced by a derived type.
#pragma once

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdint>
#include <vector>

#include "blockkrylov.h"

namespace bench {

template <bool TwoSided>
struct LanczosSolve {
  using complex = std::complex<double>;
  using Clock = std::chrono::steady_clock;

  int32_t n, s, revcom = 0;
  std::vector<complex> diag, R, X, Vn, Wn, Pn, Qn, D, Zn;
  std::vector<double> g, go, rho, rhoo, xi, xio;
  std::vector<complex> ESVB, DSVB, esv, dsv, QRS, QRSW, RINV, UP, UQ, TAU, SVW;

  LanczosSolve(int32_t n_, int32_t s_) : n(n_), s(s_) {
    const std::size_t ns = static_cast<std::size_t>(n) * s, ss = static_cast<std::size_t>(s) * s;
    diag.assign(n, complex(1.0));
    R.assign(ns, complex(0.0));
    for (auto* b : {&X, &Vn, &Pn, &D, &Zn}) b->assign(ns, complex(0.0));
    if (TwoSided) Wn.assign(ns, 0.0), Qn.assign(ns, 0.0);
    for (auto* v : {&g, &go, &rho, &rhoo, &xi, &xio}) v->assign(s, 0.0);
    ESVB.assign(4 * ss, 0.0), DSVB.assign(4 * ss, 0.0), esv.assign(s + 1, 0.0);
    dsv.assign(s + 1, 0.0), QRS.assign((3 * s + 3) * 2 * s, 0.0), QRSW.assign(QRS.size(), 0.0);
    RINV.assign(2 * ss, 0.0), UP.assign(ss, 0.0), UQ.assign(ss, 0.0), TAU.assign(2 * ss, 0.0);
    SVW.assign(3 * ss, 0.0);
  }

  int call() {
    if constexpr (TwoSided)
      return C_ZD_BLANCZOS(&n, &s, &revcom, X.data(), Vn.data(), Wn.data(), Pn.data(), Qn.data(),
                           D.data(), Zn.data(), g.data(), go.data(), rho.data(), rhoo.data(),
                           xi.data(), xio.data(), ESVB.data(), esv.data(), DSVB.data(), dsv.data(),
                           QRS.data(), RINV.data(), QRSW.data(), UP.data(), UQ.data(), TAU.data(),
                           SVW.data());
    else
      return C_ZDSYM_BLANCZOS1(&n, &s, &revcom, X.data(), Vn.data(), Pn.data(), D.data(),
                               Zn.data(), g.data(), go.data(), rho.data(), rhoo.data(),
                               ESVB.data(), esv.data(), DSVB.data(), dsv.data(), QRS.data(),
                               RINV.data(), UP.data(), TAU.data(), SVW.data());
  }

  // Zn = A x (A diagonal, so A^T x too), in parallel like a host's product.
  void product(const std::vector<complex>& x) {
    const long ns = static_cast<long>(n) * s;
#pragma omp parallel for schedule(static)
    for (long k = 0; k < ns; ++k) Zn[k] = diag[k % n] * x[k];
  }

  // Starts from X = 0 and R, up to the first stored product.
  bool restart() {
    std::fill(X.begin(), X.end(), complex(0.0));
    std::copy(R.begin(), R.end(), Vn.begin());
    if (TwoSided) std::copy(R.begin(), R.end(), Wn.begin());
    revcom = 0;
    if (call() != 0) return false;
    product(Pn);
    return true;
  }

  // From "product stored" to the next request for A Pn: the seconds spent
  // in the library (products excluded), negative on a failure. around(f)
  // runs each driver call f (a benchmark may count what it does).
  template <class Around>
  double step(Around around) {
    double in_library = 0.0;
    do {
      int r = 0;
      const auto t0 = Clock::now();
      around([&] { r = call(); });
      in_library += std::chrono::duration<double>(Clock::now() - t0).count();
      if (r != 0) return -1.0;
      if (revcom == 1) product(Pn);
      if (TwoSided && revcom == 2) product(Qn);
    } while (revcom != 1);
    return in_library;
  }
  double step() {
    return step([](auto&& f) { f(); });
  }
};

}  // namespace bench
