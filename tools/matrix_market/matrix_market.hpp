// Matrix Market files for bksolve: a reader for sparse (coordinate) and dense
// (array) matrices and a writer for dense complex blocks.
//
// The reader takes the whole file into memory in one read and parses it with
// std::from_chars, so a file of a few million entries loads in seconds. It
// accepts the fields real, integer, complex and pattern and the symmetries
// general, symmetric, skew-symmetric and Hermitian, and expands every symmetry
// into the full matrix: a stored entry (i, j) off the diagonal also gives
// (j, i) with value a, -a or conj(a). Indices in the file are 1-based; the
// result is 0-based.
//
// Every fault in a file (a wrong header, an index out of range, a value that
// is not a finite number, too few or too many entries) throws MatrixMarketError
// whose message names the file and, where there is one, the line.
#pragma once

#include <complex>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bksolve {

using complex = std::complex<double>;

class MatrixMarketError : public std::runtime_error {
 public:
  MatrixMarketError(const std::string& file, long line, const std::string& what);
  const std::string& file() const { return file_; }
  long line() const { return line_; }  // 0 when the fault has no line
 private:
  std::string file_;
  long line_;
};

enum class MmFormat { coordinate, array };
enum class MmField { real, integer, complex, pattern };
enum class MmSymmetry { general, symmetric, skew_symmetric, hermitian };

const char* to_string(MmFormat f);
const char* to_string(MmField f);
const char* to_string(MmSymmetry s);

struct MatrixMarket {
  MmFormat format = MmFormat::coordinate;
  MmField field = MmField::real;
  MmSymmetry symmetry = MmSymmetry::general;
  int rows = 0;
  int cols = 0;
  std::int64_t stored = 0;  // entries as stored in the file, before expansion

  // Coordinate files: the expanded entries, 0-based, in file order (mirror
  // images follow their entry). Duplicates are kept as they come.
  std::vector<int> row_index;
  std::vector<int> col_index;
  std::vector<complex> values;

  // Array files: the expanded rows x cols matrix, column-major.
  std::vector<complex> dense;

  bool is_square() const { return rows == cols; }
  // The matrix as a dense column-major rows x cols array (coordinate entries
  // with the same position are summed).
  std::vector<complex> to_dense() const;
  // The matrix as 0-based triplets (array files give their nonzero entries).
  void to_triplets(std::vector<int>& r, std::vector<int>& c, std::vector<complex>& v) const;
};

// Parses the text of a Matrix Market file; `name` is used in messages.
MatrixMarket parse_matrix_market(std::string_view text, const std::string& name);

// Reads and parses a file. An unreadable or missing file throws
// MatrixMarketError with line 0.
MatrixMarket read_matrix_market(const std::string& path);

// Writes rows x cols complex entries (column-major, leading dimension ld) as a
// Matrix Market array file with round-trip precision. `comment` lines (without
// the leading '%') follow the header, their control characters escaped (\n,
// \t, \\ and \xHH) so that no text can break the file. Returns the text.
std::string format_matrix_market_array(int rows, int cols, const complex* x, std::int64_t ld,
                                       const std::vector<std::string>& comment = {});

// Writes `text` to `path` so that the file either appears complete or not at
// all: the text goes to a temporary file in the same directory, which is
// flushed to disk and then renamed over `path`. On any failure the temporary
// file is removed and std::runtime_error says what went wrong.
void write_file_atomically(const std::string& path, std::string_view text);

// Throws std::runtime_error naming `path` when write_file_atomically could
// not put a file there: `path` is a directory or another file that is not a
// regular one (the rename would replace a device by a plain file), or its
// directory is missing or not writable. Called before a long solve too, so
// that a bad -o is reported at once.
void check_output_path(const std::string& path);

// Removes the temporary file of a write in progress; safe to call from a
// signal handler.
void remove_pending_output();

}  // namespace bksolve
