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
mapped = {line.split()[-1] for line in open("/proc/self/maps") if "libblockkrylov" in line}
assert mapped and all(m.startswith(here) for m in list(mapped) + list(bk.library_paths.values())), mapped
X, info = bk.solve(np.diag(np.arange(1.0, 31.0) + 0.5j), np.ones(30))
assert info == 0 and np.allclose(X, 1 / (np.arange(1.0, 31.0) + 0.5j)), (info, X)
print("venv: OK", bk.library_paths["host"])
"""


def snapshot(root):
    return {(os.path.relpath(os.path.join(d, f), root), os.stat(os.path.join(d, f)).st_mtime_ns)
            for d, dirs, files in os.walk(root) if "__pycache__" not in d for f in files}


def main(source, work):
    missing = [m for m in ("venv", "ensurepip", "setuptools", "wheel")
               if importlib.util.find_spec(m) is None]
    if missing:
        print("venv_test: %s missing for %s" % (", ".join(missing), sys.executable))
        return 77
    venv = os.path.join(work, "venv")
    shutil.rmtree(venv, ignore_errors=True)
    before = snapshot(source)
    python = os.path.join(venv, "bin", "python")
    for cmd in ([sys.executable, "-m", "venv", "--system-site-packages", venv],
                [python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-cache-dir",
                 "--disable-pip-version-check", source]):
        subprocess.run(cmd, check=True)
    if before != snapshot(source):
        print("venv_test: installing changed the source tree: %s" % sorted(before ^ snapshot(source)))
        return 1
    clean = {k: v for k, v in os.environ.items()
             if not k.startswith("BLOCKKRYLOV_") and k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    with tempfile.TemporaryDirectory() as elsewhere:
        subprocess.run([python, "-c", CHECK], cwd=elsewhere, env=clean, check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
