"""Installs the package with pip into a fresh virtual environment (system site
packages visible, no index, no build isolation), checks that the source tree
was left as it was, then imports and solves from another directory with no
PYTHONPATH and no BLOCKKRYLOV_* variable: the installed package must carry
and load its own copies of the libraries.

Usage: venv_test.py SOURCE_DIR WORK_DIR (the libraries are taken from where
the environment points setup.py). Exits with 77 (skipped) when this Python
cannot make virtual environments or lacks setuptools or wheel.
"""

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile

CHECK = r"""
import os, sys
import numpy as np
import blockkrylov as bk
here = os.path.dirname(os.path.abspath(bk.__file__))
assert here.startswith(os.path.realpath(sys.prefix)), here
for path in bk.library_paths.values():
    assert path.startswith(here), bk.library_paths
mapped = {line.split()[-1] for line in open("/proc/self/maps") if "libblockkrylov" in line}
assert mapped and all(m.startswith(here) for m in mapped), mapped
n = 30
A = np.diag(np.full(n, 3.0 + 0.5j)) - np.eye(n, k=1) - np.eye(n, k=-1)
B = np.vander(np.linspace(0.1, 1.0, n), 3) + 1j
X, info = bk.solve(A, B, rtol=1e-10)
res = np.linalg.norm(B - A @ X, axis=0) / np.linalg.norm(B, axis=0)
assert info == 0 and res.max() < 1e-9, (info, res)
print("venv: OK", bk.library_paths["host"])
"""


def snapshot(root):
    out = set()
    for d, dirs, files in os.walk(root):
        dirs[:] = [x for x in dirs if x != "__pycache__"]
        for f in files:
            st = os.stat(os.path.join(d, f))
            out.add((os.path.relpath(os.path.join(d, f), root), st.st_size, st.st_mtime_ns))
    return out


def run(cmd, **kwargs):
    print("+", " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True, **kwargs)


def main(source, work):
    missing = [m for m in ("venv", "ensurepip", "setuptools", "wheel")
               if importlib.util.find_spec(m) is None]
    if missing:
        print("venv_test: %s missing for %s" % (", ".join(missing), sys.executable))
        return 77
    venv = os.path.join(work, "venv")
    shutil.rmtree(venv, ignore_errors=True)
    before = snapshot(source)
    run([sys.executable, "-m", "venv", "--system-site-packages", venv])
    python = os.path.join(venv, "bin", "python")
    run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-cache-dir",
         "--disable-pip-version-check", source])
    changed = before ^ snapshot(source)
    if changed:
        print("venv_test: installing changed the source tree: %s" % sorted(changed))
        return 1
    clean = {k: v for k, v in os.environ.items()
             if not k.startswith("BLOCKKRYLOV_") and k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    with tempfile.TemporaryDirectory() as elsewhere:
        run([python, "-c", CHECK], cwd=elsewhere, env=clean)
    return 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
