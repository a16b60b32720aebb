"""blockkrylov.solve over the host library: every kind of A, every method,
preconditioners, info codes and reports, argument checks, errors raised
inside callbacks, nested and concurrent solves."""

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


def tridiagonal(diagonal, lower, upper, n=N):
    # A varying diagonal, so that no symmetry of the grid shrinks the Krylov spaces.
    d = diagonal + 0.5 * np.cos(np.arange(n))
    return np.diag(d) + np.diag(np.full(n - 1, lower), -1) + np.diag(np.full(n - 1, upper), 1)


# Converge well within n / 4 block steps: block Lanczos without deflation
# cannot go on once the block Krylov space fills the whole space.
SYMMETRIC = tridiagonal(3.0 + 0.5j, -1.0, -1.0)
GENERAL = tridiagonal(3.0 + 0.5j, -1.4, -0.6 + 0.1j)
GENERAL[0, N - 1] = 0.3j  # not tridiagonal either


def grid(wind, gx=6, gy=10):
    """A 2-D grid problem of order N = gx gy, so that incomplete
    factorisations drop fill; A = A^T without wind."""
    def line(g):
        return 2 * np.eye(g) - (1 + wind) * np.eye(g, k=-1) - (1 - wind) * np.eye(g, k=1)
    return (np.kron(np.eye(gy), line(gx)) + np.kron(line(gy), np.eye(gx))
            + np.diag(0.3 * np.cos(np.arange(N)) - 0.7 - 0.2j))


GRID_SYMMETRIC, GRID_GENERAL = grid(0.0), grid(0.4)


def lu_without_pivoting(a):
    L, U = np.eye(len(a), dtype=complex), a.astype(complex)
    for k in range(len(a) - 1):
        L[k + 1:, k] = U[k + 1:, k] / U[k, k]
        U[k + 1:] -= np.outer(L[k + 1:, k], U[k])
    return L, U


# Exact factors, so that a preconditioned solve takes one step, and factors
# applied in the wrong place or order (left for right, a transpose for the
# other) show at once: SYMMETRIC = C C^T (plain transpose), GENERAL = L U.
_L, _U = lu_without_pivoting(SYMMETRIC)
C_INV = np.linalg.inv(_L * np.sqrt(np.diag(_U)))
_L, _U = lu_without_pivoting(GENERAL)
L_INV, U_INV = np.linalg.inv(_L), np.linalg.inv(_U)


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


def unsorted_csr(a):
    """CSR with the columns of every row reversed."""
    c = sp.csr_matrix(a)
    order = np.concatenate([np.arange(c.indptr[i], c.indptr[i + 1])[::-1] for i in range(N)])
    return sp.csr_matrix((c.data[order], c.indices[order], c.indptr), shape=c.shape)


# name -> (converter, needs SciPy)
FORMATS = {
    "dense": (np.array, False),
    "matmul": (MatmulOnly, False),
    "csr": (lambda a: sp.csr_matrix(a), True),
    "csr_unsorted": (unsorted_csr, True),
    "coo_array": (lambda a: sp.coo_array(a) if hasattr(sp, "coo_array") else sp.coo_matrix(a), True),
    "linear_operator": (lambda a: spla.aslinearoperator(a), True),
}


def rhs(s):
    i = np.arange(1, N + 1)[:, None]
    j = np.arange(1, s + 1)[None, :]
    return np.cos(0.37 * i * j) + 1j * np.sin(0.11 * i + j)


def relres(A, B, X):
    B2, X2 = B.reshape(N, -1), X.reshape(N, -1)
    return np.linalg.norm(B2 - A @ X2, axis=0) / np.linalg.norm(B2, axis=0)


class Solves(unittest.TestCase):
    def test_formats_methods_shapes(self):
        problems = [("symmetric", SYMMETRIC, ["auto", "symmetric", "qmr", "gmres"]),
                    ("general", GENERAL, ["auto", "qmr", "gmres"])]
        for fmt, (convert, needs_scipy) in FORMATS.items():
            if needs_scipy and sp is None:
                continue
            for label, A, methods in problems:
                for method in methods:
                    for B in (rhs(1)[:, 0], rhs(3), rhs(10)):
                        with self.subTest(fmt=fmt, problem=label, method=method, shape=B.shape):
                            X, info = bk.solve(convert(A), B, method=method, rtol=1e-10,
                                               block_size=4)
                            self.assertEqual(info, 0)
                            self.assertEqual(X.shape, B.shape)
                            self.assertLess(relres(A, B, X).max(), 1e-9)

    def test_auto_choice_and_report(self):
        cases = [(SYMMETRIC, "symmetric"), (GENERAL, "gmres"), (MatmulOnly(SYMMETRIC), "gmres"),
                 (np.array([[2.0 + 1j]]), "symmetric")]
        for A, expected in cases:
            n = A.shape[0]
            B = rhs(5)[:n]
            X, info, r = bk.solve(A, B, return_report=True, block_size=2)
            self.assertEqual((info, r.info, r.status, r.converged, r.method),
                             (0, 0, "converged", True, expected))
            self.assertEqual((r.blocks, r.block_size), ((5 + 1) // 2 if n > 1 else 5, min(2, n)))
            true = np.linalg.norm(B - (A.a if hasattr(A, "a") else A) @ X, axis=0) \
                / np.linalg.norm(B, axis=0)
            np.testing.assert_allclose(r.residuals, true, rtol=1e-3, atol=1e-15)
            self.assertEqual(r.max_residual, r.residuals.max())
            self.assertEqual(len(r.history), r.iterations)
            self.assertEqual(r.history_length, r.iterations)
            self.assertIn("converged", r.message)
            self.assertEqual((r.preconditioner, r.setup_seconds), ("", 0.0))

    def test_guess_zero_column_and_real_input(self):
        A, B = SYMMETRIC, rhs(3)
        B[:, 1] = 0
        exact = np.linalg.solve(A, B)
        guess = exact + np.cos(np.arange(3 * N)).reshape(N, 3)  # the zero column's must go
        kept = guess.copy()
        X, info, r = bk.solve(A, B, x0=guess, return_report=True)
        self.assertEqual(info, 0)
        np.testing.assert_array_equal(guess, kept)  # x0 is copied
        self.assertEqual(np.abs(X[:, 1]).max(), 0.0)
        _, info, r = bk.solve(A, B, x0=exact, return_report=True)
        self.assertEqual((info, r.iterations), (0, 0))
        X, info = bk.solve(np.eye(N, dtype=int) * 2, np.ones(N))  # integer A, real B
        self.assertEqual(info, 0)
        np.testing.assert_allclose(X, 0.5)

    def test_info_codes(self):
        stop_true = lambda p: True  # noqa: E731

        def stop_iteration(p):
            raise StopIteration

        cases = [({"maxiter": 2}, bk.MAX_ITERATIONS, "max_iterations"),
                 ({"max_products": 5}, bk.MAX_PRODUCTS, "max_products"),
                 ({"callback": stop_true}, bk.STOPPED, "stopped"),
                 ({"callback": stop_iteration}, bk.STOPPED, "stopped")]
        for A in (GENERAL, MatmulOnly(GENERAL)):
            for kwargs, info_expected, status in cases:
                with self.subTest(kwargs=kwargs, A=type(A).__name__):
                    X, info, r = bk.gmres(A, rhs(2), return_report=True, **kwargs)
                    self.assertEqual((info, r.status, r.converged), (info_expected, status, False))
                    self.assertTrue(np.all(np.isfinite(X)))
                    self.assertLessEqual(r.iterations, kwargs.get("maxiter", np.inf))
                    self.assertLessEqual(r.products, kwargs.get("max_products", np.inf))

    def test_progress_seen_by_callback(self):
        seen = []
        bk.symmetric(SYMMETRIC, rhs(2), callback=seen.append)
        self.assertGreater(len(seen), 3)
        self.assertEqual({p.method for p in seen}, {"symmetric"})
        self.assertEqual([p.iteration for p in seen], list(range(1, len(seen) + 1)))
        self.assertTrue(all(b.products > a.products for a, b in zip(seen, seen[1:])))


class Preconditioners(unittest.TestCase):
    def test_stock(self):
        # (A, method, M, settings, report's preconditioner begins so)
        S, G = GRID_SYMMETRIC, GRID_GENERAL
        cases = [(S, "symmetric", "jacobi", {}, "jacobi"),
                 (S, "symmetric", "ssor", {"omega": 1.2}, "ssor(omega 1.2)"),
                 (S, "symmetric", "ic0", {}, "ic0"),
                 (S, "qmr", "ict", {"drop_tol": 1e-2, "fill": 2}, "ict(drop 0.01, fill 2)"),
                 (S, "auto", "auto", {}, "auto: ict"),
                 (S, "auto", "ilu0", {}, "ilu0"),  # auto must not pick symmetric
                 (G, "gmres", "ilu0", {}, "ilu0"),
                 (G, "qmr", "ilut", {}, "ilut(drop 0.001, fill 5)"),
                 (G, "auto", "auto", {}, "auto: ilut")]
        for A, method, M, settings, name in cases:
            with self.subTest(method=method, M=M):
                B = rhs(3)
                X, info, r = bk.solve(A, B, method=method, M=M, rtol=1e-10, return_report=True,
                                      **settings)
                self.assertEqual(info, 0)
                self.assertLess(relres(A, B, X).max(), 1e-9)
                self.assertTrue(r.preconditioner.startswith(name), r.preconditioner)
                self.assertGreater(r.setup_seconds, 0.0)

    def test_from_another_matrix(self):
        # ic0 of a tridiagonal A is exact; of a shifted A it is not.
        B = rhs(2)
        _, info, exact = bk.symmetric(SYMMETRIC, B, M="ic0", return_report=True)
        self.assertEqual((info, exact.iterations), (0, 1))
        shifted = SYMMETRIC + 2j * np.eye(N)
        for P in [shifted] + ([] if sp is None else [sp.csr_matrix(shifted)]):
            X, info, r = bk.symmetric(SYMMETRIC, B, M="ic0", M_matrix=P, return_report=True)
            self.assertEqual(info, 0)
            self.assertGreater(r.iterations, 1)
            self.assertLess(relres(SYMMETRIC, B, X).max(), 1e-7)

    def test_operators(self):
        symmetric = bk.SplitPreconditioner(C_INV, symmetric=True)  # M2^-1 = C_INV.T
        general_inverse = U_INV @ L_INV
        cases = [(SYMMETRIC, "symmetric", symmetric), (SYMMETRIC, "qmr", symmetric),
                 (SYMMETRIC, "gmres", symmetric),
                 (GENERAL, "qmr", (L_INV, U_INV)), (MatmulOnly(GENERAL), "gmres", (L_INV, U_INV)),
                 (GENERAL, "qmr", bk.SplitPreconditioner(L_INV, MatmulOnly(U_INV),
                                                         right_t=U_INV.T)),
                 (GENERAL, "qmr", general_inverse),  # M^-T from .T
                 (MatmulOnly(GENERAL), "auto", lambda x: general_inverse @ x.reshape(N))]  # vectors
        if spla is not None:
            lu = spla.spilu(sp.csc_matrix(GENERAL), drop_tol=0.0)
            cases += [(GENERAL, "gmres", lu.solve),
                      (GENERAL, "qmr", spla.LinearOperator(
                          (N, N), matvec=lu.solve, rmatvec=lambda x: lu.solve(x, "H")))]
        for A, method, M in cases:
            with self.subTest(method=method, M=type(M).__name__, A=type(A).__name__):
                B = rhs(3)
                X, info, r = bk.solve(A, B, method=method, M=M, rtol=1e-10, return_report=True)
                self.assertEqual((info, r.preconditioner), (0, "user"))
                self.assertLessEqual(r.products, 3 * B.shape[1])  # exact factors: one step
                self.assertLess(relres(getattr(A, "a", A), B, X).max(), 1e-9)

    def test_symmetric_split_in_qmr(self):
        # With M1^-1 A M1^-T complex-symmetric and its transposes wired right,
        # the two-sided method runs the symmetric method's steps.
        L, U = lu_without_pivoting(GRID_SYMMETRIC + 1j * np.eye(N))  # inexact for A
        M = bk.SplitPreconditioner(np.linalg.inv(L * np.sqrt(np.diag(U))), symmetric=True)
        sym, two_sided = (bk.solve(GRID_SYMMETRIC, rhs(3), method=method, M=M,
                                   return_report=True)[2] for method in ("symmetric", "qmr"))
        self.assertEqual((sym.info, two_sided.info), (0, 0))
        self.assertLessEqual(abs(two_sided.iterations - sym.iterations), 1)
        self.assertLess(sym.iterations, 20)  # unpreconditioned: 20


class Refusals(unittest.TestCase):
    def test_bad_arguments(self):
        A, B = SYMMETRIC, rhs(2)
        cases = [
            ({"rtol": np.nan}, ValueError),
            ({"rtol": -1e-8}, ValueError), ({"rtol": "tight"}, ValueError),
            ({"atol": -1.0}, ValueError), ({"maxiter": 0}, ValueError),
            ({"maxiter": 2.5}, ValueError), ({"maxiter": True}, ValueError),
            ({"max_products": 0}, ValueError), ({"block_size": 0}, ValueError),
            ({"block_size": 2**31}, ValueError), ({"restart": 0}, ValueError),
            ({"max_breakdowns": -1}, ValueError), ({"deflation_tol": np.nan}, ValueError),
            ({"method": "cg"}, ValueError),
            ({"callback": 3}, TypeError), ({"x0": np.zeros((N, 3))}, ValueError),
            ({"x0": np.full((N, 2), np.nan)}, ValueError),
            ({"left_start": B, "method": "gmres"}, ValueError),
            ({"left_start": B[:, :1], "method": "qmr"}, ValueError),
            ({"B": B[:-1]}, ValueError), ({"B": np.ones((N, 2, 2))}, ValueError),
            ({"B": np.ones((N, 0))}, ValueError), ({"B": np.full(N, np.inf)}, ValueError),
            ({"B": np.array(["x"] * N)}, TypeError),
            ({"A": A[:, :-1]}, ValueError), ({"A": np.where(A != 0, np.nan, 0)}, ValueError),
            ({"A": lambda x: x}, TypeError), ({"A": MatmulOnly(A[:, :-1])}, ValueError),
            ({"A": np.ones((1, 1)), "B": [1.0], "method": "gmres"}, ValueError),
            # preconditioners
            ({"M": "ilu0", "A": MatmulOnly(A)}, ValueError),  # stock ones need a matrix
            ({"M": "cholesky"}, ValueError), ({"M": 3}, TypeError),
            ({"M": "ilut", "method": "symmetric"}, ValueError),
            ({"M": np.eye(N), "method": "symmetric"}, ValueError),  # a single M^-1
            ({"M": (np.eye(N), np.eye(N)), "method": "symmetric"}, ValueError),
            ({"M": lambda x: x, "method": "qmr"}, ValueError),  # no M^-T
            ({"M": np.eye(N + 1)}, ValueError), ({"M": (np.eye(N),)}, ValueError),
            ({"M": "ssor", "omega": 2.0}, ValueError),
            ({"M": "ilu0", "drop_tol": 1e-2}, ValueError),  # would be ignored
            ({"omega": 1.2}, ValueError),  # without a stock M
            ({"M": "ic0", "M_matrix": np.eye(N - 1)}, ValueError),
            ({"M": "ic0", "A": GENERAL}, RuntimeError),  # the library: A != A^T
        ]
        if sp is not None:
            cases.append(({"A": sp.csr_matrix(np.where(A != 0, np.inf, 0))}, ValueError))
            for damage in ("wide_column", "short_arrays", "decreasing_rows"):
                C = sp.csr_matrix(A)  # arrays changed by hand after construction
                if damage == "wide_column":  # would wrap to column 1 as int32
                    C.indices = C.indices.astype(np.int64)
                    C.indices[3] = 2**32 + 1
                elif damage == "short_arrays":
                    C.indptr[-1] += 5
                else:
                    C.indptr[5] = C.indptr[7]
                cases.append(({"A": C}, ValueError))
        for kwargs, error in cases:
            call = dict({"A": A, "B": B}, **kwargs)
            with self.subTest(kwargs={k: v for k, v in kwargs.items() if k not in ("A", "B")}):
                with self.assertRaises(error):
                    bk.solve(**call)
        with self.assertRaises(ValueError):  # qmr without a way to A^T
            bk.qmr(operator(lambda x: x), B)

    def test_errors_in_callbacks_are_raised_again(self):
        class Boom(Exception):
            pass

        def failing_after(count):
            calls = [0]

            def apply(x):
                calls[0] += 1
                if calls[0] > count:
                    raise Boom("product %d" % calls[0])
                return SYMMETRIC @ x
            return operator(apply)

        def failing_callback(p):
            raise Boom("callback")

        wrong_shape = operator(lambda x: x[:-1])
        cases = [(failing_after(0), {}, Boom), (failing_after(3), {"method": "symmetric"}, Boom),
                 (failing_after(3), {"x0": np.ones((N, 2))}, Boom),
                 (SYMMETRIC, {"callback": failing_callback}, Boom),
                 (MatmulOnly(SYMMETRIC), {"callback": failing_callback}, Boom),
                 (wrong_shape, {}, ValueError),
                 (SYMMETRIC, {"M": failing_after(2), "method": "gmres"}, Boom),
                 (MatmulOnly(GENERAL), {"M": (failing_after(2), None)}, Boom),
                 (SYMMETRIC, {"M": lambda x: x[:-1]}, ValueError)]
        if spla is not None:  # no rmatvec: SciPy's own error from the A^T product
            no_adjoint = spla.LinearOperator((N, N), matvec=lambda x: SYMMETRIC @ x)
            try:
                no_adjoint.rmatmat(np.ones((N, 1)))
            except Exception as e:  # noqa: BLE001
                cases.append((no_adjoint, {"method": "qmr"}, type(e)))
        for A, kwargs, error in cases:
            with self.subTest(kwargs=kwargs, error=error):
                with self.assertRaises(error):
                    bk.solve(A, rhs(2), **kwargs)
        _, info = bk.symmetric(MatmulOnly(SYMMETRIC), rhs(2))  # nothing left held
        self.assertEqual(info, 0)


class Interplay(unittest.TestCase):
    def test_nested_solves(self):
        def nesting(method):
            def apply(x):
                bk.solve(MatmulOnly(SYMMETRIC), x, method=method)
                return SYMMETRIC @ x
            return operator(apply)

        # The same Lanczos method nested on one thread cannot share its
        # per-thread state: the library refuses the inner solve.
        with self.assertRaises(RuntimeError):
            bk.symmetric(nesting("symmetric"), rhs(1))
        _, info = bk.symmetric(nesting("gmres"), rhs(1), maxiter=3)
        self.assertEqual(info, bk.MAX_ITERATIONS)

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
        results = {}

        def run(key, A, method):
            X, info = bk.solve(A, rhs(4), method=method)
            results[key] = (info, relres(SYMMETRIC, rhs(4), X).max())

        jobs = [("op-sym", MatmulOnly(SYMMETRIC), "symmetric"), ("dense-sym", SYMMETRIC, "symmetric"),
                ("op-qmr", MatmulOnly(SYMMETRIC), "qmr"), ("dense-gmres", SYMMETRIC, "gmres")]
        threads = [threading.Thread(target=run, args=job) for job in jobs * 2]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(set(results), {job[0] for job in jobs})
        for key, (info, res) in results.items():
            self.assertEqual(info, 0, key)
            self.assertLess(res, 1e-8, key)


if __name__ == "__main__":
    unittest.main()
