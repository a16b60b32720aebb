// blockkrylov/distributed_csr.hpp - a sparse matrix whose rows are split
// over the ranks of a communicator, its block products, and block Jacobi
// preconditioners from its diagonal blocks (distributed build only).
//
// Each rank holds a contiguous block of rows, rank 0 the first, with their
// entries in global columns. The plan of the halo exchange (which entries of
// x a rank needs from which others, and which of its own it sends) is built
// once, when the matrix is made. Products then exchange those entries
// point to point with the neighbouring ranks only:
//
//   Y = A X    the ghost entries of X arrive, then each row is one sum over
//              its entries in increasing global column, as CsrMatrix::multiply
//              forms it: the same bits as the product on one process;
//   Y = A^T X  each rank forms the transposed product of its own rows (into
//              its rows and into the ghost rows), sends the ghost parts to
//              their owners, and every rank adds the parts for its rows in
//              rank order: the same bits whatever order messages arrive in.
//
// Both work on n x k blocks of this rank's rows (leading dimension n) and
// allocate only when k exceeds every earlier k. One product runs at a time
// (the buffers belong to the object), and products are collective.
//
// The rows of a rank, with the columns translated to a local index space
// [ghosts below | own rows | ghosts above], form a square CsrMatrix whose
// rows outside the middle are empty; its column order is the global one, so
// the products above are CsrMatrix's own.
#pragma once

#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "blockkrylov/csr.hpp"
#include "blockkrylov/mpi.hpp"
#include "blockkrylov/solver.hpp"

namespace blockkrylov::mpi {

// Contiguous rows per rank, in rank order (rank 0 first).
struct RowSplit {
  std::vector<int> counts, offsets;  // per rank
  long rows = 0;                     // over all ranks

  static RowSplit from_counts(std::vector<int> counts) {
    RowSplit s;
    s.counts = std::move(counts);
    s.offsets.assign(s.counts.size(), 0);
    for (std::size_t r = 0; r < s.counts.size(); ++r) {
      s.offsets[r] = static_cast<int>(s.rows);
      s.rows += s.counts[r];
    }
    return s;
  }
  // n rows as evenly as possible, except that rank 0 holds at least
  // root_min of them (when there are that many) and the others share the
  // rest evenly.
  static RowSplit even(int n, int ranks, int root_min = 0) {
    std::vector<int> c(static_cast<std::size_t>(std::max(ranks, 1)), 0);
    const int first = n / static_cast<int>(c.size()) + (n % static_cast<int>(c.size()) > 0 ? 1 : 0);
    c[0] = c.size() == 1 ? n : std::min(n, std::max(first, root_min));
    const int rest = n - c[0], others = static_cast<int>(c.size()) - 1;
    for (int r = 1; r <= others; ++r) c[r] = rest / others + (r - 1 < rest % others ? 1 : 0);
    return from_counts(std::move(c));
  }
  // The split of the rows the ranks of comm hold (local_rows each).
  // Collective.
  static RowSplit gather(MPI_Comm comm, int local_rows) {
    int ranks = 1;
    MPI_Comm_size(comm, &ranks);
    std::vector<int> c(static_cast<std::size_t>(ranks));
    MPI_Allgather(&local_rows, 1, MPI_INT, c.data(), 1, MPI_INT, comm);
    return from_counts(std::move(c));
  }
  // The rank that holds global row i.
  int owner(long i) const {
    return static_cast<int>(std::upper_bound(offsets.begin(), offsets.end(), i) - offsets.begin()) - 1;
  }
};

class DistributedCsr {
 public:
  DistributedCsr() = default;

  // This rank's rows: local_rows rows, row i holding the entries
  // val[rowptr[i] .. rowptr[i+1]-1] in the global columns col[...]
  // (0-based, sorted within a row, no duplicates, below the order over all
  // ranks). Collective over comm; rows that break these rules on any rank
  // make every rank throw std::invalid_argument (with that rank's reason).
  DistributedCsr(MPI_Comm comm, int local_rows, std::vector<std::int64_t> rowptr, std::vector<int> col,
                 std::vector<complex> val)
      : comm_(comm) {
    MPI_Comm_rank(comm, &rank_);
    split_ = RowSplit::gather(comm, std::max(local_rows, 0));
    std::string why = check(local_rows, rowptr, col, val);
    if (detail::first_text(comm, why)) throw std::invalid_argument("DistributedCsr: " + why);
    plan(rowptr, col, val);
  }

  // Rank 0's matrix a, split over the ranks of comm by rank 0's counts (one
  // per rank, summing to a.n); the other ranks' a and counts are not read.
  // Collective.
  static DistributedCsr scatter(MPI_Comm comm, const CsrMatrix& a, const std::vector<int>& counts) {
    int ranks = 1, rank = 0;
    MPI_Comm_size(comm, &ranks);
    MPI_Comm_rank(comm, &rank);
    std::string why;
    std::vector<int> c(static_cast<std::size_t>(ranks), 0);
    std::vector<int> lens, nnz(static_cast<std::size_t>(ranks), 0), at(static_cast<std::size_t>(ranks), 0);
    if (rank == 0) {
      long sum = 0;
      bool negative = false;
      for (int v : counts) sum += v, negative = negative || v < 0;
      if (static_cast<int>(counts.size()) != ranks || negative || sum != a.n) {
        why = "the row counts must number one per rank and add up to the order " + std::to_string(a.n);
      } else {
        c = counts;
        lens.resize(static_cast<std::size_t>(a.n));
        for (int i = 0; i < a.n; ++i) lens[i] = static_cast<int>(a.rowptr[i + 1] - a.rowptr[i]);
        for (int r = 0, row = 0; r < ranks; row += c[r], ++r) {
          const std::int64_t e = a.rowptr[row + c[r]] - a.rowptr[row];
          if (e > INT_MAX / 2) why = "rank " + std::to_string(r) + " would hold more than 2^30 entries";
          nnz[r] = static_cast<int>(e);
          at[r] = static_cast<int>(a.rowptr[row]);
        }
        if (a.nnz() > INT_MAX / 2) why = "the matrix holds more than 2^30 entries";
      }
    }
    if (detail::first_text(comm, why)) throw std::invalid_argument("DistributedCsr::scatter: " + why);
    MPI_Bcast(c.data(), ranks, MPI_INT, 0, comm);
    MPI_Bcast(nnz.data(), ranks, MPI_INT, 0, comm);
    const RowSplit s = RowSplit::from_counts(c);
    const int n = c[rank], e = nnz[rank];
    std::vector<int> mylens(static_cast<std::size_t>(n)), col(static_cast<std::size_t>(e));
    std::vector<complex> val(static_cast<std::size_t>(e));
    MPI_Scatterv(lens.data(), c.data(), s.offsets.data(), MPI_INT, mylens.data(), n, MPI_INT, 0, comm);
    MPI_Scatterv(a.col.data(), nnz.data(), at.data(), MPI_INT, col.data(), e, MPI_INT, 0, comm);
    for (int r = 0; r < ranks; ++r) nnz[r] *= 2, at[r] *= 2;
    MPI_Scatterv(a.val.data(), nnz.data(), at.data(), MPI_DOUBLE, val.data(), 2 * e, MPI_DOUBLE, 0, comm);
    std::vector<std::int64_t> rowptr(static_cast<std::size_t>(n) + 1, 0);
    for (int i = 0; i < n; ++i) rowptr[i + 1] = rowptr[i] + mylens[i];
    return DistributedCsr(comm, n, std::move(rowptr), std::move(col), std::move(val));
  }

  MPI_Comm comm() const { return comm_; }
  const RowSplit& split() const { return split_; }
  int rows() const { return split_.counts.empty() ? 0 : split_.counts[rank_]; }  // this rank's
  long global_rows() const { return split_.rows; }
  int first_row() const { return split_.offsets.empty() ? 0 : split_.offsets[rank_]; }
  std::int64_t nnz() const { return local_.nnz(); }  // this rank's entries
  // This rank's rows and columns of A, for preconditioners (block_jacobi).
  const CsrMatrix& diagonal_block() const { return diagonal_; }

  // y = A x for the n x k blocks of this rank's rows. Collective.
  void multiply(int k, const complex* x, complex* y) const {
    const int n = rows(), m = local_.n;
    reserve(k);
    for (const Link& l : recv_)
      MPI_Irecv(rbuf_.data() + static_cast<std::size_t>(k) * l.first, 2 * k * l.count, MPI_DOUBLE, l.rank,
                kTag, comm_, &req_[&l - recv_.data()]);
    for (const Link& l : send_) {
      complex* b = sbuf_.data() + static_cast<std::size_t>(k) * l.first;
      for (int c = 0; c < k; ++c)
        for (int i = 0; i < l.count; ++i)
          b[static_cast<std::size_t>(c) * l.count + i] = x[static_cast<std::size_t>(c) * n + idx_[l.first + i]];
      MPI_Isend(b, 2 * k * l.count, MPI_DOUBLE, l.rank, kTag, comm_, &req_[recv_.size() + (&l - send_.data())]);
    }
    for (int c = 0; c < k; ++c)
      std::copy(x + static_cast<std::size_t>(c) * n, x + static_cast<std::size_t>(c + 1) * n,
                xe_.data() + static_cast<std::size_t>(c) * m + below_);
    MPI_Waitall(static_cast<int>(req_.size()), req_.data(), MPI_STATUSES_IGNORE);
    for (const Link& l : recv_) {  // ghosts of rank l.rank: rows at[l] .. of the local space
      const complex* b = rbuf_.data() + static_cast<std::size_t>(k) * l.first;
      for (int c = 0; c < k; ++c)
        std::copy(b + static_cast<std::size_t>(c) * l.count, b + static_cast<std::size_t>(c + 1) * l.count,
                  xe_.data() + static_cast<std::size_t>(c) * m + l.local);
    }
    local_.multiply(k, xe_.data(), ye_.data());
    for (int c = 0; c < k; ++c) {
      const complex* from = ye_.data() + static_cast<std::size_t>(c) * m + below_;
      std::copy(from, from + n, y + static_cast<std::size_t>(c) * n);
    }
  }

  // y = A^T x (plain transpose) for the n x k blocks of this rank's rows.
  // Collective.
  void multiply_transpose(int k, const complex* x, complex* y) const {
    const int n = rows(), m = local_.n;
    reserve(k);
    for (int c = 0; c < k; ++c)
      std::copy(x + static_cast<std::size_t>(c) * n, x + static_cast<std::size_t>(c + 1) * n,
                xe_.data() + static_cast<std::size_t>(c) * m + below_);
    local_.multiply_transpose(k, xe_.data(), ye_.data());  // rows outside the middle are empty
    // The ghost parts go back to their owners; the parts for this rank's
    // rows arrive where the forward product sends from.
    for (const Link& l : send_)
      MPI_Irecv(sbuf_.data() + static_cast<std::size_t>(k) * l.first, 2 * k * l.count, MPI_DOUBLE, l.rank,
                kTag, comm_, &req_[&l - send_.data()]);
    for (const Link& l : recv_) {
      complex* b = rbuf_.data() + static_cast<std::size_t>(k) * l.first;
      for (int c = 0; c < k; ++c) {
        const complex* from = ye_.data() + static_cast<std::size_t>(c) * m + l.local;
        std::copy(from, from + l.count, b + static_cast<std::size_t>(c) * l.count);
      }
      MPI_Isend(b, 2 * k * l.count, MPI_DOUBLE, l.rank, kTag, comm_, &req_[send_.size() + (&l - recv_.data())]);
    }
    MPI_Waitall(static_cast<int>(req_.size()), req_.data(), MPI_STATUSES_IGNORE);
    // y = sum of the parts in rank order, this rank's own at its place.
    std::fill(y, y + static_cast<std::size_t>(n) * k, complex(0.0));
    const auto add_parts = [&](bool lower) {
      for (const Link& l : send_) {
        if ((l.rank < rank_) != lower) continue;
        const complex* b = sbuf_.data() + static_cast<std::size_t>(k) * l.first;
        for (int c = 0; c < k; ++c)
          for (int i = 0; i < l.count; ++i)
            y[static_cast<std::size_t>(c) * n + idx_[l.first + i]] += b[static_cast<std::size_t>(c) * l.count + i];
      }
    };
    add_parts(true);
    for (int c = 0; c < k; ++c) {
      const complex* own = ye_.data() + static_cast<std::size_t>(c) * m + below_;
      complex* yc = y + static_cast<std::size_t>(c) * n;
      for (int i = 0; i < n; ++i) yc[i] += own[i];
    }
    add_parts(false);
  }

 private:
  // Messages between two ranks: count entries per column; `first` is their
  // offset in the list of one direction (idx_ for sends), `local` the first
  // row of the local space they fill (receives).
  struct Link {
    int rank = 0, count = 0, first = 0, local = 0;
  };
  static constexpr int kTag = 0x424b;

  std::string check(int n, const std::vector<std::int64_t>& rowptr, const std::vector<int>& col,
                    const std::vector<complex>& val) const {
    if (n < 0) return "rank " + std::to_string(rank_) + ": negative row count";
    if (rowptr.size() != static_cast<std::size_t>(n) + 1 || rowptr[0] != 0)
      return "rank " + std::to_string(rank_) + ": rowptr must hold n + 1 entries, the first 0";
    if (col.size() != val.size() || static_cast<std::int64_t>(col.size()) != rowptr[n])
      return "rank " + std::to_string(rank_) + ": col and val must hold rowptr[n] entries";
    for (int i = 0; i < n; ++i)
      if (rowptr[i + 1] < rowptr[i]) return "rank " + std::to_string(rank_) + ": rowptr decreases";
    for (int i = 0; i < n; ++i) {
      for (std::int64_t p = rowptr[i]; p < rowptr[i + 1]; ++p)
        if (col[p] < 0 || col[p] >= split_.rows || (p > rowptr[i] && col[p] <= col[p - 1]))
          return "rank " + std::to_string(rank_) + ", global row " + std::to_string(first_row() + i) +
                 ": columns must be sorted, distinct and below the order " + std::to_string(split_.rows);
    }
    return {};
  }

  // The local index space, the square matrix of this rank's rows in it, the
  // diagonal block, and the halo plan.
  void plan(const std::vector<std::int64_t>& rowptr, const std::vector<int>& col, const std::vector<complex>& val) {
    int ranks = 1;
    MPI_Comm_size(comm_, &ranks);
    const int n = rows(), lo = first_row(), hi = lo + n;
    std::vector<int> ghosts;
    for (int c : col)
      if (c < lo || c >= hi) ghosts.push_back(c);
    std::sort(ghosts.begin(), ghosts.end());
    ghosts.erase(std::unique(ghosts.begin(), ghosts.end()), ghosts.end());
    below_ = static_cast<int>(std::lower_bound(ghosts.begin(), ghosts.end(), lo) - ghosts.begin());
    const int m = static_cast<int>(ghosts.size()) + n;
    const auto local_index = [&](int c) {
      if (c >= lo && c < hi) return below_ + c - lo;
      const int g = static_cast<int>(std::lower_bound(ghosts.begin(), ghosts.end(), c) - ghosts.begin());
      return g < below_ ? g : g + n;
    };
    local_.n = m;
    local_.rowptr.assign(static_cast<std::size_t>(m) + 1, 0);
    local_.col.resize(col.size());
    local_.val = val;
    diagonal_.n = n;
    diagonal_.rowptr.assign(static_cast<std::size_t>(n) + 1, 0);
    for (int i = 0; i < n; ++i) {
      for (std::int64_t p = rowptr[i]; p < rowptr[i + 1]; ++p) {
        local_.col[p] = local_index(col[p]);
        if (col[p] >= lo && col[p] < hi) diagonal_.col.push_back(col[p] - lo), diagonal_.val.push_back(val[p]);
      }
      diagonal_.rowptr[i + 1] = static_cast<std::int64_t>(diagonal_.col.size());
    }
    for (int i = 0; i <= m; ++i)  // empty rows outside the middle
      local_.rowptr[i] = i <= below_ ? 0 : rowptr[std::min(i - below_, n)];

    // Receives: the ghosts of each owner are consecutive in the local space.
    std::vector<int> want(static_cast<std::size_t>(ranks), 0), give(static_cast<std::size_t>(ranks), 0);
    recv_.clear();
    for (std::size_t g = 0; g < ghosts.size();) {
      const int r = split_.owner(ghosts[g]);
      std::size_t e = g;
      while (e < ghosts.size() && split_.owner(ghosts[e]) == r) ++e;
      Link l;
      l.rank = r, l.count = static_cast<int>(e - g), l.first = static_cast<int>(g);
      l.local = static_cast<int>(g) < below_ ? static_cast<int>(g) : static_cast<int>(g) + n;
      recv_.push_back(l);
      want[r] = l.count;
      g = e;
    }
    // Sends: each owner learns which of its rows the others need.
    MPI_Alltoall(want.data(), 1, MPI_INT, give.data(), 1, MPI_INT, comm_);
    std::vector<int> wdisp(static_cast<std::size_t>(ranks), 0), gdisp(static_cast<std::size_t>(ranks), 0);
    for (int r = 1; r < ranks; ++r) wdisp[r] = wdisp[r - 1] + want[r - 1], gdisp[r] = gdisp[r - 1] + give[r - 1];
    idx_.assign(static_cast<std::size_t>(gdisp[ranks - 1] + give[ranks - 1]), 0);
    MPI_Alltoallv(ghosts.data(), want.data(), wdisp.data(), MPI_INT, idx_.data(), give.data(), gdisp.data(),
                  MPI_INT, comm_);
    for (int& i : idx_) i -= lo;
    send_.clear();
    for (int r = 0; r < ranks; ++r)
      if (give[r] > 0) send_.push_back(Link{r, give[r], gdisp[r], 0});
    req_.assign(recv_.size() + send_.size(), MPI_REQUEST_NULL);
  }

  // Buffers for blocks of k columns.
  void reserve(int k) const {
    if (reserved_ >= k) return;
    const std::size_t m = static_cast<std::size_t>(local_.n) * k;
    xe_.assign(m, complex(0.0));
    ye_.assign(m, complex(0.0));
    sbuf_.assign(idx_.size() * k, complex(0.0));
    rbuf_.assign(static_cast<std::size_t>(local_.n - rows()) * k, complex(0.0));
    reserved_ = k;
  }

  MPI_Comm comm_ = MPI_COMM_NULL;
  int rank_ = 0;
  RowSplit split_;
  int below_ = 0;         // ghost rows below this rank's rows in the local space
  CsrMatrix local_;       // this rank's rows in the local space (square, other rows empty)
  CsrMatrix diagonal_;    // this rank's rows and columns
  std::vector<Link> recv_, send_;
  std::vector<int> idx_;  // rows sent, per destination from send_[d].first
  mutable std::vector<MPI_Request> req_;
  mutable std::vector<complex> xe_, ye_, sbuf_, rbuf_;
  mutable int reserved_ = 0;
};

// Rows of rank 0's n x k block a (leading dimension lda, n = split.rows) to
// their ranks: this rank's rows as a block of leading dimension its row
// count. Collective; split and k the same on every rank.
inline std::vector<complex> scatter_rows(MPI_Comm comm, const RowSplit& split, int k, const complex* a, int lda) {
  int rank = 0;
  MPI_Comm_rank(comm, &rank);
  const int n = split.counts[rank];
  std::vector<complex> out(static_cast<std::size_t>(n) * k);
  std::vector<int> cnt(split.counts), at(split.offsets);
  for (std::size_t r = 0; r < cnt.size(); ++r) cnt[r] *= 2, at[r] *= 2;
  for (int c = 0; c < k; ++c)
    MPI_Scatterv(rank == 0 ? a + static_cast<std::size_t>(c) * lda : nullptr, cnt.data(), at.data(), MPI_DOUBLE,
                 out.data() + static_cast<std::size_t>(c) * n, 2 * n, MPI_DOUBLE, 0, comm);
  return out;
}

// The ranks' blocks of k columns (leading dimension their row counts)
// gathered on rank 0 as one split.rows x k block; empty on the others.
// Collective.
inline std::vector<complex> gather_rows(MPI_Comm comm, const RowSplit& split, int k, const complex* a) {
  int rank = 0;
  MPI_Comm_rank(comm, &rank);
  const int n = split.counts[rank];
  std::vector<complex> out(rank == 0 ? static_cast<std::size_t>(split.rows) * k : 0);
  std::vector<int> cnt(split.counts), at(split.offsets);
  for (std::size_t r = 0; r < cnt.size(); ++r) cnt[r] *= 2, at[r] *= 2;
  for (int c = 0; c < k; ++c)
    MPI_Gatherv(a + static_cast<std::size_t>(c) * n, 2 * n, MPI_DOUBLE,
                rank == 0 ? out.data() + static_cast<std::size_t>(c) * split.rows : nullptr, cnt.data(), at.data(),
                MPI_DOUBLE, 0, comm);
  return out;
}

// Block Jacobi over the ranks: build(block) makes the preconditioner of this
// rank's diagonal block (a CsrMatrix, e.g. DistributedCsr::diagonal_block(),
// or that of another matrix), such as one of blockkrylov::precond, and each
// rank applies its own to its rows. Collective. What a solve decides from a
// preconditioner is made the same on every rank: a factor that some ranks
// have and others not is the identity on the others (so is every factor on a
// rank without rows, where build is not called); `symmetric` holds only when
// it holds on every rank; the fused product is dropped with more than one
// rank (it stands for M1^-1 A M2^-1 with the diagonal block for A); the name
// is rank 0's (the first rank with rows), with the rank count. An exception
// thrown by build on any rank is thrown on every rank, as
// std::invalid_argument with that rank's message.
template <class Build>
Preconditioner block_jacobi(MPI_Comm comm, const CsrMatrix& block, Build&& build) {
  int ranks = 1;
  MPI_Comm_size(comm, &ranks);
  Preconditioner p;
  std::string why;
  if (block.n > 0) {
    try {
      p = build(block);
    } catch (const std::exception& e) {
      why = e.what();
      if (why.empty()) why = "the preconditioner could not be built";
    }
  }
  if (detail::first_text(comm, why)) throw std::invalid_argument(why);
  Operator* ops[] = {&p.left, &p.right, &p.left_t, &p.right_t};
  int have = 0, sym = block.n == 0 || p.symmetric ? 1 : 0;
  for (int i = 0; i < 4; ++i)
    if (*ops[i]) have |= 1 << i;
  MPI_Allreduce(MPI_IN_PLACE, &have, 1, MPI_INT, MPI_BOR, comm);
  MPI_Allreduce(MPI_IN_PLACE, &sym, 1, MPI_INT, MPI_LAND, comm);
  const std::size_t n = static_cast<std::size_t>(block.n);
  for (int i = 0; i < 4; ++i)
    if ((have >> i & 1) && !*ops[i])
      *ops[i] = [n](int k, const complex* x, complex* y) { std::copy(x, x + n * k, y); };
  p.symmetric = sym != 0;
  std::string name = block.n > 0 ? p.name : std::string();
  detail::first_text(comm, name);
  p.name = name;
  if (ranks > 1) {
    p.fused = nullptr;
    p.fused_t = nullptr;
    p.name += " (block Jacobi over " + std::to_string(ranks) + " ranks)";
  }
  return p;
}

}  // namespace blockkrylov::mpi
