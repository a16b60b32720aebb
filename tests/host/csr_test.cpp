// The sparse matrix helper and the generated problems.
#include <set>
#include <stdexcept>
#include <thread>

#include "support/host_helpers.hpp"

namespace {

using namespace host_test;

TEST(CsrMatrix, FromTripletsSortsAndSumsDuplicates) {
  // Entries given out of order, with (1, 0) three times and an explicit zero.
  const CsrMatrix a = CsrMatrix::from_triplets(
      3, {1, 0, 1, 2, 1, 1, 0}, {0, 2, 2, 1, 0, 0, 0},
      {{1, 0}, {2, 0}, {3, 1}, {0, 0}, {10, 0}, {0, 100}, {-4, 0}});
  EXPECT_EQ(a.rowptr, (std::vector<std::int64_t>{0, 2, 4, 5}));
  EXPECT_EQ(a.col, (std::vector<int>{0, 2, 0, 2, 1}));
  EXPECT_EQ(a.val[0], complex(-4, 0));
  EXPECT_EQ(a.val[2], complex(11, 100));  // duplicates summed
  EXPECT_EQ(a.val[4], complex(0, 0));     // explicit zeros are kept
  EXPECT_EQ(CsrMatrix::from_triplets(0, {}, {}, {}).rowptr.size(), 1u);

  EXPECT_THROW(CsrMatrix::from_triplets(2, {0, 2}, {0, 0}, {1.0, 1.0}), std::invalid_argument);
  EXPECT_THROW(CsrMatrix::from_triplets(2, {0}, {-1}, {1.0}), std::invalid_argument);
  EXPECT_THROW(CsrMatrix::from_triplets(2, {0, 1}, {0}, {1.0, 1.0}), std::invalid_argument);
  EXPECT_THROW(CsrMatrix::from_triplets(-1, {}, {}, {}), std::invalid_argument);
}

// A X against a dense product on a small ragged pattern; then, where block
// products run threaded (nnz k > 10^5), A X against one-column (unthreaded)
// products, and A^T X against the product with A^T built from swapped triplets.
TEST(CsrMatrix, ProductsMatchReferences) {
  const CsrMatrix s = examples::random_sparse(9, 3, 3, 1.5);
  const auto d = dense(s), x = random_block(9, 2, 11);
  Block y(x.size());
  s.multiply(2, x.data(), y.data());
  for (int i = 0; i < 18; ++i) {
    complex r = 0.0;
    for (int j = 0; j < 9; ++j) r += d[j * 9 + i % 9] * x[i / 9 * 9 + j];
    EXPECT_LE(std::abs(y[i] - r), 1e-13);
  }
  const CsrMatrix a = examples::random_sparse(3000, 6, 3, 1.5);
  const int n = a.n, k = 6;
  std::vector<int> rows, cols;
  for (int i = 0; i < n; ++i)
    for (std::int64_t p = a.rowptr[i]; p < a.rowptr[i + 1]; ++p)
      rows.push_back(a.col[p]), cols.push_back(i);
  const CsrMatrix at = CsrMatrix::from_triplets(n, rows, cols, a.val);
  const auto xb = random_block(n, k, 12);
  Block yb(xb.size()), ytb(xb.size()), y1(xb.size()), yt1(xb.size());
  a.multiply(k, xb.data(), yb.data());
  a.multiply_transpose(k, xb.data(), ytb.data());
  for (int c = 0; c < k; ++c)
    a.multiply(1, &xb[c * n], &y1[c * n]), at.multiply(1, &xb[c * n], &yt1[c * n]);
  EXPECT_EQ(yb, y1);
  EXPECT_EQ(ytb, yt1);
}

// The kept transpose pattern follows value changes; a copy (constructed or
// assigned) does not share it, so the copy's pattern may change in place,
// with the same n and nnz, before its first transpose product; threads racing
// to build it all get the right product.
TEST(CsrMatrix, KeptTransposePattern) {
  CsrMatrix a = CsrMatrix::from_triplets(2, {0, 1}, {1, 0}, {complex(2, 0), complex(3, 0)});
  const Block e0 = {1.0, 0.0};
  Block y(2);
  a.multiply_transpose(1, e0.data(), y.data());  // row 1 of A
  EXPECT_EQ(y, (Block{0.0, 2.0}));
  a.val[0] = complex(5, 1);  // in-place change after the pattern was built
  a.multiply_transpose(1, e0.data(), y.data());
  EXPECT_EQ(y, (Block{0.0, complex(5, 1)}));
  CsrMatrix b = a, c;
  c = a;
  for (CsrMatrix* m : {&b, &c}) {
    m->col = {0, 1};  // now diagonal
    m->multiply_transpose(1, e0.data(), y.data());
    EXPECT_EQ(y, (Block{complex(5, 1), 0.0}));
  }
  a.multiply_transpose(1, e0.data(), y.data());
  EXPECT_EQ(y, (Block{0.0, complex(5, 1)}));

  const CsrMatrix g = examples::convection_diffusion_2d(30, 30, 15.0, {0.5, 0.5});
  const auto x = random_block(g.n, 2, 4);
  Block ref(x.size());
  CsrMatrix(g).multiply_transpose(2, x.data(), ref.data());
  std::vector<Block> out(4, Block(x.size()));
  std::vector<std::thread> threads;
  for (auto& o : out)
    threads.emplace_back([&g, &x, &o] { g.multiply_transpose(2, x.data(), o.data()); });
  for (auto& t : threads) t.join();
  for (const auto& o : out) EXPECT_EQ(o, ref);
}

TEST(CsrMatrix, IsSymmetricIsExactAndPlain) {
  EXPECT_TRUE(examples::helmholtz_2d(6, 5, 10.0, 0.1).is_symmetric());
  EXPECT_FALSE(examples::convection_diffusion_2d(6, 5, 1.0, {0.0, 1.0}).is_symmetric());
  // Hermitian but not symmetric: conjugation does not count.
  EXPECT_FALSE(CsrMatrix::from_triplets(2, {0, 1}, {1, 0}, {complex(0, 1), complex(0, -1)})
                   .is_symmetric());
  // A stored zero whose mirror is missing is still symmetric; a tiny value is not.
  EXPECT_TRUE(CsrMatrix::from_triplets(2, {0, 0, 1}, {0, 1, 1}, {1.0, 0.0, 2.0}).is_symmetric());
  EXPECT_FALSE(CsrMatrix::from_triplets(2, {0, 0, 1}, {0, 1, 1}, {1.0, 1e-300, 2.0}).is_symmetric());
}

// Entries of the two grid operators at the centre of a small grid.
TEST(Problems, GridStencils) {
  const int nx = 3, n = 9, i = 4;  // h = 1/4, centre point
  const double c = 16.0;           // 1/h^2
  const auto h = dense(examples::helmholtz_2d(nx, nx, 5.0, 0.2));
  EXPECT_NEAR(std::abs(h[i * n + i] - complex(4 * c - 25.0, -25.0 * 0.2)), 0, 1e-12);
  EXPECT_NEAR(std::abs(h[(i + 1) * n + i] - complex(-c, 0)), 0, 1e-12);
  EXPECT_NEAR(std::abs(h[(i - nx) * n + i] - complex(-c, 0)), 0, 1e-12);
  EXPECT_EQ(examples::helmholtz_2d(4, 3, 1.0, 0.0).nnz(), 5 * 12 - 2 * 4 - 2 * 3);

  const auto d = dense(examples::convection_diffusion_2d(nx, nx, 8.0, {1.0, 2.0}));
  const double b = 8.0 / (2 * 0.25);  // peclet/(2h)
  for (auto [j, v] : {std::pair{i, complex(4 * c + 1.0, 2.0)}, {i + 1, -c + b}, {i - 1, -c - b},
                      {i + nx, -c + b}, {i - nx, -c - b}})
    EXPECT_EQ(d[j * n + i], v) << "column " << j;
}

TEST(Problems, RandomSparseIsDeterministicAndDominant) {
  const CsrMatrix a = examples::random_sparse(300, 5, 42, 1.2);
  EXPECT_EQ(a.val, examples::random_sparse(300, 5, 42, 1.2).val);
  EXPECT_NE(a.val, examples::random_sparse(300, 5, 43, 1.2).val);
  EXPECT_EQ(a.nnz(), 300 * 6);
  for (int i = 0; i < a.n; ++i) {
    double off = 0.0, diag = 0.0;
    for (std::int64_t p = a.rowptr[i]; p < a.rowptr[i + 1]; ++p)
      (a.col[p] == i ? diag : off) += std::abs(a.val[p]);
    EXPECT_NEAR(diag, 1.2 * off, 1e-12 * diag);
  }
  EXPECT_EQ(examples::random_sparse(4, 10, 1, 2.0).nnz(), 16);  // per_row beyond n - 1: full rows
  EXPECT_THROW(examples::random_sparse(4, 1, 1, 0.0), std::invalid_argument);
}

// Every entry 0 or 1, one 1 in each column, in s distinct rows.
TEST(Problems, PointSourcesAreDistinctUnitVectors) {
  for (auto [nx, ny, s] : {std::tuple{20, 20, 8}, std::tuple{3, 2, 6}, std::tuple{10, 1, 4},
                           std::tuple{5, 5, 1}}) {
    const auto b = examples::point_sources(nx, ny, s);
    const std::size_t n = nx * ny, ones = std::count(b.begin(), b.end(), complex(1.0));
    std::set<std::size_t> rows, columns;
    for (std::size_t p = 0; p < b.size(); ++p)
      if (b[p] == complex(1.0)) rows.insert(p % n), columns.insert(p / n);
    EXPECT_EQ(b.size(), n * s);
    EXPECT_EQ(std::count(b.begin(), b.end(), complex(0.0)) + ones, b.size());
    EXPECT_EQ(ones, static_cast<std::size_t>(s));
    EXPECT_TRUE(rows.size() == ones && columns.size() == ones) << nx << "x" << ny;
  }
  EXPECT_THROW(examples::point_sources(2, 2, 5), std::invalid_argument);
}

}  // namespace
