"""Whole solves of A X = B through the host library (libblockkrylov_host).

A sparse or dense matrix is handed to bk_solve_csr as one CSR matrix, so that
every product (and every product with A^T) runs in compiled code. Any other
operator is called back through bk_solve, one n x k block per call.
Preconditioners are either built by the library from a matrix (stock ones,
named by a string) or given as Python operators called back like A.
"""

import contextlib
import ctypes
import dataclasses
import math
import signal
import sys
import threading

import numpy as np

from . import _lib
from ._lib import bk_complex, bk_operator, bk_preconditioner, host

__all__ = ["solve", "symmetric", "qmr", "gmres", "Progress", "Report", "SplitPreconditioner",
           "METHODS", "PRECONDITIONERS",
           "CONVERGED", "MAX_PRODUCTS", "BREAKDOWN", "STAGNATED", "STOPPED",
           "MAX_ITERATIONS", "INVALID"]

# Statuses, also the `info` of a solve (INVALID is raised, never returned).
INVALID = -1
CONVERGED = 0
MAX_PRODUCTS = 1
BREAKDOWN = 2
STAGNATED = 3
STOPPED = 4
MAX_ITERATIONS = 5

METHODS = {"auto": 0, "symmetric": 1, "qmr": 2, "gmres": 3}

# Stock preconditioners: name -> (bk_options.precond, the keywords it uses).
PRECONDITIONERS = {"jacobi": (1, ()), "ssor": (2, ("omega",)), "ic0": (3, ()),
                   "ict": (4, ("drop_tol", "fill")), "ilu0": (5, ()),
                   "ilut": (6, ("drop_tol", "fill")), "auto": (7, ())}
# The incomplete LU ones are not of the form M1 M1^T the symmetric method needs.
_UNSYMMETRIC_STOCK = ("ilu0", "ilut")

# The report keeps at most this many history values (the first ones).
HISTORY_CAPACITY = 65536

_INT32_MAX = 2**31 - 1
_INT64_MAX = 2**63 - 1
_Z = ctypes.POINTER(bk_complex)


@dataclasses.dataclass(frozen=True)
class Progress:
    """What `callback` sees after every iteration."""
    method: str        # "symmetric", "qmr" or "gmres"
    iteration: int     # block steps (Lanczos) or Hessenberg columns (GMRES), so far
    products: int      # products with A and A^T so far, one per column
    estimate: float    # largest estimated relative residual
    predicted: int     # predicted total iterations (0 while unknown)
    percent: float     # progress estimate in percent
    block: int         # block of columns being solved, 1 .. blocks
    blocks: int        # blocks of at most block_size columns


@dataclasses.dataclass(frozen=True, eq=False)
class Report:
    """How a solve ended (solve(..., return_report=True))."""
    status: str              # "converged", "max_products", ... (bk_status_name)
    info: int                # the status code, as returned by solve
    converged: bool
    method: str              # the method that ran
    iterations: int          # summed over the blocks
    products: int            # products with A and A^T, one per column
    restarts: int
    breakdowns: int
    blocks: int              # blocks of at most block_size columns
    block_size: int          # the block size used
    max_residual: float      # largest true relative residual
    residuals: np.ndarray    # true relative residual of every column
    history: np.ndarray      # largest estimated relative residual per iteration
    history_length: int      # iterations recorded (history keeps the first HISTORY_CAPACITY)
    message: str             # one line saying how the solve ended
    preconditioner: str      # the preconditioner used: "" none, "user", or the stock one's name
    setup_seconds: float     # time spent building a stock preconditioner


# ---------------------------------------------------------------------------
# Argument checks
# ---------------------------------------------------------------------------

def _tolerance(name, value):
    try:
        value = float(value)
    except (TypeError, ValueError):
        raise ValueError("%s must be a real number, not %r" % (name, value)) from None
    if not (math.isfinite(value) and value >= 0.0):
        raise ValueError("%s must be finite and >= 0, not %r" % (name, value))
    return value


def _count(name, value, minimum, maximum=_INT32_MAX):
    """None, or an integer in [minimum, maximum]."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        raise ValueError("%s must be an integer, not %r" % (name, value))
    if isinstance(value, (float, np.floating)) and float(value).is_integer():
        value = int(value)
    try:
        value = int(value.__index__())
    except (AttributeError, TypeError):
        raise ValueError("%s must be an integer, not %r" % (name, value)) from None
    if not minimum <= value <= maximum:
        raise ValueError("%s must be between %d and %d, not %d" % (name, minimum, maximum, value))
    return value


def _block(a, name, n):
    """`a` as an n x s complex128 Fortran array of finite numbers (a copy)."""
    sp = sys.modules.get("scipy.sparse")
    if sp is not None and sp.issparse(a):
        a = a.toarray()
    a = np.asarray(a)
    if a.ndim not in (1, 2):
        raise ValueError("%s must be 1-D or 2-D, not %d-D" % (name, a.ndim))
    if not (np.issubdtype(a.dtype, np.number) or a.dtype == np.bool_):
        raise TypeError("%s must hold numbers, not %s" % (name, a.dtype))
    if a.ndim == 1:
        a = a.reshape(-1, 1)
    if a.shape[0] != n:
        raise ValueError("%s has %d rows, A has %d" % (name, a.shape[0], n))
    if a.shape[1] < 1:
        raise ValueError("%s has no columns" % name)
    if a.shape[1] > _INT32_MAX:
        raise ValueError("%s has too many columns" % name)
    a = np.array(a, dtype=np.complex128, order="F", copy=True)
    if not np.all(np.isfinite(a)):
        raise ValueError("%s has entries that are not finite" % name)
    return a


def _order(shape, name="A"):
    try:
        rows, cols = (int(d) for d in shape)
    except (TypeError, ValueError):
        raise ValueError("%s must be a 2-D operator, its shape is %r" % (name, shape)) from None
    if rows != cols:
        raise ValueError("%s must be square, not %d x %d" % (name, rows, cols))
    if not 1 <= rows <= _INT32_MAX:
        raise ValueError("the order of %s must be between 1 and %d, not %d" % (name, _INT32_MAX, rows))
    return rows


# ---------------------------------------------------------------------------
# A as CSR arrays or as callbacks
# ---------------------------------------------------------------------------

class _Csr:
    """A (or the matrix a stock preconditioner is built from) as 0-based CSR
    arrays: int64 row pointers, int32 columns, complex128 values."""

    def __init__(self, n, rowptr, colind, values, name="A"):
        # The library reads rowptr[0..n] and the first rowptr[n] columns and
        # values, trusting their lengths: arrays that do not hold that much
        # (a CSR matrix whose arrays were changed by hand) are refused here.
        # Columns are range-checked before the narrowing to int32, which
        # would wrap large ones into the matrix.
        rowptr, colind = np.asarray(rowptr), np.asarray(colind)
        if rowptr.shape != (n + 1,) or rowptr[0] != 0 or np.any(np.diff(rowptr) < 0):
            raise ValueError("%s's CSR row pointers must be n + 1 nondecreasing values from 0"
                             % name)
        nnz = int(rowptr[-1])
        if nnz > min(colind.size, np.size(values)):
            raise ValueError("%s's CSR arrays hold fewer than %d entries" % (name, nnz))
        colind = colind[:nnz]
        if nnz and (colind.min() < 0 or colind.max() >= n):
            raise ValueError("%s has a column index outside 0 .. %d" % (name, n - 1))
        self.n = n
        self.rowptr = np.ascontiguousarray(rowptr, dtype=np.int64)
        self.colind = np.ascontiguousarray(colind, dtype=np.int32)
        self.values = np.ascontiguousarray(np.asarray(values)[:nnz], dtype=np.complex128)
        if not np.all(np.isfinite(self.values)):
            raise ValueError("%s has entries that are not finite" % name)

    @classmethod
    def from_sparse(cls, A, name="A"):
        n = _order(A.shape, name)
        A = A.tocsr()
        return cls(n, A.indptr, A.indices, A.data, name)

    @classmethod
    def from_dense(cls, A, name="A"):
        if A.ndim != 2:
            raise ValueError("%s must be 2-D, not %d-D" % (name, A.ndim))
        if not (np.issubdtype(A.dtype, np.number) or A.dtype == np.bool_):
            raise TypeError("%s must hold numbers, not %s" % (name, A.dtype))
        n = _order(A.shape, name)
        mask = A != 0
        rows, cols = np.nonzero(mask)  # row by row, columns ascending
        rowptr = np.zeros(n + 1, dtype=np.int64)
        np.cumsum(np.count_nonzero(mask, axis=1), out=rowptr[1:])
        return cls(n, rowptr, cols, A[rows, cols], name)

    @classmethod
    def of(cls, A, name="A"):
        """A scipy.sparse matrix or a dense array as CSR arrays, or None for
        anything else."""
        sp = sys.modules.get("scipy.sparse")
        if sp is not None and sp.issparse(A):
            return cls.from_sparse(A, name)
        if isinstance(A, np.ndarray):
            return cls.from_dense(A, name)
        return None

    def pointers(self):
        """(rowptr, colind, values) as the pointers the library takes."""
        return (self.rowptr.ctypes.data_as(ctypes.POINTER(ctypes.c_int64)),
                self.colind.ctypes.data_as(ctypes.POINTER(ctypes.c_int32)),
                self.values.ctypes.data_as(_Z))


class _Callbacks:
    """Python callables (A, A^T, preconditioner factors) behind bk_operator
    structs, and the progress callback every solve installs.

    An exception raised by a callable (or by `callback`) cannot cross the C
    frames below it: it is recorded, the products from then on are NaN
    without calling Python again, and the progress callback asks the solve to
    stop; solve() raises it once the library has returned. An interrupt
    (Ctrl-C) is noted by _deferred_interrupts and likewise stops the solve at
    its next progress call.
    """

    def __init__(self, n, callback):
        self.n = n
        self.error = None
        self.interrupted = False
        self.callback = callback
        self.keep = []  # what the library points at: alive until the solve returns
        self.progress = _lib.PROGRESS_FN(self._progress)

    def operator(self, fn, what):
        """A bk_operator calling fn(X) -> n x k block; None gives the
        identity (a null apply)."""
        if fn is None:
            return bk_operator()
        n = self.n

        def apply(_ctx, k, x, y):
            out = _view(y, n, k)
            if self.error is None:
                try:
                    # The library reuses its blocks: the callable gets a copy
                    # it may keep or change.
                    result = np.asarray(fn(_view(x, n, k).copy(order="F")))
                    if result.shape == (n,) and k == 1:
                        result = result.reshape(n, 1)
                    if result.shape != (n, k):
                        raise ValueError("%s returned shape %s for a block of shape %s"
                                         % (what, result.shape, (n, k)))
                    out[...] = result
                    return
                except BaseException as e:  # noqa: B902 - KeyboardInterrupt included
                    self.error = e
            out[...] = np.nan

        c_apply = _lib.OPERATOR_FN(apply)
        op = bk_operator(c_apply, None)
        self.keep.append(c_apply)
        return op

    def _progress(self, _ctx, p):
        if self.error is not None or self.interrupted:
            return 1
        if self.callback is None:
            return 0
        p = p.contents
        info = Progress(_name(host.bk_method_name, p.method), p.iteration, p.products,
                        p.estimate, p.predicted, p.percent, p.block, p.blocks)
        try:
            return 1 if self.callback(info) else 0
        except StopIteration:
            return 1
        except BaseException as e:  # noqa: B902
            self.error = e
            return 1


@contextlib.contextmanager
def _deferred_interrupts(calls):
    """SIGINT noted instead of raised while the library runs.

    Python runs a signal handler at the first instruction of whatever Python
    code runs next, here the entry of a callback, before any try block: a
    KeyboardInterrupt raised there would be dropped by ctypes, and an operator
    callback would leave its product unwritten. So, in the main thread and
    while Python's own handler is in place, SIGINT only marks the solve,
    which stops at its next progress call, and the handler that was in place
    runs once the library has returned (raising KeyboardInterrupt).
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.getsignal(signal.SIGINT)
    if not callable(previous):  # ignored or default: no Python exception to lose
        yield
        return
    caught = []

    def note(signum, frame):
        calls.interrupted = True
        caught.append((signum, frame))

    signal.signal(signal.SIGINT, note)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        previous(*caught[0])


def _view(pointer, n, k):
    """The n x k Fortran complex block at a pointer the library passed."""
    address = ctypes.cast(pointer, ctypes.c_void_p).value
    buffer = (ctypes.c_double * (2 * n * k)).from_address(address)
    return np.frombuffer(buffer, dtype=np.complex128).reshape((n, k), order="F")


def _name(fn, code):
    return fn(code).decode("ascii", "replace")


def _multiplier(op):
    """A function X -> op X for an operator object, or None."""
    matmat = getattr(op, "matmat", None)
    if callable(matmat):
        return matmat
    if hasattr(type(op), "__matmul__"):
        return lambda X: op @ X
    return None


def _transposer(A):
    """A function X -> A^T X (plain transpose), or None.

    A LinearOperator gives products with A^H: A^T x = conj(A^H conj(x)).
    """
    rmatmat = getattr(A, "rmatmat", None)
    if callable(rmatmat):
        return lambda X: np.conj(rmatmat(np.conj(X)))
    try:
        T = A.T
    except Exception:  # noqa: BLE001 - no transpose is an answer, not an error
        return None
    return _multiplier(T)


def _system(A):
    """(n, _Csr, None) for a matrix A, (n, None, X -> A X) for an operator."""
    csr = _Csr.of(A)
    if csr is not None:
        return csr.n, csr, None
    forward = _multiplier(A)
    if forward is None:
        if callable(A):
            raise TypeError("A is a function: wrap it as scipy.sparse.linalg.LinearOperator"
                            "((n, n), matvec=..., matmat=..., rmatvec=...)")
        dense = np.asarray(A)
        if dense.dtype == object:
            raise TypeError("A must be a matrix, a sparse matrix or an operator with matmat "
                            "or @, not %s" % type(A).__name__)
        csr = _Csr.from_dense(dense)
        return csr.n, csr, None
    return _order(getattr(A, "shape", None)), None, forward


# ---------------------------------------------------------------------------
# Preconditioners given as operators
# ---------------------------------------------------------------------------

def _columnwise(fn, what):
    """X -> [fn(x_1) ... fn(x_k)] for a function on vectors, such as
    scipy.sparse.linalg.spilu(P).solve."""
    def apply(X):
        n = X.shape[0]
        Y = np.empty(X.shape, dtype=np.complex128, order="F")
        for j in range(X.shape[1]):
            y = np.asarray(fn(X[:, j]))
            if y.shape not in ((n,), (n, 1)):
                raise ValueError("%s returned shape %s for a vector of shape (%d,)"
                                 % (what, y.shape, n))
            Y[:, j] = y.reshape(n)
        return Y
    return apply


def _factor(op, what):
    """X -> op X for an operator (matmat or @) or a function on vectors; None
    (the identity) stays None."""
    if op is None:
        return None
    forward = _multiplier(op)
    if forward is not None:
        return forward
    if callable(op):
        return _columnwise(op, what)
    raise TypeError("%s must be an operator with matmat or @, a function on vectors or None, "
                    "not %s" % (what, type(op).__name__))


class SplitPreconditioner:
    """A preconditioner M = M1 M2 given by the solves with its two factors.

    left applies M1^-1 and right M2^-1; left_t and right_t are their plain
    transposes M1^-T and M2^-T, needed by the qmr method for the factors
    given and taken from rmatmat (conj(rmatmat(conj(x)))) or .T of left and
    right when not given. Each is an operator (matmat or @), a function on
    vectors (applied column by column) or None, the identity.

    symmetric=True says M2 = M1^T, the form the symmetric method needs (the
    operator M1^-1 A M1^-T stays complex-symmetric): right then defaults to
    the transpose of left, and the transposes are right and left themselves
    (left_t and right_t are not given).
    gmres applies M^-1 = M2^-1 M1^-1 on the right.
    """

    def __init__(self, left=None, right=None, left_t=None, right_t=None, symmetric=False):
        for what, op in (("left", left), ("right", right), ("left_t", left_t),
                         ("right_t", right_t)):
            _factor(op, what)  # refuses what cannot be applied
        self.left, self.right, self.left_t, self.right_t = left, right, left_t, right_t
        self.symmetric = bool(symmetric)
        if self.symmetric:
            if left is None:
                raise ValueError("a symmetric split M = M1 M1^T needs left (M1^-1)")
            if left_t is not None or right_t is not None:
                raise ValueError("a symmetric split takes no left_t or right_t: they are right "
                                 "and left")
            if right is None and _transposer(left) is None:
                raise ValueError("a symmetric split needs right (M1^-T): left has neither "
                                 "rmatmat nor a .T that multiplies")

    def __repr__(self):
        return "SplitPreconditioner(left=%r, right=%r, left_t=%r, right_t=%r, symmetric=%r)" % (
            self.left, self.right, self.left_t, self.right_t, self.symmetric)

    def functions(self, n, transposes):
        """(M1^-1, M2^-1, M1^-T, M2^-T) as functions X -> n x k block, None
        for the identity; the transposes only when asked for (qmr)."""
        for what, op in (("left", self.left), ("right", self.right),
                         ("left_t", self.left_t), ("right_t", self.right_t)):
            if op is not None and hasattr(op, "shape"):
                if tuple(op.shape) != (n, n):
                    raise ValueError("the preconditioner's %s has shape %s, A is %d x %d"
                                     % (what, tuple(op.shape), n, n))
        left = _factor(self.left, "M1^-1")
        if self.symmetric:
            right = (_factor(self.right, "M2^-1") if self.right is not None
                     else _transposer(self.left))
            return left, right, right, left
        right = _factor(self.right, "M^-1" if self.left is None else "M2^-1")
        if not transposes:
            return left, right, None, None
        out = [left, right]
        for what, op, given in (("left", self.left, self.left_t),
                                ("right", self.right, self.right_t)):
            t = None
            if op is not None:
                t = _factor(given, what + "_t") if given is not None else _transposer(op)
                if t is None:
                    raise ValueError(
                        "the qmr method needs the plain transpose of the preconditioner's %s: "
                        "give it as a LinearOperator with rmatmat, an operator whose .T "
                        "multiplies, or as %s_t of a SplitPreconditioner; or use gmres"
                        % (what, what))
            out.append(t)
        return tuple(out)


def _split(M):
    """M (an operator or function applying M^-1, a pair (M1^-1, M2^-1) or a
    SplitPreconditioner) as a SplitPreconditioner."""
    if isinstance(M, SplitPreconditioner):
        return M
    if isinstance(M, tuple):
        if len(M) != 2:
            raise ValueError("a preconditioner pair is (M1^-1, M2^-1), not %d items" % len(M))
        return SplitPreconditioner(M[0], M[1])
    if _multiplier(M) is None and not callable(M):
        raise TypeError("M must be None, a stock preconditioner's name (%s), an operator or "
                        "function applying M^-1, a pair (M1^-1, M2^-1) or a "
                        "SplitPreconditioner, not %s" % (", ".join(PRECONDITIONERS),
                                                        type(M).__name__))
    return SplitPreconditioner(right=M)


def _stock_options(options, M, method, csr, settings, keep):
    """Sets the stock preconditioner M (a name) and its settings in options;
    the arrays of M_matrix, which options points at, go to `keep`."""
    if M not in PRECONDITIONERS:
        raise ValueError("M must name one of the stock preconditioners %s, not %r"
                         % (", ".join(PRECONDITIONERS), M))
    if csr is None:
        raise ValueError("stock preconditioners are built from a matrix: give A as a "
                         "scipy.sparse matrix or a dense array, or M as an operator applying M^-1")
    if method == "symmetric" and M in _UNSYMMETRIC_STOCK:
        raise ValueError("the symmetric method needs a preconditioner M1 M1^T, which %s is "
                         "not: use ic0, ict, jacobi or ssor, or the qmr or gmres method" % M)
    kind, uses = PRECONDITIONERS[M]
    options.precond = kind
    for name, value in settings.items():
        if value is None or name == "M_matrix":
            continue
        if name not in uses:
            raise ValueError("M=%r does not use %s (it uses %s)"
                             % (M, name, " and ".join(uses) or "none of omega, drop_tol, fill"))
        value = _tolerance(name, value)
        if name == "omega" and not 0.0 < value < 2.0:
            raise ValueError("omega must lie in (0, 2), not %r" % value)
        setattr(options, name, value)
    P = settings["M_matrix"]
    if P is None:
        return
    matrix = _Csr.of(P, "M_matrix")
    if matrix is None:
        raise TypeError("M_matrix must be a scipy.sparse matrix or a dense array, not %s"
                        % type(P).__name__)
    if matrix.n != csr.n:
        raise ValueError("M_matrix is %d x %d, A is %d x %d" % (matrix.n, matrix.n, csr.n, csr.n))
    options.precond_rowptr, options.precond_colind, options.precond_values = matrix.pointers()
    keep.append(matrix)


# ---------------------------------------------------------------------------
# solve
# ---------------------------------------------------------------------------

def solve(A, B, method="auto", rtol=1e-8, atol=0.0, maxiter=None, M=None, x0=None,
          callback=None, *, max_products=None, block_size=None, restart=None,
          deflation_tol=None, max_breakdowns=None, left_start=None, omega=None,
          drop_tol=None, fill=None, M_matrix=None, threads=None, return_report=False):
    """Solve A X = B for square complex A and one or many right-hand sides.

    A: a scipy.sparse matrix or array, or a dense 2-D array: handed to the
        library as one CSR matrix, so products run in compiled code; or a
        scipy.sparse.linalg.LinearOperator or any object with `shape` and
        `matmat` or `@`, called with n x k complex128 blocks. The qmr method
        also needs A^T (plain transpose): from `rmatmat` (A^T x =
        conj(A^H conj(x))) or from `A.T`.
    B: shape (n,) or (n, s); X has the same shape, dtype complex128.
    method: "auto" (matrices: symmetric when A = A^T exactly, else gmres;
        operators: gmres; gmres also whenever M is not of the form M1 M1^T),
        "symmetric" (A = A^T, not Hermitian), "qmr" (general A, uses A^T) or
        "gmres".
    rtol, atol: column j converges when ||b_j - A x_j|| <= max(rtol ||b_j||, atol),
        always judged on the true residual.
    maxiter: iterations per block of columns (block steps, or GMRES
        Hessenberg columns); default none.
    M: preconditioner, M approximating A (default None: none). One of
        - a stock one built by the library from A (A a matrix only): "jacobi",
          "ssor" (keyword omega), "ic0", "ict" (drop_tol, fill; A = A^T),
          "ilu0", "ilut" (drop_tol, fill; not with symmetric) or "auto";
          M_matrix: a matrix to build it from instead of A;
        - an operator (matmat or @) or a function on vectors (applied column
          by column, e.g. spilu(A).solve) applying M^-1: gmres or qmr (which
          needs its plain transpose, from rmatmat or .T);
        - a pair (M1^-1, M2^-1) or a SplitPreconditioner for M = M1 M2; the
          symmetric method needs SplitPreconditioner(..., symmetric=True).
    x0: starting guess, shape of B (copied; default zeros).
    callback(progress): called after every iteration with a Progress; a true
        result, or raising StopIteration, stops the solve (info STOPPED).
    max_products: products with A (and A^T) per block, one per column;
        default 10 n s, at least 1000.
    block_size: columns solved together (default min(s, 8)); restart: GMRES
        basis capacity per cycle (default 60 per kept column, at least
        60, within a basis of 2 GiB); deflation_tol: GMRES deflation
        threshold (default 1e-12); max_breakdowns: Lanczos restarts after a
        breakdown (default 10); left_start: qmr's starting left block, shape
        of B; threads: OpenMP threads of the solve's compiled products and
        kernels (default: the OpenMP setting, OMP_NUM_THREADS).
    return_report: also return a Report.

    Returns (X, info) or (X, info, report). info is 0 when every column
    converged, else the positive status: MAX_PRODUCTS (1), BREAKDOWN (2),
    STAGNATED (3), STOPPED (4), MAX_ITERATIONS (5); X then holds the last
    iterate. Unusable arguments raise ValueError or TypeError before any
    work; a solve the library refuses to run (for instance a symmetric or
    qmr solve started from an operator of a solve of the same method on the
    same thread, or an incomplete Cholesky factorisation of a matrix that is
    not complex-symmetric) raises RuntimeError with its message. An
    exception raised by an operator (A's or M's) or the callback ends the
    solve and is raised again.
    """
    if method not in METHODS:
        raise ValueError("method must be one of %s, not %r" % (", ".join(METHODS), method))
    if callback is not None and not callable(callback):
        raise TypeError("callback must be callable")
    options = _lib.new_options()
    options.rtol = _tolerance("rtol", rtol)
    options.atol = _tolerance("atol", atol)
    options.max_iterations = _count("maxiter", maxiter, 1, _INT64_MAX) or 0
    options.max_products = _count("max_products", max_products, 1, _INT64_MAX) or 0
    if block_size is not None:
        options.block_size = _count("block_size", block_size, 1)
    if restart is not None:
        options.restart = _count("restart", restart, 1)
    if deflation_tol is not None:
        options.deflation_tol = _tolerance("deflation_tol", deflation_tol)
    if max_breakdowns is not None:
        options.max_breakdowns = _count("max_breakdowns", max_breakdowns, 0)
    if threads is not None:
        options.threads = _count("threads", threads, 1)

    n, csr, forward = _system(A)
    calls = _Callbacks(n, callback)
    settings = {"omega": omega, "drop_tol": drop_tol, "fill": fill, "M_matrix": M_matrix}
    split = None
    unsymmetric = False
    if isinstance(M, str):
        _stock_options(options, M, method, csr, settings, calls.keep)
        unsymmetric = M in _UNSYMMETRIC_STOCK
    else:
        given = [name for name, value in settings.items() if value is not None]
        if given:
            raise ValueError("%s go with a stock preconditioner named by M" % ", ".join(given))
        if M is not None:
            split = _split(M)
            unsymmetric = not split.symmetric
            if method == "symmetric" and unsymmetric:
                raise ValueError(
                    "the symmetric method needs a preconditioner split as M = M1 M1^T, given "
                    "as SplitPreconditioner(M1^-1, M1^-T, symmetric=True)%s; or use the qmr or "
                    "gmres method, or a stock one (M='ic0', 'ict', 'jacobi', 'ssor')"
                    % ("" if isinstance(M, (tuple, SplitPreconditioner))
                       else ": a single M^-1 cannot be split"))
    if method == "auto" and unsymmetric and n < 2:
        # The symmetric method, auto's choice for n = 1, cannot take it.
        method = "qmr"
    options.method = METHODS[method]
    if method == "gmres" and n < 2:
        raise ValueError("the gmres method needs n >= 2; use symmetric or qmr for n = 1")
    transpose = None
    if csr is None and method == "qmr":
        transpose = _transposer(A)
        if transpose is None:
            raise ValueError("the qmr method needs products with A^T: give A as a matrix, a "
                             "LinearOperator with rmatmat, or an operator whose .T multiplies")
    factors = split.functions(n, method == "qmr") if split is not None else None

    vector = np.ndim(B) == 1
    B = _block(B, "B", n)
    nrhs = B.shape[1]
    X = np.zeros_like(B, order="F") if x0 is None else _block(x0, "x0", n)
    if X.shape != B.shape:
        raise ValueError("x0 has shape %s, B has %s" % (X.shape, B.shape))
    if left_start is not None:
        if method != "qmr":
            raise ValueError("left_start is used by the qmr method only")
        left_start = _block(left_start, "left_start", n)
        if left_start.shape != B.shape:
            raise ValueError("left_start has shape %s, B has %s" % (left_start.shape, B.shape))
        options.left_start = left_start.ctypes.data_as(_Z)

    report = _lib.new_report()
    residuals = history = None
    if return_report:
        capacity = HISTORY_CAPACITY
        for limit in (maxiter, max_products):  # no iteration without a product
            if limit is not None:
                capacity = min(capacity, int(limit) * nrhs)
        residuals = np.zeros(nrhs)
        history = np.zeros(capacity)
        report.residuals = residuals.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
        report.history = history.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
        report.history_capacity = capacity

    options.progress = calls.progress
    if factors is not None:
        names = ("M1^-1", "M2^-1", "M1^-T", "M2^-T")
        preconditioner = bk_preconditioner(*(calls.operator(f, what)
                                             for f, what in zip(factors, names)))
        preconditioner.symmetric = int(split.symmetric)
        options.preconditioner = ctypes.pointer(preconditioner)
    with _deferred_interrupts(calls):
        if csr is not None:
            host.bk_solve_csr(n, *csr.pointers(), 0, nrhs, B.ctypes.data_as(_Z), n,
                              X.ctypes.data_as(_Z), n, ctypes.byref(options), ctypes.byref(report))
        else:
            At = calls.operator(transpose, "A^T") if transpose is not None else None
            host.bk_solve(n, nrhs, ctypes.byref(calls.operator(forward, "A")),
                          ctypes.byref(At) if At is not None else None,
                          B.ctypes.data_as(_Z), n, X.ctypes.data_as(_Z), n,
                          ctypes.byref(options), ctypes.byref(report))
    if calls.error is not None:
        raise calls.error
    message = report.message.decode("utf-8", "replace")
    if report.status == INVALID:
        raise RuntimeError(message)
    info = int(report.status)
    X = X[:, 0] if vector else X
    if not return_report:
        return X, info
    kept = min(report.history_length, report.history_capacity)
    return X, info, Report(
        status=_name(host.bk_status_name, report.status), info=info,
        converged=bool(report.converged), method=_name(host.bk_method_name, report.method),
        iterations=report.iterations, products=report.products, restarts=report.restarts,
        breakdowns=report.breakdowns, blocks=report.blocks, block_size=report.block_size,
        max_residual=report.max_residual, residuals=residuals, history=history[:kept].copy(),
        history_length=report.history_length, message=message,
        preconditioner=report.preconditioner.decode("utf-8", "replace"),
        setup_seconds=report.setup_seconds)


def symmetric(A, B, **kwargs):
    """solve(A, B, method="symmetric", ...): complex-symmetric A (A = A^T)."""
    return solve(A, B, method="symmetric", **kwargs)


def qmr(A, B, **kwargs):
    """solve(A, B, method="qmr", ...): general A, products with A and A^T."""
    return solve(A, B, method="qmr", **kwargs)


def gmres(A, B, **kwargs):
    """solve(A, B, method="gmres", ...): restarted block GMRES."""
    return solve(A, B, method="gmres", **kwargs)
