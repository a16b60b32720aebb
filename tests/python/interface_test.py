"""Checks of the Python interface: argument conversion, the monitoring
wrappers, and the whole-solve helper's handling of awkward right-hand sides,
limits, breakdowns and bad callbacks."""

import unittest

import numpy as np

import blockkrylov as bk


def shifted_laplacian(g, shift):
    t = 2.0 * np.eye(g) - np.eye(g, k=1) - np.eye(g, k=-1)
    return np.kron(np.eye(g), t) + np.kron(t, np.eye(g)) - shift * np.eye(g * g)


A = shifted_laplacian(10, 0.6 + 0.15j)
N = A.shape[0]


def matvec(P):
    return A @ P


def true_residuals(B, X):
    return np.linalg.norm(B - A @ X, axis=0) / np.linalg.norm(B, axis=0)


class Monitoring(unittest.TestCase):
    def test_colblocknorms_any_layout_and_empty(self):
        X = np.arange(12.0).reshape(4, 3) + 1j  # C-ordered, converted
        np.testing.assert_allclose(bk.colblocknorms(X), np.linalg.norm(X, axis=0), rtol=1e-15)
        np.testing.assert_allclose(bk.colblocknorms(X[::2, 1:]), np.linalg.norm(X[::2, 1:], axis=0))
        np.testing.assert_array_equal(bk.colblocknorms(np.ones((0, 2))), [0.0, 0.0])
        self.assertEqual(bk.colblocknorms(np.ones((3, 0))).size, 0)
        with self.assertRaises(ValueError):
            bk.colblocknorms(np.ones((2, 2, 2)))

    def test_convergence_progress_history(self):
        p = bk.convergence_progress(1, 0, 1e-8, 1.0, [0.1, np.nan])
        self.assertFalse(p.converged)
        self.assertEqual(p.rmax, 0.1)
        p = bk.convergence_progress(2, 1, 1e-8, p.rmax, [0.01], p.itpred, p.pct)
        self.assertGreater(p.itpred, 2)
        self.assertAlmostEqual(p.pct, 2 * 100.0 / p.itpred)
        stalled = bk.convergence_progress(3, 2, 1e-8, p.rmax, [0.02], p.itpred, p.pct)
        self.assertEqual((stalled.itpred, stalled.pct), (p.itpred, p.pct))
        done = bk.convergence_progress(4, 3, 1e-8, stalled.rmax, [1e-9])
        self.assertEqual((done.converged, done.itpred, done.pct), (True, 4, 100.0))

    def test_int32_overflow_refused(self):
        with self.assertRaises(OverflowError):
            bk.convergence_progress(2**31, 0, 1e-8, 1.0, [1.0])


class SolveSymmetric(unittest.TestCase):
    def test_vector_and_zero_column(self):
        b = np.zeros(N, complex)
        b[7] = 1.0
        x, r = bk.solve_symmetric(matvec, b, rtol=1e-10)
        self.assertEqual(x.shape, (N,))
        self.assertTrue(r.converged)
        self.assertLess(true_residuals(b[:, None], x[:, None])[0], 1e-10)

        B = np.zeros((N, 3), complex)
        B[3, 0], B[50, 2] = 1.0, 2.0j
        X0 = np.ones((N, 3))  # the guess of the zero column must not survive
        X, r = bk.solve_symmetric(matvec, B, X0=X0, rtol=1e-10)
        self.assertTrue(r.converged)
        self.assertEqual(np.abs(X[:, 1]).max(), 0.0)
        self.assertEqual(r.residuals[1], 0.0)
        self.assertTrue(np.all(true_residuals(B[:, [0, 2]], X[:, [0, 2]]) < 1e-10))

    def test_limit_then_resume_then_exact_guess(self):
        B = np.zeros((N, 2), complex)
        B[3, 0], B[50, 1] = 1.0, 1.0 + 1.0j
        X, r = bk.solve_symmetric(matvec, B, maxiter=10)
        self.assertFalse(r.converged)
        self.assertLessEqual(r.products, 10 + 2 * 2)  # the limit, then one residual
        X, r = bk.solve_symmetric(matvec, B, X0=X)
        self.assertTrue(r.converged)
        np.testing.assert_allclose(r.residuals, true_residuals(B, X), rtol=1e-6)
        _, again = bk.solve_symmetric(matvec, B, X0=X)
        self.assertEqual((again.converged, again.steps, again.products), (True, 0, 2))

    def test_breakdown_at_start_reports_failure(self):
        B = np.zeros((N, 2), complex)
        B[3, :] = 1.0  # equal columns: the first call fails and would fail again
        X, r = bk.solve_symmetric(matvec, B)
        self.assertFalse(r.converged)
        self.assertNotEqual(r.info, 0)
        self.assertEqual((r.steps, r.restarts), (0, 1))
        self.assertEqual(np.abs(X).max(), 0.0)

    def test_bad_arguments_and_callbacks(self):
        B = np.eye(N, 2)
        with self.assertRaises(ValueError):
            bk.solve_symmetric(lambda P: P[:5], B)
        with self.assertRaises(ValueError):
            bk.solve_symmetric(matvec, B, X0=np.zeros((N, 3)))
        with self.assertRaises(ValueError):
            bk.solve_symmetric(matvec, np.full((N, 1), np.nan))
        for bad in ({"rtol": np.nan}, {"rtol": np.inf}, {"rtol": -1e-8}, {"maxiter": 0},
                    {"maxiter": -5}, {"maxiter": 2.5}, {"max_restarts": -1}):
            with self.assertRaises(ValueError, msg=str(bad)):
                bk.solve_symmetric(matvec, B, **bad)
        for shape in ((N, 0), (0, 1), (2, 3)):  # no column, no row, more columns than rows
            with self.assertRaises(ValueError, msg=str(shape)):
                bk.solve_symmetric(matvec, np.ones(shape))
        with self.assertRaises(RuntimeError):
            bk.solve_symmetric(lambda P: bk.solve_symmetric(matvec, P)[0], B)
        _, r = bk.solve_symmetric(matvec, B)  # still usable afterwards
        self.assertTrue(r.converged)


if __name__ == "__main__":
    unittest.main()
