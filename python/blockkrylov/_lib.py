"""Finding and loading the two shared libraries, and the ctypes form of the
host library's interface (blockkrylov_host.h).

The host library (libblockkrylov_host) needs the kernel library
(libblockkrylov.so.<major>). Both are looked for, in this order:

1. next to this module: an installed package carries its own copies;
2. the paths in the environment variables BLOCKKRYLOV_HOST_LIBRARY and
   BLOCKKRYLOV_LIBRARY (for a library of a build tree, say);
3. the dynamic loader's search path (ctypes.util.find_library, then the
   soname).

The kernel library is loaded first and with RTLD_GLOBAL, so that the host
library's dependency on it resolves to that very copy whatever the host
library's run path says.
"""

import ctypes
import ctypes.util
import glob
import os

__all__ = ["host", "kernel", "library_paths", "bk_complex", "bk_operator", "bk_preconditioner",
           "bk_progress", "bk_options", "bk_report", "OPERATOR_FN", "PROGRESS_FN"]

HOST_ENV = "BLOCKKRYLOV_HOST_LIBRARY"
KERNEL_ENV = "BLOCKKRYLOV_LIBRARY"
_HERE = os.path.dirname(os.path.abspath(__file__))


# ---------------------------------------------------------------------------
# Types of blockkrylov_host.h
# ---------------------------------------------------------------------------

class bk_complex(ctypes.Structure):
    """One complex double: real part first."""
    _fields_ = [("re", ctypes.c_double), ("im", ctypes.c_double)]


_Z = ctypes.POINTER(bk_complex)
OPERATOR_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, _Z, _Z)


class bk_operator(ctypes.Structure):
    _fields_ = [("apply", OPERATOR_FN), ("ctx", ctypes.c_void_p)]


class bk_preconditioner(ctypes.Structure):
    _fields_ = [("left", bk_operator), ("right", bk_operator), ("left_t", bk_operator),
                ("right_t", bk_operator), ("symmetric", ctypes.c_int32),
                ("reserved0", ctypes.c_int32)]


class bk_progress(ctypes.Structure):
    _fields_ = [("method", ctypes.c_int32), ("predicted", ctypes.c_int32),
                ("iteration", ctypes.c_int64), ("products", ctypes.c_int64),
                ("estimate", ctypes.c_double), ("percent", ctypes.c_double),
                ("block", ctypes.c_int32), ("blocks", ctypes.c_int32)]


PROGRESS_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(bk_progress))


class bk_options(ctypes.Structure):
    _fields_ = [("size", ctypes.c_int32), ("method", ctypes.c_int32),
                ("block_size", ctypes.c_int32), ("restart", ctypes.c_int32),
                ("rtol", ctypes.c_double), ("atol", ctypes.c_double),
                ("max_products", ctypes.c_int64), ("max_iterations", ctypes.c_int64),
                ("deflation_tol", ctypes.c_double), ("max_breakdowns", ctypes.c_int32),
                ("reserved0", ctypes.c_int32), ("progress", PROGRESS_FN),
                ("progress_ctx", ctypes.c_void_p), ("left_start", _Z),
                ("preconditioner", ctypes.POINTER(bk_preconditioner)),
                ("precond", ctypes.c_int32), ("reserved1", ctypes.c_int32),
                ("omega", ctypes.c_double), ("drop_tol", ctypes.c_double),
                ("fill", ctypes.c_double), ("precond_rowptr", ctypes.POINTER(ctypes.c_int64)),
                ("precond_colind", ctypes.POINTER(ctypes.c_int32)), ("precond_values", _Z),
                ("threads", ctypes.c_int32), ("reserved2", ctypes.c_int32)]


class bk_report(ctypes.Structure):
    _fields_ = [("size", ctypes.c_int32), ("status", ctypes.c_int32),
                ("method", ctypes.c_int32), ("converged", ctypes.c_int32),
                ("iterations", ctypes.c_int64), ("products", ctypes.c_int64),
                ("restarts", ctypes.c_int32), ("breakdowns", ctypes.c_int32),
                ("blocks", ctypes.c_int32), ("block_size", ctypes.c_int32),
                ("max_residual", ctypes.c_double),
                ("residuals", ctypes.POINTER(ctypes.c_double)),
                ("history", ctypes.POINTER(ctypes.c_double)),
                ("history_capacity", ctypes.c_int64), ("history_length", ctypes.c_int64),
                ("message", ctypes.c_char * 512), ("preconditioner", ctypes.c_char * 64),
                ("setup_seconds", ctypes.c_double)]


_I32, _I64 = ctypes.c_int32, ctypes.c_int64
_P_OPTIONS, _P_REPORT = ctypes.POINTER(bk_options), ctypes.POINTER(bk_report)
_P_OPERATOR = ctypes.POINTER(bk_operator)

# (result type, argument types) of every function of blockkrylov_host.h.
HOST_SIGNATURES = {
    "bk_options_init_sized": (None, [_P_OPTIONS, _I32]),
    "bk_report_init_sized": (None, [_P_REPORT, _I32]),
    "bk_solve": (_I32, [_I32, _I32, _P_OPERATOR, _P_OPERATOR, _Z, _I32, _Z, _I32,
                        _P_OPTIONS, _P_REPORT]),
    "bk_solve_csr": (_I32, [_I32, ctypes.POINTER(_I64), ctypes.POINTER(_I32), _Z, _I32, _I32,
                            _Z, _I32, _Z, _I32, _P_OPTIONS, _P_REPORT]),
    "bk_solver_create": (ctypes.c_void_p, [_I32, _I32, _I32, _P_OPTIONS]),
    "bk_solver_destroy": (None, [ctypes.c_void_p]),
    "bk_solver_solve": (_I32, [ctypes.c_void_p, _P_OPERATOR, _P_OPERATOR, _I32, _Z, _I32, _Z,
                               _I32, _P_REPORT]),
    "bk_solver_check": (_I32, [_I32, _I32, _I32, _P_OPTIONS, _P_REPORT]),
    "bk_status_name": (ctypes.c_char_p, [_I32]),
    "bk_method_name": (ctypes.c_char_p, [_I32]),
}


# ---------------------------------------------------------------------------
# Loading
# ---------------------------------------------------------------------------

def _bundled(stem):
    """The copy of lib<stem>.so* packaged next to this module, if any."""
    found = sorted(glob.glob(os.path.join(_HERE, "lib%s.so*" % stem)), key=len)
    return found[0] if found else None


def _beside(path, stem):
    """lib<stem>.so* in the directory of `path`, its parent or its host/
    subdirectory (a build tree keeps the host library in host/ below the
    kernel library; an installation keeps both in one directory)."""
    if not path:
        return None
    d = os.path.dirname(os.path.abspath(path))
    for where in (d, os.path.dirname(d), os.path.join(d, "host")):
        found = sorted(glob.glob(os.path.join(where, "lib%s.so*" % stem)), key=len)
        if found:
            return found[0]
    return None


def _open(path, what):
    try:
        return ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL)
    except OSError as e:
        raise ImportError(
            "blockkrylov: cannot load the %s from %s (%s).\n%s" % (what, path, e, _HOW)) from e


_HOW = ("Build the project (./build.sh), then install this package with\n"
        "  python3 -m pip install --no-build-isolation <source>/python\n"
        "which copies both libraries into the package; or point the environment variables\n"
        "%s and %s at libblockkrylov_host.so and libblockkrylov.so." % (HOST_ENV, KERNEL_ENV))


def _load():
    host_path = _bundled("blockkrylov_host") or os.environ.get(HOST_ENV) or None
    kernel_path = (_bundled("blockkrylov") or os.environ.get(KERNEL_ENV)
                   or _beside(host_path, "blockkrylov"))
    if host_path is None and kernel_path is not None:
        host_path = _beside(kernel_path, "blockkrylov_host")
    if host_path is None:
        host_path = ctypes.util.find_library("blockkrylov_host") or "libblockkrylov_host.so.0"
    if kernel_path is not None:
        kernel = _open(kernel_path, "kernel library")
        host = _open(host_path, "host library")
    else:
        # Without a known kernel library the host library's own run path
        # finds it; the soname then names the copy already loaded.
        host = _open(host_path, "host library")
        kernel_path = "libblockkrylov.so.0"
        kernel = _open(kernel_path, "kernel library")
    for name, (restype, argtypes) in HOST_SIGNATURES.items():
        try:
            function = getattr(host, name)
        except AttributeError as e:
            raise ImportError("blockkrylov: %s lacks %s: an older host library?\n%s"
                              % (host_path, name, _HOW)) from e
        function.restype = restype
        function.argtypes = argtypes
    return host, kernel, {"host": _file_of(host.bk_solve, host_path),
                          "kernel": _file_of(kernel.C_COLBLOCKNORMS, kernel_path)}


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def _file_of(function, fallback):
    """The file a loaded function lives in (dladdr), which the path asked
    for need not name (a soname resolved by the loader)."""
    try:
        dladdr = ctypes.CDLL(None).dladdr
        dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
        info = _DlInfo()
        if dladdr(ctypes.cast(function, ctypes.c_void_p), ctypes.byref(info)) and info.dli_fname:
            return os.path.realpath(os.fsdecode(info.dli_fname))
    except (AttributeError, OSError):
        pass
    return os.path.realpath(fallback) if os.sep in fallback else fallback


host, kernel, library_paths = _load()


def _initialised(struct_type, init):
    """A struct filled by its init function, which writes as far as our
    struct reaches (its size) and no further."""
    value = struct_type()
    init(ctypes.byref(value), ctypes.sizeof(struct_type))
    return value


DEFAULT_OPTIONS = _initialised(bk_options, host.bk_options_init_sized)


def new_options():
    """A fresh bk_options with the library's defaults."""
    return bk_options.from_buffer_copy(DEFAULT_OPTIONS)


def new_report():
    return _initialised(bk_report, host.bk_report_init_sized)
