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

TEST(ColBlockNorms, ReadsOnlyRowsOneToN) {
  // ldx = 4, n = 2: rows 3 and 4 hold huge values that must not be read.
  std::vector<zc> x = {{3, 4}, {0, 0}, {1e300, 0}, {1e300, 0},
                       {1, 0}, {0, -1}, {1e300, 0}, {kNaN, 0}};
  int32_t ldx = 4, n = 2, s = 2;
  double nrm[2] = {0, 0};
  C_COLBLOCKNORMS(x.data(), &ldx, &n, &s, nrm);
  EXPECT_DOUBLE_EQ(nrm[0], 5.0);
  EXPECT_DOUBLE_EQ(nrm[1], std::sqrt(2.0));
}

TEST(ColBlockNorms, NoColumnsWritesNothing) {
  zc x[1] = {{1, 1}};
  double nrm[1] = {-7.0};
  int32_t ldx = 1, n = 1;
  for (int32_t s : {0, -3}) {
    C_COLBLOCKNORMS(x, &ldx, &n, &s, nrm);
    EXPECT_EQ(nrm[0], -7.0);
  }
}

struct Progress {
  int32_t it = 0, itold = 0, m = 0, itpred = -5;
  double tol = 0, rmax = 0, pct = -5;
  int32_t call(std::vector<double> nrm) {
    m = static_cast<int32_t>(nrm.size());
    return C_CONVERGENCEPROGRESS(&it, &itold, &tol, &rmax, nrm.data(), &m, &itpred, &pct);
  }
};

TEST(ConvergenceProgress, FirstCallPrediction) {
  Progress p;
  p.it = 10;
  p.tol = 1e-6;
  p.rmax = 1.0;
  EXPECT_EQ(p.call({0.05, 0.1, 0.01}), 0);
  EXPECT_EQ(p.itpred, 110);  // rate 0.1, avgrate 0.05, q = 5 / 0.05 = 100
  EXPECT_NEAR(p.pct, 1000.0 / 110.0, 1e-12);
  EXPECT_EQ(p.rmax, 0.1);
}

TEST(ConvergenceProgress, AllConvergedAndEmpty) {
  Progress p;
  p.it = 7;
  p.itold = 3;
  p.tol = 1e-3;
  p.rmax = 1.0;
  EXPECT_EQ(p.call({1e-4, 1e-3}), 1);  // equality counts as converged
  EXPECT_EQ(p.pct, 100.0);
  EXPECT_EQ(p.itpred, 7);
  EXPECT_EQ(p.rmax, 1e-3);

  Progress e;
  e.it = 4;
  e.rmax = 9.0;
  EXPECT_EQ(e.call({}), 1);
  EXPECT_EQ(e.pct, 100.0);
  EXPECT_EQ(e.itpred, 4);
  EXPECT_EQ(e.rmax, 0.0);
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

  Progress first;  // growth on the very first call: pct reset to 0
  first.it = 1;
  first.tol = 1e-8;
  first.rmax = 1.0;
  EXPECT_EQ(first.call({2.0}), 0);
  EXPECT_EQ(first.pct, 0.0);
  EXPECT_EQ(first.itpred, -5);
}

TEST(ConvergenceProgress, SlowRateIsCappedAtThousand) {
  Progress p;
  p.it = 1;
  p.tol = 1e-300;
  p.rmax = 1.0;
  p.call({0.999999});
  EXPECT_EQ(p.itpred, 1001);
  p.tol = 0.0;  // tol = 0 makes the quotient infinite: capped too
  p.itold = 1;
  p.it = 2;
  p.call({0.999});
  EXPECT_EQ(p.itpred, 1002);
}

TEST(ConvergenceProgress, NaNEntriesAreIgnored) {
  Progress p;
  p.it = 10;
  p.tol = 1e-6;
  p.rmax = 1.0;
  EXPECT_EQ(p.call({kNaN, 0.1, kNaN}), 0);
  EXPECT_EQ(p.itpred, 110);
  EXPECT_EQ(p.rmax, 0.1);
  Progress q;
  q.tol = 1e-6;
  EXPECT_EQ(q.call({kNaN, 1e-9}), 1);  // a NaN alone does not block convergence
  EXPECT_EQ(q.rmax, 1e-9);
}

TEST(ConvergenceProgress, SameIterationTwicePredictsOneMore) {
  Progress p;
  p.it = 5;
  p.itold = 5;
  p.tol = 1e-6;
  p.rmax = 1.0;
  p.call({0.1});  // rate infinite
  EXPECT_EQ(p.itpred, 6);
}

}  // namespace
