"""blockkrylov.solve over the host library, for what the Python face adds: the
forms A, B and M may take, options and reports, its own argument checks,
errors raised inside callbacks, interrupts, nested and concurrent solves."""

import concurrent.futures
import itertools
import os
import signal
import threading
import time
import unittest

import numpy as np

import blockkrylov as bk

try:
    import scipy.sparse as sp
    import scipy.sparse.linalg as spla
except ImportError:
    sp = spla = None

N = 60


# Tridiagonal matrices made of exact bidiagonal factors, so that a solve
# preconditioned by them takes one step, and factors applied in the wrong
# place or order (left for right, a transpose for the other) show at once:
# SYMMETRIC = C C^T (plain transpose), GENERAL = L U. A varying diagonal, so
# that no symmetry shrinks the Krylov spaces.
_WAVE = 0.3 * np.cos(np.arange(N))
C = np.diag(1.7 + 0.3j + _WAVE) - 0.5 * np.eye(N, k=-1)
L, U = np.eye(N) - 0.4 * np.eye(N, k=-1), np.diag(3.0 + 0.5j + _WAVE) + (-0.6 + 0.1j) * np.eye(N, k=1)
SYMMETRIC, GENERAL = C @ C.T, L @ U
C_INV, L_INV, U_INV = (np.linalg.inv(F) for F in (C, L, U))


class MatmulOnly:
    """An operator known only through `shape`, `@` and `.T`."""

    def __init__(self, a):
        self.a, self.shape = a, a.shape

    def __matmul__(self, x):
        return self.a @ x

    @property
    def T(self):
        return MatmulOnly(self.a.T)


def operator(matmat):
    """An operator known only through `shape` and `matmat`."""
    return type("Op", (), {"shape": (N, N), "matmat": staticmethod(matmat)})()


# name -> (converter, needs SciPy)
FORMATS = {
    "dense": (np.array, False),
    "matmul": (MatmulOnly, False),
    "csr": (lambda a: sp.csr_matrix(a), True),
    "coo": (lambda a: sp.coo_array(a) if hasattr(sp, "coo_array") else sp.coo_matrix(a), True),
    "linear_operator": (lambda a: spla.aslinearoperator(a), True),
}


def rhs(s):
    i, j = np.arange(1, N + 1)[:, None], np.arange(1, s + 1)[None, :]
    return np.cos(0.37 * i * j) + 1j * np.sin(0.11 * i + j)


def relres(A, B, X):
    B2, X2 = B.reshape(N, -1), X.reshape(N, -1)
    return np.linalg.norm(B2 - getattr(A, "a", A) @ X2, axis=0) / np.linalg.norm(B2, axis=0)


class Solves(unittest.TestCase):
    def test_forms_of_a_and_b(self):
        # qmr needs A^T: from the CSR copy, .T or rmatmat (conjugated twice).
        # U has more entries in some rows than in the columns of the same index.
        for fmt, (convert, needs_scipy) in FORMATS.items():
            for A, method, B in ((GENERAL, "qmr", rhs(3)), (U, "auto", rhs(1)[:, 0])):
                if needs_scipy and sp is None:
                    continue
                with self.subTest(fmt=fmt, method=method):
                    X, info = bk.solve(convert(A), B, method=method, rtol=1e-10)
                    self.assertEqual((info, X.shape), (0, B.shape))
                    self.assertLess(relres(A, B, X).max(), 1e-9)

    def test_auto_choice_and_report(self):
        cases = [(SYMMETRIC, "symmetric"), (GENERAL, "qmr"), (MatmulOnly(SYMMETRIC), "gmres"),
                 (np.array([[2.0 + 1j]]), "symmetric")]
        for A, expected in cases:
            n = A.shape[0]
            B = rhs(5)[:n]
            X, info, r = bk.solve(A, B, return_report=True, block_size=2)
            self.assertEqual((info, r.info, r.status, r.converged, r.method),
                             (0, 0, "converged", True, expected))
            self.assertEqual((r.blocks, r.block_size), ((5 + 1) // 2 if n > 1 else 5, min(2, n)))
            true = np.linalg.norm(B - getattr(A, "a", A) @ X, axis=0) / np.linalg.norm(B, axis=0)
            np.testing.assert_allclose(r.residuals, true, rtol=1e-3, atol=1e-15)
            self.assertEqual(r.max_residual, r.residuals.max())
            self.assertEqual((len(r.history), r.history_length), (r.iterations, r.iterations))
            self.assertIn("converged", r.message)
            self.assertEqual((r.preconditioner, r.setup_seconds), ("", 0.0))

    def test_guess_is_copied_and_real_input_converted(self):
        guess = np.ones((N, 3), dtype=complex)
        _, info = bk.solve(SYMMETRIC, rhs(3), x0=guess)
        self.assertEqual(info, 0)
        np.testing.assert_array_equal(guess, 1.0)
        X, info = bk.solve(np.eye(N, dtype=int) * 2, np.ones(N))  # integer A, real B
        self.assertEqual(info, 0)
        np.testing.assert_allclose(X, 0.5)
        X, info = bk.solve(np.array([[2 + 1j]]), [1.0], M=np.eye(1))  # n = 1: qmr, not gmres
        self.assertEqual(info, 0)
        self.assertAlmostEqual(X[0], 1 / (2 + 1j), places=12)

    def test_info_codes_and_progress(self):
        def stop_iteration(p):
            raise StopIteration

        cases = [({"maxiter": 2}, bk.MAX_ITERATIONS, "max_iterations"),
                 ({"max_products": 5}, bk.MAX_PRODUCTS, "max_products"),
                 ({"callback": lambda p: True}, bk.STOPPED, "stopped"),
                 ({"callback": stop_iteration}, bk.STOPPED, "stopped")]
        for kwargs, info_expected, status in cases:
            with self.subTest(kwargs=kwargs):
                X, info, r = bk.gmres(MatmulOnly(GENERAL), rhs(2), return_report=True, **kwargs)
                self.assertEqual((info, r.status, r.converged), (info_expected, status, False))
                self.assertTrue(np.all(np.isfinite(X)))
                self.assertLessEqual(r.iterations, kwargs.get("maxiter", np.inf))
                self.assertLessEqual(r.products, kwargs.get("max_products", np.inf))
        e = np.eye(N)  # a left start orthogonal to the residual: the two-sided method breaks down
        self.assertEqual(bk.qmr(SYMMETRIC, e[:, 0], left_start=e[:, 1])[1], bk.BREAKDOWN)
        seen = []
        bk.symmetric(SYMMETRIC, rhs(3), callback=seen.append, block_size=2)
        self.assertGreater(len(seen), 3)
        self.assertEqual({(p.method, p.blocks) for p in seen}, {("symmetric", 2)})
        self.assertEqual([p.block for p in seen], sorted(p.block for p in seen))
        self.assertEqual([p.iteration for p in seen[:3]], [1, 2, 3])
        self.assertTrue(all(b.products > a.products
                            for a, b in zip(seen, seen[1:]) if a.block == b.block))


class Preconditioners(unittest.TestCase):
    def test_stock_and_operators(self):
        # (A, method, M, settings, the report's name for it): stock ones by
        # name and settings; operators, exact factors (one step) applied as
        # each form of M says, in the wrong place or order they show at once.
        S, G, general_inverse = SYMMETRIC, GENERAL, U_INV @ L_INV
        symmetric = bk.SplitPreconditioner(C_INV, symmetric=True)  # M2^-1 = C_INV.T
        cases = [(S, "symmetric", "jacobi", {}, "jacobi"),
                 (S, "symmetric", "ssor", {"omega": 1.2}, "ssor(omega 1.2)"),
                 (S, "symmetric", "ic0", {}, "ic0"),
                 (S, "qmr", "ict", {"drop_tol": 1e-2, "fill": 2}, "ict(drop 0.01, fill 2)"),
                 (S, "auto", "ilu0", {}, "ilu0"),  # auto must not pick symmetric
                 (G, "qmr", "ilut", {}, "ilut(drop 0.001, fill 5)"),
                 (G, "auto", "auto", {}, "auto: ilut")]
        cases += [(A, method, M, {}, "user") for A, method, M in [
            (S, "symmetric", symmetric), (S, "qmr", symmetric), (S, "gmres", symmetric),
            (G, "qmr", (L_INV, U_INV)), (MatmulOnly(G), "gmres", (L_INV, U_INV)),
            (G, "qmr", bk.SplitPreconditioner(L_INV, MatmulOnly(U_INV), right_t=U_INV.T)),
            (G, "qmr", general_inverse),  # M^-T from .T
            (MatmulOnly(G), "auto", lambda x: general_inverse @ x.reshape(N))]]  # on vectors
        if spla is not None:
            lu = spla.spilu(sp.csc_matrix(G), drop_tol=0.0)
            cases += [(G, "gmres", lu.solve, {}, "user"),
                      (G, "qmr", spla.LinearOperator((N, N), matvec=lu.solve,
                                                     rmatvec=lambda x: lu.solve(x, "H")), {}, "user")]
        for A, method, M, settings, name in cases:
            with self.subTest(method=method, M=M if isinstance(M, str) else type(M).__name__):
                B = rhs(3)
                X, info, r = bk.solve(A, B, method=method, M=M, rtol=1e-10, return_report=True,
                                      **settings)
                self.assertEqual(info, 0)
                self.assertLess(relres(A, B, X).max(), 1e-9)
                self.assertTrue(r.preconditioner.startswith(name), r.preconditioner)
                if name == "user":  # M = A^-1: GMRES ends each cycle at its first
                    # direction, having taken the block step's products together
                    self.assertLessEqual(r.products, 4 * B.shape[1])
                else:
                    self.assertGreater(r.setup_seconds, 0.0)

    def test_symmetric_split_in_qmr(self):
        # With an inexact split M1 M1^T the two-sided method takes the
        # symmetric method's steps only if its transposes are wired right.
        M = bk.SplitPreconditioner(np.linalg.inv(C + 0.3 * np.eye(N)), symmetric=True)
        sym, two = (bk.solve(SYMMETRIC, rhs(3), method=m, M=M, return_report=True)[2]
                    for m in ("symmetric", "qmr"))
        self.assertEqual((sym.info, two.info), (0, 0))
        self.assertLessEqual(abs(two.iterations - sym.iterations), 1)

    def test_from_another_matrix(self):
        # ic0 of a tridiagonal A is exact; of a shifted A it is not.
        _, info, exact = bk.symmetric(SYMMETRIC, rhs(2), M="ic0", return_report=True)
        self.assertEqual((info, exact.iterations), (0, 1))
        shifted = SYMMETRIC + 2j * np.eye(N)
        for P in [shifted] + ([] if sp is None else [sp.csr_matrix(shifted)]):
            X, info, r = bk.symmetric(SYMMETRIC, rhs(2), M="ic0", M_matrix=P, return_report=True)
            self.assertEqual(info, 0)
            self.assertGreater(r.iterations, 1)
            self.assertLess(relres(SYMMETRIC, rhs(2), X).max(), 1e-7)


class Refusals(unittest.TestCase):
    def test_bad_arguments(self):
        A, B, V, T = SYMMETRIC, rhs(2), ValueError, TypeError
        cases = [
            (V, dict(rtol=-1e-8)), (V, dict(rtol="tight")), (V, dict(atol=np.inf)),
            (V, dict(maxiter=0)), (V, dict(maxiter=2.5)), (V, dict(maxiter=True)),
            (V, dict(max_products=0)), (V, dict(block_size=0)), (V, dict(block_size=2**31)),
            (V, dict(restart=0)), (V, dict(max_breakdowns=-1)), (V, dict(deflation_tol=np.nan)),
            (V, dict(method="cg")), (T, dict(callback=3)), (V, dict(x0=np.zeros((N, 3)))),
            (V, dict(x0=np.full((N, 2), np.nan))), (V, dict(left_start=B, method="gmres")),
            (V, dict(left_start=B[:, :1], method="qmr")), (V, dict(B=B[:-1])),
            (V, dict(B=np.ones((N, 2, 2)))), (V, dict(B=np.ones((N, 0)))),
            (V, dict(B=np.full(N, np.inf))), (T, dict(B=np.array(["x"] * N))),
            (V, dict(A=A[:, :-1])), (V, dict(A=np.where(A != 0, np.nan, 0))), (T, dict(A=lambda x: x)),
            (V, dict(A=MatmulOnly(A[:, :-1]))), (V, dict(A=np.ones((1, 1)), B=[1.0], method="gmres")),
            (V, dict(A=operator(lambda x: x), method="qmr")),  # no way to A^T
            (V, dict(M="ilu0", A=MatmulOnly(A))),  # stock ones need a matrix
            (V, dict(M="cholesky")), (T, dict(M=3)), (V, dict(M="ilut", method="symmetric")),
            (V, dict(M=np.eye(N), method="symmetric")),  # a single M^-1
            (V, dict(M=lambda x: x, method="qmr")),  # no M^-T
            (V, dict(M=np.eye(N + 1))), (V, dict(M=(np.eye(N),))), (V, dict(M="ssor", omega=2.0)),
            (V, dict(M="ilu0", drop_tol=1e-2)),  # would be ignored
            (V, dict(omega=1.2)),  # without a stock M
            (V, dict(M="ic0", M_matrix=np.eye(N - 1))),
            (RuntimeError, dict(M="ic0", A=GENERAL)),  # the library's: A != A^T
        ]
        if sp is not None:  # CSR arrays changed by hand after construction
            wide, short, decreasing = (sp.csr_matrix(A) for _ in range(3))
            wide.indices = wide.indices.astype(np.int64)
            wide.indices[3] = 2**32 + 1  # would wrap to column 1 as int32
            short.indptr[-1] += 5
            decreasing.indptr[5] = decreasing.indptr[7]
            cases += [(V, dict(A=C)) for C in (wide, short, decreasing)]
        for error, kwargs in cases:
            with self.subTest(kwargs={k: v for k, v in kwargs.items() if k not in ("A", "B")}):
                with self.assertRaises(error):
                    bk.solve(**dict({"A": A, "B": B}, **kwargs))

    def test_errors_in_callbacks_are_raised_again(self):
        class Boom(Exception):
            pass

        def boom(*_):
            raise Boom()

        def failing_after(count):
            calls = itertools.count()
            return operator(lambda x: SYMMETRIC @ x if next(calls) < count else boom())

        cases = [(failing_after(0), {}, Boom), (failing_after(3), {"method": "symmetric"}, Boom),
                 (MatmulOnly(SYMMETRIC), {"callback": boom}, Boom),
                 (operator(lambda x: x[:-1]), {}, ValueError),
                 (SYMMETRIC, {"M": failing_after(2), "method": "gmres"}, Boom),
                 (MatmulOnly(GENERAL), {"M": (failing_after(2), None)}, Boom),
                 (SYMMETRIC, {"M": lambda x: x[:-1]}, ValueError)]
        for A, kwargs, error in cases:
            with self.subTest(kwargs=kwargs, error=error):
                with self.assertRaises(error):
                    bk.solve(A, rhs(2), **kwargs)
        _, info = bk.symmetric(MatmulOnly(SYMMETRIC), rhs(2))  # nothing left held
        self.assertEqual(info, 0)


class Interplay(unittest.TestCase):
    def test_nested_solves(self):
        # The library refuses the same Lanczos method nested on one thread; another one runs.
        def nesting(method):
            return operator(lambda x: (bk.solve(MatmulOnly(SYMMETRIC), x, method=method),
                                       SYMMETRIC @ x)[1])
        with self.assertRaises(RuntimeError):
            bk.symmetric(nesting("symmetric"), rhs(1))
        self.assertEqual(bk.symmetric(nesting("gmres"), rhs(1), maxiter=3)[1], bk.MAX_ITERATIONS)

    @unittest.skipIf(sp is None, "needs SciPy")
    def test_interrupt_reaches_compiled_solve(self):
        # SIGINT while the library runs: Python would raise KeyboardInterrupt
        # at the entry of the next callback, where ctypes drops it.
        n = 20000
        A = sp.diags([np.full(n - 1, -1.0), np.full(n, 2.0001 + 1e-4j), np.full(n - 1, -1.0)],
                     [-1, 0, 1], format="csr")
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        start = time.monotonic()
        timer.start()
        with self.assertRaises(KeyboardInterrupt):
            bk.gmres(A, np.ones((n, 2)), max_products=2000)  # some seconds uninterrupted
        self.assertLess(time.monotonic() - start, 2.0)
        self.assertIs(signal.getsignal(signal.SIGINT), signal.default_int_handler)

    def test_concurrent_threads(self):
        jobs = [(MatmulOnly(SYMMETRIC), "symmetric"), (SYMMETRIC, "qmr")] * 2
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            for X, info in pool.map(lambda job: bk.solve(job[0], rhs(4), method=job[1]), jobs):
                self.assertEqual(info, 0)
                self.assertLess(relres(SYMMETRIC, rhs(4), X).max(), 1e-8)


if __name__ == "__main__":
    unittest.main()
