"""Block Krylov solvers for sparse complex systems A X = B with many
right-hand sides.

    X, info = blockkrylov.solve(A, B, method="auto", rtol=1e-8, ...)

A may be a scipy.sparse matrix, a dense array (both solved as one CSR matrix
in compiled code) or a LinearOperator / any object with matmat or @ (called
back per block). M, the preconditioner, is a stock one's name ("ilut", ...),
an operator or function applying M^-1, or a SplitPreconditioner. symmetric(),
qmr() and gmres() name the method. ``raw``
holds the twelve kernel entry points for those who drive the
reverse-communication loops themselves. See docs/python.md.
"""

from . import raw
from ._lib import library_paths
from .solve import (BREAKDOWN, CONVERGED, HISTORY_CAPACITY, INVALID, MAX_ITERATIONS,
                    MAX_PRODUCTS, METHODS, PRECONDITIONERS, STAGNATED, STOPPED, Progress, Report,
                    SplitPreconditioner, gmres, qmr, solve, symmetric)

__version__ = "0.1.0"

__all__ = ["solve", "symmetric", "qmr", "gmres", "Progress", "Report", "SplitPreconditioner",
           "METHODS", "PRECONDITIONERS",
           "CONVERGED", "MAX_PRODUCTS", "BREAKDOWN", "STAGNATED", "STOPPED",
           "MAX_ITERATIONS", "INVALID", "HISTORY_CAPACITY", "raw", "library_paths"]
