"""Cross-language driver (see tests/host/faces_test.cpp): solves the fixed
problem set through blockkrylov.solve with SciPy CSR matrices and prints
`<problem> <method> <status> <products> <maxres>` per case, as the drivers of
the other languages do. The kernel library's records go to standard error
while solving. Exits with 77 (skipped) when SciPy is missing."""

import ctypes
import os
import sys

import numpy as np

try:
    import scipy.sparse as sp
except ImportError:
    sys.exit(77)

import blockkrylov

N = 200
# (diagonal, A(i+1, i), A(i, i+1)) of the tridiagonal problems.
PROBLEMS = {"helmholtz": (1.7 + 0.2j, -1.0, -1.0), "convection": (2.5 + 0.5j, -1.4, -0.6 + 0.1j)}
CASES = [("helmholtz", "symmetric"), ("helmholtz", "qmr"), ("helmholtz", "gmres"),
         ("convection", "qmr"), ("convection", "gmres")]

# Integer arithmetic alone, the same bits in every language (1-based i, j):
# b(i, j) = (u mod 1009)/1009 - 1/2 + i ((v mod 997)/997 - 1/2),
# u = 7919 i + 104729 j, v = 104729 i + 7919 j + 13.
i, j = np.arange(1, N + 1, dtype=np.int64)[:, None], np.arange(1, 5, dtype=np.int64)[None, :]
B = (((7919 * i + 104729 * j) % 1009) / 1009.0 - 0.5
     + 1j * (((104729 * i + 7919 * j + 13) % 997) / 997.0 - 0.5))

libc = ctypes.CDLL(None)
for problem, method in CASES:
    d, lower, upper = PROBLEMS[problem]
    A = sp.diags([np.full(N - 1, lower), np.full(N, d), np.full(N - 1, upper)], [-1, 0, 1],
                 format="csr", dtype=complex)
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(2, 1)  # the records to standard error
    try:
        report = blockkrylov.solve(A, B, method=method, rtol=1e-8, block_size=4, return_report=True)[2]
    finally:
        libc.fflush(None)
        os.dup2(saved, 1)
        os.close(saved)
    print("%s %s %s %d %.3e" % (problem, method, report.status, report.products, report.max_residual),
          flush=True)
