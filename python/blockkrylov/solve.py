"""Whole solves of A X = B through the host library (libblockkrylov_host).

A sparse or dense matrix is handed to bk_solve_csr as one CSR matrix, so that
every product (and every product with A^T) runs in compiled code. Any other
operator is called back through bk_solve, one n x k block per call.
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
from ._lib import bk_complex, bk_operator, host

__all__ = ["solve", "symmetric", "qmr", "gmres", "Progress", "Report", "METHODS",
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
    """A as 0-based CSR arrays: int64 row pointers, int32 columns, complex128 values."""

    def __init__(self, n, rowptr, colind, values):
        # The library reads rowptr[0..n] and the first rowptr[n] columns and
        # values, trusting their lengths: arrays that do not hold that much
        # (a CSR matrix whose arrays were changed by hand) are refused here.
        # Columns are range-checked before the narrowing to int32, which
        # would wrap large ones into the matrix.
        rowptr, colind = np.asarray(rowptr), np.asarray(colind)
        if rowptr.shape != (n + 1,) or rowptr[0] != 0 or np.any(np.diff(rowptr) < 0):
            raise ValueError("A's CSR row pointers must be n + 1 nondecreasing values from 0")
        nnz = int(rowptr[-1])
        if nnz > min(colind.size, np.size(values)):
            raise ValueError("A's CSR arrays hold fewer than %d entries" % nnz)
        colind = colind[:nnz]
        if nnz and (colind.min() < 0 or colind.max() >= n):
            raise ValueError("A has a column index outside 0 .. %d" % (n - 1))
        self.n = n
        self.rowptr = np.ascontiguousarray(rowptr, dtype=np.int64)
        self.colind = np.ascontiguousarray(colind, dtype=np.int32)
        self.values = np.ascontiguousarray(np.asarray(values)[:nnz], dtype=np.complex128)
        if not np.all(np.isfinite(self.values)):
            raise ValueError("A has entries that are not finite")

    @classmethod
    def from_sparse(cls, A):
        n = _order(A.shape)
        A = A.tocsr()
        return cls(n, A.indptr, A.indices, A.data)

    @classmethod
    def from_dense(cls, A):
        if A.ndim != 2:
            raise ValueError("A must be 2-D, not %d-D" % A.ndim)
        if not (np.issubdtype(A.dtype, np.number) or A.dtype == np.bool_):
            raise TypeError("A must hold numbers, not %s" % A.dtype)
        n = _order(A.shape)
        mask = A != 0
        rows, cols = np.nonzero(mask)  # row by row, columns ascending
        rowptr = np.zeros(n + 1, dtype=np.int64)
        np.cumsum(np.count_nonzero(mask, axis=1), out=rowptr[1:])
        return cls(n, rowptr, cols, A[rows, cols])


class _Callbacks:
    """A (and A^T) as Python callables behind bk_operator structs, and the
    progress callback every solve installs.

    An exception raised by a callable (or by `callback`) cannot cross the C
    frames below it: it is recorded, the products from then on are NaN
    without calling Python again, and the progress callback asks the solve to
    stop; solve() raises it once the library has returned. An interrupt
    (Ctrl-C) is noted by _deferred_interrupts and likewise stops the solve at
    its next progress call.
    """

    def __init__(self, n, forward, transpose, callback):
        self.n = n
        self.error = None
        self.interrupted = False
        self.callback = callback
        self._keep = []
        self.A = self._operator(forward) if forward is not None else None
        self.At = self._operator(transpose) if transpose is not None else None
        self.progress = _lib.PROGRESS_FN(self._progress)

    def _operator(self, fn):
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
                        raise ValueError("the operator returned shape %s for a block of shape %s"
                                         % (result.shape, (n, k)))
                    out[...] = result
                    return
                except BaseException as e:  # noqa: B902 - KeyboardInterrupt included
                    self.error = e
            out[...] = np.nan

        c_apply = _lib.OPERATOR_FN(apply)
        op = bk_operator(c_apply, None)
        self._keep.append(c_apply)
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


def _system(A, method, callback):
    """(n, _Csr or _Callbacks) for A."""
    sp = sys.modules.get("scipy.sparse")
    if sp is not None and sp.issparse(A):
        csr = _Csr.from_sparse(A)
        return csr.n, csr
    if isinstance(A, np.ndarray):
        csr = _Csr.from_dense(np.asarray(A))
        return csr.n, csr
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
        return csr.n, csr
    n = _order(getattr(A, "shape", None))
    transpose = None
    if method == "qmr":
        transpose = _transposer(A)
        if transpose is None:
            raise ValueError("the qmr method needs products with A^T: give A as a matrix, a "
                             "LinearOperator with rmatmat, or an operator whose .T multiplies")
    return n, _Callbacks(n, forward, transpose, callback)


# ---------------------------------------------------------------------------
# solve
# ---------------------------------------------------------------------------

def solve(A, B, method="auto", rtol=1e-8, atol=0.0, maxiter=None, M=None, x0=None,
          callback=None, *, max_products=None, block_size=None, restart=None,
          deflation_tol=None, max_breakdowns=None, left_start=None, return_report=False):
    """Solve A X = B for square complex A and one or many right-hand sides.

    A: a scipy.sparse matrix or array, or a dense 2-D array: handed to the
        library as one CSR matrix, so products run in compiled code; or a
        scipy.sparse.linalg.LinearOperator or any object with `shape` and
        `matmat` or `@`, called with n x k complex128 blocks. The qmr method
        also needs A^T (plain transpose): from `rmatmat` (A^T x =
        conj(A^H conj(x))) or from `A.T`.
    B: shape (n,) or (n, s); X has the same shape, dtype complex128.
    method: "auto" (matrices: symmetric when A = A^T exactly, else gmres;
        operators: gmres), "symmetric" (A = A^T, not Hermitian), "qmr"
        (general A, uses A^T) or "gmres".
    rtol, atol: column j converges when ||b_j - A x_j|| <= max(rtol ||b_j||, atol),
        always judged on the true residual.
    maxiter: iterations per block of columns (block steps, or GMRES
        Hessenberg columns); default none.
    M: preconditioner; must be None (preconditioners come later).
    x0: starting guess, shape of B (copied; default zeros).
    callback(progress): called after every iteration with a Progress; a true
        result, or raising StopIteration, stops the solve (info STOPPED).
    max_products: products with A (and A^T) per block, one per column;
        default 10 n s, at least 1000.
    block_size: columns solved together (default min(s, 8)); restart: GMRES
        basis capacity per cycle (default 60); deflation_tol: GMRES deflation
        threshold (default 1e-12); max_breakdowns: Lanczos restarts after a
        breakdown (default 10); left_start: qmr's starting left block, shape
        of B.
    return_report: also return a Report.

    Returns (X, info) or (X, info, report). info is 0 when every column
    converged, else the positive status: MAX_PRODUCTS (1), BREAKDOWN (2),
    STAGNATED (3), STOPPED (4), MAX_ITERATIONS (5); X then holds the last
    iterate. Unusable arguments raise ValueError or TypeError before any
    work; a solve the library refuses to run (for instance a symmetric or
    qmr solve started from an operator of a solve of the same method on the
    same thread) raises RuntimeError with its message. An exception raised
    by the operator or the callback ends the solve and is raised again.
    """
    if method not in METHODS:
        raise ValueError("method must be one of %s, not %r" % (", ".join(METHODS), method))
    if M is not None:
        raise NotImplementedError("preconditioners are not supported yet: M must be None")
    if callback is not None and not callable(callback):
        raise TypeError("callback must be callable")
    options = _lib.new_options()
    options.method = METHODS[method]
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

    n, system = _system(A, method, callback)
    if method == "gmres" and n < 2:
        raise ValueError("the gmres method needs n >= 2; use symmetric or qmr for n = 1")
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

    calls = _Callbacks(n, None, None, callback) if isinstance(system, _Csr) else system
    options.progress = calls.progress
    with _deferred_interrupts(calls):
        if isinstance(system, _Csr):
            host.bk_solve_csr(n, system.rowptr.ctypes.data_as(ctypes.POINTER(ctypes.c_int64)),
                              system.colind.ctypes.data_as(ctypes.POINTER(ctypes.c_int32)),
                              system.values.ctypes.data_as(_Z), 0, nrhs, B.ctypes.data_as(_Z), n,
                              X.ctypes.data_as(_Z), n, ctypes.byref(options), ctypes.byref(report))
        else:
            host.bk_solve(n, nrhs, ctypes.byref(calls.A),
                          ctypes.byref(calls.At) if calls.At is not None else None,
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
        history_length=report.history_length, message=message)


def symmetric(A, B, **kwargs):
    """solve(A, B, method="symmetric", ...): complex-symmetric A (A = A^T)."""
    return solve(A, B, method="symmetric", **kwargs)


def qmr(A, B, **kwargs):
    """solve(A, B, method="qmr", ...): general A, products with A and A^T."""
    return solve(A, B, method="qmr", **kwargs)


def gmres(A, B, **kwargs):
    """solve(A, B, method="gmres", ...): restarted block GMRES."""
    return solve(A, B, method="gmres", **kwargs)
