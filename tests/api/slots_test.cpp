// Per-thread slots: created once under concurrency, one per thread, and
// extended without moving when a thread number lies beyond the first size.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "api/slots.hpp"
#include "blockkrylov.h"

namespace {

TEST(SlotStore, ConcurrentFirstUseCreatesStorageOnce) {
  static bk::SlotStore<double> store;  // fresh store, same code path as the entry points
  std::vector<double*> got(8, nullptr);
  int grows = 0;
#pragma omp parallel num_threads(8)
  {
    const int t = omp_get_thread_num();
    got[t] = store.get(t, [&] {
#pragma omp critical(slot_store_test)
      {
        ++grows;
        store.grow(t, 8);
      }
    });
  }
  EXPECT_EQ(store.chunks(), 1);
  EXPECT_LE(grows, 8);
  std::set<double*> distinct(got.begin(), got.end());
  EXPECT_EQ(distinct.size(), 8u);
  EXPECT_EQ(distinct.count(nullptr), 0u);
}

TEST(SlotStore, ThreadBeyondFirstSizeGetsItsOwnSlotWithoutMovingOthers) {
  static bk::SlotStore<int> store;
  auto get = [](int t) { return store.get(t, [t] { store.grow(t, 2); }); };
  const int threads[] = {0, 1, 5, 40};
  int* slots[4];
  for (int i = 0; i < 4; ++i) *(slots[i] = get(threads[i])) = 10 + threads[i];
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(get(threads[i]), slots[i]);  // existing slots never move
    EXPECT_EQ(*slots[i], 10 + threads[i]);
  }
  std::set<int*> distinct;
  for (int t = 0; t <= 40; ++t) distinct.insert(get(t));
  EXPECT_EQ(distinct.size(), 41u);
}

// Each thread's running average belongs to it: eight threads follow eight
// different histories at once and each gets the prediction of its own.
TEST(ProgressSlot, EachThreadKeepsItsOwnAverage) {
  std::vector<int> pred(8, -1);
#pragma omp parallel num_threads(8)
  {
    const int t = omp_get_thread_num();
    // History of thread t: reduction by (t+1) tenths of a digit per iteration.
    const double rate = 0.1 * (t + 1);
    int32_t itold = 0, m = 1, itpred = 0;
    double tol = 1e-12, rmax = 1.0, pct = 0.0;
    for (int32_t it = 1; it <= 4; ++it) {
      double nrm = std::pow(10.0, -rate * it);
      C_CONVERGENCEPROGRESS(&it, &itold, &tol, &rmax, &nrm, &m, &itpred, &pct);
      itold = it;
#pragma omp barrier
    }
    pred[t] = itpred;
  }
  for (int t = 0; t < 8; ++t) {
    const double rate = 0.1 * (t + 1);
    // avgrate after four equal rates: rate * (1 - 2^-4).
    const double avg = rate * (1.0 - 1.0 / 16.0);
    const double q = std::min(1000.0, (12.0 - 4 * rate) / avg);
    EXPECT_EQ(pred[t], 4 + static_cast<int>(q + 0.5)) << "thread " << t;
  }
}

// A nested team's threads report numbers that the first team's size may not
// cover; the slot store grows for them instead of indexing past its end.
TEST(ProgressSlot, LargerTeamAfterFirstUse) {
  int32_t it = 1, itold = 0, m = 1, itpred = 0;
  double tol = 1e-6, rmax = 1.0, pct = 0.0, nrm = 0.5;
  C_CONVERGENCEPROGRESS(&it, &itold, &tol, &rmax, &nrm, &m, &itpred, &pct);
  const int big = omp_get_max_threads() + 5;
  std::vector<double*> slots(big, nullptr);
  int team = 0;
#pragma omp parallel num_threads(big)
  {
    slots[omp_get_thread_num()] = bk::progress_slot();
#pragma omp single
    team = omp_get_num_threads();
  }
  slots.resize(team);
  std::set<double*> distinct(slots.begin(), slots.end());
  EXPECT_EQ(team, big);
  EXPECT_EQ(distinct.size(), static_cast<size_t>(team));
  EXPECT_EQ(distinct.count(nullptr), 0u);
}

}  // namespace
