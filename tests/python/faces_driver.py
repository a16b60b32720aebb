"""Cross-language driver: solves a fixed set of problems through bk_solve_csr
(blockkrylov.solve with a SciPy CSR matrix) and prints one line per case,

    <problem> <method> <status> <products> <maxres>

which the drivers of the other languages print alike. The kernel library's
records, written to the process's standard output, are sent to standard
error while solving, so that standard output holds those lines only.
Exits with 77 (skipped) when SciPy is missing.
"""

import contextlib
import ctypes
import os
import sys

import numpy as np

try:
    import scipy.sparse as sp
except ImportError:
    print("faces_driver: SciPy is missing", file=sys.stderr)
    sys.exit(77)

import blockkrylov

N = 200
CASES = [("helmholtz", "symmetric"), ("helmholtz", "qmr"), ("helmholtz", "gmres"),
         ("convection", "qmr"), ("convection", "gmres")]
# (diagonal, A(i+1, i), A(i, i+1)) of the tridiagonal problems.
PROBLEMS = {"helmholtz": (1.7 + 0.2j, -1.0, -1.0),
            "convection": (2.5 + 0.5j, -1.4, -0.6 + 0.1j)}


def matrix(name):
    diagonal, lower, upper = PROBLEMS[name]
    i = np.arange(N - 1)
    rows = np.concatenate([np.arange(N), i + 1, i])
    cols = np.concatenate([np.arange(N), i, i + 1])
    vals = np.concatenate([np.full(N, diagonal), np.full(N - 1, lower), np.full(N - 1, upper)])
    A = sp.csr_matrix((vals.astype(complex), (rows, cols)), shape=(N, N))
    A.sort_indices()
    return A


def right_hand_sides():
    """Integer arithmetic alone, the same bits in every language:
    b(i, j) = (u mod 1009)/1009 - 1/2 + i ((v mod 997)/997 - 1/2) with
    u = 7919 i + 104729 j, v = 104729 i + 7919 j + 13 (1-based i, j)."""
    i = np.arange(1, N + 1, dtype=np.int64)[:, None]
    j = np.arange(1, 5, dtype=np.int64)[None, :]
    re = ((7919 * i + 104729 * j) % 1009) / 1009.0 - 0.5
    im = ((104729 * i + 7919 * j + 13) % 997) / 997.0 - 0.5
    return re + 1j * im


@contextlib.contextmanager
def records_to_stderr():
    """Point file descriptor 1 at standard error for the duration."""
    libc = ctypes.CDLL(None)
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(2, 1)
    try:
        yield
    finally:
        libc.fflush(None)
        os.dup2(saved, 1)
        os.close(saved)


def main():
    B = right_hand_sides()
    for problem, method in CASES:
        with records_to_stderr():
            _, _, report = blockkrylov.solve(matrix(problem), B, method=method, rtol=1e-8,
                                             block_size=4, return_report=True)
        print("%s %s %s %d %.3e" % (problem, method, report.status, report.products,
                                    report.max_residual), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
