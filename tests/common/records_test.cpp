// Message records: one line each, a blank first, the value on the same line
// (fatal ones, which end the process, are tested with HOUSE1 and PMVECT1).
#include <gtest/gtest.h>

#include <string>

#include "common/core.hpp"
#include "common/records.hpp"

namespace {

TEST(Records, OneLineEachWithLeadingBlank) {
  testing::internal::CaptureStdout();
  bk::record("ERROR IN NRM_SS:");
  bk::record("SP COL VECTOR WITH ZERO NORM...", 3);
  bk::record(">>CONDITION NO. OF [d_n] = [Vn]^T * [Vn] IS BAD:", 2.5e10);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            " ERROR IN NRM_SS:\n"
            " SP COL VECTOR WITH ZERO NORM...           3\n"
            " >>CONDITION NO. OF [d_n] = [Vn]^T * [Vn] IS BAD:   2.5000000000000000E+10\n");
}

TEST(ComplexDivision, ConjugateTimesReciprocal) {
  const bk::zc q = bk::zdiv(bk::zc(1, 2), bk::zc(3, -4));
  EXPECT_NEAR(q.real(), (1 * 3 + 2 * -4) / 25.0, 1e-16);
  EXPECT_NEAR(q.imag(), (2 * 3 - 1 * -4) / 25.0, 1e-16);
  const bk::zc inf = bk::zdiv(bk::zc(1, 0), bk::zc(0, 0));  // not finite, no trap
  EXPECT_FALSE(std::isfinite(inf.real()));
}

}  // namespace
