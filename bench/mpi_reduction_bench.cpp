// What a reduction costs on this machine, set against the local work of a
// block step, for the scaling model of docs/distributed.md. A plain MPI
// program, run under mpirun on two or more ranks (bench/README.md).
//
// A repetition's time is that of its slowest rank; communication is given
// as the median over many repetitions, local work as the median and the best
// (the best is what the model uses: the least disturbed by other jobs).
//  1. point to point: one exchange between rank pairs (0-1, 2-3, ...) of
//     16 B to 1 MiB; the latency and time per byte of this machine's
//     transport follow from it;
//  2. one reduction completed as the distributed kernels do it (MPI_Reduce
//     with MPI_SUM to rank 0, in place there, then MPI_Bcast of the same
//     buffer) against one MPI_Allreduce of the same payload: 2 s^2 doubles
//     (s = 1, 4, 8, 16), s long doubles of column norms, and the payloads
//     of one GMRES column at basis sizes k = 50 and 200; and whether the
//     allreduce gave every rank the same bits;
//  3. the halo exchange of a 7-point stencil product on an e x e x e
//     subdomain per rank: six faces of e^2 rows and s columns, packed from
//     the block and sent to the ring neighbours (3 faces each way), checked
//     once for delivering the right faces;
//  4. the local work of one block step at e^3 rows per rank: the stencil
//     product with A and A^T (CSR, one thread), the kernels' own time in
//     C_ZDSYM_BLANCZOS1 and C_ZD_BLANCZOS steps and in the GMRES column
//     steps. Each is run twice: every rank alone in MPI_COMM_SELF (the
//     serial path, all ranks at the same time, as they would share a node)
//     and on the whole communicator (the distributed path), where the MPI
//     calls the kernels make are counted and one step's calls listed;
//  5. the step time model T(P) = T_local + T_halo + the reductions' tree
//     latencies, with the local work measured here and the interconnect's
//     latency and bandwidth given on the command line (then again with this
//     machine's), and the weak-scaling efficiency T(1) / T(P) it predicts.
//
// Counting: the program defines MPI_Reduce, MPI_Bcast, MPI_Allreduce and a
// few other entry points itself, each counting its call and payload while
// counting is on and then calling the PMPI_ form. It links the static kernel
// library, so the kernels' calls resolve to these definitions.
//
// Ranks and threads: one OpenMP and one BLAS thread per rank. More ranks than
// cores (4 ranks on this 2-core machine) share the cores, and Open MPI polls
// while it waits, so latencies and local times then include descheduling.
#include <dlfcn.h>
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "blockkrylov.h"
#include "blockkrylov/csr.hpp"
#include "blockkrylov_mpi.h"
#include "lanczos_solve.hpp"

namespace {

using complex = std::complex<double>;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// ---------------------------------------------------------------------------
// Counting the kernels' MPI calls.

struct Counts {
  long reduce = 0, bcast = 0, allreduce = 0, other = 0;
  double reduce_bytes = 0, bcast_bytes = 0, allreduce_bytes = 0;

  Counts operator-(const Counts& o) const {
    Counts d;
    d.reduce = reduce - o.reduce;
    d.bcast = bcast - o.bcast;
    d.allreduce = allreduce - o.allreduce;
    d.other = other - o.other;
    d.reduce_bytes = reduce_bytes - o.reduce_bytes;
    d.bcast_bytes = bcast_bytes - o.bcast_bytes;
    d.allreduce_bytes = allreduce_bytes - o.allreduce_bytes;
    return d;
  }
  Counts& operator+=(const Counts& o) {
    reduce += o.reduce, bcast += o.bcast, allreduce += o.allreduce, other += o.other;
    reduce_bytes += o.reduce_bytes, bcast_bytes += o.bcast_bytes;
    allreduce_bytes += o.allreduce_bytes;
    return *this;
  }
};

Counts g_counts;
bool g_counting = false;

// The sequence of one step's calls, when asked for: kind (R reduce, B bcast,
// A allreduce), values and bytes per value.
struct Call {
  char kind;
  int count, size;
};
Call g_trace[256];
int g_traced = -1;  // -1: not tracing

void trace(char kind, int count, MPI_Datatype t) {
  if (g_traced < 0 || g_traced >= 256) return;
  int size = 0;
  MPI_Type_size(t, &size);
  g_trace[g_traced++] = {kind, count, size};
}

double payload_bytes(int count, MPI_Datatype t) {
  int size = 0;
  MPI_Type_size(t, &size);
  return static_cast<double>(count) * size;
}

}  // namespace

extern "C" {

int MPI_Reduce(const void* sendbuf, void* recvbuf, int count, MPI_Datatype t, MPI_Op op, int root,
               MPI_Comm comm) {
  if (g_counting) {
    ++g_counts.reduce, g_counts.reduce_bytes += payload_bytes(count, t);
    trace('R', count, t);
  }
  return PMPI_Reduce(sendbuf, recvbuf, count, t, op, root, comm);
}

int MPI_Bcast(void* buffer, int count, MPI_Datatype t, int root, MPI_Comm comm) {
  if (g_counting) {
    ++g_counts.bcast, g_counts.bcast_bytes += payload_bytes(count, t);
    trace('B', count, t);
  }
  return PMPI_Bcast(buffer, count, t, root, comm);
}

int MPI_Allreduce(const void* sendbuf, void* recvbuf, int count, MPI_Datatype t, MPI_Op op,
                  MPI_Comm comm) {
  if (g_counting) {
    ++g_counts.allreduce, g_counts.allreduce_bytes += payload_bytes(count, t);
    trace('A', count, t);
  }
  return PMPI_Allreduce(sendbuf, recvbuf, count, t, op, comm);
}

// Any other communication by the kernels would show up here.
int MPI_Barrier(MPI_Comm comm) {
  if (g_counting) ++g_counts.other;
  return PMPI_Barrier(comm);
}
int MPI_Gather(const void* sb, int sc, MPI_Datatype st, void* rb, int rc, MPI_Datatype rt, int root,
               MPI_Comm comm) {
  if (g_counting) ++g_counts.other;
  return PMPI_Gather(sb, sc, st, rb, rc, rt, root, comm);
}
int MPI_Allgather(const void* sb, int sc, MPI_Datatype st, void* rb, int rc, MPI_Datatype rt,
                  MPI_Comm comm) {
  if (g_counting) ++g_counts.other;
  return PMPI_Allgather(sb, sc, st, rb, rc, rt, comm);
}
int MPI_Send(const void* b, int c, MPI_Datatype t, int dest, int tag, MPI_Comm comm) {
  if (g_counting) ++g_counts.other;
  return PMPI_Send(b, c, t, dest, tag, comm);
}
int MPI_Recv(void* b, int c, MPI_Datatype t, int src, int tag, MPI_Comm comm, MPI_Status* st) {
  if (g_counting) ++g_counts.other;
  return PMPI_Recv(b, c, t, src, tag, comm, st);
}
int MPI_Sendrecv(const void* sb, int sc, MPI_Datatype st, int dest, int stag, void* rb, int rc,
                 MPI_Datatype rt, int src, int rtag, MPI_Comm comm, MPI_Status* status) {
  if (g_counting) ++g_counts.other;
  return PMPI_Sendrecv(sb, sc, st, dest, stag, rb, rc, rt, src, rtag, comm, status);
}
int MPI_Isend(const void* b, int c, MPI_Datatype t, int dest, int tag, MPI_Comm comm,
              MPI_Request* r) {
  if (g_counting) ++g_counts.other;
  return PMPI_Isend(b, c, t, dest, tag, comm, r);
}
int MPI_Irecv(void* b, int c, MPI_Datatype t, int src, int tag, MPI_Comm comm, MPI_Request* r) {
  if (g_counting) ++g_counts.other;
  return PMPI_Irecv(b, c, t, src, tag, comm, r);
}

}  // extern "C"

namespace {

// ---------------------------------------------------------------------------
// Options, ranks, statistics.

struct Options {
  int batches = 200;     // repetitions of each collective timing
  int per_batch = 20;    // back-to-back operations per repetition
  std::vector<int> edges = {46, 22};
  int steps = 30;        // Lanczos steps timed per configuration
  int gmres_m = 64;      // capacity of the reflector set of the timed cycle
  int gmres_s = 4;
  int gmres_reps = 3;    // cycles timed alone and distributed
  double alpha_us = 2.0;     // model: latency per tree level and per message
  double beta_gbs = 10.0;    // model: bandwidth per link
  std::vector<double> model_ranks = {1e2, 1e3, 1e4};
};

struct World {
  int rank = 0, size = 1;
  bool root() const { return rank == 0; }
};
World g_world;

// Only rank 0 prints.
template <class... Args>
void say(const char* fmt, Args... args) {
  if (g_world.root()) std::printf(fmt, args...);
}
void say(const char* text) {
  if (g_world.root()) std::fputs(text, stdout);
}

struct Stats {
  double median = 0, p10 = 0, p90 = 0, best = 0;
};

Stats stats_of(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[static_cast<std::size_t>(q * (v.size() - 1) + 0.5)]; };
  s.median = at(0.5), s.p10 = at(0.1), s.p90 = at(0.9), s.best = v.front();
  return s;
}

// The samples of every rank, sample by sample the slowest rank's; the
// statistics are meaningful on rank 0.
Stats slowest(const std::vector<double>& mine) {
  std::vector<double> worst(mine.size());
  PMPI_Reduce(mine.data(), worst.data(), static_cast<int>(mine.size()), MPI_DOUBLE, MPI_MAX, 0,
              MPI_COMM_WORLD);
  return stats_of(worst);
}

double max_over_ranks(double v) {
  double m = v;
  PMPI_Allreduce(&v, &m, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
  return m;
}

void set_threads(int t) {
  omp_set_num_threads(t);
  using SetThreads = void (*)(int);
  const auto set_blas = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads"));
  if (set_blas) set_blas(t);
}

// The communicator of the kernels: MPI_COMM_SELF (each rank alone, the
// serial path) or the default, MPI_COMM_WORLD.
void kernels_alone(bool alone) {
  if (alone) {
    const MPI_Fint self = MPI_Comm_c2f(MPI_COMM_SELF);
    C_SETCOMM(&self);
  } else {
    C_SETCOMM(nullptr);
  }
}

// ---------------------------------------------------------------------------
// 1. Point to point.

struct PointToPoint {
  double alpha = 0;  // seconds per message
  double beta = 0;   // seconds per byte
};

PointToPoint measure_point_to_point(const Options& o) {
  const int partner = g_world.rank ^ 1;
  const bool paired = partner < g_world.size;
  const std::vector<int> sizes = {16, 1024, 65536, 1 << 20};
  std::vector<char> out(sizes.back(), 1), in(sizes.back());
  std::vector<double> medians;
  say("\n## Point to point: one exchange between rank pairs (MPI_Sendrecv)\n\n");
  say("| bytes | median us | p90 us |\n|---:|---:|---:|\n");
  for (int bytes : sizes) {
    const int reps = bytes >= 65536 ? std::max(20, o.batches / 4) : o.batches;
    std::vector<double> t(reps);
    for (int r = 0; r < reps; ++r) {
      PMPI_Barrier(MPI_COMM_WORLD);
      const auto t0 = Clock::now();
      if (paired)
        PMPI_Sendrecv(out.data(), bytes, MPI_CHAR, partner, 7, in.data(), bytes, MPI_CHAR, partner, 7,
                      MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      t[r] = seconds_since(t0);
    }
    const Stats s = slowest(t);
    medians.push_back(s.median);
    say("| %d | %.2f | %.2f |\n", bytes, s.median * 1e6, s.p90 * 1e6);
  }
  PointToPoint p;
  p.alpha = medians.front();
  // Floored: on a loaded machine the 16-byte median can exceed the others.
  p.beta = std::max((medians.back() - medians.front()) / (sizes.back() - sizes.front()), 1e-13);
  say("\nLatency (16 B) %.2f us; %.2f GB/s from 16 B to 1 MiB (%.3f ns per byte).\n",
      p.alpha * 1e6, 1e-9 / p.beta, p.beta * 1e9);
  return p;
}

// ---------------------------------------------------------------------------
// 2. Reductions.

template <class T>
MPI_Datatype mpi_type();
template <>
MPI_Datatype mpi_type<double>() { return MPI_DOUBLE; }
template <>
MPI_Datatype mpi_type<long double>() { return MPI_LONG_DOUBLE; }

// The kernels' form: sum on rank 0 in place, then every rank receives rank
// 0's bits.
template <class T>
void reduce_bcast(T* v, int len) {
  MPI_Reduce(g_world.root() ? MPI_IN_PLACE : v, v, len, mpi_type<T>(), MPI_SUM, 0, MPI_COMM_WORLD);
  MPI_Bcast(v, len, mpi_type<T>(), 0, MPI_COMM_WORLD);
}

// Bytes of one value that carry its value: 10 of the 16 of an x87 long
// double (the rest is padding, not necessarily the same on every rank).
template <class T>
constexpr std::size_t value_bytes() {
  return std::is_same_v<T, long double> ? 10 : sizeof(T);
}

template <class T>
bool same_bits(const T* a, const T* b, int len) {
  for (int i = 0; i < len; ++i)
    if (std::memcmp(a + i, b + i, value_bytes<T>()) != 0) return false;
  return true;
}

struct ReductionRow {
  double rb = 0, ar = 0;  // median seconds: reduce + bcast, allreduce
  double rb90 = 0, ar90 = 0;
};

// Medians of one reduction as the kernels do it and of one MPI_Allreduce,
// timed in alternating repetitions so that both see the same load. Each
// operation starts from a fresh copy of its input (the in-place sum would
// otherwise grow by the number of ranks every time).
template <class T>
ReductionRow time_reduction(int len, const Options& o) {
  std::vector<T> src(len), v(len), out(len);
  std::mt19937 gen(17 + g_world.rank);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (auto& x : src) x = static_cast<T>(u(gen));
  std::vector<double> rb(o.batches), ar(o.batches);
  for (int warm = 0; warm < 10; ++warm) {
    std::copy(src.begin(), src.end(), v.begin());
    reduce_bcast(v.data(), len);
    MPI_Allreduce(src.data(), out.data(), len, mpi_type<T>(), MPI_SUM, MPI_COMM_WORLD);
  }
  for (int b = 0; b < o.batches; ++b) {
    PMPI_Barrier(MPI_COMM_WORLD);
    auto t0 = Clock::now();
    for (int i = 0; i < o.per_batch; ++i) {
      std::copy(src.begin(), src.end(), v.begin());
      reduce_bcast(v.data(), len);
    }
    rb[b] = seconds_since(t0) / o.per_batch;
    PMPI_Barrier(MPI_COMM_WORLD);
    t0 = Clock::now();
    for (int i = 0; i < o.per_batch; ++i) {
      std::copy(src.begin(), src.end(), v.begin());
      MPI_Allreduce(v.data(), out.data(), len, mpi_type<T>(), MPI_SUM, MPI_COMM_WORLD);
    }
    ar[b] = seconds_since(t0) / o.per_batch;
  }
  const Stats srb = slowest(rb), sar = slowest(ar);
  return {srb.median, sar.median, srb.p90, sar.p90};
}

// A broadcast from rank 0 alone (the GMRES basis coefficients).
double time_bcast(int len, const Options& o) {
  std::vector<double> v(len, 1.0), t(o.batches);
  for (int b = 0; b < o.batches; ++b) {
    PMPI_Barrier(MPI_COMM_WORLD);
    const auto t0 = Clock::now();
    for (int i = 0; i < o.per_batch; ++i) MPI_Bcast(v.data(), len, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    t[b] = seconds_since(t0) / o.per_batch;
  }
  return slowest(t).median;
}

// Over `trials` sums of random values spread over 40 binary orders of
// magnitude (so that the order of the additions shows in the last bits):
// in how many did MPI_Allreduce give every rank the same bits, and in how
// many were they the bits of reduce + bcast?
struct BitCheck {
  int trials = 0, allreduce_same_on_all = 0, allreduce_equals_reduce = 0;
};

template <class T>
BitCheck check_bits(int len, int trials) {
  std::vector<T> src(len), v(len), out(len), ref(len);
  std::mt19937 gen(1234 + 7919 * g_world.rank);
  std::uniform_real_distribution<double> u(-1.0, 1.0), e(-20.0, 20.0);
  BitCheck c;
  c.trials = trials;
  for (int t = 0; t < trials; ++t) {
    for (auto& x : src) x = static_cast<T>(u(gen) * std::exp2(e(gen)));
    std::copy(src.begin(), src.end(), v.begin());
    reduce_bcast(v.data(), len);
    MPI_Allreduce(src.data(), out.data(), len, mpi_type<T>(), MPI_SUM, MPI_COMM_WORLD);
    std::copy(out.begin(), out.end(), ref.begin());
    PMPI_Bcast(ref.data(), len, mpi_type<T>(), 0, MPI_COMM_WORLD);
    int differs = same_bits(out.data(), ref.data(), len) ? 0 : 1, any = 0;
    PMPI_Allreduce(&differs, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    c.allreduce_same_on_all += any == 0;
    c.allreduce_equals_reduce += same_bits(out.data(), v.data(), len);
  }
  // Rank 0's count of agreement with reduce + bcast is the one printed.
  return c;
}

// Returns the median of one reduce + bcast of 2 doubles (seconds).
double measure_reductions(const Options& o) {
  say("\n## One reduction: reduce + bcast (the kernels) against MPI_Allreduce\n\n");
  say("Median (and 90th percentile) of the slowest rank over %d repetitions of %d back-to-back\n"
      "operations, the two forms alternating.\n\n",
      o.batches, o.per_batch);
  say("| payload | values | bytes | reduce+bcast us | allreduce us | ratio | p90 r+b | p90 allred |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|\n");
  double smallest = 0.0;
  auto row = [&](const char* what, int len, bool ld) {
    const ReductionRow r = ld ? time_reduction<long double>(len, o) : time_reduction<double>(len, o);
    if (len == 2 && !ld) smallest = r.rb;
    const int bytes = len * (ld ? 16 : 8);
    say("| %s | %d %s | %d | %.2f | %.2f | %.2f | %.2f | %.2f |\n", what, len,
        ld ? "long double" : "double", bytes, r.rb * 1e6, r.ar * 1e6, r.rb / r.ar, r.rb90 * 1e6,
        r.ar90 * 1e6);
  };
  for (int s : {1, 4, 8, 16}) {
    const std::string what = "Gram 2s^2, s = " + std::to_string(s);
    row(what.c_str(), 2 * s * s, false);
  }
  row("column norms, s = 8", 8, true);
  for (int k : {50, 200}) {
    const std::string a = "GMRES Q^H z / coupling, k = " + std::to_string(k);
    const std::string b = "GMRES reflector packet, k = " + std::to_string(k);
    row(a.c_str(), 2 * (k - 1), false);
    row(b.c_str(), 3 + 2 * (k - 1), true);
  }
  say("\n| broadcast from rank 0 alone | values | bytes | median us |\n|---|---:|---:|---:|\n");
  for (int j : {50, 200})
    say("| GMRES basis coefficients of q_j, j = %d | %d double | %d | %.2f |\n", j, 2 * j, 16 * j,
        time_bcast(2 * j, o) * 1e6);

  say("\nSame bits? Random sums over 40 binary orders of magnitude, 200 trials per payload:\n\n"
      "| payload | allreduce: same bits on every rank | allreduce bits = reduce+bcast bits (rank 0) |\n"
      "|---|---:|---:|\n");
  auto bits = [&](const char* what, int len, bool ld) {
    const BitCheck c = ld ? check_bits<long double>(len, 200) : check_bits<double>(len, 200);
    say("| %s | %d / %d | %d / %d |\n", what, c.allreduce_same_on_all, c.trials,
        c.allreduce_equals_reduce, c.trials);
  };
  bits("32 doubles", 32, false);
  bits("512 doubles", 512, false);
  bits("401 long doubles", 401, true);
  return smallest;
}

// ---------------------------------------------------------------------------
// 3. Halo exchange of a 7-point stencil product.

struct Halo {
  int e, s, left, right;
  std::vector<complex> x, out, in;
  std::size_t face;

  Halo(int e_, int s_) : e(e_), s(s_) {
    left = (g_world.rank + g_world.size - 1) % g_world.size;
    right = (g_world.rank + 1) % g_world.size;
    const std::size_t rows = static_cast<std::size_t>(e) * e * e;
    face = static_cast<std::size_t>(e) * e * s;
    x.assign(rows * s, complex(1.0, 0.5));
    out.assign(6 * face, 0.0);
    in.assign(6 * face, 0.0);
  }
  // Faces -x, +x, -y, +y, -z, +z of every column into out (row i + e j + e^2 l).
  void pack() {
    const std::size_t rows = static_cast<std::size_t>(e) * e * e, ee = static_cast<std::size_t>(e) * e;
    for (int c = 0; c < s; ++c) {
      const complex* xc = x.data() + c * rows;
      complex* f[6];
      for (int d = 0; d < 6; ++d) f[d] = out.data() + d * face + c * ee;
      for (int l = 0; l < e; ++l)
        for (int j = 0; j < e; ++j) {
          const std::size_t base = static_cast<std::size_t>(j) * e + l * ee;
          f[0][j + l * e] = xc[base];
          f[1][j + l * e] = xc[base + e - 1];
        }
      for (int l = 0; l < e; ++l)
        for (int i = 0; i < e; ++i) {
          f[2][i + l * e] = xc[i + l * ee];
          f[3][i + l * e] = xc[i + (e - 1) * e + l * ee];
        }
      std::copy(xc, xc + ee, f[4]);
      std::copy(xc + (e - 1) * ee, xc + e * ee, f[5]);
    }
  }
  // Faces -x, -y, -z to the left neighbour, +x, +y, +z to the right one.
  void exchange() {
    pack();
    MPI_Request req[12];
    const int count = static_cast<int>(2 * face);
    for (int d = 0; d < 6; ++d) {
      const int from = (d % 2 == 0) ? left : right;  // the -faces come from the left
      PMPI_Irecv(in.data() + d * face, count, MPI_DOUBLE, from, d, MPI_COMM_WORLD, &req[d]);
    }
    for (int d = 0; d < 6; ++d) {
      // Slot d of the receiver: its -ghost (d even) is its left neighbour's
      // +face, so that face goes right; its +ghost goes left.
      const int to = (d % 2 == 0) ? right : left;
      PMPI_Isend(out.data() + (d ^ 1) * face, count, MPI_DOUBLE, to, d, MPI_COMM_WORLD, &req[6 + d]);
    }
    PMPI_Waitall(12, req, MPI_STATUSES_IGNORE);
  }
  // The value x holds at row (i, j, l) of column c on rank r, for check().
  static complex mark(int r, int c, int i, int j, int l) {
    return complex(1000.0 * r + c, i + 1000.0 * j + 1e6 * l);
  }
  // Does the exchange deliver to every ghost slot the neighbour's face?
  bool check() {
    const std::size_t rows = static_cast<std::size_t>(e) * e * e;
    for (int c = 0; c < s; ++c)
      for (int l = 0; l < e; ++l)
        for (int j = 0; j < e; ++j)
          for (int i = 0; i < e; ++i)
            x[c * rows + i + static_cast<std::size_t>(e) * (j + static_cast<std::size_t>(e) * l)] =
                mark(g_world.rank, c, i, j, l);
    exchange();
    bool ok = true;
    for (int d = 0; d < 6; ++d) {
      const int from = (d % 2 == 0) ? left : right, f = d ^ 1;  // the sender's face
      const int fixed = (f % 2 == 0) ? 0 : e - 1;
      for (int c = 0; c < s; ++c)
        for (int b = 0; b < e; ++b)
          for (int a = 0; a < e; ++a) {
            const complex want = f < 2   ? mark(from, c, fixed, a, b)
                                 : f < 4 ? mark(from, c, a, fixed, b)
                                         : mark(from, c, a, b, fixed);
            ok &= in[d * face + static_cast<std::size_t>(c) * e * e + a + static_cast<std::size_t>(b) * e] == want;
          }
    }
    std::fill(x.begin(), x.end(), complex(1.0, 0.5));
    return ok;
  }
};

struct HaloTimes {
  double exchange = 0, pack = 0, pack_best = 0;  // medians; best of the packings
};

HaloTimes time_halo(int e, int s, const Options& o) {
  Halo h(e, s);
  int bad = h.check() ? 0 : 1, any = 0;
  PMPI_Allreduce(&bad, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (any) {
    say("halo exchange check failed (e = %d, s = %d): a ghost slot did not get its neighbour's face\n", e, s);
    MPI_Abort(MPI_COMM_WORLD, 1);
  }
  const int reps = std::max(20, o.batches / 4);
  std::vector<double> tx(reps), tp(reps);
  h.exchange();
  for (int r = 0; r < reps; ++r) {
    PMPI_Barrier(MPI_COMM_WORLD);
    auto t0 = Clock::now();
    h.exchange();
    tx[r] = seconds_since(t0);
    t0 = Clock::now();
    h.pack();
    tp[r] = seconds_since(t0);
  }
  const Stats p = slowest(tp);
  return {slowest(tx).median, p.median, p.best};
}

// ---------------------------------------------------------------------------
// 4. Local work.

// The 7-point stencil on the e^3 subdomain (Dirichlet at its faces), complex
// symmetric: 6 + 0.3i on the diagonal, -1 off it.
blockkrylov::CsrMatrix stencil(int e) {
  const int n = e * e * e;
  std::vector<int> r, c;
  std::vector<complex> v;
  r.reserve(7L * n), c.reserve(7L * n), v.reserve(7L * n);
  auto id = [e](int i, int j, int l) { return i + e * (j + e * l); };
  for (int l = 0; l < e; ++l)
    for (int j = 0; j < e; ++j)
      for (int i = 0; i < e; ++i) {
        const int p = id(i, j, l);
        auto add = [&](int q, complex a) { r.push_back(p), c.push_back(q), v.push_back(a); };
        add(p, complex(6.0, 0.3));
        if (i > 0) add(id(i - 1, j, l), -1.0);
        if (i + 1 < e) add(id(i + 1, j, l), -1.0);
        if (j > 0) add(id(i, j - 1, l), -1.0);
        if (j + 1 < e) add(id(i, j + 1, l), -1.0);
        if (l > 0) add(id(i, j, l - 1), -1.0);
        if (l + 1 < e) add(id(i, j, l + 1), -1.0);
      }
  return blockkrylov::CsrMatrix::from_triplets(n, r, c, v);
}

struct ProductTimes {
  double a = 0, at = 0;            // medians
  double a_best = 0, at_best = 0;  // fastest repetitions
};

ProductTimes time_product(const blockkrylov::CsrMatrix& A, int s, int reps) {
  const std::size_t ns = static_cast<std::size_t>(A.n) * s;
  std::vector<complex> x(ns, complex(1.0, -0.5)), y(ns);
  A.multiply(s, x.data(), y.data());
  A.multiply_transpose(s, x.data(), y.data());
  std::vector<double> ta(reps), tt(reps);
  for (int r = 0; r < reps; ++r) {
    PMPI_Barrier(MPI_COMM_WORLD);
    auto t0 = Clock::now();
    A.multiply(s, x.data(), y.data());
    ta[r] = seconds_since(t0);
    PMPI_Barrier(MPI_COMM_WORLD);
    t0 = Clock::now();
    A.multiply_transpose(s, x.data(), y.data());
    tt[r] = seconds_since(t0);
  }
  const Stats a = slowest(ta), at = slowest(tt);
  return {a.median, at.median, a.best, at.best};
}

// The global row of local row i: rank r holds rows r n .. r n + n - 1.
double global_fraction(long i, int n) {
  const double total = static_cast<double>(n) * g_world.size;
  return (static_cast<double>(g_world.rank) * n + i) / total;
}

// One solve of either Lanczos driver with a diagonal A (A = A^T), whose
// entries depend on the global row, so that the distributed run is one
// problem split over the ranks; the kernels' MPI calls are counted during
// the driver calls of a step.
template <bool TwoSided>
struct Lanczos : bench::LanczosSolve<TwoSided> {
  Lanczos(int32_t n, int32_t s) : bench::LanczosSolve<TwoSided>(n, s) {
    for (int32_t i = 0; i < n; ++i) {
      const double t = global_fraction(i, n);
      this->diag[i] = complex(1.0 + 3.0 * t, 0.2 + 0.1 * std::sin(40.0 * t));
    }
    std::mt19937 gen(99 + g_world.rank);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (auto& r : this->R) r = complex(u(gen), u(gen));
  }
  double step() {
    return bench::LanczosSolve<TwoSided>::step([](auto&& call) {
      g_counting = true;
      call();
      g_counting = false;
    });
  }
};

struct StepResult {
  double seconds = 0;  // median of the slowest rank
  double best = 0;     // the fastest step of the slowest rank
  Counts calls;        // this rank's MPI calls in the completed steps
  int steps = 0;       // completed steps (the same on every rank)
  int failures = 0;    // steps that failed on some rank
  std::string calls_of_one_step;
};

// "R 32x8, B 32x8, ..." of the calls traced since tracing started; stops
// tracing.
std::string traced_calls() {
  std::string out;
  for (int i = 0; i < std::max(g_traced, 0); ++i) {
    if (!out.empty()) out += ", ";
    out += g_trace[i].kind;
    out += " " + std::to_string(g_trace[i].count) + "x" + std::to_string(g_trace[i].size);
  }
  if (g_traced >= 256) out += ", ...";
  g_traced = -1;
  return out;
}

template <bool TwoSided>
StepResult time_lanczos(int n, int s, int steps, bool alone) {
  kernels_alone(alone);
  Lanczos<TwoSided> w(n, s);
  StepResult res;
  std::vector<double> t;
  t.reserve(steps);
  bool ok = w.restart();
  const Counts before = g_counts;
  for (int i = 0; i < steps; ++i) {
    // A restart every 20 steps keeps the solve away from convergence.
    if (!ok || (i > 0 && i % 20 == 0)) ok = w.restart();
    if (i == 1 && !alone) g_traced = 0;
    const double sec = ok ? w.step() : -1.0;
    if (i == 1 && !alone) res.calls_of_one_step = traced_calls();
    if (sec < 0.0) {
      ++res.failures;
      ok = false;
      t.push_back(std::numeric_limits<double>::infinity());  // keeps ranks' samples aligned
      continue;
    }
    t.push_back(sec);
  }
  res.calls = g_counts - before;
  int fails = res.failures;
  PMPI_Allreduce(&res.failures, &fails, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  res.failures = fails;
  res.steps = steps - fails;
  const Stats st = slowest(t);
  res.seconds = st.median, res.best = st.best;
  kernels_alone(false);
  return res;
}

// One cycle of block GMRES with a diagonal A, column by column as a host
// runs it; the time and the MPI calls of each column's steps are recorded
// (the product excluded), and those of the start and of the iterate update.
struct GmresCycle {
  int32_t n, s, m, ldh, ldr, ldcs, ldd, ldc;
  std::vector<complex> diag, V, vpiv, beta, sigma, G, LM, H, sn, dcoef, work, w, corr;
  std::vector<double> cs;
  std::vector<int32_t> kept, dtab;

  GmresCycle(int32_t n_, int32_t s_, int32_t m_)
      : n(n_), s(s_), m(m_), ldh(m_ + s_), ldr(m_ + s_), ldcs(s_), ldd(std::max(s_ - 1, 1)),
        ldc(std::max(s_ - 1, 1)) {
    diag.resize(n);
    for (int32_t i = 0; i < n; ++i) {
      const double t = global_fraction(i, n);
      diag[i] = complex(0.05 + 4.0 * t, 0.5 * std::cos(25.0 * t));
    }
    V.assign(static_cast<std::size_t>(n) * m, 0.0);
    vpiv.assign(m, 0.0), beta.assign(m, 0.0), sigma.assign(m, 0.0), work.assign(m + s, 0.0);
    G.assign(static_cast<std::size_t>(ldr) * s, 0.0), LM.assign(static_cast<std::size_t>(m) * m, 0.0);
    H.assign(static_cast<std::size_t>(ldh) * m, 0.0), sn.assign(static_cast<std::size_t>(ldcs) * m, 0.0);
    cs.assign(static_cast<std::size_t>(ldcs) * m, 0.0), dcoef.assign(static_cast<std::size_t>(ldc) * s, 0.0);
    kept.assign(s, 0), dtab.assign(2 * ldd, 0), w.assign(n, 0.0);
    corr.assign(static_cast<std::size_t>(n) * s, 0.0);
  }

  struct Result {
    std::vector<int> k;            // reflector formed by each column
    std::vector<double> seconds;   // this rank's time of each column
    std::vector<Counts> calls;     // MPI calls of each column
    double start_seconds = 0, end_seconds = 0;
    Counts start_calls, end_calls;
    std::string traced;            // the calls of column trace_column
  };

  // One cycle from the same starting block; the calls of column index
  // trace_column (0-based; -1 none) are traced.
  Result run(int trace_column) {
    Result res;
    std::mt19937 gen(5 + g_world.rank);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::fill(V.begin(), V.end(), complex(0.0));
    for (int32_t j = 0; j < s; ++j)
      for (int32_t i = 0; i < n; ++i)
        V[static_cast<std::size_t>(j) * n + i] = complex(u(gen), u(gen)) * (j == 0 ? 2.0 : 1.0);
    double nrm1 = 0.0;
    const int32_t one = 1;
    C_COLBLOCKNORMS(V.data(), &n, &n, &one, &nrm1);
    const double tol = 1e-12 * nrm1;
    int32_t p = 0;

    Counts c0 = g_counts;
    g_counting = true;
    auto t0 = Clock::now();
    const int32_t ndefl = C_INITIALBLOCKGMRES(&s, &tol, &p, V.data(), &n, vpiv.data(), beta.data(),
                                              sigma.data(), G.data(), &ldr, LM.data(), &m,
                                              kept.data(), dtab.data(), &ldd, dcoef.data(), &ldc,
                                              work.data());
    res.start_seconds = seconds_since(t0);
    g_counting = false;
    res.start_calls = g_counts - c0;
    const int32_t sk = s - ndefl;

    int32_t ndefl_cycle = 0, kh = 0;
    for (int32_t jcol = 1; jcol + sk <= m; ++jcol) {
      const int32_t k = jcol + sk;
      const bool traced = static_cast<int>(res.k.size()) == trace_column;
      if (traced) g_traced = 0;
      c0 = g_counts;
      g_counting = true;
      t0 = Clock::now();
      C_PARENTBASISCONSTRUCT(&jcol, w.data(), &k, &p, V.data(), &n, beta.data(), LM.data(), &m,
                             work.data());
      double sec = seconds_since(t0);
      g_counting = false;
      complex* z = V.data() + static_cast<std::size_t>(k - 1) * n;
      for (int32_t i = 0; i < n; ++i) z[i] = diag[i] * w[i];
      g_counting = true;
      t0 = Clock::now();
      C_GMRESHOUSEORTHOG(&jcol, &k, &tol, &ndefl_cycle, V.data(), &n, vpiv.data(), beta.data(),
                         sigma.data(), LM.data(), &m, H.data(), &ldh, work.data());
      C_GMRESUPDATELM(&k, V.data(), &n, beta.data(), LM.data(), &m);
      C_GMRESHMQR(&jcol, &sk, H.data(), &ldh, G.data(), &ldr, cs.data(), &ldcs, sn.data(), &ldcs);
      sec += seconds_since(t0);
      g_counting = false;
      res.k.push_back(k);
      res.seconds.push_back(sec);
      res.calls.push_back(g_counts - c0);
      if (traced) res.traced = traced_calls();
      kh = jcol;
    }

    c0 = g_counts;
    g_counting = true;
    t0 = Clock::now();
    C_GMRESLEASTSQS(&kh, &sk, G.data(), &ldr, H.data(), &ldh, G.data(), &ldr);
    C_GMRESITERATEUPDATE(&kh, &sk, &p, kept.data(), V.data(), &n, beta.data(), LM.data(), &m,
                         work.data(), G.data(), &ldr, corr.data(), &n, w.data());
    res.end_seconds = seconds_since(t0);
    g_counting = false;
    res.end_calls = g_counts - c0;
    return res;
  }
};

// Least-squares line t = a + b k through the columns' times.
struct Line {
  double a = 0, b = 0;
  double at(double k) const { return a + b * k; }
};

Line fit(const std::vector<int>& k, const std::vector<double>& t) {
  const double n = static_cast<double>(k.size());
  double sk = 0, st = 0, skk = 0, skt = 0;
  for (std::size_t i = 0; i < k.size(); ++i)
    sk += k[i], st += t[i], skk += double(k[i]) * k[i], skt += k[i] * t[i];
  Line l;
  const double den = n * skk - sk * sk;
  l.b = den != 0.0 ? (n * skt - sk * st) / den : 0.0;
  l.a = (st - l.b * sk) / n;
  return l;
}

// ---------------------------------------------------------------------------
// 5. The model.

struct Local {
  int e = 0, n = 0;
  ProductTimes prod[9];   // by s = 1, 4, 8
  HaloTimes halo[9];
  StepResult sym[9], two[9];
  Line gmres_col;         // seconds per column against k (alone)
  int gmres_kmax = 0;
};

// GMRES: cycles alone and distributed, alternating; per column the median
// and the best over the repetitions of the slowest rank's time. The best
// alone times give the line t(k) the model uses.
void measure_gmres(Local& L, const Options& o) {
  GmresCycle cyc(L.n, o.gmres_s, o.gmres_m);
  std::vector<std::vector<double>> alone, dist;
  GmresCycle::Result first;
  double start_a = 0, start_d = 0, end_a = 0, end_d = 0;
  for (int r = 0; r < o.gmres_reps; ++r) {
    kernels_alone(true);
    const GmresCycle::Result ga = cyc.run(-1);
    kernels_alone(false);
    const GmresCycle::Result gd = cyc.run(r == 0 ? static_cast<int>(ga.k.size() / 2) : -1);
    if (r == 0) first = gd;
    std::vector<double> wa(ga.seconds.size()), wd(gd.seconds.size());
    PMPI_Allreduce(ga.seconds.data(), wa.data(), static_cast<int>(wa.size()), MPI_DOUBLE, MPI_MAX,
                   MPI_COMM_WORLD);
    PMPI_Allreduce(gd.seconds.data(), wd.data(), static_cast<int>(wd.size()), MPI_DOUBLE, MPI_MAX,
                   MPI_COMM_WORLD);
    alone.push_back(wa), dist.push_back(wd);
    start_a += max_over_ranks(ga.start_seconds), start_d += max_over_ranks(gd.start_seconds);
    end_a += max_over_ranks(ga.end_seconds), end_d += max_over_ranks(gd.end_seconds);
  }
  const std::size_t cols = first.k.size();
  auto column = [&](const std::vector<std::vector<double>>& runs, std::size_t i) {
    std::vector<double> v;
    for (const auto& run : runs)
      if (i < run.size()) v.push_back(run[i]);
    return stats_of(v);
  };
  std::vector<double> ta(cols), tb(cols), td(cols);
  for (std::size_t i = 0; i < cols; ++i) {
    const Stats a = column(alone, i);
    ta[i] = a.median, tb[i] = a.best, td[i] = column(dist, i).median;
  }

  // The fit leaves out the first block, whose basis vectors are cached.
  std::vector<int> kf;
  std::vector<double> tf;
  for (std::size_t i = 0; i < cols; ++i)
    if (first.k[i] > 2 * o.gmres_s) kf.push_back(first.k[i]), tf.push_back(tb[i]);
  L.gmres_col = fit(kf, tf);
  L.gmres_kmax = o.gmres_m;

  say("\nBlock GMRES, s = %d, m = %d (columns k = %d..%d), diagonal A, %d cycles alone and %d\n"
      "distributed; per column the basis vector, the orthogonalisation, the coupling update and the\n"
      "rotations (the product not timed); calls counted in the first distributed cycle:\n\n",
      o.gmres_s, o.gmres_m, cols ? first.k.front() : 0, cols ? first.k.back() : 0, o.gmres_reps,
      o.gmres_reps);
  say("| columns | mean k | alone ms/column (best) | distributed ms/column | MPI_Reduce/col | MPI_Bcast/col | "
      "other/col | reduce bytes/col | bcast bytes/col |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  const std::size_t groups = std::min<std::size_t>(4, cols);
  for (std::size_t g = 0; g < groups; ++g) {
    const std::size_t lo = g * cols / groups, hi = (g + 1) * cols / groups;
    double mk = 0, sa = 0, sb = 0, sd = 0;
    Counts c;
    for (std::size_t i = lo; i < hi; ++i)
      mk += first.k[i], sa += ta[i], sb += tb[i], sd += td[i], c += first.calls[i];
    const double cnt = static_cast<double>(hi - lo);
    say("| %d-%d | %.1f | %.3f (%.3f) | %.3f | %.2f | %.2f | %.2f | %.0f | %.0f |\n", first.k[lo],
        first.k[hi - 1], mk / cnt, sa / cnt * 1e3, sb / cnt * 1e3, sd / cnt * 1e3, c.reduce / cnt,
        c.bcast / cnt, c.other / cnt, c.reduce_bytes / cnt, c.bcast_bytes / cnt);
  }
  say("\nOne distributed column (k = %d): %s\n", cols ? first.k[cols / 2] : 0, first.traced.c_str());
  say("\nPer column alone (best): %.3f ms + %.4f ms x k (least squares over k > %d); k = 50: %.2f ms, "
      "k = 200: %.2f ms%s.\n",
      L.gmres_col.a * 1e3, L.gmres_col.b * 1e3, 2 * o.gmres_s, L.gmres_col.at(50) * 1e3,
      L.gmres_col.at(200) * 1e3, o.gmres_m < 200 ? " (extrapolated)" : "");
  const double reps = o.gmres_reps;
  say("Cycle start (C_INITIALBLOCKGMRES): %.3f ms alone, %.3f ms distributed (means), %ld MPI_Reduce "
      "+ %ld MPI_Bcast. Cycle end (least squares + iterate update): %.3f / %.3f ms, %ld + %ld.\n",
      start_a / reps * 1e3, start_d / reps * 1e3, first.start_calls.reduce, first.start_calls.bcast,
      end_a / reps * 1e3, end_d / reps * 1e3, first.end_calls.reduce, first.end_calls.bcast);
}


struct Model {
  double alpha, beta;  // seconds per message / tree level, seconds per byte
  int levels(double P) const { return static_cast<int>(std::ceil(std::log2(P) - 1e-9)); }
  double reduction(double P, double bytes) const { return 2.0 * levels(P) * (alpha + bytes * beta); }
  double broadcast(double P, double bytes) const { return levels(P) * (alpha + bytes * beta); }
  double halo(int e, int s, double pack) const {
    const double face = 16.0 * e * e * s;
    return pack + 6.0 * (alpha + face * beta);
  }
};

struct MethodStep {
  std::string name;
  int s = 0;
  double local = 0;         // seconds, T(1)
  int halo_calls = 0;       // product calls per step (each one halo exchange)
  std::vector<double> reductions, broadcasts;  // bytes of each
};

// The table of T(P) and T(1) / T(P) for latency alpha (seconds per message
// and tree level) and time per byte beta.
void print_model(const std::vector<Local>& locals, const Options& o, double alpha, double beta,
                 const char* title) {
  const Model md{alpha, beta};
  say("\n## Model: weak-scaling efficiency T(1) / T(P), %s\n\n", title);
  say("T(P) = T_local + T_halo + sum over reductions of 2 ceil(log2 P) (alpha + bytes beta) + sum over\n"
      "broadcasts of ceil(log2 P) (alpha + bytes beta); T_halo = per product call, packing (measured)\n"
      "+ 6 (alpha + face bytes beta). alpha = %.2f us per message and tree level, beta = %.3f ns/B\n"
      "(%.1f GB/s). T_local: measured above, the best repetitions (kernels alone + stencil products,\n"
      "one thread per rank).\n"
      "GMRES: one block step = s columns at basis size about k, products taken as one block; its\n"
      "per-column time from the fit above (extrapolated beyond k = %d).\n\n",
      alpha * 1e6, beta * 1e9, 1e-9 / beta, locals.empty() ? 0 : locals.front().gmres_kmax);
  say("| method | s | rows/rank | T_local ms | reductions + bcasts / step | bytes / step | T_halo us |");
  for (double P : o.model_ranks) say(" comm us, P=%.0f |", P);
  for (double P : o.model_ranks) say(" E(%.0f) |", P);
  say("\n|---|---:|---:|---:|---:|---:|---:|");
  for (std::size_t i = 0; i < 2 * o.model_ranks.size(); ++i) say("---:|");
  say("\n");
  for (const Local& L : locals) {
    std::vector<MethodStep> methods;
    for (int s : {4, 8}) {
      MethodStep sym{"symmetric", s, L.sym[s].best + L.prod[s].a_best, 1, {}, {}};
      sym.reductions.push_back(16.0 * s * s);
      sym.reductions.push_back(8.0 * s + 16.0 * s * s);
      methods.push_back(sym);
      MethodStep two{"two-sided", s, L.two[s].best + L.prod[s].a_best + L.prod[s].at_best, 2, {}, {}};
      two.reductions.push_back(16.0 * s * s);
      two.reductions.push_back(8.0 * s);
      two.reductions.push_back(8.0 * s + 16.0 * s * s);
      methods.push_back(two);
      for (int k : {50, 200}) {
        MethodStep g{"GMRES k=" + std::to_string(k), s, s * L.gmres_col.at(k) + L.prod[s].a_best, 1, {}, {}};
        for (int c = 0; c < s; ++c) {
          g.reductions.push_back(16.0 * (k - 1));
          g.reductions.push_back(16.0 * (3 + 2 * (k - 1)));
          g.reductions.push_back(16.0 * (k - 1));
          g.broadcasts.push_back(16.0 * (k - s));  // 2 jcol doubles
        }
        methods.push_back(g);
      }
    }
    for (const MethodStep& m : methods) {
      double bytes = 0;
      for (double b : m.reductions) bytes += b;
      for (double b : m.broadcasts) bytes += b;
      const double halo = m.halo_calls * md.halo(L.e, m.s, L.halo[m.s].pack_best);
      say("| %s | %d | %d | %.2f | %zu + %zu | %.0f | %.0f |", m.name.c_str(), m.s, L.n, m.local * 1e3,
          m.reductions.size(), m.broadcasts.size(), bytes, halo * 1e6);
      std::vector<double> eff;
      for (double P : o.model_ranks) {
        double comm = halo;
        for (double b : m.reductions) comm += md.reduction(P, b);
        for (double b : m.broadcasts) comm += md.broadcast(P, b);
        say(" %.0f |", comm * 1e6);
        eff.push_back(m.local / (m.local + comm));
      }
      for (double e : eff) say(" %.3f |", e);
      say("\n");
    }
  }
}

// ---------------------------------------------------------------------------

// "46,22" -> {46, 22}; empty on anything else.
std::vector<int> int_list(const char* s) {
  std::vector<int> v;
  const char* p = s;
  while (*p) {
    char* end = nullptr;
    const long x = std::strtol(p, &end, 10);
    if (end == p || (*end != ',' && *end != '\0')) return {};
    v.push_back(static_cast<int>(x));
    p = *end == ',' ? end + 1 : end;
  }
  return v;
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--quick") {
      o.batches = 40, o.per_batch = 10, o.edges = {22}, o.steps = 8, o.gmres_m = 24;
      o.gmres_reps = 1;
    } else if (a == "--batches" && (v = value())) {
      o.batches = std::max(5, std::atoi(v));
    } else if (a == "--per-batch" && (v = value())) {
      o.per_batch = std::max(1, std::atoi(v));
    } else if (a == "--edges" && (v = value())) {
      o.edges = int_list(v);
    } else if (a == "--steps" && (v = value())) {
      o.steps = std::max(2, std::atoi(v));
    } else if (a == "--gmres-m" && (v = value())) {
      o.gmres_m = std::atoi(v);
    } else if (a == "--gmres-reps" && (v = value())) {
      o.gmres_reps = std::max(1, std::atoi(v));
    } else if (a == "--alpha-us" && (v = value())) {
      o.alpha_us = std::atof(v);
    } else if (a == "--beta-gbs" && (v = value())) {
      o.beta_gbs = std::atof(v);
    } else {
      return false;
    }
  }
  if (o.edges.empty()) return false;
  for (int e : o.edges)
    if (e < 4 || e > 200) return false;
  // GMRES needs m >= 2 s, and rank 0 must hold more rows than m.
  const int smallest = *std::min_element(o.edges.begin(), o.edges.end());
  if (o.gmres_m < 2 * o.gmres_s || o.gmres_m >= smallest * smallest * smallest) return false;
  return o.alpha_us > 0 && o.beta_gbs > 0;
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  MPI_Comm_rank(MPI_COMM_WORLD, &g_world.rank);
  MPI_Comm_size(MPI_COMM_WORLD, &g_world.size);
  Options o;
  if (!parse(argc, argv, o)) {
    say("usage: mpirun -np P bench_mpi_reduction [--quick] [--batches N] [--per-batch N]\n"
        "       [--edges 46,22] [--steps N] [--gmres-m M] [--gmres-reps R] [--alpha-us A]\n"
        "       [--beta-gbs B]\n");
    MPI_Finalize();
    return 2;
  }
  set_threads(1);

  char version[MPI_MAX_LIBRARY_VERSION_STRING];
  int len = 0;
  MPI_Get_library_version(version, &len);
  std::string first_line(version, std::strcspn(version, "\n,"));
  const unsigned cores = std::thread::hardware_concurrency();
  say("# Reductions and block steps of the distributed kernels\n\n");
  say("%d ranks on %u cores%s; %s; one OpenMP and one BLAS thread per rank.\n", g_world.size, cores,
      g_world.size > static_cast<int>(cores) ? " (oversubscribed: ranks share cores, times inflated)"
                                             : "",
      first_line.c_str());
  if (g_world.size < 2) say("One rank: no communication to measure; run under mpirun -np 2 or more.\n");

  const PointToPoint pp = measure_point_to_point(o);
  const double reduction_2 = measure_reductions(o);

  std::vector<Local> locals;
  for (int e : o.edges) {
    Local L;
    L.e = e;
    L.n = e * e * e;
    say("\n## Local work at %d^3 = %d rows per rank\n\n", e, L.n);
    const blockkrylov::CsrMatrix A = stencil(e);
    say("| what | s | median ms | best ms |\n|---|---:|---:|---:|\n");
    for (int s : {1, 4, 8}) {
      L.prod[s] = time_product(A, s, std::max(8, o.steps / 2));
      say("| stencil product A X | %d | %.3f | %.3f |\n| stencil product A^T X | %d | %.3f | %.3f |\n",
          s, L.prod[s].a * 1e3, L.prod[s].a_best * 1e3, s, L.prod[s].at * 1e3, L.prod[s].at_best * 1e3);
    }
    for (int s : {1, 4, 8}) {
      L.halo[s] = time_halo(e, s, o);
      say("| halo: pack 6 faces | %d | %.3f | %.3f |\n| halo: pack + exchange 6 faces (%.0f KB each) | %d | %.3f | |\n",
          s, L.halo[s].pack * 1e3, L.halo[s].pack_best * 1e3, 16.0 * e * e * s / 1e3, s,
          L.halo[s].exchange * 1e3);
    }

    say("\nBlock steps, kernels' time only (the diagonal product between calls not timed); "
        "alone = every rank in MPI_COMM_SELF, all at once; distributed = one problem over all ranks,\n"
        "with the MPI calls of the kernels per step (rank 0's count; bytes = payload per call).\n\n");
    say("| step | s | alone ms (best) | distributed ms (best) | MPI_Reduce | MPI_Bcast | MPI_Allreduce | other | reduce bytes | bcast bytes |\n"
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    auto step_row = [&](const char* name, int s, const StepResult& alone, const StepResult& dist) {
      const Counts& c = dist.calls;
      const double per = std::max(dist.steps, 1);
      say("| %s | %d | %.3f (%.3f) | %.3f (%.3f) | %.2f | %.2f | %.2f | %.2f | %.0f | %.0f |\n", name,
          s, alone.seconds * 1e3, alone.best * 1e3, dist.seconds * 1e3, dist.best * 1e3,
          c.reduce / per, c.bcast / per, c.allreduce / per, c.other / per, c.reduce_bytes / per,
          c.bcast_bytes / per);
      if (alone.failures + dist.failures > 0)
        say("|   (%d + %d steps failed and were restarted) ||||||||||\n", alone.failures, dist.failures);
    };
    std::string traces;
    for (int s : {4, 8}) {
      L.sym[s] = time_lanczos<false>(L.n, s, o.steps, true);
      const StepResult d = time_lanczos<false>(L.n, s, o.steps, false);
      step_row("symmetric (C_ZDSYM_BLANCZOS1)", s, L.sym[s], d);
      traces += "- symmetric, s = " + std::to_string(s) + ": " + d.calls_of_one_step + "\n";
    }
    for (int s : {4, 8}) {
      L.two[s] = time_lanczos<true>(L.n, s, o.steps, true);
      const StepResult d = time_lanczos<true>(L.n, s, o.steps, false);
      step_row("two-sided (C_ZD_BLANCZOS)", s, L.two[s], d);
      traces += "- two-sided, s = " + std::to_string(s) + ": " + d.calls_of_one_step + "\n";
    }
    say("\nThe calls of one distributed step (R reduce, B bcast, A allreduce; values x bytes each):\n\n");
    say(traces.c_str());

    measure_gmres(L, o);
    locals.push_back(L);
  }

  print_model(locals, o, o.alpha_us * 1e-6, 1.0 / (o.beta_gbs * 1e9), "assumed interconnect");
  // This machine: the latency per tree level that makes the model's
  // reduction equal the measured one, and the point-to-point time per byte.
  if (g_world.size > 1) {
    const double levels = std::ceil(std::log2(static_cast<double>(g_world.size)) - 1e-9);
    print_model(locals, o, reduction_2 / (2.0 * levels), pp.beta,
                "this machine's shared memory (measured)");
  }
  MPI_Finalize();
  return 0;
}
