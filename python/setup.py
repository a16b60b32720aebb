"""Packaging of blockkrylov: the shared libraries of a CMake build travel
inside the package, so that an installed package needs no environment
variable and no library on the loader's search path.

Where the libraries are taken from, first found:
  BLOCKKRYLOV_HOST_LIBRARY, BLOCKKRYLOV_LIBRARY  paths of the two files;
  BLOCKKRYLOV_BUILD_DIR                          a CMake build directory (or a
                                                 directory holding both files);
  ../build                                       the build directory of ./build.sh.

setuptools' scratch directories (build/, *.egg-info) go to a temporary
directory, so that installing never writes into the source tree.
"""

import atexit
import glob
import os
import shutil
import tempfile

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "blockkrylov"
LIBRARIES = (("blockkrylov_host", "BLOCKKRYLOV_HOST_LIBRARY"), ("blockkrylov", "BLOCKKRYLOV_LIBRARY"))


def find_library(stem, variable):
    """The file of lib<stem>.so to copy into the package."""
    path = os.environ.get(variable)
    if path:
        if not os.path.isfile(path):
            raise SystemExit("blockkrylov: %s=%s is not a file" % (variable, path))
        return os.path.realpath(path)
    root = os.environ.get("BLOCKKRYLOV_BUILD_DIR") or os.path.join(HERE, os.pardir, "build")
    for where in (root, os.path.join(root, "host")):
        found = sorted(glob.glob(os.path.join(where, "lib%s.so*" % stem)), key=len)
        if found:
            return os.path.realpath(found[0])
    raise SystemExit(
        "blockkrylov: lib%s.so not found in %s or %s/host.\n"
        "Build the project first (./build.sh), or set BLOCKKRYLOV_BUILD_DIR to the CMake build "
        "directory, or %s to the library's path." % (stem, os.path.abspath(root),
                                                     os.path.abspath(root), variable))


class BuildPyWithLibraries(build_py):
    """build_py, then the two shared libraries copied next to the modules."""

    def run(self):
        super().run()
        target = os.path.join(self.build_lib, PACKAGE)
        for stale in glob.glob(os.path.join(target, "lib*.so*")):
            os.remove(stale)
        for stem, variable in LIBRARIES:
            source = find_library(stem, variable)
            shutil.copyfile(source, os.path.join(target, os.path.basename(source)))
            self.announce("copied %s into the package" % source, level=2)


class BinaryDistribution(Distribution):
    """The package holds compiled code: a platform wheel, installed in platlib."""

    def has_ext_modules(self):
        return True


scratch = tempfile.mkdtemp(prefix="blockkrylov-setup-")
atexit.register(shutil.rmtree, scratch, ignore_errors=True)

setup(
    cmdclass={"build_py": BuildPyWithLibraries},
    distclass=BinaryDistribution,
    options={"build": {"build_base": os.path.join(scratch, "build")},
             "egg_info": {"egg_base": scratch}},
)
