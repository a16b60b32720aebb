#!/usr/bin/env python3
"""blockkrylov and SciPy side by side, in one run, on problems generated here.

Problems (scipy.sparse, complex128, Dirichlet boundaries, h = 1/(N+1)):

  helm2d-low   2D Helmholtz -Lap(u) - k^2 (1 + i eps) u, 5-point, ~20 points per wavelength
  helm2d-high  the same at ~10 points per wavelength, on a finer grid
  helm3d       3D Helmholtz, 7-point, 48^3 = 110 592 unknowns, ~10 points per wavelength
  convdiff     2D -Lap(u) + beta . grad(u) - k^2 (1 + i eps) u, central differences (non-symmetric)
  randsym      random sparse complex-symmetric matrix, weakly diagonally dominant

Each is solved with s = 1, 4 and 8 random right-hand sides (fixed seed) to rtol 1e-8:

  blockkrylov  every method that applies (symmetric only for A = A^T, qmr, gmres) with every stock
               preconditioner that suits the matrix (none, jacobi, ssor, and ic0/ict for A = A^T or
               ilu0/ilut otherwise), all s columns in one call with block_size = s;
  SciPy        gmres (restart 60), bicgstab, qmr and tfqmr, one right-hand side at a time,
               unpreconditioned and with spilu (drop_tol 1e-4, fill_factor 10; its build time is
               counted), products counted by a counting LinearOperator; and splu (factor + s
               solves; minimum degree on A^T + A, as every pattern here is symmetric).

A run that cannot be the fastest of its side is stopped early: it gets at most PRUNE (2) times
the time of the fastest run of its side so far (never less than a floor, never more than a hard
cap); it is then shown as stopped, with the products it had made as a lower bound. At s = 4 and
8 only the blockkrylov configurations that converged at the s before, within KEEP_FACTOR (4) of
its fastest, are run (at most KEEP = 6); the others are shown as skipped. Unpreconditioned GMRES,
and GMRES runs stopped at their cap, are run again on the --quick size of their problem with a
plain time cap, so that the block-size effect on GMRES has a products count at every s.

SciPy's solvers take the columns one at a time, so its s = 1 and s = 4 figures are those of the
first 1 and 4 of the 8 columns; a SciPy configuration whose column fails is not run on the
columns after it. A run counts as converged when every column's true relative residual, computed
here, is within rtol (twice rtol for SciPy, whose solvers stop on residuals they update
themselves).

Also: blocks with equal, zero and dependent columns against the block of their independent
columns, with each blockkrylov method (a small Helmholtz problem).

Both sides run with OMP_NUM_THREADS=2 and OPENBLAS_NUM_THREADS=1 (the script restarts itself
with them; --threads changes the first). What the kernel library prints during a solve
(near-breakdown records) is counted and kept out of the tables. Output: markdown tables on
stdout, progress on stderr. `--quick` runs small versions of the problems (about two minutes),
`--problems a,b` selects, `--json FILE` keeps every run.

Run with the package and a build of the libraries, for instance:

  PYTHONPATH=python BLOCKKRYLOV_HOST_LIBRARY=build-bench/host/libblockkrylov_host.so \\
  BLOCKKRYLOV_LIBRARY=build-bench/libblockkrylov.so python3 bench/compare.py

or `python3 bench/compare.py --build-dir build-bench`, which sets those three itself.
"""

import argparse
import ctypes
import dataclasses
import inspect
import json
import math
import os
import platform
import sys
import tempfile
import time

THREADS = {"OMP_NUM_THREADS": "2", "OPENBLAS_NUM_THREADS": "1"}
_REEXEC_MARK = "BK_COMPARE_CHILD"
_REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PROBLEMS = ("helm2d-low", "helm2d-high", "helm3d", "convdiff", "randsym")
RTOL = 1e-8
SEED = 20240607


# ---------------------------------------------------------------------------
# Environment: thread counts and where the package and libraries are
# ---------------------------------------------------------------------------

def _library_env(build_dir):
    """Environment entries that let `import blockkrylov` find the package and
    a build's two libraries (only those not already set)."""
    env = {}
    python_dir = os.path.join(_REPO, "python")
    if os.path.isdir(os.path.join(python_dir, "blockkrylov")):
        paths = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
        if python_dir not in paths:
            env["PYTHONPATH"] = os.pathsep.join([python_dir] + paths)
    if build_dir is None and "BLOCKKRYLOV_HOST_LIBRARY" in os.environ:
        return env
    candidates = [build_dir] if build_dir else [os.path.join(_REPO, d)
                                                for d in ("build-bench", "build")]
    for d in candidates:
        host = os.path.join(d, "host", "libblockkrylov_host.so")
        kernel = os.path.join(d, "libblockkrylov.so")
        if os.path.exists(host) and os.path.exists(kernel):
            env["BLOCKKRYLOV_HOST_LIBRARY"] = os.path.abspath(host)
            env["BLOCKKRYLOV_LIBRARY"] = os.path.abspath(kernel)
            break
    else:
        if build_dir:
            sys.exit("compare.py: no libblockkrylov_host.so and libblockkrylov.so under %s"
                     % build_dir)
    return env


def _restart_with_threads(build_dir, threads):
    """The thread counts are read when the libraries load: set them (and the
    library paths) and start again, once."""
    wanted = dict(THREADS, OMP_NUM_THREADS=str(threads))
    wanted.update(_library_env(build_dir))
    if os.environ.get(_REEXEC_MARK) == "1" or all(os.environ.get(k) == v
                                                  for k, v in wanted.items()):
        return
    env = dict(os.environ)
    env.update(wanted)
    env[_REEXEC_MARK] = "1"
    sys.stdout.flush()
    os.execve(sys.executable, [sys.executable] + sys.argv, env)


# ---------------------------------------------------------------------------
# Problems
# ---------------------------------------------------------------------------

@dataclasses.dataclass
class Problem:
    name: str
    title: str
    A: object          # scipy.sparse CSR, complex128
    symmetric: bool    # A = A^T exactly
    no_direct: str = ""  # why splu is left out, if it is

    @property
    def n(self):
        return self.A.shape[0]


def _second_difference(N):
    """Dirichlet 1D -d2/dx2 on N interior points of (0, 1), and h."""
    h = 1.0 / (N + 1)
    e = np.ones(N)
    return sp.diags([-e[:-1], 2.0 * e, -e[:-1]], [-1, 0, 1]) / h**2, h


def _laplacian(N, dim):
    T, h = _second_difference(N)
    I = sp.identity(N, format="csr")
    if dim == 2:
        return (sp.kron(T, I) + sp.kron(I, T)).tocsr(), h
    return (sp.kron(sp.kron(T, I), I) + sp.kron(sp.kron(I, T), I)
            + sp.kron(sp.kron(I, I), T)).tocsr(), h


def helmholtz(name, N, dim, ppw, eps):
    L, h = _laplacian(N, dim)
    k = 2.0 * math.pi / (ppw * h)  # ppw grid points per wavelength 2 pi / k
    A = (L - k * k * (1.0 + 1j * eps) * sp.identity(L.shape[0])).astype(np.complex128).tocsr()
    title = ("%dD Helmholtz, %s grid, k = %.1f (%g points/wavelength), eps = %g"
             % (dim, "x".join([str(N)] * dim), k, ppw, eps))
    return Problem(name, title, A, True)


def convection_diffusion(name, N, beta, kappa, eps):
    """-Lap(u) + beta . grad(u) - kappa^2 (1 + i eps) u, central differences."""
    L, h = _laplacian(N, 2)
    e = np.ones(N - 1)
    D = sp.diags([-e, e], [-1, 1]) / (2.0 * h)  # central first difference
    I = sp.identity(N)
    A = (L + beta[0] * sp.kron(I, D) + beta[1] * sp.kron(D, I)
         - kappa**2 * (1.0 + 1j * eps) * sp.identity(N * N))
    A = A.astype(np.complex128).tocsr()
    title = ("2D convection-diffusion, %dx%d grid, beta = (%g, %g), shift -%g^2 (1 + %gi), "
             "cell Peclet %.2f" % (N, N, beta[0], beta[1], kappa, eps,
                                   h * math.hypot(*beta) / 2.0))
    return Problem(name, title, A, False)


def random_complex_symmetric(name, n, per_row, dominance, seed):
    """A = A^T with about per_row random complex entries off the diagonal in
    each row, and a diagonal of modulus dominance * (row sum of moduli) with a
    random phase in (-pi/2, pi/2)."""
    rng = np.random.default_rng(seed)
    m = n * per_row // 2
    rows = rng.integers(0, n, m)
    cols = rng.integers(0, n, m)
    keep = rows != cols
    rows, cols = rows[keep], cols[keep]
    vals = rng.standard_normal(rows.size) + 1j * rng.standard_normal(rows.size)
    R = sp.coo_matrix((vals, (rows, cols)), shape=(n, n)).tocsr()
    R = (R + R.T).tocsr()
    rowsum = np.asarray(abs(R).sum(axis=1)).ravel()
    phase = np.exp(1j * rng.uniform(-0.45 * math.pi, 0.45 * math.pi, n))
    A = (R + sp.diags(dominance * np.maximum(rowsum, 1.0) * phase)).astype(np.complex128).tocsr()
    title = ("random complex-symmetric, n = %d, ~%d off-diagonal entries per row, |a_ii| = %g x "
             "off-diagonal row sum" % (n, per_row, dominance))
    # A random sparsity pattern has no small separators: its LU factors fill
    # in to a large part of a dense n x n matrix (tens of GB at n = 50 000).
    no_direct = ("" if n <= 5000 else
                 "splu left out: the factors of a random pattern are nearly dense (n^2 = %.0e "
                 "entries)" % (float(n) * n))
    return Problem(name, title, A, True, no_direct)


def make_problem(name, quick):
    if name == "helm2d-low":
        return helmholtz(name, 50 if quick else 160, 2, 20, 0.1)
    if name == "helm2d-high":
        return helmholtz(name, 80 if quick else 300, 2, 10, 0.5)
    if name == "helm3d":
        return helmholtz(name, 16 if quick else 48, 3, 10, 0.5)
    if name == "convdiff":
        return convection_diffusion(name, 60 if quick else 200, (120.0, 70.0), 15.0, 0.3)
    if name == "randsym":
        return random_complex_symmetric(name, 3000 if quick else 20000, 8, 1.05, SEED + 7)
    raise ValueError(name)


def right_hand_sides(n, s, seed):
    rng = np.random.default_rng(seed)
    return np.asfortranarray(rng.standard_normal((n, s)) + 1j * rng.standard_normal((n, s)))


def relative_residuals(A, X, B):
    X = X.reshape(B.shape)
    r = np.linalg.norm(B - A @ X, axis=0)
    nb = np.linalg.norm(B, axis=0)
    return np.where(nb > 0, r / np.where(nb > 0, nb, 1.0), r)


# ---------------------------------------------------------------------------
# Time limits
# ---------------------------------------------------------------------------

class Limits:
    """Per-run wall-time caps: PRUNE times the best time of the same side
    (and problem and s) so far, at least `floor`, at most `hard`."""

    def __init__(self, prune, floor, hard):
        self.prune, self.floor, self.hard = prune, floor, hard
        self.best = {}

    def cap(self, key):
        best = self.best.get(key)
        if best is None:
            return self.hard
        return min(self.hard, max(self.floor, self.prune * best))

    def record(self, key, seconds):
        if seconds < self.best.get(key, math.inf):
            self.best[key] = seconds


# ---------------------------------------------------------------------------
# blockkrylov
# ---------------------------------------------------------------------------

class KernelOutput:
    """What the kernel library writes to standard output (near-breakdown
    records and the like) during a solve, kept off the tables: file
    descriptor 1 goes to a scratch file inside the `with` block."""

    def __init__(self):
        self.scratch = tempfile.TemporaryFile()
        self.libc = ctypes.CDLL(None)
        self.text = ""

    def __enter__(self):
        sys.stdout.flush()
        self.libc.fflush(None)
        self.scratch.seek(0)
        self.scratch.truncate()
        self.saved = os.dup(1)
        os.dup2(self.scratch.fileno(), 1)
        return self

    def __exit__(self, *exc):
        self.libc.fflush(None)
        os.dup2(self.saved, 1)
        os.close(self.saved)
        self.scratch.seek(0)
        self.text = self.scratch.read().decode("utf-8", "replace")
        return False

    def warnings(self):
        return sum(1 for line in self.text.splitlines() if "WARNING" in line)


_KERNEL_OUTPUT = None


def kernel_output():
    global _KERNEL_OUTPUT
    if _KERNEL_OUTPUT is None:
        _KERNEL_OUTPUT = KernelOutput()
    return _KERNEL_OUTPUT


@dataclasses.dataclass
class BkRun:
    problem: str
    s: int
    method: str
    precond: str
    status: str         # "converged", "stopped" (time cap), or the library's status
    converged: bool
    products: int
    seconds: float
    setup_seconds: float
    max_residual: float  # true relative residual, computed here
    reported_residual: float
    cap: float
    note: str = ""


def bk_configs(problem):
    if problem.symmetric:
        methods = ("symmetric", "qmr", "gmres")
        preconds = ("ssor", "ic0", "ict", "jacobi", "none")
    else:
        methods = ("qmr", "gmres")
        preconds = ("ssor", "ilu0", "ilut", "jacobi", "none")
    return [(m, p) for p in preconds for m in methods]


def run_bk(problem, B, method, precond, cap):
    s = B.shape[1]
    start = [0.0]

    def stop_at_cap(progress):
        return time.perf_counter() - start[0] > cap

    out = kernel_output()
    try:
        with out:
            start[0] = time.perf_counter()
            X, info, rep = bk.solve(problem.A, B, method=method, rtol=RTOL,
                                    M=None if precond == "none" else precond, block_size=s,
                                    max_products=20 * problem.n * s, callback=stop_at_cap,
                                    return_report=True)
            seconds = time.perf_counter() - start[0]
    except Exception as e:  # noqa: BLE001 - a refused configuration is a result
        return BkRun(problem.name, s, method, precond, "error", False, 0,
                     time.perf_counter() - start[0], 0.0, math.nan, math.nan, cap,
                     "%s: %s" % (type(e).__name__, e))
    res = relative_residuals(problem.A, X, B)
    status = rep.status
    note = ""
    if out.warnings():
        note = "%d near-breakdown records" % out.warnings()
    fault = bool(rep.converged) and res.max() > RTOL * (1 + 1e-6)
    notes = [note] if note else []
    if fault:
        notes.insert(0, "FAULT: reported converged, true residual %.2e" % res.max())
    if rep.preconditioner and "replaced" in rep.preconditioner:
        notes.append(rep.preconditioner)
    return BkRun(problem.name, s, method, precond, status, bool(rep.converged) and not fault,
                 int(rep.products), seconds, float(rep.setup_seconds), float(res.max()),
                 float(rep.max_residual), cap, "; ".join(notes))


# ---------------------------------------------------------------------------
# SciPy
# ---------------------------------------------------------------------------

class _Stop(Exception):
    pass


def _counting_operator_class():
    class Counting(spla.LinearOperator):
        """A as a LinearOperator that counts products with A and A^H and
        ends the solve at a product or time limit."""

        def __init__(self, A, max_products):
            super().__init__(dtype=np.complex128, shape=A.shape)
            self.A, self.AH = A, A.conj().T.tocsr()
            self.max_products = max_products
            self.products = 0
            self.deadline = math.inf
            self.why = ""

        def _check(self):
            self.products += 1
            if self.products > self.max_products:
                self.why = "product limit"
                raise _Stop()
            if time.perf_counter() > self.deadline:
                self.why = "time cap"
                raise _Stop()

        def _matvec(self, x):
            self._check()
            return self.A @ x

        def _rmatvec(self, x):
            self._check()
            return self.AH @ x

    return Counting


@dataclasses.dataclass
class SpRun:
    problem: str
    solver: str
    precond: str                  # "none" or "spilu"
    build_seconds: float          # spilu, counted in every total
    column_seconds: list          # per column solved (in order)
    column_products: list
    column_converged: list
    column_residuals: list
    note: str = ""

    def stats(self, s):
        """(all converged, products per RHS, seconds per RHS) over the first s
        columns; None when fewer than s columns were run."""
        if len(self.column_seconds) < s:
            return None
        conv = all(self.column_converged[:s])
        prods = sum(self.column_products[:s]) / s
        secs = (self.build_seconds + sum(self.column_seconds[:s])) / s
        return conv, prods, secs


def _scipy_tol_keyword():
    return "rtol" if "rtol" in inspect.signature(spla.gmres).parameters else "tol"


def scipy_solve(name, op, b, M, maxprod):
    """One column with SciPy's solver `name`; M is None or an operator
    applying M^-1."""
    tol = {_scipy_tol_keyword(): RTOL, "atol": 0.0}
    n = b.shape[0]
    if name == "gmres":
        return spla.gmres(op, b, restart=60, maxiter=maxprod // 60 + 2, M=M, **tol)
    if name == "bicgstab":
        return spla.bicgstab(op, b, maxiter=maxprod, M=M, **tol)
    if name == "tfqmr":
        return spla.tfqmr(op, b, maxiter=maxprod, M=M, **tol)
    if name == "qmr":
        if M is None:
            return spla.qmr(op, b, maxiter=maxprod, **tol)
        identity = spla.LinearOperator((n, n), matvec=lambda x: x, rmatvec=lambda x: x,
                                       dtype=np.complex128)
        return spla.qmr(op, b, maxiter=maxprod, M1=M, M2=identity, **tol)
    raise ValueError(name)


# Cheapest per product first, so that the time caps are set early.
SCIPY_SOLVERS = ("tfqmr", "bicgstab", "qmr", "gmres")


def build_spilu(A):
    start = time.perf_counter()
    lu = spla.spilu(A.tocsc(), drop_tol=1e-4, fill_factor=10)
    seconds = time.perf_counter() - start
    n = A.shape[0]
    M = spla.LinearOperator((n, n), matvec=lu.solve, rmatvec=lambda x: lu.solve(x, "H"),
                            dtype=np.complex128)
    return M, seconds, lu.nnz


def run_scipy(problem, B, solver, precond, M, build_seconds, limits, key, counting):
    n, smax = B.shape
    run = SpRun(problem.name, solver, precond, build_seconds, [], [], [], [])
    op = counting(problem.A, 20 * n)
    for j in range(smax):
        b = B[:, j]
        op.products = 0
        op.why = ""
        cap = limits.cap(key)
        if run.column_seconds:
            # A configuration that has converged on earlier columns is
            # stopped only well above its own times, not by a load spike.
            cap = max(cap, min(limits.hard, 3.0 * max(run.column_seconds)))
        start = time.perf_counter()
        op.deadline = start + cap
        info = None
        try:
            x, info = scipy_solve(solver, op, b, M, 20 * n)
        except _Stop:
            x = None
        except Exception as e:  # noqa: BLE001 - a failing solver is a result
            x = None
            run.note = "%s: %s" % (type(e).__name__, e)
        seconds = time.perf_counter() - start
        if x is not None:
            res = float(relative_residuals(problem.A, x, b.reshape(n, 1))[0])
            ok = info == 0 and res <= 2 * RTOL
            if info == 0 and res > 2 * RTOL and not run.note:
                run.note = "info 0 but true residual %.1e" % res
            elif info != 0 and not run.note:
                run.note = "info %s" % info
        else:
            res, ok = math.nan, False
            if not run.note:
                run.note = "stopped (%s, %.1f s)" % (op.why, cap)
        run.column_seconds.append(seconds)
        run.column_products.append(op.products)
        run.column_converged.append(ok)
        run.column_residuals.append(res)
        if not ok:
            break
        limits.record(key, seconds + build_seconds / (j + 1))
    return run


@dataclasses.dataclass
class LuRun:
    problem: str
    factor_seconds: float
    column_seconds: list
    residual: float
    nnz: int
    note: str = ""

    def seconds(self, s):
        return self.factor_seconds + sum(self.column_seconds[:s])


def run_splu(problem, B):
    A = problem.A.tocsc()
    # The pattern of every problem here is symmetric: minimum degree on
    # A^T + A with pivoting preferring the diagonal is much faster than the
    # default column ordering (about 3x on helm3d) at the same accuracy.
    start = time.perf_counter()
    try:
        lu = spla.splu(A, permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.1,
                       options=dict(SymmetricMode=True))
    except Exception as e:  # noqa: BLE001
        return LuRun(problem.name, time.perf_counter() - start, [], math.nan, 0,
                     "%s: %s" % (type(e).__name__, e))
    factor = time.perf_counter() - start
    cols, worst = [], 0.0
    for j in range(B.shape[1]):
        t = time.perf_counter()
        x = lu.solve(B[:, j])
        cols.append(time.perf_counter() - t)
        worst = max(worst, float(relative_residuals(problem.A, x, B[:, j:j + 1])[0]))
    return LuRun(problem.name, factor, cols, worst, int(lu.L.nnz + lu.U.nnz))


# ---------------------------------------------------------------------------
# Right-hand sides with equal, zero and dependent columns
# ---------------------------------------------------------------------------

def degenerate_case(quick):
    """Products of every method on blocks with equal, zero and dependent
    columns against the block of their independent columns alone."""
    problem = helmholtz("degenerate", 60, 2, 10, 0.5)
    n = problem.n
    b = right_hand_sides(n, 3, SEED + 99)
    b1, b2, b3 = b[:, 0], b[:, 1], b[:, 2]
    z = np.zeros(n, dtype=np.complex128)
    blocks = [
        ("independent [b1 b2 b3]", [b1, b2, b3]),
        ("equal [b1 b1 b2 b3]", [b1, b1, b2, b3]),
        ("zero [b1 0 b2 b3]", [b1, z, b2, b3]),
        ("dependent [b1 b2 b1+2i*b2 b3]", [b1, b2, b1 + 2j * b2, b3]),
        ("all of these [b1 b1 0 b2 2b1-3i*b2 b3 0 b3]", [b1, b1, z, b2, 2 * b1 - 3j * b2, b3, z,
                                                          b3]),
    ]
    rows = []
    for precond in ("none", "ssor"):
        for method in ("symmetric", "qmr", "gmres"):
            base = None
            for label, cols in blocks:
                B = np.asfortranarray(np.column_stack(cols))
                try:
                    with kernel_output():
                        t = time.perf_counter()
                        X, info, rep = bk.solve(problem.A, B, method=method, rtol=RTOL,
                                                M=None if precond == "none" else precond,
                                                block_size=B.shape[1], return_report=True)
                        seconds = time.perf_counter() - t
                except Exception as e:  # noqa: BLE001
                    rows.append(DegenerateRow(precond, method, label, "error: %s" % e, 0,
                                              math.nan, math.nan, 0.0, math.nan))
                    continue
                res = relative_residuals(problem.A, X, B).max()
                ok = rep.converged and res <= RTOL * (1 + 1e-6)
                status = rep.status if ok or not rep.converged else (
                    "FAULT (true residual %.1e)" % res)
                if base is None:
                    base = (rep.products, seconds)
                rows.append(DegenerateRow(precond, method, label, status, rep.products,
                                          rep.products / base[0], res, seconds,
                                          seconds / base[1]))
    return problem, rows


@dataclasses.dataclass
class DegenerateRow:
    precond: str
    method: str
    block: str
    status: str
    products: int
    product_ratio: float   # against the block of the independent columns
    residual: float
    seconds: float
    time_ratio: float

    def met(self):
        return self.status == "converged" and not self.product_ratio > 1.1


# ---------------------------------------------------------------------------
# Tables
# ---------------------------------------------------------------------------

def fmt_time(t):
    if t is None or not math.isfinite(t):
        return "-"
    if t >= 100:
        return "%.0f s" % t
    if t >= 1:
        return "%.2f s" % t
    return "%.1f ms" % (1000 * t)


def fmt_prod(p, complete=True):
    if p is None or (isinstance(p, float) and not math.isfinite(p)):
        return "-"
    text = "%.0f" % p if p >= 100 else "%.1f" % p
    return text if complete else ">" + text


def fmt_ratio(a, b):
    if a is None or b is None or not (math.isfinite(a) and math.isfinite(b)) or b <= 0:
        return "-"
    return "%.2f" % (a / b)


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def best_bk(runs, problem, s):
    done = [r for r in runs if r.problem == problem and r.s == s and r.converged]
    return min(done, key=lambda r: r.seconds) if done else None


def best_scipy(runs, problem, s):
    best = None
    for r in runs:
        if r.problem != problem:
            continue
        st = r.stats(s)
        if st is None or not st[0]:
            continue
        if best is None or st[2] < best[1][2]:
            best = (r, st)
    return best


# ---------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="small versions of the problems (about two minutes)")
    parser.add_argument("--problems", default=",".join(PROBLEMS),
                        help="comma-separated subset of %s" % ", ".join(PROBLEMS))
    parser.add_argument("--rhs", default="1,4,8", help="numbers of right-hand sides (1,4,8)")
    parser.add_argument("--prune", type=float, default=2.0,
                        help="a run is stopped at this multiple of its side's best time (2)")
    parser.add_argument("--keep", type=int, default=6,
                        help="blockkrylov configurations carried to the next s (6)")
    parser.add_argument("--keep-factor", type=float, default=4.0,
                        help="... those within this multiple of the fastest time at the "
                        "previous s (4)")
    parser.add_argument("--floor", type=float, default=None,
                        help="no run is stopped before this many seconds (1; quick 0.3)")
    parser.add_argument("--hard-cap", type=float, default=None,
                        help="no run goes on past this many seconds (60; quick 5)")
    parser.add_argument("--threads", type=int, default=2,
                        help="OMP_NUM_THREADS for both sides (2); OPENBLAS_NUM_THREADS is 1")
    parser.add_argument("--no-splu", action="store_true", help="leave out splu")
    parser.add_argument("--no-degenerate", action="store_true",
                        help="leave out the equal/zero/dependent columns case")
    parser.add_argument("--no-gmres-rerun", action="store_true",
                        help="do not run unpreconditioned or stopped GMRES configurations again "
                        "at the quick size")
    parser.add_argument("--gmres-cap", type=float, default=None,
                        help="time cap of those runs (15 s; quick 3 s)")
    parser.add_argument("--no-details", action="store_true", help="print the summary only")
    parser.add_argument("--json", metavar="FILE", help="write every run to FILE")
    parser.add_argument("--build-dir", help="build directory holding the two libraries "
                        "(default: BLOCKKRYLOV_HOST_LIBRARY, else build-bench/ or build/)")
    args = parser.parse_args()
    names = [p for p in args.problems.split(",") if p]
    unknown = [p for p in names if p not in PROBLEMS]
    if unknown:
        parser.error("unknown problem(s) %s; choose from %s" % (", ".join(unknown),
                                                                ", ".join(PROBLEMS)))
    sizes = sorted({int(v) for v in args.rhs.split(",") if v})
    floor = args.floor if args.floor is not None else (0.3 if args.quick else 1.0)
    hard = args.hard_cap if args.hard_cap is not None else (5.0 if args.quick else 60.0)

    _restart_with_threads(args.build_dir, args.threads)

    global np, sp, spla, bk, scipy
    import numpy as np
    import scipy
    import scipy.sparse as sp
    import scipy.sparse.linalg as spla
    try:
        import blockkrylov as bk
    except ImportError as e:
        sys.exit("compare.py: cannot import blockkrylov (%s); build the project and give "
                 "--build-dir, or set PYTHONPATH and BLOCKKRYLOV_HOST_LIBRARY" % e)
    counting = _counting_operator_class()

    began = time.perf_counter()
    print("# blockkrylov vs SciPy%s\n" % (" (--quick)" if args.quick else ""))
    print("- threads: OMP_NUM_THREADS=%s, OPENBLAS_NUM_THREADS=%s, the same for both sides%s"
          % (os.environ.get("OMP_NUM_THREADS"), os.environ.get("OPENBLAS_NUM_THREADS"),
             "".join(", %s=%s" % (k, os.environ[k]) for k in ("OMP_WAIT_POLICY", "OMP_PROC_BIND")
                     if k in os.environ)))
    print("- machine: %s, %d cores, load average %s at start"
          % (platform.machine(), os.cpu_count(), " ".join("%.2f" % v for v in os.getloadavg())))
    print("- Python %s, NumPy %s, SciPy %s (tolerance keyword `%s`)"
          % (platform.python_version(), np.__version__, scipy.__version__,
             _scipy_tol_keyword()))
    paths = getattr(bk, "library_paths", {})
    print("- blockkrylov libraries: %s" % (", ".join("%s %s" % kv for kv in paths.items())
                                           if isinstance(paths, dict) else paths))
    print("- rtol %g on the true residual of every column; right-hand sides random complex "
          "(seed %d); runs stopped at %g x their side's best time so far (at least %g s, "
          "at most %g s)\n" % (RTOL, SEED, args.prune, floor, hard))
    sys.stdout.flush()

    bk_runs, sp_runs, lu_runs, problems = [], [], [], {}
    for name in names:
        t0 = time.perf_counter()
        problem = make_problem(name, args.quick)
        problems[name] = problem
        n = problem.n
        print("## %s: %s\n\nn = %d, nnz = %d, %s; built in %.1f s\n"
              % (name, problem.title, n, problem.A.nnz,
                 "A = A^T" if problem.symmetric else "non-symmetric",
                 time.perf_counter() - t0), flush=True)
        Ball = right_hand_sides(n, max(sizes), SEED)

        # blockkrylov: every configuration, all s columns in one call.
        limits = Limits(args.prune, floor, hard)
        order, previous = bk_configs(problem), None
        for s in sizes:
            B = np.asfortranarray(Ball[:, :s])
            for method, precond in bk_configs(problem):
                if (method, precond) not in order:
                    bk_runs.append(BkRun(name, s, method, precond, "skipped", False, 0, 0.0, 0.0,
                                         math.nan, math.nan, 0.0,
                                         "not among the fastest at s = %d" % previous))
            for method, precond in order:
                run = run_bk(problem, B, method, precond, limits.cap(s))
                bk_runs.append(run)
                if run.converged:
                    limits.record(s, run.seconds)
                print("  bk  s=%d %-9s %-6s %-10s products %7d  %8s%s"
                      % (s, method, precond, run.status, run.products, fmt_time(run.seconds),
                         ("  " + run.note) if run.note else ""), file=sys.stderr, flush=True)
            # The next s runs the configurations that converged at this one
            # within KEEP_FACTOR of the fastest (at most KEEP of them), the
            # fastest first, so that its time caps are set early by a good run.
            done = sorted((r for r in bk_runs if r.problem == name and r.s == s and r.converged),
                          key=lambda r: r.seconds)
            order = [(r.method, r.precond) for r in done
                     if r.seconds <= args.keep_factor * done[0].seconds][:args.keep]
            previous = s

        # SciPy: one column at a time, the first max(s) columns.
        limits = Limits(args.prune, floor, hard)
        M, build, lu_nnz = None, 0.0, 0
        try:
            M, build, lu_nnz = build_spilu(problem.A)
        except Exception as e:  # noqa: BLE001
            print("  spilu failed: %s" % e, file=sys.stderr)
        for precond in ("none", "spilu"):
            if precond == "spilu" and M is None:
                continue
            for solver in SCIPY_SOLVERS:
                run = run_scipy(problem, Ball, solver, precond, M if precond == "spilu" else None,
                                build if precond == "spilu" else 0.0, limits, "col", counting)
                sp_runs.append(run)
                st = run.stats(len(run.column_seconds))
                print("  sp  %-9s %-6s columns %d/%d, products %s, %s per column%s"
                      % (solver, precond, sum(run.column_converged), max(sizes),
                         run.column_products, fmt_time(sum(run.column_seconds)
                                                       / max(1, len(run.column_seconds))),
                         ("  " + run.note) if run.note else ""), file=sys.stderr, flush=True)
        if problem.no_direct:
            print("  " + problem.no_direct, file=sys.stderr)
        elif not args.no_splu:
            lu = run_splu(problem, Ball)
            lu_runs.append(lu)
            print("  splu factor %s, solve %s per column, nnz(L+U) %d, residual %.1e %s"
                  % (fmt_time(lu.factor_seconds), fmt_time(sum(lu.column_seconds)
                                                           / max(1, len(lu.column_seconds))),
                     lu.nnz, lu.residual, lu.note), file=sys.stderr, flush=True)

        # Summary of this problem.
        rows = []
        lu = next((r for r in lu_runs if r.problem == name), None)
        for s in sizes:
            b = best_bk(bk_runs, name, s)
            bs = best_scipy(sp_runs, name, s)
            lu_s = lu.seconds(s) / s if lu and lu.column_seconds else None
            rows.append([
                s,
                "%s + %s" % (b.method, b.precond) if b else "none converged",
                fmt_prod(b.products / s) if b else "-",
                fmt_time(b.seconds / s) if b else "-",
                "%s + %s" % (bs[0].solver, bs[0].precond) if bs else "none converged",
                fmt_prod(bs[1][1]) if bs else "-",
                fmt_time(bs[1][2]) if bs else "-",
                fmt_time(lu_s),
                fmt_ratio(b.seconds / s if b else None, bs[1][2] if bs else None),
                fmt_ratio(b.seconds / s if b else None, lu_s),
            ])
        print(table(["s", "blockkrylov best", "products/RHS", "time/RHS", "SciPy best iterative",
                     "products/RHS", "time/RHS", "splu time/RHS", "bk/SciPy", "bk/splu"], rows))
        if lu:
            print("\nsplu: factor %s, one solve %s, nnz(L+U) = %d (%.0f x nnz(A)), largest "
                  "residual %.1e%s" % (fmt_time(lu.factor_seconds),
                                       fmt_time(min(lu.column_seconds) if lu.column_seconds
                                                else None),
                                       lu.nnz, lu.nnz / problem.A.nnz, lu.residual,
                                       "; " + lu.note if lu.note else ""))
        if problem.no_direct:
            print("\n" + problem.no_direct)
        if M is not None:
            print("spilu (SciPy's preconditioner): built in %s, nnz(L+U) = %d (%.1f x nnz(A))"
                  % (fmt_time(build), lu_nnz, lu_nnz / problem.A.nnz))
        print("\nproblem done in %.0f s\n" % (time.perf_counter() - t0), flush=True)

    # ------------------------------------------------------------------
    print("## Summary\n")
    rows = []
    for name in names:
        lu = next((r for r in lu_runs if r.problem == name), None)
        for s in sizes:
            b = best_bk(bk_runs, name, s)
            bs = best_scipy(sp_runs, name, s)
            lu_s = lu.seconds(s) / s if lu and lu.column_seconds else None
            rows.append([name, problems[name].n, s,
                         "%s + %s" % (b.method, b.precond) if b else "none converged",
                         fmt_prod(b.products / s) if b else "-",
                         fmt_time(b.seconds / s) if b else "-",
                         "%s + %s" % (bs[0].solver, bs[0].precond) if bs else "none converged",
                         fmt_prod(bs[1][1]) if bs else "-", fmt_time(bs[1][2]) if bs else "-",
                         fmt_time(lu_s),
                         fmt_ratio(b.seconds / s if b else None, bs[1][2] if bs else None),
                         fmt_ratio(b.seconds / s if b else None, lu_s)])
    print("Per right-hand side: blockkrylov's products and time divided by s (one call, "
          "block size s, preconditioner build included); SciPy's averaged over its first s "
          "columns (spilu build included); splu: (factor + s solves) / s. bk/SciPy and bk/splu: "
          "blockkrylov's best time per RHS over theirs.\n")
    print(table(["problem", "n", "s", "blockkrylov best", "products/RHS", "time/RHS",
                 "SciPy best iterative", "products/RHS", "time/RHS", "splu time/RHS", "bk/SciPy",
                 "bk/splu"], rows))

    print("\n### Block GMRES: products per right-hand side against s\n")
    rows = []
    incomplete = []
    for name in names:
        for precond in dict.fromkeys(p for _, p in bk_configs(problems[name])):
            cells = []
            runs = [next((r for r in bk_runs if r.problem == name and r.s == s
                          and r.method == "gmres" and r.precond == precond), None)
                    for s in sizes]
            for s, r in zip(sizes, runs):
                cells.append("-" if r is None else "skipped" if r.status == "skipped"
                             else fmt_prod(r.products / s, r.converged))
            rows.append([name, precond] + cells)
            # Unpreconditioned GMRES, and any configuration stopped at its
            # cap, go again below (skipped ones are left as they are).
            if any(r is None or not r.converged for r in runs) and (
                    precond == "none" or any(r is not None and r.status == "stopped"
                                             for r in runs)):
                incomplete.append((name, precond))
    print(table(["problem", "preconditioner"] + ["s = %d" % s for s in sizes], rows))
    print("\n`>N`: stopped at the time cap (or not converged) after N products per RHS; "
          "skipped: not run at this s (not among the fastest at the s before).")

    # The runs stopped above, again on the --quick size of their problem
    # with a plain time cap, so that every s gets a products count.
    gmres_reruns, small = [], {}
    if incomplete and not args.no_gmres_rerun:
        cap = args.gmres_cap if args.gmres_cap is not None else (3.0 if args.quick else 15.0)
        rows = []
        for name, precond in incomplete:
            if name not in small:
                small[name] = problems[name] if args.quick else make_problem(name, True)
            problem = small[name]
            Ball = right_hand_sides(problem.n, max(sizes), SEED)
            cells = []
            for s in sizes:
                r = run_bk(problem, np.asfortranarray(Ball[:, :s]), "gmres", precond, cap)
                gmres_reruns.append(r)
                cells.append(fmt_prod(r.products / s, r.converged))
                print("  bk  gmres rerun %s n=%d s=%d %-6s %-10s products %7d  %8s"
                      % (name, problem.n, s, precond, r.status, r.products, fmt_time(r.seconds)),
                      file=sys.stderr, flush=True)
            rows.append([name, problem.n, precond] + cells)
        print("\nUnpreconditioned GMRES and the GMRES configurations stopped above, on the "
              "--quick size of their problem, each run until it converges or reaches %g s:\n"
              % cap)
        print(table(["problem", "n", "preconditioner"] + ["s = %d" % s for s in sizes], rows))

    degenerate = None
    if not args.no_degenerate:
        degenerate, drows = degenerate_case(args.quick)
        print("\n### Equal, zero and dependent columns\n")
        print("%s; n = %d; each block in one call (block size = its columns), products against "
              "those of its 3 independent columns.\n" % (degenerate.title, degenerate.n))
        print(table(["preconditioner", "method", "B", "status", "products",
                     "products vs independent", "largest true residual", "time",
                     "time vs independent"],
                    [[r.precond, r.method, r.block, r.status, r.products,
                      "%.2f" % r.product_ratio, "%.1e" % r.residual, fmt_time(r.seconds),
                      "%.2f" % r.time_ratio] for r in drows]))

    # Targets.
    print("\n### Targets\n")
    smax = max(sizes)
    lines = []
    for name in names:
        b = best_bk(bk_runs, name, smax)
        bs = best_scipy(sp_runs, name, smax)
        if b and bs:
            ratio = (b.seconds / smax) / bs[1][2]
            lines.append("- (1) %s, s = %d: time/RHS blockkrylov / best SciPy iterative = %.2f: %s"
                         % (name, smax, ratio, "met" if ratio <= 0.5 else "NOT met (target "
                                                                                 "<= 0.5)"))
        else:
            lines.append("- (1) %s, s = %d: %s" % (name, smax, "no converged blockkrylov run"
                                                    if not b else "no converged SciPy run"))
    for name in names:
        if problems[name].n >= 100000 and name.startswith("helm3d"):
            b = best_bk(bk_runs, name, smax)
            lu = next((r for r in lu_runs if r.problem == name), None)
            if b and lu and lu.column_seconds:
                lines.append("- (2) %s, s = %d: blockkrylov total %s, splu factor + %d solves %s: "
                             "%s" % (name, smax, fmt_time(b.seconds), smax,
                                     fmt_time(lu.seconds(smax)),
                                     "met" if b.seconds < lu.seconds(smax) else "NOT met"))
    for name in names:
        verdicts = []
        for precond in dict.fromkeys(p for _, p in bk_configs(problems[name])):
            where = ""
            by_s = {s: next((r for r in bk_runs if r.problem == name and r.s == s
                             and r.method == "gmres" and r.precond == precond), None)
                    for s in sizes}
            if not all(r is not None and r.converged for r in by_s.values()):
                again = [r for r in gmres_reruns if r.problem == name and r.precond == precond]
                if again:
                    by_s = {r.s: r for r in again}
                    where = " (n = %d)" % small[name].n
            if by_s.get(1) is None or not by_s[1].converged:
                verdicts.append("%s unknown (s = 1 not converged)" % precond)
                continue
            p1 = by_s[1].products
            worse = [s for s in sizes if s > 1 and by_s.get(s) is not None
                     and by_s[s].products / s > p1]
            unknown = [s for s in sizes if s > 1 and (by_s.get(s) is None
                                                      or not by_s[s].converged)
                       and s not in worse]
            verdicts.append("%s%s %s" % (precond, where,
                                         "MORE at s = %s" % ",".join(map(str, worse)) if worse
                                         else ("unknown at s = %s" % ",".join(map(str, unknown))
                                               if unknown else "ok")))
        if verdicts:
            lines.append("- (3) %s, GMRES products/RHS at s > 1 <= at s = 1: %s"
                         % (name, "; ".join(verdicts)))
    if degenerate is not None:
        bad = [r for r in drows if not r.met()]
        lines.append("- (4) equal/zero/dependent columns: %s"
                     % ("met: every block converged with every method within 10%% of the "
                        "products of its independent columns" if not bad else
                        "NOT met for %s" % "; ".join(
                            "%s + %s, %s (%s, %.2fx products, %.2fx time)"
                            % (r.method, r.precond, r.block.split(" [")[0], r.status,
                               r.product_ratio, r.time_ratio) for r in bad)))
    print("\n".join(lines))

    if not args.no_details:
        print("\n## Every run\n")
        print("### blockkrylov (one call per row, block size s; skipped ones left out)\n")
        print(table(["problem", "s", "method", "preconditioner", "status", "products",
                     "products/RHS", "time", "time/RHS", "setup", "true residual", "note"],
                    [[r.problem, r.s, r.method, r.precond, r.status, r.products,
                      fmt_prod(r.products / r.s, r.converged), fmt_time(r.seconds),
                      fmt_time(r.seconds / r.s), fmt_time(r.setup_seconds),
                      "%.1e" % r.max_residual, r.note or ("cap %.0f s" % r.cap
                                                          if r.status == "stopped" else "")]
                     for r in bk_runs if r.status != "skipped"]))
        print("\n### SciPy (one column at a time; products and time per column)\n")
        print(table(["problem", "solver", "M", "columns converged", "products per column",
                     "time per column", "build", "note"],
                    [[r.problem, r.solver, r.precond,
                      "%d/%d" % (sum(r.column_converged), len(r.column_converged)),
                      " ".join(str(p) for p in r.column_products),
                      " ".join(fmt_time(t) for t in r.column_seconds),
                      fmt_time(r.build_seconds) if r.precond == "spilu" else "-", r.note]
                     for r in sp_runs]))

    print("\nload average at end %s; total %.0f s"
          % (" ".join("%.2f" % v for v in os.getloadavg()), time.perf_counter() - began))

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"blockkrylov": [dataclasses.asdict(r) for r in bk_runs],
                       "scipy": [dataclasses.asdict(r) for r in sp_runs],
                       "splu": [dataclasses.asdict(r) for r in lu_runs],
                       "problems": {k: {"n": p.n, "nnz": int(p.A.nnz), "title": p.title}
                                    for k, p in problems.items()}},
                      f, indent=1, default=float)


if __name__ == "__main__":
    main()
