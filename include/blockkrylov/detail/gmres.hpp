// blockkrylov/detail/gmres.hpp - restarted block GMRES with deflation over
// the GMRES entry points.
//
// One cycle: the active residual block R0, each column divided by the norm
// of its right-hand side (GMRES is invariant under that scaling, and it
// makes the deflation test relative to each column's own b), the largest
// column first (because C_INITIALBLOCKGMRES never tests its first column
// for deflation), is
// factored R0 = Q R with deflation of columns that the earlier ones explain
// to within deflation_tol; the s_k kept columns start a block Arnoldi process
// A q_j = Q H(:, j) with Householder reflectors, H band Hessenberg with lower
// bandwidth s_k. Plane rotations keep H triangular and rotate G = R, so that
// after column j the norm of G(j+1 : j+s_k, l) is the residual of kept
// right-hand side l for the best correction in span(q_1..q_j) (deflated
// columns: the norm of the recorded combination of those rows). The cycle
// ends when every column meets its tolerance by this estimate, when the basis
// is full (reflector index m, or n), when a new direction is negligible, or on
// a limit or a stop request. Then H Y = G gives the corrections Q Y of the
// kept columns, each deflated column takes the recorded combination of the
// kept ones, X is updated, and the next cycle starts from the true residual.
//
// A negligible direction (|sigma_k| <= deflation_tol * ||A q_j||) means the
// block Krylov space has (nearly) stopped growing in one direction; carrying
// on would build later basis vectors from rounding noise and divide by a
// vanishing reflector scale. The cycle ends there: the corrections are as
// good as the space allows, and the restart's initial factorisation deflates
// the dependent residual columns properly.
#pragma once

#include "blockkrylov/detail/host.hpp"

namespace blockkrylov {
namespace detail {

// A cycle "gains" when some column's true residual falls below this fraction
// of its value at the start of the cycle: 0.1 % is far above rounding noise
// and far below what any working cycle achieves.
constexpr double kCycleGainFactor = 0.999;

// Default basis capacity per kept column of the block, and its floor: a
// cycle then holds 60 block steps whatever the block size. Restarted GMRES
// is sensitive to its cycle length; with fewer steps per cycle than a
// single right-hand side gets (60), larger blocks need more products per
// right-hand side, not fewer (measured on convection-diffusion problems:
// 40 per column gave 475 / 596 / 843 products per right-hand side at s = 1
// / 4 / 8, 60 per column 475 / 477 / 471). The default basis also stays
// within kDefaultBasisBytes (n x m complex numbers), so that large n and s
// do not exhaust memory by default; `restart` sets any capacity.
constexpr int kBasisPerColumn = 60;
constexpr int kMinBasis = 60;
constexpr double kDefaultBasisBytes = 2.0 * 1024 * 1024 * 1024;

// Capacity m of the reflector set for n unknowns (over all ranks), block
// size s and the requested restart length (<= 0: the default above): at
// least 2 s so that s_k <= ceil(m / 2), and no more than n where that allows
// (reflectors stop at index n).
inline int gmres_capacity(int n, int s, int restart) {
  int want = restart;
  if (restart <= 0) {
    const double fit = kDefaultBasisBytes / (16.0 * std::max(n, 1));
    want = std::max(kMinBasis, static_cast<int>(std::min<double>(kBasisPerColumn * s, fit)));
  }
  return std::max(std::min(want, n), 2 * s);
}

class GmresEngine {
 public:
  // n: this rank's rows; global_n: the rows over all ranks, which set the
  // capacity and the cycle length (the same on every rank).
  GmresEngine(int n, long global_n, int s, int restart)
      : n_(n), order_(static_cast<int>(std::min<long>(global_n, INT32_MAX))), s_(s), restart_(restart),
        m_(gmres_capacity(order_, s, restart)),
        V_(rows::storage(n) * m_), vpiv_(m_), beta_(m_), sigma_(m_),
        G_(static_cast<std::size_t>(m_) * s), LM_(static_cast<std::size_t>(m_) * m_),
        H_(static_cast<std::size_t>(m_) * m_), sn_(static_cast<std::size_t>(s) * m_),
        cs_(static_cast<std::size_t>(s) * m_), dcoef_(static_cast<std::size_t>(s) * s),
        work_(m_ + 1), w_(rows::storage(n) * s), kept_(s), dtab_(static_cast<std::size_t>(s) * 2), before_(s),
        scale_(s) {}

  int capacity() const { return m_; }

  // Runs cycles until every column is done or the solve must end.
  void solve(Host& h, const Operator& A) {
    int stagnant = 0;
    bool first = true;
    Status status = Status::converged;
    std::string why;
    for (;;) {
      if (!h.begin_run(status, why)) break;
      if (!h.can_afford(1) || !h.may_iterate()) {
        h.halted(false, true, status);
        break;
      }
      if (!first) ++h.report().restarts;
      first = false;
      open_cycle(h);
      const Closing c = build_basis(h, A);
      if (jc_ > 0 && !close_cycle(h)) {
        status = Status::stagnated;
        why = "the cycle produced values that are not finite";
        break;
      }
      if (h.all_done() || h.halted(c.stop, c.limit, status)) break;
      stagnant = gained(h) ? 0 : stagnant + 1;
      const int window = h.options().stagnation_cycles;
      if (window > 0 && stagnant >= window) {
        status = Status::stagnated;
        why = std::to_string(window) + " cycles in a row gained nothing";
        break;
      }
    }
    h.finish(status, why);
  }

 private:
  struct Closing {
    bool stop = false;   // the progress callback asked to stop
    bool limit = false;  // a product or iteration limit was reached
  };

  // Orders, scales and factors the active residual block: reflectors for the
  // kept columns, the dependency record of the deflated ones.
  void open_cycle(Host& h) {
    sa_ = h.active();
    int* act = h.active_columns();
    // Largest relative residual first; the others keep their order.
    int big = 0;
    for (int i = 1; i < sa_; ++i)
      if (h.res(act[i]) > h.res(act[big])) big = i;
    std::rotate(act, act + big, act + big + 1);
    // Each residual column enters divided by the norm of its right-hand
    // side: the corrections scale back exactly, and deflation then compares
    // what the other columns leave unexplained with the column's own b,
    // whatever the scales of the right-hand sides. Relative to b, not to the
    // residual: columns that depend on others in B keep doing so in every
    // residual to within rounding relative to b (their iterates are the
    // recorded combinations), which a test relative to a residual many
    // orders below b would no longer see after the first cycle; and what is
    // left unexplained below deflation_tol ||b_j|| is far below any useful
    // tolerance.
    for (int i = 0; i < sa_; ++i) {
      scale_[i] = h.bnorm(act[i]);
      const complex* r = h.rcol(act[i]);
      complex* v = V_.data() + h.off(i);
      for (int q = 0; q < n_; ++q) v[q] = r[q] / scale_[i];
      before_[i] = h.res(act[i]);
    }
    const int32_t sa = sa_, nn = n_, ld = m_, lds = s_;
    const double tol0 = deflation_tol_ = h.options().deflation_tol;
    p_ = 0;
    ndefl_ = C_INITIALBLOCKGMRES(&sa, &tol0, &p_, V_.data(), &nn, vpiv_.data(), beta_.data(),
                                 sigma_.data(), G_.data(), &ld, LM_.data(), &ld, kept_.data(),
                                 dtab_.data(), &lds, dcoef_.data(), &lds, work_.data());
    sk_ = sa_ - ndefl_;
    jc_ = 0;
  }

  // Adds Hessenberg columns until the cycle must close. The columns of one
  // block step need basis vectors q_j that the reflectors formed before the
  // step already give (q_j needs reflectors 1..j, and s_k more exist), so
  // the step forms them all first and takes their products as one block
  // (one pass over A and the preconditioner for s_k columns); then each
  // product is orthogonalised in turn. Once the estimates meet the
  // tolerance the products already made are still used: they cost no more
  // products and only improve the corrections.
  Closing build_basis(Host& h, const Operator& A) {
    Closing c;
    // With the default capacity a cycle is sized by its kept columns, so
    // that dependent right-hand sides cost what the independent ones do.
    const int32_t m = restart_ > 0 ? m_ : std::min(m_, gmres_capacity(order_, sk_, 0));
    const int32_t maxcols = std::min(m, order_) - sk_;
    int32_t ndefl_steps = ndefl_;  // counter that C_GMRESHOUSEORTHOG advances
    bool below = false;
    for (int32_t first = 1; first <= maxcols && !below;) {
      int32_t b = std::min<int32_t>(sk_, maxcols - first + 1);
      const long its_left = h.options().max_iterations > 0
                                ? h.options().max_iterations - h.report().iterations
                                : b;
      b = static_cast<int32_t>(std::min<long>(b, its_left));
      while (b > 0 && !h.can_afford(b)) --b;
      if (b <= 0) {
        c.limit = true;
        break;
      }
      form_products(h, A, first, b);
      for (int32_t jcol = first; jcol < first + b; ++jcol) {
        const bool negligible = orthogonalise(jcol, ndefl_steps);
        jc_ = jcol;
        estimate_residuals(h, jcol);
        bool finite = true;
        below = true;
        for (int l = 0; l < sa_; ++l) {
          if (!(h.est()[l] <= h.tol(column_of_position(h, l)))) below = false;
          if (!std::isfinite(h.est()[l])) finite = false;
        }
        if (!h.after_iteration(h.est(), sa_)) {
          c.stop = true;
          return c;
        }
        if (negligible || !finite) return c;
      }
      first += b;
    }
    return c;
  }

  // Basis vectors q_first..q_first+b-1 into w_, their products A M^-1 q_j
  // into columns first+s_k.. of V, where their reflectors will form.
  void form_products(Host& h, const Operator& A, int32_t first, int32_t b) {
    const int32_t nn = n_, ld = m_;
    const int32_t last_k = first + b - 1 + sk_;  // the last reflector this step forms
    for (int32_t j = first; j < first + b; ++j)
      C_PARENTBASISCONSTRUCT(&j, w_.data() + h.off(j - first), &last_k, &p_, V_.data(), &nn,
                             beta_.data(), LM_.data(), &ld, work_.data());
    h.right_product(A, b, w_.data(), V_.data() + h.off(first + sk_ - 1));
  }

  // Hessenberg column jcol from the product in column k = jcol + s_k of V:
  // reflector, coupling update, rotations. True when the new direction was
  // negligible.
  bool orthogonalise(int32_t jcol, int32_t& ndefl_steps) {
    const int32_t nn = n_, ld = m_, lds = s_, one = 1;
    const int32_t k = jcol + sk_;
    const complex* z = V_.data() + static_cast<std::size_t>(k - 1) * n_;
    double znorm = 0.0;
    C_COLBLOCKNORMS(z, &nn, &nn, &one, &znorm);
    const double tolk = deflation_tol_ * znorm;
    const int32_t negligible =
        C_GMRESHOUSEORTHOG(&jcol, &k, &tolk, &ndefl_steps, V_.data(), &nn, vpiv_.data(),
                           beta_.data(), sigma_.data(), LM_.data(), &ld, H_.data(), &ld, work_.data());
    C_GMRESUPDATELM(&k, V_.data(), &nn, beta_.data(), LM_.data(), &ld);
    C_GMRESHMQR(&jcol, &sk_, H_.data(), &ld, G_.data(), &ld, cs_.data(), &lds, sn_.data(), &lds);
    return negligible != 0;
  }

  // Block column of the residual estimate at position l (kept columns
  // first, then the deflated ones in the order of dtab).
  int column_of_position(Host& h, int l) const {
    const int i = l < sk_ ? kept_[l] - 1 : dtab_[l - sk_] - 1;
    return h.col(i);
  }

  // Least-squares residual of each kept column, relative to its b. In the
  // rotated coordinates the residual of kept column l is G(jcol+1 :
  // jcol+s_k, l); a deflated column is the recorded combination of kept ones
  // (to within the deflation threshold), so its residual is the same
  // combination of their residual rows.
  void estimate_residuals(Host& h, int32_t jcol) {
    rows::replicated_norms(G_.data() + jcol, m_, sk_, sk_, h.nrm());
    for (int l = 0; l < sk_; ++l) {
      const int i = kept_[l] - 1;
      h.est()[l] = h.nrm()[l] * scale_[i] / h.bnorm(h.col(i));
    }
    for (int d = 0; d < ndefl_; ++d) {
      const int u = dtab_[d] - 1, nk = dtab_[s_ + d];
      double sum = 0.0;
      for (int r = 0; r < sk_; ++r) {
        complex t = 0.0;
        for (int i = 0; i < nk; ++i)
          t += dcoef_[static_cast<std::size_t>(d) * s_ + i] * G_[static_cast<std::size_t>(i) * m_ + jcol + r];
        sum += std::norm(t);
      }
      h.est()[sk_ + d] = std::sqrt(sum) * scale_[u] / h.bnorm(h.col(u));
    }
  }

  // Solves for the corrections, updates X and forms the true residual.
  // False (X untouched) when the corrections are not finite.
  bool close_cycle(Host& h) {
    const int32_t nn = n_, ld = m_, lds = s_, sa = sa_;
    complex* Xc = h.scratch();  // corrections, one column per block position
    C_GMRESLEASTSQS(&jc_, &sk_, G_.data(), &ld, H_.data(), &ld, G_.data(), &ld);
    C_GMRESITERATEUPDATE(&jc_, &sk_, &p_, kept_.data(), V_.data(), &nn, beta_.data(), LM_.data(),
                         &ld, work_.data(), G_.data(), &ld, Xc, &nn, w_.data());
    C_GMRESDEFLATEDITERATES(&ndefl_, kept_.data(), dtab_.data(), &lds, dcoef_.data(), &lds, Xc, &nn);
    C_COLBLOCKNORMS(Xc, &nn, &nn, &sa, h.nrm());
    for (int i = 0; i < sa_; ++i)
      if (!std::isfinite(h.nrm()[i])) return false;  // keep the last good iterate
    // The cycle solved (alpha A M^-1) u = r / scale: x += M^-1 (alpha scale u).
    scale_pow2(Xc, static_cast<std::size_t>(n_) * sa_, h.operator_exponent());
    complex* mc = h.scratch2();
    h.apply_inverse(sa_, Xc, mc);
    for (int i = 0; i < sa_; ++i) {
      complex* x = h.xcol(h.col(i));
      const complex* c = mc + h.off(i);
      for (int q = 0; q < n_; ++q) x[q] += scale_[i] * c[q];
    }
    h.true_residual();
    return true;
  }

  bool gained(const Host& h) const {
    for (int i = 0; i < sa_; ++i)
      if (h.res(h.col(i)) < kCycleGainFactor * before_[i]) return true;
    return false;
  }

  const int n_, order_, s_, restart_;  // order_: rows over all ranks
  const int32_t m_;
  std::vector<complex> V_, vpiv_, beta_, sigma_, G_, LM_, H_, sn_;
  std::vector<double> cs_;
  std::vector<complex> dcoef_, work_, w_;
  std::vector<int32_t> kept_, dtab_;
  std::vector<double> before_, scale_;
  int sa_ = 0;        // columns entering the cycle
  int32_t sk_ = 0;    // kept columns
  int32_t ndefl_ = 0; // deflated columns
  int32_t p_ = 0;     // cached basis vectors
  int32_t jc_ = 0;    // Hessenberg columns built
  double deflation_tol_ = 0.0;  // the solve's, read at the start of each cycle
};

}  // namespace detail
}  // namespace blockkrylov
