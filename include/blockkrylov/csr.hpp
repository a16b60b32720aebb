// blockkrylov/csr.hpp - a square sparse complex matrix in compressed sparse
// row form, with the block products the solvers ask for.
//
// Row i of A holds the entries val[rowptr[i] .. rowptr[i+1]-1] in the columns
// col[...] (0-based, sorted within the row, no duplicates). The products
// work on n x k blocks (column-major, leading dimension n):
//
//   Y = A X    row-parallel: each thread writes whole rows of Y;
//   Y = A^T X  (plain transpose, no conjugation) through the transposed
//              pattern, so that it is row-parallel and race-free as well.
//
// The transposed pattern (row pointers of A^T, and for each of its entries
// the column and the position of the entry in `val`) is built on the first
// transpose product and kept. Values are always read from `val`, so changing
// entries in place is seen at once; a changed sparsity pattern is noticed
// when n or the number of entries changes (otherwise call forget_transpose()).
// Copies of a matrix do not share the kept pattern.
#pragma once

#include <algorithm>
#include <complex>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(_OPENMP)
#  define BLOCKKRYLOV_OMP_ROWS _Pragma("omp parallel for schedule(static)")
#else
#  define BLOCKKRYLOV_OMP_ROWS
#endif

namespace blockkrylov {

using complex = std::complex<double>;

namespace detail {

// The pattern of A^T: row r of A^T lists the entries of column r of A, in
// increasing row order of A; `src` gives each entry's position in A's val.
struct TransposePattern {
  int n = 0;
  std::int64_t nnz = 0;
  std::vector<std::int64_t> rowptr;
  std::vector<int> col;
  std::vector<std::int64_t> src;
};

// Holder of the kept transpose pattern. Copying a matrix gives the copy an
// empty holder (the copy may be changed independently); the lock makes the
// first build safe when several threads multiply by A^T at once.
class TransposeCache {
 public:
  TransposeCache() = default;
  TransposeCache(const TransposeCache&) {}
  TransposeCache& operator=(const TransposeCache&) {
    reset();
    return *this;
  }
  std::shared_ptr<const TransposePattern> get(int n, const std::vector<std::int64_t>& rowptr,
                                              const std::vector<int>& col) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::int64_t nnz = rowptr.empty() ? 0 : rowptr.back();
    if (!pattern_ || pattern_->n != n || pattern_->nnz != nnz) pattern_ = build(n, rowptr, col);
    return pattern_;
  }
  void reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    pattern_.reset();
  }

 private:
  static std::shared_ptr<const TransposePattern> build(int n,
                                                       const std::vector<std::int64_t>& rowptr,
                                                       const std::vector<int>& col) {
    auto t = std::make_shared<TransposePattern>();
    t->n = n;
    t->nnz = rowptr.empty() ? 0 : rowptr.back();
    t->rowptr.assign(static_cast<std::size_t>(n) + 1, 0);
    t->col.resize(static_cast<std::size_t>(t->nnz));
    t->src.resize(static_cast<std::size_t>(t->nnz));
    for (std::int64_t p = 0; p < t->nnz; ++p) ++t->rowptr[static_cast<std::size_t>(col[p]) + 1];
    for (int r = 0; r < n; ++r) t->rowptr[r + 1] += t->rowptr[r];
    std::vector<std::int64_t> next(t->rowptr.begin(), t->rowptr.end() - 1);
    for (int i = 0; i < n; ++i) {
      for (std::int64_t p = rowptr[i]; p < rowptr[i + 1]; ++p) {
        const std::int64_t q = next[static_cast<std::size_t>(col[p])]++;
        t->col[q] = i;
        t->src[q] = p;
      }
    }
    return t;
  }

  mutable std::mutex mutex_;
  mutable std::shared_ptr<const TransposePattern> pattern_;
};

}  // namespace detail

// Square sparse matrix in compressed sparse row form, 0-based indices.
struct CsrMatrix {
  int n = 0;
  std::vector<std::int64_t> rowptr;  // n + 1 entries
  std::vector<int> col;              // column of each stored entry, sorted within a row, no duplicates
  std::vector<complex> val;

  std::int64_t nnz() const { return rowptr.empty() ? 0 : rowptr.back(); }

  // y(:, 1:k) = A x(:, 1:k); x and y are n x k with leading dimension n and
  // must not overlap.
  void multiply(int k, const complex* x, complex* y) const {
    product(rowptr.data(), col.data(), [](std::int64_t p) { return p; }, k, x, y);
  }

  // y(:, 1:k) = A^T x(:, 1:k), plain transpose; same block layout.
  void multiply_transpose(int k, const complex* x, complex* y) const {
    const auto t = transpose_cache_.get(n, rowptr, col);
    const std::int64_t* src = t->src.data();
    product(t->rowptr.data(), t->col.data(), [src](std::int64_t p) { return src[p]; }, k, x, y);
  }

  // A == A^T exactly (plain transpose, no conjugation). A stored entry whose
  // mirror is not stored must be zero.
  bool is_symmetric() const {
    for (int i = 0; i < n; ++i) {
      for (std::int64_t p = rowptr[i]; p < rowptr[i + 1]; ++p) {
        const int j = col[p];
        if (j == i) continue;
        const auto first = col.begin() + rowptr[j];
        const auto last = col.begin() + rowptr[j + 1];
        const auto it = std::lower_bound(first, last, i);
        const complex mirror = (it != last && *it == i) ? val[it - col.begin()] : complex(0.0);
        if (!(val[p] == mirror)) return false;
      }
    }
    return true;
  }

  // Drop the kept transpose pattern (after changing rowptr/col in place
  // without changing n or the number of entries).
  void forget_transpose() { transpose_cache_.reset(); }

  // Build from 0-based triplets; duplicates are summed; entries must be in
  // range. Throws std::invalid_argument on a negative n, arrays of different
  // lengths, or an index outside 0..n-1.
  static CsrMatrix from_triplets(int n, const std::vector<int>& rows, const std::vector<int>& cols,
                                 const std::vector<complex>& vals) {
    if (n < 0) throw std::invalid_argument("CsrMatrix::from_triplets: negative order");
    if (rows.size() != cols.size() || rows.size() != vals.size())
      throw std::invalid_argument("CsrMatrix::from_triplets: rows, cols and vals differ in length");
    const std::size_t m = rows.size();
    for (std::size_t t = 0; t < m; ++t) {
      if (rows[t] < 0 || rows[t] >= n || cols[t] < 0 || cols[t] >= n)
        throw std::invalid_argument("CsrMatrix::from_triplets: entry " + std::to_string(t) +
                                    " at (" + std::to_string(rows[t]) + ", " +
                                    std::to_string(cols[t]) + ") is outside a matrix of order " +
                                    std::to_string(n));
    }
    // Bucket the triplets by row (stable), then sort each row by column and
    // sum the entries that share a column.
    std::vector<std::int64_t> start(static_cast<std::size_t>(n) + 1, 0);
    for (std::size_t t = 0; t < m; ++t) ++start[static_cast<std::size_t>(rows[t]) + 1];
    for (int i = 0; i < n; ++i) start[i + 1] += start[i];
    std::vector<std::int64_t> order(m);
    {
      std::vector<std::int64_t> next(start.begin(), start.end() - 1);
      for (std::size_t t = 0; t < m; ++t) order[next[rows[t]]++] = static_cast<std::int64_t>(t);
    }
    CsrMatrix a;
    a.n = n;
    a.rowptr.assign(static_cast<std::size_t>(n) + 1, 0);
    a.col.reserve(m);
    a.val.reserve(m);
    for (int i = 0; i < n; ++i) {
      auto first = order.begin() + start[i];
      auto last = order.begin() + start[i + 1];
      std::stable_sort(first, last, [&](std::int64_t u, std::int64_t v) { return cols[u] < cols[v]; });
      for (auto it = first; it != last; ++it) {
        const int c = cols[*it];
        if (static_cast<std::int64_t>(a.col.size()) > a.rowptr[i] && a.col.back() == c) {
          a.val.back() += vals[*it];
        } else {
          a.col.push_back(c);
          a.val.push_back(vals[*it]);
        }
      }
      a.rowptr[i + 1] = static_cast<std::int64_t>(a.col.size());
    }
    return a;
  }

  // y(i, c) = sum over the stored entries p of row i of the pattern (rp, cj)
  // of val[value(p)] * x(cj[p], c): value(p) maps a pattern position to the
  // stored value (itself for A, the position in A for the kept A^T pattern).
  template <class Value>
  void product(const std::int64_t* rp, const int* cj, Value value, int k, const complex* x,
               complex* y) const {
    const complex* a = val.data();
    const int n = this->n;
    auto row = [=](int i) {
      for (int c = 0; c < k; ++c) {
        const complex* xc = x + static_cast<std::size_t>(c) * n;
        complex acc = 0.0;
        for (std::int64_t p = rp[i]; p < rp[i + 1]; ++p) acc += a[value(p)] * xc[cj[p]];
        y[static_cast<std::size_t>(c) * n + i] = acc;
      }
    };
    for_rows(k, row);
  }

  // Runs row(i) for every row: on OpenMP threads when the product has enough
  // work to pay for them, else in a plain loop (a serialised parallel region
  // still costs a team set-up, and an allocation, per call). Measured on 2
  // cores (2D stencils, k = 1 and 8, best of 200): two threads break even
  // near nnz * k = 10^4 and gain 20-35 % from 10^5 up; with another job on
  // the machine a descheduled thread holds the whole product at the barrier
  // for a scheduler slice (12 ms seen on products of 5 us), so threads are
  // used only where their gain is clear.
  template <class Row>
  void for_rows(int k, const Row& row) const {
    const int rows = n;
    if (nnz() * k >= 100000) {
      BLOCKKRYLOV_OMP_ROWS
      for (int i = 0; i < rows; ++i) row(i);
    } else {
      for (int i = 0; i < rows; ++i) row(i);
    }
  }

  // Holds the transpose pattern built by multiply_transpose (see the top of
  // this file); not part of the matrix's value.
  detail::TransposeCache transpose_cache_;
};

}  // namespace blockkrylov
