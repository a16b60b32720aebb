"""Python interface to libblockkrylov (ctypes + NumPy).

The library solves A X = B for sparse complex A and s right-hand sides by
reverse communication: it never sees A, and asks the caller for products with
A instead. This module offers

  * ``lib``: the loaded library with argument and result types declared for
    all twelve entry points (every argument by address, as in C);
  * ``colblocknorms(X)`` and ``convergence_progress(...)``: thin wrappers of
    the two monitoring routines;
  * ``solve_symmetric(matvec, B, ...)``: a whole solve of a complex-symmetric
    system (A = A^T, not Hermitian) with the block Lanczos / block QMR driver.

Arrays handed to the library are complex128 (or float64 / int32) in Fortran
(column-major) order; the wrappers convert their inputs when needed.

The library is found through the BLOCKKRYLOV_LIBRARY environment variable (a
path), else through ctypes.util.find_library, else by its soname.
"""

import collections
import ctypes
import ctypes.util
import os
import threading

import numpy as np

__all__ = ["lib", "load_library", "as_block", "colblocknorms", "convergence_progress",
           "Progress", "SolveResult", "solve_symmetric"]


class _Complex(ctypes.Structure):
    """One complex double: real part first, as the library expects."""
    _fields_ = [("re", ctypes.c_double), ("im", ctypes.c_double)]


_I = ctypes.POINTER(ctypes.c_int32)
_D = ctypes.POINTER(ctypes.c_double)
_Z = ctypes.POINTER(_Complex)

# Argument types of the twelve entry points: (result type, argument types).
_SIGNATURES = {
    "C_COLBLOCKNORMS": (None, [_Z, _I, _I, _I, _D]),
    "C_CONVERGENCEPROGRESS": (ctypes.c_int32, [_I, _I, _D, _D, _D, _I, _I, _D]),
    "C_ZDSYM_BLANCZOS1": (ctypes.c_int32,
                          [_I, _I, _I, _Z, _Z, _Z, _Z, _Z, _D, _D, _D, _D,
                           _Z, _Z, _Z, _Z, _Z, _Z, _Z, _Z, _Z]),
    "C_ZD_BLANCZOS": (ctypes.c_int32,
                      [_I, _I, _I, _Z, _Z, _Z, _Z, _Z, _Z, _Z, _D, _D, _D, _D, _D, _D,
                       _Z, _Z, _Z, _Z, _Z, _Z, _Z, _Z, _Z, _Z, _Z]),
    "C_INITIALBLOCKGMRES": (ctypes.c_int32,
                            [_I, _D, _I, _Z, _I, _Z, _Z, _Z, _Z, _I, _Z, _I,
                             _I, _I, _I, _Z, _I, _Z]),
    "C_PARENTBASISCONSTRUCT": (None, [_I, _Z, _I, _I, _Z, _I, _Z, _Z, _I, _Z]),
    "C_GMRESHOUSEORTHOG": (ctypes.c_int32,
                           [_I, _I, _D, _I, _Z, _I, _Z, _Z, _Z, _Z, _I, _Z, _I, _Z]),
    "C_GMRESHMQR": (None, [_I, _I, _Z, _I, _Z, _I, _D, _I, _Z, _I]),
    "C_GMRESUPDATELM": (None, [_I, _Z, _I, _Z, _Z, _I]),
    "C_GMRESLEASTSQS": (None, [_I, _I, _Z, _I, _Z, _I, _Z, _I]),
    "C_GMRESITERATEUPDATE": (None, [_I, _I, _I, _I, _Z, _I, _Z, _Z, _I, _Z, _Z, _I, _Z, _I, _Z]),
    "C_GMRESDEFLATEDITERATES": (None, [_I, _I, _I, _I, _Z, _I, _Z, _I]),
}

_INT32_MAX = 2**31 - 1


def load_library(path=None):
    """Load libblockkrylov and declare the types of its twelve entry points.

    path: file name or path of the shared library; default: the environment
    variable BLOCKKRYLOV_LIBRARY, else what ctypes.util.find_library finds,
    else the soname libblockkrylov.so.0.
    """
    if path is None:
        path = (os.environ.get("BLOCKKRYLOV_LIBRARY")
                or ctypes.util.find_library("blockkrylov")
                or "libblockkrylov.so.0")
    library = ctypes.CDLL(path)
    for name, (restype, argtypes) in _SIGNATURES.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    return library


lib = load_library()


# ---------------------------------------------------------------------------
# Passing arguments by address
# ---------------------------------------------------------------------------

def _int(value):
    """A 32-bit integer passed by address; refuses values that do not fit."""
    value = int(value)
    if not -_INT32_MAX - 1 <= value <= _INT32_MAX:
        raise OverflowError("%d does not fit a 32-bit integer" % value)
    return ctypes.byref(ctypes.c_int32(value))


def _z(array):
    """Address of a Fortran-ordered complex128 array."""
    assert array.dtype == np.complex128 and array.flags.f_contiguous
    return array.ctypes.data_as(_Z)


def _d(array):
    """Address of a float64 array."""
    assert array.dtype == np.float64 and array.flags.f_contiguous
    return array.ctypes.data_as(_D)


def as_block(a, name="array"):
    """Return a as an n x k complex128 Fortran-ordered array (a copy only when
    needed). A 1-D array becomes one column."""
    a = np.asarray(a)
    if a.ndim == 1:
        a = a.reshape(-1, 1)
    if a.ndim != 2:
        raise ValueError("%s must be 1-D or 2-D, not %d-D" % (name, a.ndim))
    if not (np.issubdtype(a.dtype, np.number) or a.dtype == np.bool_):
        raise TypeError("%s must hold numbers, not %s" % (name, a.dtype))
    if a.shape[0] > _INT32_MAX or a.shape[1] > _INT32_MAX:
        raise OverflowError("%s is too large for 32-bit dimensions" % name)
    return np.asfortranarray(a, dtype=np.complex128)


# ---------------------------------------------------------------------------
# Monitoring
# ---------------------------------------------------------------------------

def _colnorms(block, ld, n, s):
    """Column norms of rows 1..n of the s columns of a Fortran complex array
    with leading dimension ld (no conversion)."""
    nrm = np.zeros(s, dtype=np.float64)
    if n > 0 and s > 0:
        lib.C_COLBLOCKNORMS(_z(block), _int(ld), _int(n), _int(s), _d(nrm))
    return nrm


def colblocknorms(X):
    """Euclidean norm of each column of the block X (n x s, or a vector)."""
    X = as_block(X, "X")
    return _colnorms(X, max(1, X.shape[0]), X.shape[0], X.shape[1])


Progress = collections.namedtuple("Progress", "converged rmax itpred pct")
Progress.__doc__ = """Result of convergence_progress: converged (bool), rmax (largest current
norm, to pass to the next call), itpred (predicted total iterations), pct (progress in percent)."""


def convergence_progress(it, itold, tol, rmax, nrm, itpred=0, pct=0.0):
    """Converged flag and a progress estimate from the current residual norms.

    it: current iteration; itold: iteration of the previous call of this
    history, 0 to start a new one; tol: a norm <= tol counts as converged;
    rmax: largest norm at the previous call (first call: a reference such as
    the largest initial norm); nrm: current norms (NaN entries are ignored).
    itpred and pct are returned unchanged when the largest norm did not
    decrease: pass the previous values to keep them.

    The running rate average lives in a slot of the calling OpenMP thread; all
    plain Python threads count as thread 0, so keep one history per process.
    """
    nrm = np.ascontiguousarray(np.asarray(nrm, dtype=np.float64).ravel())
    c_rmax = ctypes.c_double(rmax)
    c_itpred = ctypes.c_int32(int(itpred))
    c_pct = ctypes.c_double(pct)
    flag = lib.C_CONVERGENCEPROGRESS(_int(it), _int(itold), ctypes.byref(ctypes.c_double(tol)),
                                     ctypes.byref(c_rmax), _d(nrm) if nrm.size else None,
                                     _int(nrm.size), ctypes.byref(c_itpred), ctypes.byref(c_pct))
    return Progress(bool(flag), c_rmax.value, c_itpred.value, c_pct.value)


# ---------------------------------------------------------------------------
# Whole solve, complex-symmetric A
# ---------------------------------------------------------------------------

SolveResult = collections.namedtuple(
    "SolveResult", "converged residuals products steps restarts info")
SolveResult.__doc__ = """Outcome of solve_symmetric.
converged: every column met rtol on its true residual;
residuals: true relative residuals ||b_j - A x_j|| / ||b_j|| (0 where b_j = 0);
products:  products with A used, counted column by column (checks included);
steps:     block Lanczos steps taken;
restarts:  Lanczos runs started again after a breakdown;
info:      the last nonzero driver result (0 if none)."""


class _Workspace:
    """The arrays one run of C_ZDSYM_BLANCZOS1 needs for n rows and block size s."""

    def __init__(self, n, s):
        def z(rows, cols):
            return np.zeros((rows, cols), dtype=np.complex128, order="F")
        self.Pn, self.D, self.APn = z(n, s), z(n, s), z(n, s)
        self.gamma, self.gammaold, self.rho, self.rhoold = (np.zeros(s) for _ in range(4))
        self.ESVB, self.DSVB = z(s, 4 * s), z(s, 4 * s)
        self.esv, self.dsv = z(s + 1, 1), z(s + 1, 1)
        self.QRS, self.RINV, self.UP = z(3 * s + 3, 2 * s), z(s, 2 * s), z(s, s)
        self.TAU, self.SVWORK = z(2 * s, s), z(s, 3 * s)

    def call(self, n, s, revcom, X, Vn):
        return lib.C_ZDSYM_BLANCZOS1(
            _int(n), _int(s), ctypes.byref(revcom), _z(X), _z(Vn), _z(self.Pn), _z(self.D),
            _z(self.APn), _d(self.gamma), _d(self.gammaold), _d(self.rho), _d(self.rhoold),
            _z(self.ESVB), _z(self.esv), _z(self.DSVB), _z(self.dsv), _z(self.QRS),
            _z(self.RINV), _z(self.UP), _z(self.TAU), _z(self.SVWORK))


# The driver keeps its state per OpenMP thread, and every plain Python thread
# is thread 0: two solves at once would share that state. Solves are
# therefore serialised, and a solve started from inside matvec is refused.
_solve_lock = threading.Lock()
_solve_owner = None


def _product(matvec, P, n):
    """A*P through the caller's matvec, checked and converted."""
    Y = np.asarray(matvec(P.copy(order="F")))
    if Y.ndim == 1 and P.shape[1] == 1:
        Y = Y.reshape(-1, 1)
    if Y.shape != P.shape:
        raise ValueError("matvec returned shape %s for a block of shape %s" % (Y.shape, P.shape))
    return Y


def solve_symmetric(matvec, B, X0=None, rtol=1e-8, maxiter=None, max_restarts=10):
    """Solve A X = B for complex-symmetric A (A = A^T, not Hermitian).

    matvec(P): returns A @ P for an n x k complex block P (k <= s; P is a
        fresh Fortran-ordered complex128 array the function may keep).
    B: n x s right-hand sides (a vector is one column).
    X0: starting guess, shape of B (default 0).
    rtol: column j has converged when ||b_j - A x_j|| <= rtol * ||b_j||.
    maxiter: limit on products with A, counted column by column (a block
        step with k columns costs k); default 10 * n * s, at least 1000.
    max_restarts: Lanczos runs allowed to start again after a breakdown.

    Returns (X, SolveResult); X has the shape of B. Columns with b_j = 0 get
    x_j = 0; columns that already meet rtol keep their guess. The driver's
    quasi-residual estimate decides when to form the true residual; only the
    true residual decides convergence. A breakdown restarts from the current
    iterate and its true residual. Records of the library go to stdout.
    """
    global _solve_owner
    me = threading.get_ident()
    if _solve_owner == me:
        raise RuntimeError("solve_symmetric called from inside its own matvec")
    with _solve_lock:
        _solve_owner = me
        try:
            return _solve_symmetric(matvec, B, X0, rtol, maxiter, max_restarts)
        finally:
            _solve_owner = None


def _check_limits(rtol, maxiter, max_restarts):
    """Refuse tolerances and limits that cannot mean anything."""
    rtol = float(rtol)
    if not (np.isfinite(rtol) and rtol >= 0):
        raise ValueError("rtol must be finite and >= 0, not %r" % rtol)
    if maxiter is not None and (isinstance(maxiter, bool) or int(maxiter) != maxiter or maxiter < 1):
        raise ValueError("maxiter must be a positive integer or None, not %r" % (maxiter,))
    if isinstance(max_restarts, bool) or int(max_restarts) != max_restarts or max_restarts < 0:
        raise ValueError("max_restarts must be an integer >= 0, not %r" % (max_restarts,))
    return rtol


def _solve_symmetric(matvec, B, X0, rtol, maxiter, max_restarts):
    rtol = _check_limits(rtol, maxiter, max_restarts)
    vector = np.ndim(B) == 1
    B = as_block(B, "B")
    n, s = B.shape
    if n == 0 or s == 0:
        raise ValueError("B has shape %s: it needs at least one row and one column" % (B.shape,))
    if s > n:
        raise ValueError("B has more columns (%d) than rows (%d): solve at most n at a time" % (s, n))
    if not np.all(np.isfinite(B)):
        raise ValueError("B has non-finite entries")
    if X0 is None:
        X = np.zeros((n, s), dtype=np.complex128, order="F")
    else:
        X = as_block(X0, "X0").copy(order="F")
        if X.shape != B.shape:
            raise ValueError("X0 has shape %s, B has %s" % (X.shape, B.shape))
    if maxiter is None:
        maxiter = max(1000, 10 * n * s)

    bnrm = colblocknorms(B)
    X[:, bnrm == 0] = 0                 # b_j = 0: x_j = 0 is the answer
    products = steps = restarts = info = 0
    R = B.copy(order="F")
    if X0 is not None and np.any(X):
        R -= _product(matvec, X, n)
        products += s
    rnrm = colblocknorms(R)

    while True:
        active = np.flatnonzero(rnrm > rtol * bnrm)
        if active.size == 0 or products >= maxiter or restarts > max_restarts:
            break
        k = active.size
        Xa = np.asfortranarray(X[:, active])
        Ba = np.asfortranarray(B[:, active])
        Vn = np.asfortranarray(R[:, active])
        limit = rtol * bnrm[active]
        work = _Workspace(n, k)
        revcom = ctypes.c_int32(0)
        run_steps, scale, done = 0, 1.0, False
        while not done and products < maxiter:
            result = work.call(n, k, revcom, Xa, Vn)
            if result != 0:
                info = result
                break
            if revcom.value == 1:
                work.APn[:, :] = _product(matvec, work.Pn, n)
                products += k
            elif revcom.value == 2:
                steps += 1
                run_steps += 1
                est = _colnorms(work.TAU, 2 * k, k, k)
                # After a false alarm wait until the estimate has fallen by
                # the ratio then seen between true residual and estimate.
                if np.all(est * scale <= limit):
                    Ra = Ba - _product(matvec, Xa, n)
                    products += k
                    ra = colblocknorms(Ra)
                    done = bool(np.all(ra <= limit))
                    if not done:
                        scale = max(scale, float(np.max(ra / np.maximum(est, 1e-300))))
        X[:, active] = Xa
        if done:
            R[:, active] = Ra
        else:
            R[:, active] = Ba - _product(matvec, Xa, n)
            products += k
            if result != 0:
                restarts += 1
                if run_steps == 0:      # failed at the start: would fail again
                    rnrm = colblocknorms(R)
                    break
        rnrm = colblocknorms(R)

    residuals = np.divide(rnrm, bnrm, out=np.zeros(s), where=bnrm > 0)
    converged = bool(np.all(rnrm <= rtol * bnrm))
    result = SolveResult(converged, residuals, products, steps, restarts, info)
    return (X[:, 0] if vector else X), result
