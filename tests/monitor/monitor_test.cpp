// Column norms and the convergence-progress estimate.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "blockkrylov.h"

namespace {

using zc = std::complex<double>;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// ldx = 4, n = 2: rows 3 and 4 hold values that must not be read; no
// columns (s = 0 or negative) writes nothing.
TEST(ColBlockNorms, ReadsOnlyRowsOneToNAndNoColumnsWritesNothing) {
  std::vector<zc> x = {{3, 4}, {0, 0}, {1e300, 0}, {1e300, 0}, {1, 0}, {0, -1}, {1e300, 0}, {kNaN, 0}};
  int32_t ldx = 4, n = 2, s = 2;
  double nrm[2] = {0, 0};
  C_COLBLOCKNORMS(x.data(), &ldx, &n, &s, nrm);
  EXPECT_DOUBLE_EQ(nrm[0], 5.0);
  EXPECT_DOUBLE_EQ(nrm[1], std::sqrt(2.0));
  for (int32_t none : {0, -3}) {
    nrm[0] = -7.0;
    C_COLBLOCKNORMS(x.data(), &ldx, &n, &none, nrm);
    EXPECT_EQ(nrm[0], -7.0);
  }
}

struct Progress {
  int32_t it = 0, itold = 0, itpred = -5;
  double tol = 0, rmax = 0, pct = -5;
  int32_t call(std::vector<double> nrm) {
    int32_t m = static_cast<int32_t>(nrm.size());
    return C_CONVERGENCEPROGRESS(&it, &itold, &tol, &rmax, nrm.data(), &m, &itpred, &pct);
  }
};

// One call from a given state: its result, prediction, percentage and rmax.
TEST(ConvergenceProgress, SingleCalls) {
  struct Case {
    const char* what;
    int32_t it, itold;
    double tol, rmax;
    std::vector<double> nrm;
    int32_t result, itpred;
    double pct, rmax_out;
  } cases[] = {
      // rate 0.1, avgrate 0.05, q = 5 / 0.05 = 100
      {"first call", 10, 0, 1e-6, 1.0, {0.05, 0.1, 0.01}, 0, 110, 1000.0 / 110.0, 0.1},
      {"NaN entries ignored", 10, 0, 1e-6, 1.0, {kNaN, 0.1, kNaN}, 0, 110, 1000.0 / 110.0, 0.1},
      {"equality converges", 7, 3, 1e-3, 1.0, {1e-4, 1e-3}, 1, 7, 100.0, 1e-3},
      {"no columns", 4, 0, 0.0, 9.0, {}, 1, 4, 100.0, 0.0},
      {"a NaN alone does not block", 0, 0, 1e-6, 0.0, {kNaN, 1e-9}, 1, 0, 100.0, 1e-9},
      {"same iteration twice: rate infinite", 5, 5, 1e-6, 1.0, {0.1}, 0, 6, 500.0 / 6.0, 0.1},
      {"slow rate capped at 1000", 1, 0, 1e-300, 1.0, {0.999999}, 0, 1001, 100.0 / 1001.0, 0.999999},
      {"growth on the first call: pct 0", 1, 0, 1e-8, 1.0, {2.0}, 0, -5, 0.0, 2.0},
  };
  for (const Case& c : cases) {
    Progress p;
    p.it = c.it, p.itold = c.itold, p.tol = c.tol, p.rmax = c.rmax;
    EXPECT_EQ(p.call(c.nrm), c.result) << c.what;
    EXPECT_EQ(p.itpred, c.itpred) << c.what;
    EXPECT_NEAR(p.pct, c.pct, 1e-12) << c.what;
    EXPECT_EQ(p.rmax, c.rmax_out) << c.what;
  }
}

TEST(ConvergenceProgress, GrowingNormResetsAverageAndKeepsPrediction) {
  Progress p;
  p.tol = 1e-8;
  p.rmax = 1.0;
  p.it = 1;
  p.call({0.1});  // avgrate 0.5
  p.itold = 1;
  p.it = 2;
  p.call({0.01});  // avgrate 0.75, prediction made
  const int32_t pred = p.itpred;
  const double pct = p.pct;
  p.itold = 2;
  p.it = 3;
  EXPECT_EQ(p.call({0.5}), 0);  // grew: reset, prediction kept
  EXPECT_EQ(p.itpred, pred);
  EXPECT_EQ(p.pct, pct);
  EXPECT_EQ(p.rmax, 0.5);
  // After the reset the next rate enters halved: 1 digit over 1 iteration -> 0.5.
  p.itold = 3;
  p.it = 4;
  p.call({0.05});
  EXPECT_EQ(p.itpred, 4 + static_cast<int>(std::log10(0.05 / 1e-8) / 0.5 + 0.5));
  p.tol = 0.0;  // tol = 0 makes the quotient infinite: capped
  p.itold = 4;
  p.it = 5;
  p.call({0.049});
  EXPECT_EQ(p.itpred, 1005);
}

}  // namespace
