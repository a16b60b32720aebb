// blockkrylov/detail/slot_claims.hpp - who may use the kernel library's
// per-thread state at a given moment.
//
// The Lanczos drivers keep their block offsets, and C_CONVERGENCEPROGRESS its
// running average, in slots found by the OpenMP thread number of the caller.
// Two solves that use the same slot at the same time corrupt each other
// silently. That happens for
//   * two host threads that are not members of one OpenMP team (both count
//     as thread 0),
//   * threads of two nested teams that carry the same inner thread number,
//   * a solve started from an operator callback of a solve on the same thread.
// A solve claims the slots it needs for its whole run. A slot held by another
// thread is waited for, which serialises the first two cases and keeps their
// results correct; a slot held by the calling thread itself is refused at
// once (waiting would never end).
//
// The progress slot only feeds the progress estimate, so it is never waited
// for: a solve that cannot have it runs without that estimate.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace blockkrylov {
namespace detail {

enum class SlotKind { progress = 0, symmetric = 1, twosided = 2 };

// The thread number the kernel library will see for this call. A host
// compiled without OpenMP runs every thread as number 0 (so all its solves
// are serialised, which is always safe).
inline int library_thread_number() {
#ifdef _OPENMP
  return omp_get_thread_num();
#else
  return 0;
#endif
}

class SlotRegistry {
 public:
  static SlotRegistry& instance() {
    static SlotRegistry registry;
    return registry;
  }

  enum class Claim { held, busy_here, busy_elsewhere };

  // Takes slot (kind, t) for the calling thread. With `wait`, a slot held by
  // another thread is waited for; a slot held by the calling thread is never.
  Claim acquire(SlotKind kind, int t, bool wait) {
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<std::thread::id>& owners = owners_[static_cast<int>(kind)];
    if (owners.size() <= static_cast<std::size_t>(t)) owners.resize(static_cast<std::size_t>(t) + 1);
    for (;;) {
      const std::thread::id owner = owners[t];
      if (owner == std::thread::id()) break;
      if (owner == me) return Claim::busy_here;
      if (!wait) return Claim::busy_elsewhere;
      released_.wait(lock);
    }
    owners[t] = me;
    return Claim::held;
  }

  void release(SlotKind kind, int t) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      owners_[static_cast<int>(kind)][t] = std::thread::id();
    }
    released_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  std::vector<std::thread::id> owners_[3];
};

// A claim held for the lifetime of the object.
class SlotClaim {
 public:
  SlotClaim(SlotKind kind, bool wait)
      : kind_(kind), thread_(library_thread_number()),
        claim_(SlotRegistry::instance().acquire(kind, thread_, wait)) {}
  ~SlotClaim() {
    if (held()) SlotRegistry::instance().release(kind_, thread_);
  }
  SlotClaim(const SlotClaim&) = delete;
  SlotClaim& operator=(const SlotClaim&) = delete;

  bool held() const { return claim_ == SlotRegistry::Claim::held; }
  int thread_number() const { return thread_; }

 private:
  SlotKind kind_;
  int thread_;
  SlotRegistry::Claim claim_;
};

}  // namespace detail
}  // namespace blockkrylov
