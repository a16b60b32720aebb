#include "api/slots.hpp"

#include <omp.h>

#include "common/records.hpp"

namespace bk {
namespace {
SlotStore<double> g_progress;
SlotStore<BlockOffsets> g_symmetric;
SlotStore<BlockOffsets> g_twosided;
}  // namespace

void slot_allocation_failed() {
  fatal_record("ERROR IN BLOCKKRYLOV: CANNOT ALLOCATE PER-THREAD SLOTS:");
}

// Each owner has a critical section of its own, so the three creations never
// wait for one another; only creation and growth are serialised.
double* progress_slot() {
  const int t = omp_get_thread_num();
  return g_progress.get(t, [t] {
#pragma omp critical(bk_progress_slot)
    g_progress.grow(t, omp_get_max_threads());
  });
}

BlockOffsets* symmetric_offsets() {
  const int t = omp_get_thread_num();
  return g_symmetric.get(t, [t] {
#pragma omp critical(bk_zdsym_blanczos1_slots)
    g_symmetric.grow(t, omp_get_max_threads());
  });
}

BlockOffsets* twosided_offsets() {
  const int t = omp_get_thread_num();
  return g_twosided.get(t, [t] {
#pragma omp critical(bk_zd_blanczos_slots)
    g_twosided.grow(t, omp_get_max_threads());
  });
}

}  // namespace bk
