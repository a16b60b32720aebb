// The Matrix Market reader and writer of bksolve, on each kind of file and on
// the faults a file can have.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>

#include "matrix_market.hpp"

namespace {

using bksolve::complex;
using bksolve::MatrixMarketError;

const std::string kMM = "%%MatrixMarket ";

bksolve::MatrixMarket parse(const std::string& text) { return bksolve::parse_matrix_market(text, "t.mtx"); }

// The message of the MatrixMarketError that `f` throws ("" when none).
template <class F>
std::string error_of(F f) {
  try {
    f();
  } catch (const MatrixMarketError& e) {
    return e.what();
  }
  return "";
}

// Each kind expands into the full matrix: symmetric, skew (-a) and Hermitian
// (conj a) mirrors, the diagonal never mirrored, array files column-major with
// only the lower triangle of the symmetric kinds; duplicates are summed.
TEST(MatrixMarketRead, EveryKindExpandsToTheFullMatrix) {
  using At = std::tuple<int, int, complex>;  // 0-based position, expected value
  const std::vector<std::pair<std::string, std::vector<At>>> cases = {
      {"matrix coordinate real general\n% a comment\n%\n3 4 3\n1 1 2.5\n3 4 -1e-3\n2 1 7\n",
       {{0, 0, 2.5}, {2, 3, -1e-3}, {1, 0, 7}, {0, 1, 0}}},
      {"matrix coordinate integer symmetric\n2 2 2\n1 1 4\n2 1 -3\n", {{0, 0, 4}, {0, 1, -3}, {1, 0, -3}}},
      {"matrix coordinate real skew-symmetric\n3 3 1\n3 1 2\n", {{2, 0, 2}, {0, 2, -2}}},
      {"matrix coordinate complex hermitian\n2 2 2\n1 1 5 0\n2 1 1 2\n", {{0, 0, 5}, {1, 0, {1, 2}}, {0, 1, {1, -2}}}},
      {"matrix coordinate complex symmetric\n2 2 1\n2 1 1 2\n", {{0, 1, {1, 2}}}},
      {"matrix coordinate pattern symmetric\n2 2 1\n2 1\n", {{0, 1, 1}, {1, 0, 1}}},
      {"matrix coordinate real general\n1 1 3\n1 1 2\n1 1 1\n1 1 2\n", {{0, 0, 5}}},
      {"matrix array real symmetric\n3 3\n1\n2\n3\n4\n5\n6\n", {{2, 0, 3}, {0, 2, 3}, {1, 1, 4}, {2, 2, 6}}},
      {"matrix array real skew-symmetric\n3 3\n1\n2\n3\n", {{1, 0, 1}, {0, 1, -1}, {2, 1, 3}, {1, 2, -3}, {2, 2, 0}}},
      // Upper-case words, CRLF, tabs, blank and comment lines among the
      // entries, a leading '+', underflow read as zero, no final newline.
      {"MATRIX Coordinate Complex General\r\n\r\n% c\r\n  2\t2  2 \r\n1 1 +1.5 -2E+1\r\n\r\n% c\r\n2\t2\t.5\t1e-400",
       {{0, 0, {1.5, -20}}, {1, 1, 0.5}}}};
  for (const auto& [text, expect] : cases) {
    SCOPED_TRACE(text);
    const auto m = parse(kMM + text);
    const auto d = m.to_dense();
    for (const auto& [i, j, v] : expect) EXPECT_EQ(d[i + static_cast<size_t>(j) * m.rows], v) << i << "," << j;
  }
  const auto m = parse(kMM + cases[0].first);
  EXPECT_TRUE(m.rows == 3 && m.cols == 4 && m.stored == 3 && !m.is_square());
  // An array file as triplets: its nonzero entries only, each at its place.
  const auto k = parse(kMM + cases[8].first);
  std::vector<int> r, c;
  std::vector<complex> v;
  k.to_triplets(r, c, v);
  ASSERT_EQ(v.size(), 6u);
  for (size_t q = 0; q < v.size(); ++q) EXPECT_EQ(k.dense[r[q] + 3 * c[q]], v[q]) << q;
}

// Every fault is a MatrixMarketError naming the file and, where there is one, the line.
TEST(MatrixMarketRead, FaultsNameFileAndLine) {
  const std::string C = kMM + "matrix coordinate real general\n", A = kMM + "matrix array real general\n";
  const std::string E = C + "% c\n3 3 2\n";
  const std::pair<std::string, std::string> cases[] = {
      // Header
      {"", "t.mtx: empty file"},
      {"1 1 1\n1 1 1\n", "t.mtx:1: not a Matrix Market file"},
      {kMM + "matrix coordinate real\n1 1 0\n", "t.mtx:1: bad header"},
      {kMM + "vector coordinate real general\n1 1 0\n", "unsupported object"},
      {kMM + "matrix sparse real general\n1 1 0\n", "unknown format 'sparse'"},
      {kMM + "matrix coordinate quaternion general\n1 1 0\n", "unknown field"},
      {kMM + "matrix coordinate real upper\n1 1 0\n", "unknown symmetry"},
      {kMM + "matrix array pattern general\n1 1\n", "pattern"},
      // Size line
      {C + "% only comments\n", "t.mtx:2: unexpected end of file: the size line is missing"},
      {C + "3 3\n", "t.mtx:2: bad size line"},
      {A + "3 3 9\n", "t.mtx:2: bad size line"},
      {C + "-3 3 1\n", "negative"},
      {kMM + "matrix coordinate real symmetric\n3 2 1\n", "must be square"},
      {C + "3000000000 3 1\n", "too large"},
      // Entries
      {E + "1 1 1\n4 1 1\n", "t.mtx:5: row index 4 out of range 1..3"},
      {E + "1 0 1\n", "t.mtx:4: column index 0 out of range"},
      {E + "1 1 1\n2 2 nan\n", "t.mtx:5: value 'nan' is not a finite number"},
      {E + "1 1 1e400\n", "value '1e400' is not a finite number"},
      {E + "1 1 1.0x\n", "'1.0x' is not a number"},
      {E + "1 1\n", "t.mtx:4: expected 3 fields"},
      {E + "1 1 1 0\n", "t.mtx:4: expected 3 fields"},
      {E + "1.5 1 1\n", "row index '1.5' is not an integer"},
      {kMM + "matrix coordinate complex general\n2 2 1\n1 1 3\n", "expected 4 fields"},
      {kMM + "matrix coordinate real skew-symmetric\n2 2 1\n1 1 3\n", "no diagonal"},
      {kMM + "matrix coordinate complex hermitian\n2 2 1\n1 1 3 1\n", "must be real"},
      // Too few or too many entries, in both formats; a size line claiming far
      // more than the file holds fails cleanly.
      {C + "3 3 3\n1 1 1\n2 2 2\n", "after 2 of 3 entries (truncated file?)"},
      {C + "3 3 3\n1 1 1\n2 2 2\n3 3 3\n1 2 3\n", "t.mtx:6: more entries than the size line"},
      {A + "2 2\n1\n2\n3\n", "after 3 of 4 entries"},
      {A + "100000 100000\n1\n", "after 1 of 10000000000"}};
  for (const auto& [text, expect] : cases)
    EXPECT_NE(error_of([&] { parse(text); }).find(expect), std::string::npos) << text;
}

// Random damage to valid files (changed, deleted and inserted bytes, cut ends)
// ends in a sound parse or a MatrixMarketError, never in anything else.
TEST(MatrixMarketRead, DamagedFilesFailCleanly) {
  const std::string seeds[] = {
      kMM + "matrix coordinate complex hermitian\n% c\n4 4 4\n1 1 2 0\n2 1 1 -1\n4 3 0.5 2\n4 4 1e3 0\n",
      kMM + "matrix array real skew-symmetric\n3 3\n1.5\n-2\n3e-7\n",
      kMM + "matrix coordinate pattern symmetric\n5 5 3\n1 1\n5 2\n3 3\n"};
  const std::string alphabet = "0123456789 -+.eE%\n\tnaif#x";
  std::mt19937 gen(7);
  int parsed = 0, rejected = 0;
  for (const auto& seed : seeds)
    for (int trial = 0; trial < 1500; ++trial) {
      std::string t = seed;
      for (int e = 0, edits = 1 + static_cast<int>(gen() % 3); e < edits && !t.empty(); ++e) {
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
          ASSERT_TRUE(m.row_index[q] >= 0 && m.row_index[q] < m.rows && m.col_index[q] >= 0 &&
                      m.col_index[q] < m.cols && std::isfinite(std::abs(m.values[q])))
              << t;
        }
        ++parsed;
      } catch (const MatrixMarketError&) {
        ++rejected;
      }
    }
  EXPECT_GT(parsed, 0);
  EXPECT_GT(rejected, 0);
}

// Writing, atomic replacement and reading of real files, in a private directory.
class MatrixMarketFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("bk_mm_" + std::to_string(::getpid()) + "_" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  long files_in_dir() const { return std::distance(std::filesystem::directory_iterator(dir_), {}); }
  std::filesystem::path dir_;
};

TEST_F(MatrixMarketFiles, AtomicWriteRoundTripAndUnreadableFiles) {
  // 3 x 2 values stored with leading dimension 4: the fourth row is padding.
  const complex x[] = {{1.0 / 3.0, -0.0}, {1e-300, 2.5e300}, {-7, 0.1}, {99, 99},
                       {0, 0}, {3.14159, -2.71828}, {1, 1}, {99, 99}};
  // Control characters in a comment are escaped, so it stays one line.
  const std::string text = bksolve::format_matrix_market_array(3, 2, x, 4, {" by a\ntest\t\\\x01\x7f"});
  EXPECT_EQ(text.rfind("%%MatrixMarket matrix array complex general\n% by a\\ntest\\t\\\\\\x01\\x7f\n3 2\n", 0), 0u);
  bksolve::write_file_atomically(path("x.mtx"), "old");
  bksolve::write_file_atomically(path("x.mtx"), text);
  const auto m = bksolve::read_matrix_market(path("x.mtx"));
  ASSERT_TRUE(m.rows == 3 && m.cols == 2);
  for (int j = 0; j < 2; ++j)
    for (int i = 0; i < 3; ++i) EXPECT_EQ(m.dense[i + 3 * j], x[i + 4 * j]) << i << "," << j;
  // A write that cannot happen leaves the directory as it was.
  EXPECT_THROW(bksolve::write_file_atomically(path("missing/x.mtx"), "text"), std::runtime_error);
  EXPECT_THROW(bksolve::write_file_atomically(dir_.string(), "text"), std::runtime_error);
  EXPECT_EQ(files_in_dir(), 1);  // no temporary file left behind
  // Files that cannot be read are named, with no line number.
  std::ofstream(path("a.mtx.gz"), std::ios::binary) << "\x1f\x8b\x08\x00rest";
  for (const auto& [name, expect] : {std::pair<std::string, std::string>{"absent.mtx", "absent.mtx: cannot open"},
                                     {"", "/: is a directory"},
                                     {"a.mtx.gz", "a.mtx.gz: compressed (gzip)"}})
    EXPECT_NE(error_of([&] { bksolve::read_matrix_market(path(name)); }).find(expect), std::string::npos) << name;
}

}  // namespace
