// Shared pieces of the distributed kernel tests: the serial library loaded
// beside the distributed one, how the rows of a global problem are split over
// the ranks, deterministic global matrices and their products, the records a
// call writes, and comparisons of a rank's rows and of the small replicated
// arrays with the serial run of the same problem.
//
// Every rank runs the serial reference on the whole problem itself, so the
// serial results are the same bits on every rank and each rank compares its
// own rows against them. Everything that talks to MPI is collective: every
// rank reaches it in the same order, and decisions that steer a host loop are
// taken from values checked to agree across the ranks first.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <type_traits>
#include <vector>

#include "blockkrylov_mpi.h"

namespace mpik {

using zc = std::complex<double>;
using Block = std::vector<zc>;
using Lines = std::vector<std::string>;

// ---------------------------------------------------------------------------
// The twelve entry points of one library: the member name, then the symbol.
#define MPIK_ENTRY_POINTS(X)                                                                    \
  X(colblocknorms, C_COLBLOCKNORMS) X(progress, C_CONVERGENCEPROGRESS)                          \
  X(zdsym, C_ZDSYM_BLANCZOS1) X(zd, C_ZD_BLANCZOS) X(initial, C_INITIALBLOCKGMRES)               \
  X(basis, C_PARENTBASISCONSTRUCT) X(orthog, C_GMRESHOUSEORTHOG) X(hmqr, C_GMRESHMQR)           \
  X(updatelm, C_GMRESUPDATELM) X(leastsqs, C_GMRESLEASTSQS) X(iterate, C_GMRESITERATEUPDATE)    \
  X(deflated, C_GMRESDEFLATEDITERATES)

struct Api {
#define MPIK_MEMBER(member, symbol) decltype(&symbol) member;
  MPIK_ENTRY_POINTS(MPIK_MEMBER)
#undef MPIK_MEMBER
};

// The distributed library, linked in.
inline const Api& distributed() {
  static const Api a = [] {
    Api d{};
#define MPIK_LINKED(member, symbol) d.member = &symbol;
    MPIK_ENTRY_POINTS(MPIK_LINKED)
#undef MPIK_LINKED
    return d;
  }();
  return a;
}

// The shipped serial library, opened privately so that its entry points do
// not meet the distributed library's of the same names.
inline const Api& serial() {
  static const Api a = [] {
    void* h = dlopen(BK_SERIAL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      std::fprintf(stderr, "cannot open %s: %s\n", BK_SERIAL_LIBRARY, dlerror());
      MPI_Abort(MPI_COMM_WORLD, 2);
    }
    Api s{};
#define MPIK_OPENED(member, symbol)                                         \
  s.member = reinterpret_cast<decltype(&symbol)>(dlsym(h, #symbol));        \
  if (!s.member || s.member == &symbol) {                                   \
    std::fprintf(stderr, "%s: no own %s\n", BK_SERIAL_LIBRARY, #symbol);   \
    MPI_Abort(MPI_COMM_WORLD, 2);                                           \
  }
    MPIK_ENTRY_POINTS(MPIK_OPENED)
#undef MPIK_OPENED
    return s;
  }();
  return a;
}

// ---------------------------------------------------------------------------
// A split of N global rows over the ranks of a communicator: contiguous
// blocks in rank order, rank 0 first.
struct Layout {
  std::string name;
  MPI_Comm comm = MPI_COMM_WORLD;
  bool own_comm = false;  // comm is not the library's default: set it around calls
  int rank = 0, size = 1, N = 0;
  std::vector<int> counts, offsets;
  int n() const { return counts[rank]; }
  int off() const { return offsets[rank]; }
  bool root() const { return rank == 0; }
};

// MPI_COMM_WORLD with the rank order reversed (world rank size-1 is its rank
// 0); made on first use, freed by free_communicators() before MPI_Finalize.
inline MPI_Comm& reversed_slot() {
  static MPI_Comm c = MPI_COMM_NULL;
  return c;
}
inline MPI_Comm reversed_world() {
  MPI_Comm& c = reversed_slot();
  if (c == MPI_COMM_NULL) {
    int rank, size;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    MPI_Comm_split(MPI_COMM_WORLD, 0, size - 1 - rank, &c);
  }
  return c;
}
inline void free_communicators() {
  if (reversed_slot() != MPI_COMM_NULL) MPI_Comm_free(&reversed_slot());
}

// The splits a case runs with. One rank: all rows. Several: even blocks;
// uneven ones (rank 0 the smallest); one rank after rank 0 without rows; every
// rank after 0 with one row; rank 0 without rows (only when n0min is 0); even
// blocks on the reversed communicator. Rank 0 is given at least n0min rows
// (GMRES: m + 1), and when n0min > 0 one split gives it exactly that many.
inline std::vector<Layout> layouts(int N, int n0min) {
  std::vector<Layout> out;
  int rank, P;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &P);
  auto add = [&](const char* name, std::vector<int> c, MPI_Comm comm = MPI_COMM_WORLD) {
    if (n0min > 0 && c[0] < n0min) {  // take rows from the largest blocks
      while (c[0] < n0min) {
        auto big = std::max_element(c.begin() + 1, c.end());
        --*big, ++c[0];
      }
    }
    Layout L;
    L.name = name;
    L.comm = comm;
    L.own_comm = comm != MPI_COMM_WORLD;
    MPI_Comm_rank(comm, &L.rank);
    L.size = P;
    L.N = N;
    L.counts = c;
    L.offsets.assign(P, 0);
    for (int r = 1; r < P; ++r) L.offsets[r] = L.offsets[r - 1] + c[r - 1];
    out.push_back(L);
  };
  auto even = [&](int total, int from) {
    std::vector<int> c(P, 0);
    for (int r = from; r < P; ++r) c[r] = total / (P - from) + (r - from < total % (P - from));
    return c;
  };
  add("even", even(N, 0));
  if (P == 1) return out;
  std::vector<int> c(P), w(P);
  int wsum = 0;
  for (int r = 0; r < P; ++r) wsum += w[r] = 1 + (2 * r) % 5;  // 1 3 5 2: rank 0 smallest
  for (int r = 0, used = 0; r < P; ++r) used += c[r] = r + 1 < P ? N * w[r] / wsum : N - used;
  add("uneven", c);
  c = even(N, 0);
  c[P - 1] = 0;
  c[0] += N - std::accumulate(c.begin(), c.end(), 0);
  add("last rank empty", c);
  c.assign(P, 1);
  c[0] = N - (P - 1);
  add("one row after rank 0", c);
  if (n0min == 0) add("rank 0 empty", even(N, 1));
  if (n0min > 0) {
    c = even(N - n0min, 1);
    c[0] = n0min;
    add("rank 0 just large enough", c);
  }
  add("reversed communicator", even(N, 0), reversed_world());
  return out;
}

// Makes the layout's communicator the library's for the life of the object.
class UseComm {
 public:
  explicit UseComm(const Layout& L) : on_(L.own_comm) {
    if (!on_) return;
    const MPI_Fint f = MPI_Comm_c2f(L.comm);
    C_SETCOMM(&f);
  }
  ~UseComm() {
    if (on_) C_SETCOMM(nullptr);
  }
  UseComm(const UseComm&) = delete;
  UseComm& operator=(const UseComm&) = delete;

 private:
  bool on_;
};

// Failed assertions of this rank so far (counted by a listener main adds).
inline long& failures() {
  static long count = 0;
  return count;
}
class FailureCounter : public testing::EmptyTestEventListener {
  void OnTestPartResult(const testing::TestPartResult& r) override { failures() += r.failed(); }
};

// True when some rank of the layout has failed since it counted `since`:
// the host loops stop there, all ranks together, rather than report the
// consequences of the first difference at every later call.
inline bool failed_anywhere(const Layout& L, long since) {
  int mine = failures() != since;
  MPI_Allreduce(MPI_IN_PLACE, &mine, 1, MPI_INT, MPI_MAX, L.comm);
  return mine != 0;
}

// True when v is the same on every rank of the layout's communicator.
inline bool agreed(const Layout& L, long v) {
  long lo = v, hi = v;
  MPI_Allreduce(MPI_IN_PLACE, &lo, 1, MPI_LONG, MPI_MIN, L.comm);
  MPI_Allreduce(MPI_IN_PLACE, &hi, 1, MPI_LONG, MPI_MAX, L.comm);
  return lo == hi;
}

// Rows off..off+n-1 of a global column-major block with leading dimension N.
inline Block rows_of(const Block& g, int N, int cols, int off, int n) {
  Block b(std::max(1, n * cols));
  for (int j = 0; j < cols; ++j)
    std::copy(g.begin() + j * N + off, g.begin() + j * N + off + n, b.begin() + j * n);
  return b;
}

// ---------------------------------------------------------------------------
// Deterministic data: the same on every rank, from integer keys only.
inline double unit(uint64_t key) {  // in [-1, 1)
  uint64_t z = key + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
}
inline zc value(uint64_t seed, uint64_t a, uint64_t b) {
  const uint64_t k = (seed * 1000003ull + a) * 1000033ull + b;
  return {unit(2 * k), unit(2 * k + 1)};
}
inline Block random_block(int N, int s, uint64_t seed) {
  Block b(static_cast<std::size_t>(N) * s);
  for (int j = 0; j < s; ++j)
    for (int i = 0; i < N; ++i) b[j * N + i] = value(seed, i, j);
  return b;
}

// A global sparse matrix in rows (CSR), 0-based.
struct Matrix {
  int N = 0;
  std::vector<int> ptr, col;
  Block val;
};

// symmetric: complex symmetric (A = A^T); general: no symmetry; diagonal:
// entries 1, 2, 3 repeating, exact in every product and with three distinct
// eigenvalues. The off-diagonal couplings reach rows far apart, so products
// need rows of other ranks.
enum class Kind { symmetric, general, diagonal };

// transposed: the plain transpose of the same matrix.
inline Matrix make_matrix(Kind kind, int N, uint64_t seed, bool transposed = false) {
  Matrix A;
  A.N = N;
  A.ptr.push_back(0);
  const int reach[] = {-31, -5, -1, 0, 1, 5, 31};
  for (int i = 0; i < N; ++i) {
    for (int d : reach) {
      const int j = i + d;
      if (j < 0 || j >= N || (kind == Kind::diagonal && d != 0)) continue;
      zc a;
      if (d == 0)
        a = kind == Kind::diagonal ? zc(1 + i % 3) : zc(3.0, 0.4) + 0.5 * value(seed, i, i);
      else if (kind == Kind::symmetric)
        a = 0.5 * value(seed, std::min(i, j), std::max(i, j));
      else
        a = 0.5 * (transposed ? value(seed, j, i) : value(seed, i, j));
      A.col.push_back(j);
      A.val.push_back(a);
    }
    A.ptr.push_back(static_cast<int>(A.col.size()));
  }
  return A;
}

// y(0..count-1) = rows first..first+count-1 of A times the global vector x.
inline void multiply_rows(const Matrix& A, int first, int count, const zc* x, zc* y) {
  for (int i = 0; i < count; ++i) {
    zc acc = 0.0;
    for (int e = A.ptr[first + i]; e < A.ptr[first + i + 1]; ++e) acc += A.val[e] * x[A.col[e]];
    y[i] = acc;
  }
}

// Y = A X for the whole block (serial side; ld N).
inline void product(const Matrix& A, int s, const zc* X, zc* Y) {
  for (int j = 0; j < s; ++j) multiply_rows(A, 0, A.N, X + j * A.N, Y + j * A.N);
}

// Y = A X on this rank's rows: each column of X is gathered from all ranks,
// then multiplied by the rank's rows of A. X and Y have leading dimension ld.
inline void product(const Matrix& A, const Layout& L, int s, const zc* X, int ld, zc* Y) {
  static Block global;
  global.resize(A.N);
  std::vector<int> cnt(L.size), dsp(L.size);
  for (int r = 0; r < L.size; ++r) cnt[r] = 2 * L.counts[r], dsp[r] = 2 * L.offsets[r];
  for (int j = 0; j < s; ++j) {
    MPI_Allgatherv(X + j * ld, 2 * L.n(), MPI_DOUBLE, global.data(), cnt.data(), dsp.data(),
                   MPI_DOUBLE, L.comm);
    multiply_rows(A, L.off(), L.n(), global.data(), Y + j * ld);
  }
}

// ---------------------------------------------------------------------------
// Records: what a call writes to standard output, line by line. The stream
// is pointed at a scratch file around the call.
template <class F>
Lines records(F&& f) {
  static FILE* scratch = std::tmpfile();
  if (!scratch) {
    std::perror("no scratch file for the records");
    MPI_Abort(MPI_COMM_WORLD, 2);
  }
  const int fd = fileno(scratch);
  std::fflush(stdout);
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) std::abort();
  const int saved = dup(1);
  dup2(fd, 1);
  f();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string text;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t got; (got = read(fd, buf, sizeof buf)) > 0;) text.append(buf, got);
  Lines out;
  for (std::size_t a = 0; a < text.size();) {
    std::size_t b = text.find('\n', a);
    if (b == std::string::npos) b = text.size();
    out.push_back(text.substr(a, b - a));
    a = b + 1;
  }
  return out;
}

// Rank 0 of the layout writes exactly the serial records; the others nothing.
inline void expect_records(const Layout& L, const Lines& dist, const Lines& ser,
                           const std::string& at) {
  if (L.root())
    EXPECT_EQ(dist, ser) << "records of " << at;
  else
    EXPECT_TRUE(dist.empty()) << "rank " << L.rank << " wrote " << dist.size()
                              << " lines at " << at << ", first: " << dist[0];
}

// ---------------------------------------------------------------------------
// Comparisons. Tolerance relative to the largest entry of the serial array;
// 0 (bit for bit) on one rank, where the distributed library takes the
// serial paths.
struct Tolerance {
  double rel = 0.0;
  double worst = 0.0;  // largest relative difference seen, for the summary
};
inline Tolerance& tolerance() {
  static Tolerance t;
  return t;
}

inline double magnitude(zc z) { return std::abs(z); }
inline double magnitude(double x) { return std::fabs(x); }

// Compares len entries; returns the index of the first entry out of
// tolerance, or -1. scale: the largest serial magnitude in the array.
template <class T>
long first_mismatch(const T* d, const T* s, long len, double scale, double* worst) {
  for (long i = 0; i < len; ++i) {
    if (std::memcmp(&d[i], &s[i], sizeof(T)) == 0) continue;  // also equal NaNs
    const double e = magnitude(d[i] - s[i]);
    const double rel = scale > 0 ? e / scale : e;
    if constexpr (std::is_integral_v<T>) return i;
    if (std::isfinite(rel)) *worst = std::max(*worst, rel);
    if (!(e <= tolerance().rel * scale)) return i;
  }
  return -1;
}

template <class T>
double largest(const T* s, long len) {
  double m = 0.0;
  for (long i = 0; i < len; ++i)
    if (magnitude(s[i]) > m) m = magnitude(s[i]);
  return m;
}

// This rank's rows of a block (cols columns, leading dimension L.n()) against
// the same rows of the serial block (leading dimension L.N).
inline void expect_rows(const Layout& L, const char* what, const zc* dist, const zc* ser,
                        int cols, const std::string& at) {
  const double scale = largest(ser, static_cast<long>(L.N) * cols);
  for (int j = 0; j < cols; ++j) {
    const long i = first_mismatch(dist + static_cast<long>(j) * L.n(),
                                  ser + static_cast<long>(j) * L.N + L.off(), L.n(), scale,
                                  &tolerance().worst);
    if (i >= 0) {
      ADD_FAILURE() << what << "(" << L.off() + i + 1 << ", " << j + 1 << ") at " << at
                    << ": distributed " << dist[j * L.n() + i] << ", serial "
                    << ser[j * L.N + L.off() + i] << " (largest entry " << scale << ")";
      return;
    }
  }
}

// A small array every rank holds: bit for bit the same on all ranks (rank
// 0's copy is broadcast and compared).
template <class T>
void expect_replicated(const Layout& L, const char* what, const T* dist, long len,
                       const std::string& at) {
  std::vector<T> root(std::max(1L, len));
  std::copy(dist, dist + len, root.begin());
  MPI_Bcast(root.data(), static_cast<int>(len * sizeof(T)), MPI_BYTE, 0, L.comm);
  if (std::memcmp(root.data(), dist, len * sizeof(T)) != 0) {
    long i = 0;
    while (std::memcmp(&root[i], &dist[i], sizeof(T)) == 0) ++i;
    ADD_FAILURE() << what << " differs from rank 0's at entry " << i + 1 << " at " << at
                  << ": rank " << L.rank << " " << dist[i] << ", rank 0 " << root[i];
  }
}

// ... and equal to the serial one within the tolerance (exactly for integers).
template <class T>
void expect_small(const Layout& L, const char* what, const T* dist, const T* ser, long len,
                  const std::string& at) {
  expect_replicated(L, what, dist, len, at);
  const long i = first_mismatch(dist, ser, len, largest(ser, len), &tolerance().worst);
  if (i >= 0)
    ADD_FAILURE() << what << "(" << i + 1 << ") at " << at << ": distributed " << dist[i]
                  << ", serial " << ser[i];
}
template <class T>
void expect_small(const Layout& L, const char* what, const std::vector<T>& d,
                  const std::vector<T>& s, const std::string& at) {
  expect_small(L, what, d.data(), s.data(), static_cast<long>(s.size()), at);
}

}  // namespace mpik
