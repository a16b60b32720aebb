// Matrix Market reading and writing for bksolve (see matrix_market.hpp).
//
// A file is a banner line "%%MatrixMarket matrix <format> <field> <symmetry>",
// comment lines starting with '%', a size line ("rows cols nnz" for
// coordinate, "rows cols" for array) and then one entry per line: "i j [re
// [im]]" for coordinate, "re [im]" in column-major order for array (only the
// lower triangle for the symmetric kinds, without the diagonal for
// skew-symmetric). Blank lines and further comment lines are skipped.
#include "matrix_market.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace bksolve {

namespace {

std::string located(const std::string& file, long line, const std::string& what) {
  if (line > 0) return file + ":" + std::to_string(line) + ": " + what;
  return file + ": " + what;
}

std::string lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// Walks the text line by line, counting lines from 1.
class Lines {
 public:
  explicit Lines(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}
  // Next line without its terminator; false at the end of the text.
  bool next(std::string_view& line) {
    if (p_ >= end_) return false;
    const char* nl = static_cast<const char*>(std::memchr(p_, '\n', static_cast<size_t>(end_ - p_)));
    const char* stop = nl ? nl : end_;
    line = std::string_view(p_, static_cast<size_t>(stop - p_));
    p_ = nl ? nl + 1 : end_;
    ++number_;
    return true;
  }
  long number() const { return number_; }
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }

 private:
  const char* p_;
  const char* end_;
  long number_ = 0;
};

// Splits a line into at most `cap` blank-separated fields; returns the count
// (cap + 1 when there are more).
int split(std::string_view line, std::string_view* f, int cap) {
  int k = 0;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (true) {
    while (i < n && is_blank(line[i])) ++i;
    if (i >= n) return k;
    std::size_t j = i;
    while (j < n && !is_blank(line[j])) ++j;
    if (k == cap) return cap + 1;
    f[k++] = line.substr(i, j - i);
    i = j;
  }
}

bool is_skippable(std::string_view line) {
  for (char c : line) {
    if (c == '%') return true;
    if (!is_blank(c)) return false;
  }
  return true;
}

class Parser {
 public:
  Parser(std::string_view text, const std::string& name) : lines_(text), name_(name) {}

  MatrixMarket run() {
    header();
    size_line();
    if (mm_.format == MmFormat::coordinate)
      coordinate_entries();
    else
      array_entries();
    trailing();
    return std::move(mm_);
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw MatrixMarketError(name_, lines_.number(), what);
  }

  void header() {
    std::string_view line;
    if (!lines_.next(line)) throw MatrixMarketError(name_, 0, "empty file, not a Matrix Market file");
    std::string_view f[6];
    const int k = split(line, f, 5);
    if (k < 1 || lower(f[0]) != "%%matrixmarket")
      fail("not a Matrix Market file: the first line must start with %%MatrixMarket");
    if (k != 5)
      fail("bad header: expected '%%MatrixMarket matrix <format> <field> <symmetry>'");
    if (lower(f[1]) != "matrix")
      fail("unsupported object '" + std::string(f[1]) + "' (only 'matrix')");
    const std::string format = lower(f[2]), field = lower(f[3]), sym = lower(f[4]);
    if (format == "coordinate")
      mm_.format = MmFormat::coordinate;
    else if (format == "array")
      mm_.format = MmFormat::array;
    else
      fail("unknown format '" + std::string(f[2]) + "' (expected coordinate or array)");
    if (field == "real" || field == "double")
      mm_.field = MmField::real;
    else if (field == "integer")
      mm_.field = MmField::integer;
    else if (field == "complex")
      mm_.field = MmField::complex;
    else if (field == "pattern")
      mm_.field = MmField::pattern;
    else
      fail("unknown field '" + std::string(f[3]) + "' (expected real, integer, complex or pattern)");
    if (sym == "general")
      mm_.symmetry = MmSymmetry::general;
    else if (sym == "symmetric")
      mm_.symmetry = MmSymmetry::symmetric;
    else if (sym == "skew-symmetric")
      mm_.symmetry = MmSymmetry::skew_symmetric;
    else if (sym == "hermitian")
      mm_.symmetry = MmSymmetry::hermitian;
    else
      fail("unknown symmetry '" + std::string(f[4]) +
           "' (expected general, symmetric, skew-symmetric or hermitian)");
    if (mm_.field == MmField::pattern && mm_.format == MmFormat::array)
      fail("a pattern matrix cannot be stored as an array");
    if (mm_.field == MmField::pattern && mm_.symmetry != MmSymmetry::general &&
        mm_.symmetry != MmSymmetry::symmetric)
      fail("a pattern matrix can only be general or symmetric");
    // A real Hermitian matrix is a real symmetric one.
    if (mm_.symmetry == MmSymmetry::hermitian && mm_.field != MmField::complex)
      mm_.symmetry = MmSymmetry::symmetric;
  }

  std::int64_t integer(std::string_view tok, const char* what) const {
    std::int64_t v = 0;
    const char* b = tok.data();
    const char* e = b + tok.size();
    if (b < e && *b == '+') ++b;
    auto [ptr, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || ptr != e) fail(std::string(what) + " '" + std::string(tok) + "' is not an integer");
    return v;
  }

  double number(std::string_view tok) const {
    double v = 0;
    const char* b = tok.data();
    const char* e = b + tok.size();
    if (b < e && *b == '+' && b + 1 < e && *(b + 1) != '-') ++b;
    auto [ptr, ec] = std::from_chars(b, e, v, std::chars_format::general);
    if (ptr != e || (ec != std::errc() && ec != std::errc::result_out_of_range))
      fail("'" + std::string(tok) + "' is not a number");
    if (ec == std::errc::result_out_of_range) {
      // Overflow is reported below; a value too small to represent is zero or
      // subnormal, which strtod delivers.
      v = std::strtod(std::string(b, e).c_str(), nullptr);
    }
    if (!std::isfinite(v)) fail("value '" + std::string(tok) + "' is not a finite number");
    return v;
  }

  void size_line() {
    std::string_view line;
    do {
      if (!lines_.next(line)) fail("unexpected end of file: the size line is missing");
    } while (is_skippable(line));
    std::string_view f[4];
    const int want = mm_.format == MmFormat::coordinate ? 3 : 2;
    const int k = split(line, f, 3);
    if (k != want)
      fail(mm_.format == MmFormat::coordinate ? "bad size line: expected 'rows cols entries'"
                                              : "bad size line: expected 'rows cols'");
    const std::int64_t r = integer(f[0], "row count"), c = integer(f[1], "column count");
    if (r < 0 || c < 0) fail("negative size");
    if (r > 2147483647 || c > 2147483647) fail("matrix too large (more than 2^31-1 rows or columns)");
    mm_.rows = static_cast<int>(r);
    mm_.cols = static_cast<int>(c);
    if (mm_.symmetry != MmSymmetry::general && r != c)
      fail(std::string("a ") + to_string(mm_.symmetry) + " matrix must be square, not " +
           std::to_string(r) + " x " + std::to_string(c));
    if (mm_.format == MmFormat::coordinate) {
      declared_ = integer(f[2], "entry count");
      if (declared_ < 0) fail("negative entry count");
    } else {
      const std::int64_t n = r;
      if (mm_.symmetry == MmSymmetry::general)
        declared_ = r * c;
      else if (mm_.symmetry == MmSymmetry::skew_symmetric)
        declared_ = n * (n - 1) / 2;
      else
        declared_ = n * (n + 1) / 2;
    }
    mm_.stored = declared_;
  }

  // Next line holding an entry; false at the end of the text.
  bool entry_line(std::string_view& line) {
    while (lines_.next(line))
      if (!is_skippable(line)) return true;
    return false;
  }

  [[noreturn]] void truncated(std::int64_t got) const {
    throw MatrixMarketError(name_, lines_.number(),
                            "unexpected end of file after " + std::to_string(got) + " of " +
                                std::to_string(declared_) + " entries (truncated file?)");
  }

  int values_per_entry() const {
    switch (mm_.field) {
      case MmField::pattern: return 0;
      case MmField::complex: return 2;
      default: return 1;
    }
  }

  complex value(const std::string_view* f) const {
    switch (mm_.field) {
      case MmField::pattern: return {1.0, 0.0};
      case MmField::complex: return {number(f[0]), number(f[1])};
      default: return {number(f[0]), 0.0};
    }
  }

  void coordinate_entries() {
    const int nv = values_per_entry();
    const int want = 2 + nv;
    // Each entry takes at least four bytes ("1 1\n"), which bounds what a
    // lying size line can make us reserve.
    const std::int64_t cap = std::min<std::int64_t>(declared_, static_cast<std::int64_t>(lines_.remaining() / 4 + 1));
    const std::int64_t mult = mm_.symmetry == MmSymmetry::general ? 1 : 2;
    mm_.row_index.reserve(static_cast<size_t>(cap * mult));
    mm_.col_index.reserve(static_cast<size_t>(cap * mult));
    mm_.values.reserve(static_cast<size_t>(cap * mult));
    std::string_view line, f[5];
    for (std::int64_t e = 0; e < declared_; ++e) {
      if (!entry_line(line)) truncated(e);
      const int k = split(line, f, 4);
      if (k != want)
        fail("expected " + std::to_string(want) + " fields (row, column" +
             (nv == 0 ? std::string("") : nv == 1 ? ", value" : ", real and imaginary part") + "), found " +
             (k > 4 ? std::string("more") : std::to_string(k)));
      const std::int64_t i = integer(f[0], "row index"), j = integer(f[1], "column index");
      if (i < 1 || i > mm_.rows)
        fail("row index " + std::to_string(i) + " out of range 1.." + std::to_string(mm_.rows));
      if (j < 1 || j > mm_.cols)
        fail("column index " + std::to_string(j) + " out of range 1.." + std::to_string(mm_.cols));
      add(static_cast<int>(i - 1), static_cast<int>(j - 1), value(f + 2));
    }
  }

  void add(int i, int j, complex v) {
    push(i, j, v);
    if (i == j) {
      if (mm_.symmetry == MmSymmetry::skew_symmetric)
        fail("a skew-symmetric matrix has no diagonal entries");
      if (mm_.symmetry == MmSymmetry::hermitian && v.imag() != 0.0)
        fail("a diagonal entry of a Hermitian matrix must be real");
      return;
    }
    switch (mm_.symmetry) {
      case MmSymmetry::general: break;
      case MmSymmetry::symmetric: push(j, i, v); break;
      case MmSymmetry::skew_symmetric: push(j, i, -v); break;
      case MmSymmetry::hermitian: push(j, i, std::conj(v)); break;
    }
  }

  void push(int i, int j, complex v) {
    mm_.row_index.push_back(i);
    mm_.col_index.push_back(j);
    mm_.values.push_back(v);
  }

  void array_entries() {
    const int want = values_per_entry();
    // Values as stored, then expanded: the dense array is allocated only
    // once the file has shown that it holds every entry.
    std::vector<complex> stored;
    stored.reserve(static_cast<size_t>(
        std::min<std::int64_t>(declared_, static_cast<std::int64_t>(lines_.remaining() / 2 + 1))));
    std::string_view line, f[3];
    for (std::int64_t e = 0; e < declared_; ++e) {
      if (!entry_line(line)) truncated(e);
      const int k = split(line, f, 2);
      if (k != want)
        fail("expected " + std::string(want == 2 ? "2 fields (real and imaginary part)" : "1 field (the value)") +
             ", found " + (k > 2 ? std::string("more") : std::to_string(k)));
      stored.push_back(value(f));
    }
    const std::int64_t r = mm_.rows, c = mm_.cols;
    mm_.dense.assign(static_cast<size_t>(r * c), complex(0.0, 0.0));
    auto at = [&](std::int64_t i, std::int64_t j) -> complex& { return mm_.dense[static_cast<size_t>(i + j * r)]; };
    std::size_t q = 0;
    if (mm_.symmetry == MmSymmetry::general) {
      std::copy(stored.begin(), stored.end(), mm_.dense.begin());
      return;
    }
    for (std::int64_t j = 0; j < c; ++j) {
      const std::int64_t first = mm_.symmetry == MmSymmetry::skew_symmetric ? j + 1 : j;
      for (std::int64_t i = first; i < r; ++i) {
        const complex v = stored[q++];
        at(i, j) = v;
        if (i == j) {
          if (mm_.symmetry == MmSymmetry::hermitian && v.imag() != 0.0)
            throw MatrixMarketError(name_, 0, "a diagonal entry of a Hermitian matrix must be real (column " +
                                                  std::to_string(j + 1) + ")");
          continue;
        }
        at(j, i) = mm_.symmetry == MmSymmetry::symmetric   ? v
                   : mm_.symmetry == MmSymmetry::hermitian ? std::conj(v)
                                                           : -v;
      }
    }
  }

  void trailing() {
    std::string_view line;
    if (entry_line(line))
      fail("more entries than the size line declares (" + std::to_string(declared_) + ")");
  }

  Lines lines_;
  const std::string& name_;
  MatrixMarket mm_;
  std::int64_t declared_ = 0;
};

// Temporary file of a write in progress, for removal from a signal handler.
char g_pending[4096];
volatile std::sig_atomic_t g_has_pending = 0;

// A comment line with its control characters (and the backslash that
// introduces the escapes) written as escapes.
std::string escaped(std::string_view text) {
  std::string r;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      r += "\\\\";
    } else if (c == '\n') {
      r += "\\n";
    } else if (c == '\t') {
      r += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      static const char hex[] = "0123456789abcdef";
      r += {'\\', 'x', hex[c >> 4], hex[c & 15]};
    } else {
      r += ch;
    }
  }
  return r;
}

std::string directory_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

MatrixMarketError::MatrixMarketError(const std::string& file, long line, const std::string& what)
    : std::runtime_error(located(file, line, what)), file_(file), line_(line) {}

const char* to_string(MmFormat f) { return f == MmFormat::coordinate ? "coordinate" : "array"; }

const char* to_string(MmField f) {
  switch (f) {
    case MmField::real: return "real";
    case MmField::integer: return "integer";
    case MmField::complex: return "complex";
    case MmField::pattern: return "pattern";
  }
  return "?";
}

const char* to_string(MmSymmetry s) {
  switch (s) {
    case MmSymmetry::general: return "general";
    case MmSymmetry::symmetric: return "symmetric";
    case MmSymmetry::skew_symmetric: return "skew-symmetric";
    case MmSymmetry::hermitian: return "hermitian";
  }
  return "?";
}

std::vector<complex> MatrixMarket::to_dense() const {
  if (format == MmFormat::array) return dense;
  std::vector<complex> d(static_cast<size_t>(static_cast<std::int64_t>(rows) * cols), complex(0.0, 0.0));
  for (size_t e = 0; e < values.size(); ++e)
    d[static_cast<size_t>(row_index[e] + static_cast<std::int64_t>(col_index[e]) * rows)] += values[e];
  return d;
}

void MatrixMarket::to_triplets(std::vector<int>& r, std::vector<int>& c, std::vector<complex>& v) const {
  if (format == MmFormat::coordinate) {
    r = row_index;
    c = col_index;
    v = values;
    return;
  }
  r.clear();
  c.clear();
  v.clear();
  for (int j = 0; j < cols; ++j)
    for (int i = 0; i < rows; ++i) {
      const complex a = dense[static_cast<size_t>(i + static_cast<std::int64_t>(j) * rows)];
      if (a == complex(0.0, 0.0)) continue;
      r.push_back(i);
      c.push_back(j);
      v.push_back(a);
    }
}

MatrixMarket parse_matrix_market(std::string_view text, const std::string& name) {
  return Parser(text, name).run();
}

MatrixMarket read_matrix_market(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw MatrixMarketError(path, 0, std::string("cannot open: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) throw MatrixMarketError(path, 0, "is a directory, not a file");
  // Regular files, and pipes (e.g. /dev/stdin) read to their end; a device
  // such as /dev/zero would never end.
  if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode))
    throw MatrixMarketError(path, 0, "is not a regular file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw MatrixMarketError(path, 0, std::string("cannot open: ") + std::strerror(errno));
  std::string text;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size > 0) {
    text.resize(static_cast<size_t>(size));
    in.read(text.data(), size);
    if (in.gcount() != size) throw MatrixMarketError(path, 0, "read error");
  } else {
    // Not seekable (a pipe): read what comes.
    in.clear();
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (in.bad()) throw MatrixMarketError(path, 0, "read error");
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0x1f && static_cast<unsigned char>(text[1]) == 0x8b)
    throw MatrixMarketError(path, 0, "compressed (gzip) files are not read; decompress it first");
  return parse_matrix_market(text, path);
}

std::string format_matrix_market_array(int rows, int cols, const complex* x, std::int64_t ld,
                                       const std::vector<std::string>& comment) {
  std::string out = "%%MatrixMarket matrix array complex general\n";
  for (const auto& c : comment) out += "%" + escaped(c) + "\n";
  out += std::to_string(rows) + " " + std::to_string(cols) + "\n";
  out.reserve(out.size() + static_cast<size_t>(rows) * static_cast<size_t>(cols) * 48);
  char buf[64];
  for (int j = 0; j < cols; ++j)
    for (int i = 0; i < rows; ++i) {
      const complex v = x[i + j * ld];
      char* p = std::to_chars(buf, buf + 30, v.real()).ptr;
      *p++ = ' ';
      p = std::to_chars(p, buf + 62, v.imag()).ptr;
      *p++ = '\n';
      out.append(buf, static_cast<size_t>(p - buf));
    }
  return out;
}

void check_output_path(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw std::runtime_error(path + ": is a directory");
    if (!S_ISREG(st.st_mode))
      throw std::runtime_error(path + ": is not a regular file, which the finished file would replace");
  }
  if (::access(directory_of(path).c_str(), W_OK | X_OK) != 0)
    throw std::runtime_error(path + ": cannot write there (the directory is missing or not writable)");
}

void remove_pending_output() {
  if (g_has_pending) ::unlink(g_pending);
}

void write_file_atomically(const std::string& path, std::string_view text) {
  check_output_path(path);
  std::string base = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
  std::string tmp = directory_of(path) + "/." + base + ".tmp.XXXXXX";
  if (tmp.size() >= sizeof g_pending) throw std::runtime_error(path + ": path too long");
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) throw std::runtime_error(path + ": cannot create a file there: " + std::strerror(errno));
  std::memcpy(g_pending, name.data(), name.size());
  g_has_pending = 1;
  auto give_up = [&](const std::string& what) {
    const int err = errno;
    ::close(fd);
    ::unlink(name.data());
    g_has_pending = 0;
    throw std::runtime_error(path + ": " + what + ": " + std::strerror(err));
  };
  // mkstemp creates the file private; give it the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd, 0666 & ~mask) != 0) give_up("cannot set permissions");
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t w = ::write(fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      give_up("write failed");
    }
    p += w;
    left -= static_cast<std::size_t>(w);
  }
  if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) give_up("write failed");
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(name.data());
    g_has_pending = 0;
    throw std::runtime_error(path + ": write failed: " + std::strerror(err));
  }
  if (::rename(name.data(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(name.data());
    g_has_pending = 0;
    throw std::runtime_error(path + ": cannot rename the finished file into place: " + std::strerror(err));
  }
  g_has_pending = 0;
}

}  // namespace bksolve
