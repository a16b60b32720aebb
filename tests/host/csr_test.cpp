// The sparse matrix helper and the generated problems.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <thread>

#include "support/host_helpers.hpp"

namespace {

using blockkrylov::complex;
using blockkrylov::CsrMatrix;
namespace problems = blockkrylov::problems;
using host_test::dense;

// y = D x with D dense column-major n x n, x n x k.
std::vector<complex> dense_product(const std::vector<complex>& d, int n, int k,
                                   const std::vector<complex>& x, bool transpose) {
  std::vector<complex> y(static_cast<std::size_t>(n) * k);
  for (int c = 0; c < k; ++c)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        const complex a = transpose ? d[static_cast<std::size_t>(i) * n + j]
                                    : d[static_cast<std::size_t>(j) * n + i];
        y[static_cast<std::size_t>(c) * n + i] += a * x[static_cast<std::size_t>(c) * n + j];
      }
  return y;
}

void expect_close(const std::vector<complex>& a, const std::vector<complex>& b, double tol) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_LE(std::abs(a[i] - b[i]), tol) << "at " << i;
}

TEST(CsrMatrix, FromTripletsSortsAndSumsDuplicates) {
  // Entries given out of order, with (1, 0) three times and an explicit zero.
  const CsrMatrix a = CsrMatrix::from_triplets(
      3, {1, 0, 1, 2, 1, 1, 0}, {0, 2, 2, 1, 0, 0, 0},
      {{1, 0}, {2, 0}, {3, 1}, {0, 0}, {10, 0}, {0, 100}, {-4, 0}});
  EXPECT_EQ(a.n, 3);
  EXPECT_EQ(a.nnz(), 5);
  EXPECT_EQ(a.rowptr, (std::vector<std::int64_t>{0, 2, 4, 5}));
  EXPECT_EQ(a.col, (std::vector<int>{0, 2, 0, 2, 1}));
  EXPECT_EQ(a.val[0], complex(-4, 0));
  EXPECT_EQ(a.val[2], complex(11, 100));  // duplicates summed
  EXPECT_EQ(a.val[4], complex(0, 0));     // explicit zeros are kept

  const CsrMatrix empty = CsrMatrix::from_triplets(0, {}, {}, {});
  EXPECT_EQ(empty.nnz(), 0);
  EXPECT_EQ(empty.rowptr.size(), 1u);
}

TEST(CsrMatrix, FromTripletsRejectsBadInput) {
  EXPECT_THROW(CsrMatrix::from_triplets(2, {0, 2}, {0, 0}, {1.0, 1.0}), std::invalid_argument);
  EXPECT_THROW(CsrMatrix::from_triplets(2, {0}, {-1}, {1.0}), std::invalid_argument);
  EXPECT_THROW(CsrMatrix::from_triplets(2, {0, 1}, {0}, {1.0, 1.0}), std::invalid_argument);
  EXPECT_THROW(CsrMatrix::from_triplets(-1, {}, {}, {}), std::invalid_argument);
}

// Both products against the dense matrix, on a matrix large enough for the
// threaded path and with a ragged pattern (random_sparse).
TEST(CsrMatrix, ProductsMatchDense) {
  for (int n : {7, 2500}) {
    const CsrMatrix a = problems::random_sparse(n, 6, 3, 1.5);
    const int k = 3;
    const auto x = host_test::random_block(n, k, 11);
    std::vector<complex> y(x.size()), yt(x.size());
    a.multiply(k, x.data(), y.data());
    a.multiply_transpose(k, x.data(), yt.data());
    if (n <= 7) {
      const auto d = dense(a);
      expect_close(y, dense_product(d, n, k, x, false), 1e-13);
      expect_close(yt, dense_product(d, n, k, x, true), 1e-13);
    } else {
      // x^T (A z) = (A^T x)^T z for a random z: a cheap check at this size.
      const auto z = host_test::random_block(n, 1, 5);
      std::vector<complex> az(n);
      a.multiply(1, z.data(), az.data());
      for (int c = 0; c < k; ++c) {
        complex lhs = 0.0, rhs = 0.0;
        for (int i = 0; i < n; ++i) {
          lhs += x[c * n + i] * az[i];
          rhs += yt[c * n + i] * z[i];
        }
        EXPECT_LE(std::abs(lhs - rhs), 1e-10 * std::abs(lhs));
      }
    }
  }
}

TEST(CsrMatrix, TransposeSeesValueChangesAndCopiesAreIndependent) {
  CsrMatrix a = CsrMatrix::from_triplets(2, {0, 1}, {1, 0}, {complex(2, 0), complex(3, 0)});
  const std::vector<complex> e0 = {1.0, 0.0};
  std::vector<complex> y(2);
  a.multiply_transpose(1, e0.data(), y.data());
  EXPECT_EQ(y[1], complex(2, 0));
  a.val[0] = complex(5, 1);  // in-place change after the pattern was built
  a.multiply_transpose(1, e0.data(), y.data());
  EXPECT_EQ(y[1], complex(5, 1));

  CsrMatrix b = a;  // a different pattern of the same order in the copy
  b = CsrMatrix::from_triplets(2, {0, 1, 1}, {0, 0, 1}, {1.0, 7.0, 1.0});
  b.multiply_transpose(1, e0.data(), y.data());
  EXPECT_EQ(y[0], complex(1, 0));
  EXPECT_EQ(y[1], complex(0, 0));
  a.multiply_transpose(1, e0.data(), y.data());
  EXPECT_EQ(y[1], complex(5, 1));
}

TEST(CsrMatrix, ConcurrentTransposeProductsAgree) {
  const CsrMatrix a = problems::convection_diffusion_2d(30, 30, 15.0, {0.5, 0.5});
  const auto x = host_test::random_block(a.n, 2, 4);
  std::vector<complex> ref(x.size());
  CsrMatrix(a).multiply_transpose(2, x.data(), ref.data());
  std::vector<std::vector<complex>> out(4, std::vector<complex>(x.size()));
  std::vector<std::thread> threads;
  for (auto& o : out) threads.emplace_back([&a, &x, &o] { a.multiply_transpose(2, x.data(), o.data()); });
  for (auto& t : threads) t.join();
  for (const auto& o : out) EXPECT_EQ(o, ref);
}

TEST(CsrMatrix, IsSymmetricIsExactAndPlain) {
  EXPECT_TRUE(problems::helmholtz_2d(6, 5, 10.0, 0.1).is_symmetric());
  EXPECT_FALSE(problems::convection_diffusion_2d(6, 5, 1.0, {0.0, 1.0}).is_symmetric());
  EXPECT_TRUE(problems::convection_diffusion_2d(6, 5, 0.0, {0.0, 1.0}).is_symmetric());
  // Hermitian but not symmetric: conjugation does not count.
  EXPECT_FALSE(CsrMatrix::from_triplets(2, {0, 1}, {1, 0}, {complex(0, 1), complex(0, -1)})
                   .is_symmetric());
  // A stored zero whose mirror is missing is still symmetric.
  EXPECT_TRUE(CsrMatrix::from_triplets(2, {0, 0, 1}, {0, 1, 1}, {1.0, 0.0, 2.0}).is_symmetric());
  EXPECT_FALSE(CsrMatrix::from_triplets(2, {0, 0, 1}, {0, 1, 1}, {1.0, 1e-300, 2.0}).is_symmetric());
}

// Entries of the two grid operators at the centre of a small grid.
TEST(Problems, GridStencils) {
  const int nx = 3, ny = 3, n = 9, i = 4;  // h = 1/4, centre point
  const double c = 16.0;                   // 1/h^2
  const auto h = dense(problems::helmholtz_2d(nx, ny, 5.0, 0.2));
  EXPECT_NEAR(std::abs(h[i * n + i] - complex(4 * c - 25.0, -25.0 * 0.2)), 0, 1e-12);
  EXPECT_NEAR(std::abs(h[(i + 1) * n + i] - complex(-c, 0)), 0, 1e-12);
  EXPECT_NEAR(std::abs(h[(i - nx) * n + i] - complex(-c, 0)), 0, 1e-12);
  EXPECT_EQ(problems::helmholtz_2d(4, 3, 1.0, 0.0).nnz(), 5 * 12 - 2 * 4 - 2 * 3);

  const auto d = dense(problems::convection_diffusion_2d(nx, ny, 8.0, {1.0, 2.0}));
  const double b = 8.0 / (2 * 0.25);  // peclet/(2h)
  EXPECT_EQ(d[i * n + i], complex(4 * c + 1.0, 2.0));
  EXPECT_EQ(d[(i + 1) * n + i], complex(-c + b, 0));
  EXPECT_EQ(d[(i - 1) * n + i], complex(-c - b, 0));
  EXPECT_EQ(d[(i + nx) * n + i], complex(-c + b, 0));
  EXPECT_EQ(d[(i - nx) * n + i], complex(-c - b, 0));
}

TEST(Problems, RandomSparseIsDeterministicAndDominant) {
  const CsrMatrix a = problems::random_sparse(300, 5, 42, 1.2);
  const CsrMatrix b = problems::random_sparse(300, 5, 42, 1.2);
  const CsrMatrix c = problems::random_sparse(300, 5, 43, 1.2);
  EXPECT_EQ(a.col, b.col);
  EXPECT_EQ(a.val, b.val);
  EXPECT_NE(a.val, c.val);
  EXPECT_EQ(a.nnz(), 300 * 6);
  EXPECT_FALSE(a.is_symmetric());
  for (int i = 0; i < a.n; ++i) {
    double off = 0.0, diag = 0.0;
    for (std::int64_t p = a.rowptr[i]; p < a.rowptr[i + 1]; ++p)
      (a.col[p] == i ? diag : off) += std::abs(a.val[p]);
    EXPECT_NEAR(diag, 1.2 * off, 1e-12 * diag);
  }
  // per_row larger than n - 1 gives full rows.
  EXPECT_EQ(problems::random_sparse(4, 10, 1, 2.0).nnz(), 16);
  EXPECT_THROW(problems::random_sparse(4, 1, 1, 0.0), std::invalid_argument);
}

TEST(Problems, PointSourcesAreDistinctUnitVectors) {
  for (auto [nx, ny, s] : {std::tuple{20, 20, 8}, std::tuple{3, 2, 6}, std::tuple{10, 1, 4},
                           std::tuple{5, 5, 1}}) {
    const int n = nx * ny;
    const auto b = problems::point_sources(nx, ny, s);
    ASSERT_EQ(b.size(), static_cast<std::size_t>(n) * s);
    std::set<int> where;
    for (int j = 0; j < s; ++j) {
      int ones = 0;
      for (int i = 0; i < n; ++i) {
        if (b[j * n + i] == complex(1.0)) { ++ones; where.insert(i); }
        else EXPECT_EQ(b[j * n + i], complex(0.0));
      }
      EXPECT_EQ(ones, 1);
    }
    EXPECT_EQ(static_cast<int>(where.size()), s) << nx << "x" << ny << " s=" << s;
  }
  EXPECT_THROW(problems::point_sources(2, 2, 5), std::invalid_argument);
}

}  // namespace
