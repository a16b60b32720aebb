// blockkrylov/detail/threads.hpp - the threads of one solve.
//
// Options::threads sets the OpenMP threads of everything a solve runs: the
// sparse products of CsrMatrix and the kernel library's row passes, which
// both take omp_get_max_threads() of the calling thread. The setting is made
// for the calling thread only (an OpenMP internal control variable of its
// own) and restored when the solve returns, so concurrent solves on other
// threads, and the caller's own parallel regions afterwards, are unaffected.
//
// The BLAS calls that remain in a solve work on s x s matrices or on the
// n x s blocks of one step: a threaded BLAS gains nothing on them, and a
// threaded OpenBLAS spins and allocates in every call, competing with the
// OpenMP threads. While any solve runs, an OpenBLAS found in the process is
// therefore set to one thread; the count it had is restored when the last
// running solve returns (a mutex guards the count, entered twice per solve,
// never in its iterations). Other BLAS libraries are left alone.
#pragma once

#include <mutex>

#if defined(_OPENMP)
#  include <omp.h>
#endif
#if defined(__has_include)
#  if __has_include(<dlfcn.h>)
#    include <dlfcn.h>
#    define BLOCKKRYLOV_HAS_DLFCN 1
#  endif
#endif

namespace blockkrylov {
namespace detail {

class BlasThreads {
 public:
  static void enter() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.running++ == 0 && s.get && s.set) {
      s.saved = s.get();
      if (s.saved != 1) s.set(1);
    }
  }
  static void leave() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (--s.running == 0 && s.get && s.set && s.saved != 1) s.set(s.saved);
  }

 private:
  using Get = int (*)();
  using Set = void (*)(int);
  struct State {
    std::mutex mutex;
    int running = 0;
    int saved = 1;
    Get get = nullptr;
    Set set = nullptr;
    State() {
#if defined(BLOCKKRYLOV_HAS_DLFCN)
      // The kernel library's OpenBLAS, whether or not it is in the global
      // scope (a library loaded by ctypes is not).
      for (const char* name : {static_cast<const char*>(nullptr), "libopenblas.so.0"}) {
        void* h = name ? ::dlopen(name, RTLD_LAZY | RTLD_NOLOAD) : RTLD_DEFAULT;
        if (h == nullptr) continue;
        get = reinterpret_cast<Get>(::dlsym(h, "openblas_get_num_threads"));
        set = reinterpret_cast<Set>(::dlsym(h, "openblas_set_num_threads"));
        if (get && set) break;
        get = nullptr, set = nullptr;
      }
#endif
    }
  };
  static State& state() {
    static State s;
    return s;
  }
};

// For the duration of one solve: `threads` OpenMP threads (<= 0: the
// caller's setting) and one BLAS thread.
class ThreadScope {
 public:
  explicit ThreadScope(int threads) {
#if defined(_OPENMP)
    saved_ = omp_get_max_threads();
    if (threads > 0) omp_set_num_threads(threads);
#else
    (void)threads;
#endif
    BlasThreads::enter();
  }
  ~ThreadScope() {
    BlasThreads::leave();
#if defined(_OPENMP)
    omp_set_num_threads(saved_);
#endif
  }
  ThreadScope(const ThreadScope&) = delete;
  ThreadScope& operator=(const ThreadScope&) = delete;

 private:
  int saved_ = 1;
};

}  // namespace detail
}  // namespace blockkrylov
