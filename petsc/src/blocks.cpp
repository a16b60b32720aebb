// blocks.cpp - products with A and applications of a PETSc PC on the
// engine's local blocks (see blocks.hpp).
#include "blocks.hpp"

#include <limits>

namespace bkpetsc {

namespace {

// Storage handed to PETSc for a block of zero rows, whose array may be
// null: PETSc takes a null array as "allocate your own".
PetscScalar empty_storage[1];

PetscScalar* storage(complex* p) { return p ? as_petsc(p) : empty_storage; }
PetscScalar* storage(const complex* p) { return storage(const_cast<complex*>(p)); }

void keep(PetscErrorCode& slot, PetscErrorCode e) {
  if (e && !slot) slot = e;
}

// op() with the arrays x and y placed in the dense wrappers X and Y; both are
// taken back whatever happens. An operation that failed half-way may leave
// its matrices in a state PETSc will not even destroy (columns taken out and
// not returned): then X and Y are dropped, quietly, and left null for the
// caller to make afresh.
template <class Op>
PetscErrorCode with_blocks(Mat& X, Mat& Y, const complex* x, complex* y, Op op) {
  PetscFunctionBegin;
  PetscCall(MatDensePlaceArray(X, storage(x)));
  PetscErrorCode e = MatDensePlaceArray(Y, storage(y));
  if (!e) {
    e = op();
    const PetscErrorCode r = MatDenseResetArray(Y);
    if (!e) e = r;
  }
  const PetscErrorCode r = MatDenseResetArray(X);
  if (!e) e = r;
  if (e) {
    PetscPushErrorHandler(PetscReturnErrorHandler, nullptr);
    MatDestroy(&Y);
    MatDestroy(&X);
    PetscPopErrorHandler();
    X = Y = nullptr;
  }
  PetscCall(e);
  PetscFunctionReturn(0);
}

// op(xv, yv) for each of the k columns of x and y (n rows each), placed in
// the vectors xv and yv and taken back whatever happens.
template <class Op>
PetscErrorCode each_column(Vec xv, Vec yv, PetscInt n, int k, const complex* x, complex* y, Op op) {
  PetscFunctionBegin;
  for (int c = 0; c < k; ++c) {
    const std::size_t off = static_cast<std::size_t>(c) * static_cast<std::size_t>(n);
    PetscCall(VecPlaceArray(xv, storage(n ? x + off : nullptr)));
    PetscErrorCode e = VecPlaceArray(yv, storage(n ? y + off : nullptr));
    if (!e) {
      e = op(xv, yv);
      const PetscErrorCode r = VecResetArray(yv);
      if (!e) e = r;
    }
    const PetscErrorCode r = VecResetArray(xv);
    if (!e) e = r;
    PetscCall(e);
  }
  PetscFunctionReturn(0);
}

}  // namespace

void fill_nan(PetscInt n, int k, complex* y) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::size_t len = static_cast<std::size_t>(n) * static_cast<std::size_t>(k);
  for (std::size_t i = 0; i < len; ++i) y[i] = complex(nan, nan);
}

// ---------------------------------------------------------------------------
// BlockProducts

PetscErrorCode BlockProducts::bind(Mat A, ProductMode mode) {
  PetscFunctionBegin;
  PetscInt n, N;
  PetscCall(MatGetLocalSize(A, &n, nullptr));
  PetscCall(MatGetSize(A, &N, nullptr));
  if (A == A_ && n == n_ && N == N_ && mode == mode_) PetscFunctionReturn(0);
  PetscCall(reset());
  PetscCall(PetscObjectReference(reinterpret_cast<PetscObject>(A)));
  A_ = A;
  n_ = n;
  N_ = N;
  mode_ = mode;
  PetscCall(MatCreateVecs(A, &xv_, &yv_));
  PetscFunctionReturn(0);
}

PetscErrorCode BlockProducts::reset() {
  PetscFunctionBegin;
  for (auto& list : prod_) {
    for (Product& p : list) {
      PetscCall(MatDestroy(&p.Y));
      PetscCall(MatDestroy(&p.X));
    }
    list.clear();
  }
  block_failed_[0] = block_failed_[1] = false;
  PetscCall(VecDestroy(&xv_));
  PetscCall(VecDestroy(&yv_));
  PetscCall(MatDestroy(&A_));
  n_ = N_ = 0;
  err_ = 0;
  PetscFunctionReturn(0);
}

PetscErrorCode BlockProducts::take_error() {
  const PetscErrorCode e = err_;
  err_ = 0;
  return e;
}

void BlockProducts::apply(bool transposed, int k, const complex* x, complex* y) {
  PetscErrorCode e;
  if (mode_ == ProductMode::block && k > 1 && !block_failed_[transposed])
    e = apply_block(transposed, k, x, y);
  else
    e = apply_columns(transposed, k, x, y);
  if (e) {
    keep(err_, e);
    fill_nan(n_, k, y);
  }
}

// The input wrapper and the product matrix for k columns: Y = A X (or
// A^T X), its symbolic phase done once. A matrix type without the product
// falls back to one MatMult per column from then on.
PetscErrorCode BlockProducts::product(bool transposed, int k, Mat* X, Mat* Y) {
  PetscFunctionBegin;
  std::vector<Product>& list = prod_[transposed];
  if (list.size() < static_cast<std::size_t>(k)) list.resize(k);
  Product& p = list[k - 1];
  if (!p.Y) {
    PetscCall(MatCreateDense(PetscObjectComm(reinterpret_cast<PetscObject>(A_)), n_, PETSC_DECIDE, N_, k,
                             nullptr, &p.X));
    // A type without this product reports it from the set-up calls; that
    // is an answer, not a failure, so PETSc's error printing is off here.
    PetscCall(PetscPushErrorHandler(PetscReturnErrorHandler, nullptr));
    PetscErrorCode e = MatProductCreate(A_, p.X, nullptr, &p.Y);
    if (!e) e = MatProductSetType(p.Y, transposed ? MATPRODUCT_AtB : MATPRODUCT_AB);
    if (!e) e = MatProductSetFromOptions(p.Y);
    if (!e) e = MatProductSymbolic(p.Y);
    PetscCall(PetscPopErrorHandler());
    if (e) {
      PetscCall(PetscInfo(A_, "no dense block product (%s) for this matrix type; MatMult%s per column\n",
                          transposed ? "AtB" : "AB", transposed ? "Transpose" : ""));
      PetscCall(MatDestroy(&p.Y));
      PetscCall(MatDestroy(&p.X));
      block_failed_[transposed] = true;
    }
  }
  *X = p.X;
  *Y = p.Y;
  PetscFunctionReturn(0);
}

PetscErrorCode BlockProducts::apply_block(bool transposed, int k, const complex* x, complex* y) {
  PetscFunctionBegin;
  Mat X = nullptr, Y = nullptr;
  PetscCall(product(transposed, k, &X, &Y));
  if (!Y) PetscCall(apply_columns(transposed, k, x, y));
  else {
    Product& p = prod_[transposed][k - 1];
    PetscCall(with_blocks(p.X, p.Y, x, y, [&] { return MatProductNumeric(p.Y); }));
  }
  PetscFunctionReturn(0);
}

PetscErrorCode BlockProducts::apply_columns(bool transposed, int k, const complex* x, complex* y) {
  return each_column(xv_, yv_, n_, k, x, y, [&](Vec xc, Vec yc) {
    return transposed ? MatMultTranspose(A_, xc, yc) : MatMult(A_, xc, yc);
  });
}

// ---------------------------------------------------------------------------
// PcApplications

PetscErrorCode PcApplications::bind(PC pc, Mat A) {
  PetscFunctionBegin;
  PetscInt n, N;
  PetscCall(MatGetLocalSize(A, &n, nullptr));
  PetscCall(MatGetSize(A, &N, nullptr));
  if (pc == pc_ && A == A_ && n == n_ && N == N_) PetscFunctionReturn(0);
  PetscCall(reset());
  PetscCall(PetscObjectReference(reinterpret_cast<PetscObject>(pc)));
  pc_ = pc;
  PetscCall(PetscObjectReference(reinterpret_cast<PetscObject>(A)));
  A_ = A;
  n_ = n;
  N_ = N;
  PetscCall(MatCreateVecs(A, &xv_, &yv_));
  PetscFunctionReturn(0);
}

PetscErrorCode PcApplications::reset() {
  PetscFunctionBegin;
  for (Pair& p : blocks_) {
    PetscCall(MatDestroy(&p.X));
    PetscCall(MatDestroy(&p.Y));
  }
  blocks_.clear();
  PetscCall(VecDestroy(&xv_));
  PetscCall(VecDestroy(&yv_));
  PetscCall(MatDestroy(&A_));
  PetscCall(PCDestroy(&pc_));
  n_ = N_ = 0;
  err_ = 0;
  PetscFunctionReturn(0);
}

PetscErrorCode PcApplications::take_error() {
  const PetscErrorCode e = err_;
  err_ = 0;
  return e;
}

void PcApplications::apply(bool transposed, int k, const complex* x, complex* y) {
  const PetscErrorCode e = (!transposed && k > 1) ? apply_block(k, x, y) : apply_columns(transposed, k, x, y);
  if (e) {
    keep(err_, e);
    fill_nan(n_, k, y);
  }
}

// PCMatApply: PCs with a block application use it; PETSc applies the others
// column by column itself.
PetscErrorCode PcApplications::apply_block(int k, const complex* x, complex* y) {
  PetscFunctionBegin;
  if (blocks_.size() < static_cast<std::size_t>(k)) blocks_.resize(k);
  Pair& p = blocks_[k - 1];
  if (!p.X) {
    const MPI_Comm comm = PetscObjectComm(reinterpret_cast<PetscObject>(A_));
    PetscCall(MatCreateDense(comm, n_, PETSC_DECIDE, N_, k, nullptr, &p.X));
    PetscCall(MatCreateDense(comm, n_, PETSC_DECIDE, N_, k, nullptr, &p.Y));
  }
  PetscCall(with_blocks(p.X, p.Y, x, y, [&] { return PCMatApply(pc_, p.X, p.Y); }));
  PetscFunctionReturn(0);
}

PetscErrorCode PcApplications::apply_columns(bool transposed, int k, const complex* x, complex* y) {
  return each_column(xv_, yv_, n_, k, x, y, [&](Vec xc, Vec yc) {
    return transposed ? PCApplyTranspose(pc_, xc, yc) : PCApply(pc_, xc, yc);
  });
}

}  // namespace bkpetsc
