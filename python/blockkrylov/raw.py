"""The twelve entry points of the kernel library (blockkrylov.h), for those
who drive the reverse-communication loops themselves.

``lib`` is the loaded kernel library with result and argument types declared
for all twelve ``C_`` functions. Every argument is passed by address, as in
C: integers as ``ctypes.byref(ctypes.c_int32(v))``, complex arrays as
complex128 Fortran-ordered NumPy arrays through ``a.ctypes.data_as(Z)``, real
arrays (float64) through ``a.ctypes.data_as(D)``. The arrays must stay alive
and unchanged between the calls of one loop, as docs/symmetric.md and
docs/gmres.md describe.

``colblocknorms`` and ``convergence_progress`` wrap the two monitoring
routines; ``as_block`` converts an array to the layout the kernels expect.
"""

import collections
import ctypes

import numpy as np

from ._lib import bk_complex, kernel

__all__ = ["lib", "SIGNATURES", "load_library", "as_block", "colblocknorms",
           "convergence_progress", "ConvergenceEstimate", "I", "D", "Z"]

I = ctypes.POINTER(ctypes.c_int32)
D = ctypes.POINTER(ctypes.c_double)
Z = ctypes.POINTER(bk_complex)

# (result type, argument types) of the twelve entry points.
SIGNATURES = {
    "C_COLBLOCKNORMS": (None, [Z, I, I, I, D]),
    "C_CONVERGENCEPROGRESS": (ctypes.c_int32, [I, I, D, D, D, I, I, D]),
    "C_ZDSYM_BLANCZOS1": (ctypes.c_int32,
                          [I, I, I, Z, Z, Z, Z, Z, D, D, D, D, Z, Z, Z, Z, Z, Z, Z, Z, Z]),
    "C_ZD_BLANCZOS": (ctypes.c_int32,
                      [I, I, I, Z, Z, Z, Z, Z, Z, Z, D, D, D, D, D, D,
                       Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z]),
    "C_INITIALBLOCKGMRES": (ctypes.c_int32,
                            [I, D, I, Z, I, Z, Z, Z, Z, I, Z, I, I, I, I, Z, I, Z]),
    "C_PARENTBASISCONSTRUCT": (None, [I, Z, I, I, Z, I, Z, Z, I, Z]),
    "C_GMRESHOUSEORTHOG": (ctypes.c_int32, [I, I, D, I, Z, I, Z, Z, Z, Z, I, Z, I, Z]),
    "C_GMRESHMQR": (None, [I, I, Z, I, Z, I, D, I, Z, I]),
    "C_GMRESUPDATELM": (None, [I, Z, I, Z, Z, I]),
    "C_GMRESLEASTSQS": (None, [I, I, Z, I, Z, I, Z, I]),
    "C_GMRESITERATEUPDATE": (None, [I, I, I, I, Z, I, Z, Z, I, Z, Z, I, Z, I, Z]),
    "C_GMRESDEFLATEDITERATES": (None, [I, I, I, I, Z, I, Z, I]),
}

_INT32_MAX = 2**31 - 1


def _declare(library):
    for name, (restype, argtypes) in SIGNATURES.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    return library


def load_library(path):
    """Load another copy of the kernel library from `path`, types declared."""
    return _declare(ctypes.CDLL(path))


lib = _declare(kernel)


def _int(value):
    """A 32-bit integer passed by address; refuses values that do not fit."""
    value = int(value)
    if not -_INT32_MAX - 1 <= value <= _INT32_MAX:
        raise OverflowError("%d does not fit a 32-bit integer" % value)
    return ctypes.byref(ctypes.c_int32(value))


def as_block(a, name="array"):
    """`a` as an n x k complex128 Fortran-ordered array, copied only when
    needed; a 1-D array becomes one column."""
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


def colblocknorms(X):
    """Euclidean norm of each column of X (n x s, or a vector)."""
    X = as_block(X, "X")
    n, s = X.shape
    nrm = np.zeros(s, dtype=np.float64)
    if n > 0 and s > 0:
        lib.C_COLBLOCKNORMS(X.ctypes.data_as(Z), _int(n), _int(n), _int(s), nrm.ctypes.data_as(D))
    return nrm


ConvergenceEstimate = collections.namedtuple("ConvergenceEstimate", "converged rmax itpred pct")
ConvergenceEstimate.__doc__ = """Result of convergence_progress: converged (bool), rmax
(largest current norm, to pass to the next call), itpred (predicted total iterations),
pct (progress in percent)."""


def convergence_progress(it, itold, tol, rmax, nrm, itpred=0, pct=0.0):
    """Converged flag and progress estimate from the current residual norms.

    it: current iteration; itold: iteration of the previous call of this
    history, 0 to start a new one; tol: a norm <= tol counts as converged;
    rmax: largest norm at the previous call (first call: a reference such as
    the largest initial norm); nrm: current norms (NaN entries are ignored).
    itpred and pct come back unchanged when the largest norm did not
    decrease: pass the previous values to keep them.

    The running rate average lives in a slot of the calling OpenMP thread;
    all plain Python threads count as thread 0, so keep one history at a time.
    """
    nrm = np.ascontiguousarray(np.asarray(nrm, dtype=np.float64).ravel())
    c_rmax = ctypes.c_double(rmax)
    c_itpred = ctypes.c_int32(int(itpred))
    c_pct = ctypes.c_double(pct)
    flag = lib.C_CONVERGENCEPROGRESS(_int(it), _int(itold), ctypes.byref(ctypes.c_double(tol)),
                                     ctypes.byref(c_rmax),
                                     nrm.ctypes.data_as(D) if nrm.size else None,
                                     _int(nrm.size), ctypes.byref(c_itpred), ctypes.byref(c_pct))
    return ConvergenceEstimate(bool(flag), c_rmax.value, c_itpred.value, c_pct.value)
