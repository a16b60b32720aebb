"""Solve a complex-symmetric system with three right-hand sides from Python.

A is the 5-point Laplacian on a 20 x 20 grid (n = 400) minus the complex
shift 0.6 + 0.15i: A = A^T, not Hermitian. It is built densely with NumPy,
which is plenty for this size (blockkrylov.solve hands a dense or
scipy.sparse matrix to the library as one sparse matrix). Prints the true
relative residual of each column and exits with status 0 only when all are
below 1e-8.

Run, after ./build.sh and `python3 -m pip install --no-build-isolation python/`:
    python3 python/example_symmetric.py
"""

import sys

import numpy as np

import blockkrylov


def shifted_laplacian(g, shift):
    """Dense 2D 5-point Laplacian on a g x g grid, minus shift on the diagonal."""
    t = 2.0 * np.eye(g) - np.eye(g, k=1) - np.eye(g, k=-1)
    return np.kron(np.eye(g), t) + np.kron(t, np.eye(g)) - shift * np.eye(g * g)


def main():
    g, s, tol = 20, 3, 1e-8
    A = shifted_laplacian(g, 0.6 + 0.15j)
    n = g * g

    B = np.zeros((n, s), dtype=complex)   # three point sources
    B[5 * g + 5, 0] = 1.0
    B[12 * g + 14, 1] = 1.0
    B[17 * g + 3, 2] = 1.0 + 1.0j

    X, info, report = blockkrylov.symmetric(A, B, rtol=1e-10, return_report=True)

    # Judge the answer independently of the solver's own bookkeeping.
    residuals = np.linalg.norm(B - A @ X, axis=0) / np.linalg.norm(B, axis=0)
    print("symmetric (python): n = %d, s = %d, %d iterations, %d products, %d restarts"
          % (n, s, report.iterations, report.products, report.restarts))
    for j, r in enumerate(residuals):
        print("  column %d: relative residual %.3e" % (j + 1, r))
    ok = info == 0 and bool(np.all(residuals < tol))
    print("symmetric (python): %s" % ("OK" if ok else "FAILED: " + report.message))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
