// Per-thread slots: small values that one solve on one OpenMP thread keeps
// from one call to the next, found by the thread number.
//
// Storage is created on first use, sized by omp_get_max_threads() at that
// moment, and never freed or moved. A thread whose number lies beyond what
// exists (a larger team later, nested teams) gets a new chunk appended under
// the owner's critical section; existing slots never move, so a solve on
// another thread keeps its slot address while the storage grows.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>

namespace bk {

template <class T>
class SlotStore {
 public:
  // Slot of thread t. `grow_locked` must run grow(t) inside the owning entry
  // point's critical section; it is called only when t is not yet covered.
  template <class GrowLocked>
  T* get(int t, GrowLocked&& grow_locked) {
    if (T* c0 = chunk_[0].load(std::memory_order_acquire); c0 && t < len_[0]) return c0 + t;
    if (T* hit = find(t)) return hit;
    grow_locked();
    return find(t);
  }

  // Extends the storage until it covers thread t. Call only while holding the
  // owner's critical section. `initial` is the size of the first chunk.
  void grow(int t, int initial);

  int chunks() const {
    int c = 0;
    while (c < kMaxChunks && chunk_[c].load(std::memory_order_acquire)) ++c;
    return c;
  }

 private:
  static constexpr int kMaxChunks = 31;  // doubling chunks cover any int t
  T* find(int t) const {
    for (int c = 0; c < kMaxChunks; ++c) {
      T* p = chunk_[c].load(std::memory_order_acquire);
      if (!p) return nullptr;
      if (t >= start_[c] && t < start_[c] + len_[c]) return p + (t - start_[c]);
    }
    return nullptr;
  }

  std::atomic<T*> chunk_[kMaxChunks] = {};
  // start_/len_ of chunk c are written before chunk_[c] is published.
  int start_[kMaxChunks] = {};
  int len_[kMaxChunks] = {};
};

// The calling thread's block offsets of a Lanczos solve: column offsets
// (0 or s) of the current and the previous block in the two-block work arrays.
struct BlockOffsets {
  int jcur;
  int jprev;
};

// Calling thread's slots, one store per owning entry point, each created
// under that entry point's own critical section.
double* progress_slot();
BlockOffsets* symmetric_offsets();
BlockOffsets* twosided_offsets();

// Slot storage allocation failure: writes a record and ends the process.
[[noreturn]] void slot_allocation_failed();

template <class T>
void SlotStore<T>::grow(int t, int initial) {
  int c = 0, covered = 0;
  while (c < kMaxChunks && chunk_[c].load(std::memory_order_relaxed)) {
    covered = start_[c] + len_[c];
    ++c;
  }
  while (t >= covered) {
    if (c == kMaxChunks) slot_allocation_failed();
    long want = c == 0 ? initial : covered;        // double the coverage
    if (want < static_cast<long>(t) + 1 - covered) want = static_cast<long>(t) + 1 - covered;
    if (want < 1) want = 1;
    T* p = static_cast<T*>(std::malloc(static_cast<std::size_t>(want) * sizeof(T)));
    if (!p) slot_allocation_failed();
    start_[c] = covered;
    len_[c] = static_cast<int>(want);
    chunk_[c].store(p, std::memory_order_release);
    covered += static_cast<int>(want);
    ++c;
  }
}

}  // namespace bk
