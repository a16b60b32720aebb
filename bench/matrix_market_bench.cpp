// Reading Matrix Market files with the bksolve reader: a 5-point grid matrix
// with about 3.2 million entries (800 x 800 grid, values written with 17
// significant digits) as a real general coordinate file (about 110 MB), and
// the same matrix as a complex symmetric file holding the lower triangle
// (about 80 MB, mirrored on reading). Measured from a file (through the page
// cache: the whole file is read, then parsed) and, for the first, from memory
// (parsing alone). Items are entries after expansion, bytes those of the file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "matrix_market.hpp"

namespace {

constexpr int kGrid = 800;

// The text of the file; `complex_symmetric` stores only the lower triangle
// with an imaginary part on the diagonal.
std::string grid_file(bool complex_symmetric) {
  const int g = kGrid, n = g * g;
  std::string body;
  long entries = 0;
  char line[96];
  auto add = [&](int i, int j, double re, double im) {
    const int len = complex_symmetric ? std::snprintf(line, sizeof line, "%d %d %.17g %.17g\n", i + 1, j + 1, re, im)
                                      : std::snprintf(line, sizeof line, "%d %d %.17g\n", i + 1, j + 1, re);
    body.append(line, static_cast<size_t>(len));
    ++entries;
  };
  for (int i = 0; i < n; ++i) {
    const int x = i % g, y = i / g;
    add(i, i, 4.0 + 1e-7 * i / 3.0, 0.1 / 7.0);
    if (x > 0) add(i, i - 1, -1.0 / 3.0 - 1e-9 * i, 0.0);
    if (y > 0) add(i, i - g, -1.0 / 7.0, 0.0);
    if (complex_symmetric) continue;
    if (x < g - 1) add(i, i + 1, -1.0 / 3.0 - 1e-9 * (i + 1), 0.0);
    if (y < g - 1) add(i, i + g, -1.0 / 7.0, 0.0);
  }
  return std::string("%%MatrixMarket matrix coordinate ") + (complex_symmetric ? "complex symmetric" : "real general") +
         "\n% 5-point grid matrix for the reader benchmark\n" + std::to_string(n) + " " + std::to_string(n) + " " +
         std::to_string(entries) + "\n" + body;
}

// The file text and a copy on disk, made once per kind and removed at exit.
struct GridFile {
  explicit GridFile(bool complex_symmetric)
      : text(grid_file(complex_symmetric)),
        path((std::filesystem::temp_directory_path() /
              ("bk_mm_bench_" + std::to_string(::getpid()) + (complex_symmetric ? "_cs.mtx" : "_rg.mtx")))
                 .string()) {
    std::ofstream(path, std::ios::binary) << text;
  }
  ~GridFile() { std::filesystem::remove(path); }
  std::string text, path;
};

const GridFile& grid(bool complex_symmetric) {
  if (complex_symmetric) {
    static const GridFile f(true);
    return f;
  }
  static const GridFile f(false);
  return f;
}

void BM_ReadMatrixMarket(benchmark::State& state, bool complex_symmetric, bool from_file) {
  const GridFile& f = grid(complex_symmetric);
  size_t entries = 0;
  for (auto _ : state) {
    const bksolve::MatrixMarket m =
        from_file ? bksolve::read_matrix_market(f.path) : bksolve::parse_matrix_market(f.text, "grid.mtx");
    entries = m.values.size();
    benchmark::DoNotOptimize(m.values.data());
  }
  if (entries != 5u * kGrid * kGrid - 4u * kGrid) state.SkipWithError("wrong number of entries read");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * entries));  // entries after expansion
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.text.size()));
  state.counters["MB"] = static_cast<double>(f.text.size()) / 1e6;
}

BENCHMARK_CAPTURE(BM_ReadMatrixMarket, real_general_file, false, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadMatrixMarket, real_general_memory, false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadMatrixMarket, complex_symmetric_file, true, true)->Unit(benchmark::kMillisecond);

}  // namespace
