// The Matrix Market reader and writer of bksolve, on each kind of file and on
// the faults a file can have.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <fstream>
#include <string>

#include "matrix_market.hpp"

namespace {

using bksolve::complex;
using bksolve::MatrixMarket;
using bksolve::MatrixMarketError;
using bksolve::parse_matrix_market;

MatrixMarket parse(const std::string& text) { return parse_matrix_market(text, "t.mtx"); }

// The message of the error that parsing `text` throws ("" when none).
std::string error_of(const std::string& text) {
  try {
    parse(text);
  } catch (const MatrixMarketError& e) {
    return e.what();
  }
  return "";
}

complex dense_at(const MatrixMarket& m, int i, int j) {
  return m.to_dense()[static_cast<size_t>(i) + static_cast<size_t>(j) * m.rows];
}

TEST(MatrixMarketRead, CoordinateRealGeneral) {
  const auto m = parse(
      "%%MatrixMarket matrix coordinate real general\n"
      "% a comment\n"
      "%\n"
      "3 4 3\n"
      "1 1 2.5\n"
      "3 4 -1e-3\n"
      "2 1 7\n");
  EXPECT_EQ(m.format, bksolve::MmFormat::coordinate);
  EXPECT_EQ(m.rows, 3);
  EXPECT_EQ(m.cols, 4);
  EXPECT_EQ(m.stored, 3);
  ASSERT_EQ(m.values.size(), 3u);
  EXPECT_EQ(m.row_index[1], 2);
  EXPECT_EQ(m.col_index[1], 3);
  EXPECT_EQ(m.values[1], complex(-1e-3, 0));
  EXPECT_EQ(dense_at(m, 1, 0), complex(7, 0));
  EXPECT_FALSE(m.is_square());
}

TEST(MatrixMarketRead, SymmetriesAreExpanded) {
  const auto sym = parse(
      "%%MatrixMarket matrix coordinate integer symmetric\n"
      "2 2 2\n1 1 4\n2 1 -3\n");
  EXPECT_EQ(sym.values.size(), 3u);  // the diagonal is not mirrored
  EXPECT_EQ(dense_at(sym, 0, 1), complex(-3, 0));
  EXPECT_EQ(dense_at(sym, 1, 0), complex(-3, 0));

  const auto skew = parse(
      "%%MatrixMarket matrix coordinate real skew-symmetric\n"
      "3 3 1\n3 1 2\n");
  EXPECT_EQ(dense_at(skew, 2, 0), complex(2, 0));
  EXPECT_EQ(dense_at(skew, 0, 2), complex(-2, 0));

  const auto herm = parse(
      "%%MatrixMarket matrix coordinate complex hermitian\n"
      "2 2 2\n1 1 5 0\n2 1 1 2\n");
  EXPECT_EQ(dense_at(herm, 1, 0), complex(1, 2));
  EXPECT_EQ(dense_at(herm, 0, 1), complex(1, -2));

  const auto csym = parse(
      "%%MatrixMarket matrix coordinate complex symmetric\n"
      "2 2 1\n2 1 1 2\n");
  EXPECT_EQ(dense_at(csym, 0, 1), complex(1, 2));  // no conjugation

  const auto pattern = parse(
      "%%MatrixMarket matrix coordinate pattern symmetric\n"
      "2 2 1\n2 1\n");
  EXPECT_EQ(dense_at(pattern, 0, 1), complex(1, 0));
}

TEST(MatrixMarketRead, ArrayFilesAreColumnMajor) {
  const auto g = parse(
      "%%MatrixMarket matrix array complex general\n"
      "2 2\n1 0\n2 0\n3 -1\n4 1\n");
  EXPECT_EQ(g.format, bksolve::MmFormat::array);
  EXPECT_EQ(dense_at(g, 1, 0), complex(2, 0));
  EXPECT_EQ(dense_at(g, 0, 1), complex(3, -1));

  // Symmetric arrays store the lower triangle column by column.
  const auto s = parse(
      "%%MatrixMarket matrix array real symmetric\n"
      "3 3\n1\n2\n3\n4\n5\n6\n");
  EXPECT_EQ(dense_at(s, 2, 0), complex(3, 0));
  EXPECT_EQ(dense_at(s, 0, 2), complex(3, 0));
  EXPECT_EQ(dense_at(s, 1, 1), complex(4, 0));
  EXPECT_EQ(dense_at(s, 2, 2), complex(6, 0));

  // Skew arrays leave out the diagonal.
  const auto k = parse(
      "%%MatrixMarket matrix array real skew-symmetric\n"
      "3 3\n1\n2\n3\n");
  EXPECT_EQ(dense_at(k, 1, 0), complex(1, 0));
  EXPECT_EQ(dense_at(k, 0, 1), complex(-1, 0));
  EXPECT_EQ(dense_at(k, 2, 1), complex(3, 0));
  EXPECT_EQ(dense_at(k, 1, 2), complex(-3, 0));
  EXPECT_EQ(dense_at(k, 2, 2), complex(0, 0));

  std::vector<int> r, c;
  std::vector<complex> v;
  k.to_triplets(r, c, v);
  EXPECT_EQ(v.size(), 6u);  // the zero diagonal is not turned into entries
}

TEST(MatrixMarketRead, ToleratesLayoutVariants) {
  // Upper-case header words, CRLF endings, tabs, blank and comment lines
  // among the entries, a leading '+', no newline at the end.
  const auto m = parse(
      "%%MatrixMarket MATRIX Coordinate Complex General\r\n"
      "\r\n"
      "% comment\r\n"
      "  2\t2  2 \r\n"
      "1 1 +1.5 -2E+1\r\n"
      "\r\n"
      "% between entries\r\n"
      "2\t2\t.5\t1e-400");
  ASSERT_EQ(m.values.size(), 2u);
  EXPECT_EQ(m.values[0], complex(1.5, -20));
  EXPECT_EQ(m.values[1], complex(0.5, 0));  // underflow reads as zero, not as an error
  // Duplicates are summed by to_dense.
  const auto d = parse("%%MatrixMarket matrix coordinate real general\n1 1 2\n1 1 1\n1 1 2\n");
  EXPECT_EQ(dense_at(d, 0, 0), complex(3, 0));
}

TEST(MatrixMarketRead, HeaderFaults) {
  EXPECT_NE(error_of("").find("empty file"), std::string::npos);
  EXPECT_NE(error_of("1 1 1\n1 1 1\n").find("t.mtx:1: not a Matrix Market file"), std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate real\n1 1 0\n").find("t.mtx:1: bad header"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket vector coordinate real general\n1 1 0\n").find("unsupported object"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix sparse real general\n1 1 0\n").find("unknown format 'sparse'"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate quaternion general\n1 1 0\n").find("unknown field"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate real upper\n1 1 0\n").find("unknown symmetry"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix array pattern general\n1 1\n").find("pattern"), std::string::npos);
}

TEST(MatrixMarketRead, SizeLineFaults) {
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate real general\n% only comments\n")
                .find("t.mtx:2: unexpected end of file: the size line is missing"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate real general\n3 3\n").find("t.mtx:2: bad size line"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix array real general\n3 3 9\n").find("t.mtx:2: bad size line"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate real general\n3 x 1\n").find("not an integer"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate real general\n-3 3 1\n").find("negative"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate real symmetric\n3 2 1\n").find("must be square"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate real general\n3000000000 3 1\n").find("too large"),
            std::string::npos);
}

TEST(MatrixMarketRead, EntryFaultsNameTheLine) {
  const std::string head = "%%MatrixMarket matrix coordinate real general\n% c\n3 3 2\n";
  EXPECT_NE(error_of(head + "1 1 1\n4 1 1\n").find("t.mtx:5: row index 4 out of range 1..3"), std::string::npos);
  EXPECT_NE(error_of(head + "1 0 1\n").find("t.mtx:4: column index 0 out of range"), std::string::npos);
  EXPECT_NE(error_of(head + "1 1 nan\n").find("t.mtx:4: value 'nan' is not a finite number"), std::string::npos);
  EXPECT_NE(error_of(head + "1 1 1\n2 2 -inf\n").find("t.mtx:5:"), std::string::npos);
  EXPECT_NE(error_of(head + "1 1 1e400\n").find("not a finite number"), std::string::npos);
  EXPECT_NE(error_of(head + "1 1 abc\n").find("'abc' is not a number"), std::string::npos);
  EXPECT_NE(error_of(head + "1 1 1.0x\n").find("is not a number"), std::string::npos);
  EXPECT_NE(error_of(head + "1 1\n").find("t.mtx:4: expected 3 fields"), std::string::npos);
  EXPECT_NE(error_of(head + "1 1 1 0\n").find("t.mtx:4: expected 3 fields"), std::string::npos);
  EXPECT_NE(error_of(head + "1.5 1 1\n").find("row index '1.5' is not an integer"), std::string::npos);
  // Complex entries need both parts.
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate complex general\n2 2 1\n1 1 3\n").find("expected 4 fields"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate real skew-symmetric\n2 2 1\n1 1 3\n").find("no diagonal"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix coordinate complex hermitian\n2 2 1\n1 1 3 1\n").find("must be real"),
            std::string::npos);
}

TEST(MatrixMarketRead, TruncatedAndOverlongFiles) {
  const std::string head = "%%MatrixMarket matrix coordinate real general\n3 3 3\n";
  EXPECT_NE(error_of(head + "1 1 1\n2 2 2\n").find("after 2 of 3 entries (truncated file?)"), std::string::npos);
  EXPECT_NE(error_of(head + "1 1 1\n2 2 2\n3 3").find("t.mtx:5: expected 3 fields"), std::string::npos);
  EXPECT_NE(error_of(head + "1 1 1\n2 2 2\n3 3 3\n1 2 3\n").find("t.mtx:6: more entries than the size line"),
            std::string::npos);
  // Array files count their values the same way.
  EXPECT_NE(error_of("%%MatrixMarket matrix array real general\n2 2\n1\n2\n3\n").find("after 3 of 4 entries"),
            std::string::npos);
  EXPECT_NE(error_of("%%MatrixMarket matrix array real symmetric\n2 2\n1\n2\n3\n4\n").find("more entries"),
            std::string::npos);
  // A size line that claims far more than the file holds fails cleanly.
  EXPECT_NE(error_of("%%MatrixMarket matrix array real general\n100000 100000\n1\n").find("after 1 of 10000000000"),
            std::string::npos);
}

TEST(MatrixMarketRead, DamagedFilesFailCleanly) {
  // Random damage to valid files (changed, deleted and inserted bytes, cut
  // ends) must end in a parse or a MatrixMarketError, never in anything else.
  const std::vector<std::string> seeds = {
      "%%MatrixMarket matrix coordinate complex hermitian\n% c\n4 4 4\n1 1 2 0\n2 1 1 -1\n4 3 0.5 2\n4 4 1e3 0\n",
      "%%MatrixMarket matrix array real skew-symmetric\n3 3\n1.5\n-2\n3e-7\n",
      "%%MatrixMarket matrix coordinate pattern symmetric\n5 5 3\n1 1\n5 2\n3 3\n"};
  const std::string alphabet = "0123456789 -+.eE%\n\tnaif#x";
  std::mt19937 gen(7);
  int parsed = 0, rejected = 0;
  for (const auto& seed : seeds)
    for (int trial = 0; trial < 1500; ++trial) {
      std::string t = seed;
      const int edits = 1 + static_cast<int>(gen() % 3);
      for (int e = 0; e < edits && !t.empty(); ++e) {
        const size_t at = gen() % t.size();
        switch (gen() % 4) {
          case 0: t[at] = alphabet[gen() % alphabet.size()]; break;
          case 1: t.erase(at, 1); break;
          case 2: t.insert(at, 1, alphabet[gen() % alphabet.size()]); break;
          default: t.resize(at); break;
        }
      }
      try {
        const auto m = parse(t);
        for (size_t q = 0; q < m.values.size(); ++q) {
          ASSERT_TRUE(m.row_index[q] >= 0 && m.row_index[q] < m.rows) << t;
          ASSERT_TRUE(m.col_index[q] >= 0 && m.col_index[q] < m.cols) << t;
          ASSERT_TRUE(std::isfinite(m.values[q].real()) && std::isfinite(m.values[q].imag())) << t;
        }
        ++parsed;
      } catch (const MatrixMarketError&) {
        ++rejected;
      }
    }
  EXPECT_GT(parsed, 0);
  EXPECT_GT(rejected, 0);
}

class MatrixMarketFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("bk_mm_" + std::to_string(::getpid()) + "_" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  size_t files_in_dir() const {
    size_t k = 0;
    for (auto& e : std::filesystem::directory_iterator(dir_)) (void)e, ++k;
    return k;
  }
  std::filesystem::path dir_;
};

TEST_F(MatrixMarketFiles, WriterRoundTripsExactly) {
  const std::vector<complex> x = {{1.0 / 3.0, -0.0}, {1e-300, 2.5e300}, {-7, 0.1}, {0, 0}, {3.14159, -2.71828},
                                  {1, 1}};
  const std::string text = bksolve::format_matrix_market_array(3, 2, x.data(), 3, {" written by a test"});
  EXPECT_EQ(text.rfind("%%MatrixMarket matrix array complex general\n% written by a test\n3 2\n", 0), 0u);
  bksolve::write_file_atomically(path("x.mtx"), text);
  const auto m = bksolve::read_matrix_market(path("x.mtx"));
  ASSERT_EQ(m.rows, 3);
  ASSERT_EQ(m.cols, 2);
  for (size_t q = 0; q < x.size(); ++q) EXPECT_EQ(m.dense[q], x[q]) << q;
  EXPECT_EQ(files_in_dir(), 1u);  // no temporary file left behind
}

TEST_F(MatrixMarketFiles, WriterUsesLeadingDimension) {
  const std::vector<complex> x = {{1, 0}, {2, 0}, {99, 99}, {3, 0}, {4, 0}, {99, 99}};
  const auto m = parse_matrix_market(bksolve::format_matrix_market_array(2, 2, x.data(), 3), "x");
  EXPECT_EQ(m.dense, (std::vector<complex>{{1, 0}, {2, 0}, {3, 0}, {4, 0}}));
}

TEST_F(MatrixMarketFiles, AtomicWriteReplacesOrLeavesNothing) {
  bksolve::write_file_atomically(path("x.mtx"), "old");
  bksolve::write_file_atomically(path("x.mtx"), "new");
  std::ifstream in(path("x.mtx"));
  std::string got;
  in >> got;
  EXPECT_EQ(got, "new");
  EXPECT_THROW(bksolve::write_file_atomically(path("missing/x.mtx"), "text"), std::runtime_error);
  EXPECT_THROW(bksolve::write_file_atomically(dir_.string(), "text"), std::runtime_error);
  EXPECT_EQ(files_in_dir(), 1u);
  EXPECT_TRUE(bksolve::directory_writable(path("y.mtx")));
  EXPECT_FALSE(bksolve::directory_writable(path("missing/y.mtx")));
}

TEST_F(MatrixMarketFiles, UnreadableFilesAreReportedByName) {
  try {
    bksolve::read_matrix_market(path("absent.mtx"));
    FAIL() << "no error";
  } catch (const MatrixMarketError& e) {
    EXPECT_NE(std::string(e.what()).find("absent.mtx: cannot open"), std::string::npos);
    EXPECT_EQ(e.line(), 0);
  }
  EXPECT_THROW(bksolve::read_matrix_market(dir_.string()), MatrixMarketError);
  {
    std::ofstream gz(path("a.mtx.gz"), std::ios::binary);
    gz << "\x1f\x8b\x08\x00rest";
  }
  try {
    bksolve::read_matrix_market(path("a.mtx.gz"));
    FAIL() << "no error";
  } catch (const MatrixMarketError& e) {
    EXPECT_NE(std::string(e.what()).find("gzip"), std::string::npos);
  }
}

TEST_F(MatrixMarketFiles, LargeFileReadsQuickly) {
  // A 400 x 400 five-point stencil, about 800 000 entries as a general file:
  // the reader must take well under a second.
  const int g = 400, n = g * g;
  std::string text = "%%MatrixMarket matrix coordinate real general\n";
  std::string body;
  long nnz = 0;
  char line[64];
  for (int i = 0; i < n; ++i) {
    const int x = i % g, y = i / g;
    auto add = [&](int j, double v) {
      body.append(line, static_cast<size_t>(std::snprintf(line, sizeof line, "%d %d %.17g\n", i + 1, j + 1, v)));
      ++nnz;
    };
    add(i, 4.000000000000001);
    if (x > 0) add(i - 1, -1.0);
    if (x < g - 1) add(i + 1, -1.0);
    if (y > 0) add(i - g, -1.0);
    if (y < g - 1 && (i & 1)) add(i + g, -1.0);
  }
  text += std::to_string(n) + " " + std::to_string(n) + " " + std::to_string(nnz) + "\n" + body;
  {
    std::ofstream out(path("big.mtx"), std::ios::binary);
    out << text;
  }
  const auto t0 = std::chrono::steady_clock::now();
  const auto m = bksolve::read_matrix_market(path("big.mtx"));
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(static_cast<long>(m.values.size()), nnz);
  EXPECT_EQ(m.values[0], complex(4.000000000000001, 0));
  EXPECT_LT(secs, 2.0);
}

}  // namespace
