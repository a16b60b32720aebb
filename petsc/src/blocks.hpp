// blocks.hpp - the engine's local column-major blocks handed to PETSc: the
// products y = A x and y = A^T x, and the applications of a PETSc PC, that
// the engine's callbacks ask for.
//
// A block is n x k with leading dimension n, n the rows of this rank. PETSc
// sees it through objects made once and reused: dense matrices (or vectors,
// one column at a time) whose storage is swapped for the engine's array for
// the length of one call, so a call copies nothing.
//
// The engine's callbacks cannot return an error. A PETSc error inside one
// is kept (the first one counts), the output block is filled with NaN, and
// the callback returns: the engine stops on the non-finite product, and the
// caller raises the kept error after the solve. Later callbacks still make
// their PETSc calls, so that every rank keeps making the same collective
// calls in the same order.
#pragma once

#include <petscksp.h>

#include <complex>
#include <vector>

namespace bkpetsc {

using complex = std::complex<double>;
static_assert(sizeof(PetscScalar) == sizeof(complex), "complex PETSc scalars are two doubles");

inline PetscScalar* as_petsc(complex* p) { return reinterpret_cast<PetscScalar*>(p); }
inline const PetscScalar* as_petsc(const complex* p) { return reinterpret_cast<const PetscScalar*>(p); }
inline complex* as_complex(PetscScalar* p) { return reinterpret_cast<complex*>(p); }
inline const complex* as_complex(const PetscScalar* p) { return reinterpret_cast<const complex*>(p); }

// How products with A are formed: one sparse-times-dense product per block
// (MatProduct, i.e. MatMatMult and MatTransposeMatMult), or MatMult and
// MatMultTranspose once per column.
enum class ProductMode { block, column };

// y = A x and y = A^T x (plain transpose) for n x k local blocks.
class BlockProducts {
 public:
  BlockProducts() = default;
  BlockProducts(const BlockProducts&) = delete;
  BlockProducts& operator=(const BlockProducts&) = delete;
  ~BlockProducts() { (void)reset(); }

  // Products with A from now on. Objects made for the same matrix (same
  // object, same sizes) and mode are kept; otherwise they are released.
  // Keeps a reference to A until reset() or another matrix.
  PetscErrorCode bind(Mat A, ProductMode mode);
  // Collective on A's communicator, like the PETSc calls it makes.
  void apply(bool transposed, int k, const complex* x, complex* y);
  // The first error kept since the last call, which clears it.
  PetscErrorCode take_error();
  PetscErrorCode reset();
  ProductMode mode() const { return mode_; }

 private:
  PetscErrorCode apply_block(bool transposed, int k, const complex* x, complex* y);
  PetscErrorCode apply_columns(bool transposed, int k, const complex* x, complex* y);
  PetscErrorCode product(bool transposed, int k, Mat* X, Mat* Y);

  Mat A_ = nullptr;
  PetscInt n_ = 0, N_ = 0;
  ProductMode mode_ = ProductMode::block;
  Vec xv_ = nullptr, yv_ = nullptr;  // one column each, storage placed per call
  // [transposed][k - 1]: the input block wrapper and the product matrix
  // (MatProduct with its symbolic phase done), made on first use.
  struct Product {
    Mat X = nullptr, Y = nullptr;
  };
  std::vector<Product> prod_[2];
  bool block_failed_[2] = {false, false};  // the matrix type has no such product
  PetscErrorCode err_ = 0;
};

// y = M^-1 x and y = M^-T x for a PETSc PC (PCApply, PCApplyTranspose);
// blocks of more than one column go through PCMatApply.
class PcApplications {
 public:
  PcApplications() = default;
  PcApplications(const PcApplications&) = delete;
  PcApplications& operator=(const PcApplications&) = delete;
  ~PcApplications() { (void)reset(); }

  // pc applied to blocks with the row layout of A (n local, N global rows).
  PetscErrorCode bind(PC pc, Mat A);
  void apply(bool transposed, int k, const complex* x, complex* y);
  PetscErrorCode take_error();
  PetscErrorCode reset();

 private:
  PetscErrorCode apply_block(int k, const complex* x, complex* y);
  PetscErrorCode apply_columns(bool transposed, int k, const complex* x, complex* y);

  PC pc_ = nullptr;
  Mat A_ = nullptr;
  PetscInt n_ = 0, N_ = 0;
  Vec xv_ = nullptr, yv_ = nullptr;
  struct Pair {
    Mat X = nullptr, Y = nullptr;
  };
  std::vector<Pair> blocks_;  // [k - 1]
  PetscErrorCode err_ = 0;
};

// Fills an n x k block with quiet NaNs (what a failed callback returns).
void fill_nan(PetscInt n, int k, complex* y);

}  // namespace bkpetsc
