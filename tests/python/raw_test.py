"""The ctypes declarations against the C headers, and the monitoring wrappers.

The prototypes and structs of blockkrylov.h and blockkrylov_host.h (found in
BLOCKKRYLOV_INCLUDE_DIR) are turned into the ctypes types they call for; any
difference from what the package declares fails, so that an argument added,
dropped or retyped in a header cannot go unnoticed."""

import ctypes
import os
import re
import unittest

import numpy as np

import blockkrylov as bk
from blockkrylov import _lib, raw

INCLUDE = os.environ.get("BLOCKKRYLOV_INCLUDE_DIR",
                         os.path.join(os.path.dirname(__file__), "..", "..", "include"))
SCALARS = {"int32_t": ctypes.c_int32, "int64_t": ctypes.c_int64, "double": ctypes.c_double,
           "int": ctypes.c_int, "char": ctypes.c_char, "void": None}


def header(name):
    with open(os.path.join(INCLUDE, name)) as f:
        text = re.sub(r"/\*.*?\*/", " ", f.read(), flags=re.S)
    return "\n".join(line for line in text.splitlines() if not line.lstrip().startswith("#"))


def ctype(decl, named=True):
    """The ctypes type of a C declaration such as 'const bk_complex *x'."""
    tokens = [t for t in re.findall(r"\w+|\*", decl) if t != "const"]
    words = [t for t in tokens if t != "*"]
    (base,) = words[:-1] if named and len(words) > 1 else words
    if "*" not in tokens:
        return SCALARS[base] if base in SCALARS else getattr(_lib, base)
    if base in ("void", "bk_solver"):
        return ctypes.c_void_p
    return ctypes.c_char_p if base == "char" else ctypes.POINTER(ctype(base, named=False))


def kind(t):
    """A ctypes field type as comparable data."""
    if hasattr(t, "_argtypes_"):
        return ("fn", t._restype_, tuple(t._argtypes_))
    return ("array", t._type_, t._length_) if issubclass(t, ctypes.Array) else t


class Headers(unittest.TestCase):
    def test_functions(self):
        for name, macro, prefix, lib, declared in (
                ("blockkrylov.h", "BLOCKKRYLOV_API", "C_", raw.lib, raw.SIGNATURES),
                ("blockkrylov_host.h", "BLOCKKRYLOV_HOST_API", "bk_", _lib.host, _lib.HOST_SIGNATURES)):
            pattern = macro + r"\s+([\w\s*]+?)\s*\b(" + prefix + r"\w+)\s*\(([^()]*)\)\s*;"
            parsed = {fn: (ctype(ret, named=False), [ctype(a) for a in args.split(",")])
                      for ret, fn, args in re.findall(pattern, header(name))}
            self.assertEqual(set(parsed), set(declared))
            for fn, types in parsed.items():
                function = getattr(lib, fn)
                self.assertEqual((function.restype, function.argtypes), types, fn)
        self.assertEqual(len(raw.SIGNATURES), 12)

    def test_structs(self):
        structs = dict(re.findall(r"typedef struct (bk_\w+)\s*\{(.*?)\}\s*\1\s*;",
                                  header("blockkrylov_host.h"), re.S))
        self.assertEqual(set(structs), {"bk_operator", "bk_preconditioner", "bk_progress",
                                        "bk_options", "bk_report"})
        for name, body in structs.items():
            expected = []
            for decl in (d.strip() for d in body.split(";") if d.strip()):
                fn = re.match(r"(.*)\(\s*\*\s*(\w+)\s*\)\s*\((.*)\)$", decl, re.S)
                array = re.match(r"(.*\W)(\w+)\s*\[(\d+)\]$", decl, re.S)
                if fn:
                    expected.append((fn[2], ("fn", ctype(fn[1], named=False),
                                             tuple(ctype(a) for a in fn[3].split(",")))))
                elif array:
                    expected.append((array[2], ("array", ctype(array[1], named=False), int(array[3]))))
                else:
                    expected.append((re.findall(r"\w+", decl)[-1], ctype(decl)))
            self.assertEqual([(f, kind(t)) for f, t in getattr(_lib, name)._fields_], expected, name)

    def test_init_writes_no_further_than_the_callers_size(self):
        # An older, smaller struct: nothing past its size changes; a newer,
        # larger one: the library's own size is set.
        for struct, init in ((_lib.bk_options, _lib.host.bk_options_init_sized),
                             (_lib.bk_report, _lib.host.bk_report_init_sized)):
            for size in (24, 8192):
                buffer = ctypes.create_string_buffer(b"\xab" * 8192, 8192)
                init(ctypes.cast(buffer, ctypes.POINTER(struct)), size)
                written = min(size, ctypes.sizeof(struct))
                self.assertEqual(ctypes.c_int32.from_buffer(buffer).value, written)
                self.assertEqual(buffer.raw[written:], b"\xab" * (8192 - written))


class Wrappers(unittest.TestCase):
    def test_monitoring(self):
        X = np.arange(12.0).reshape(4, 3) + 1j
        for block in (X, X[::2, 1:], X[:, 0]):
            np.testing.assert_allclose(raw.colblocknorms(block),
                                       np.linalg.norm(block.reshape(block.shape[0], -1), axis=0))
        np.testing.assert_array_equal(raw.colblocknorms(np.ones((0, 2))), [0.0, 0.0])
        p = raw.convergence_progress(1, 0, 1e-8, 1.0, [0.1, np.nan])
        self.assertEqual((p.converged, p.rmax), (False, 0.1))
        p = raw.convergence_progress(2, 1, 1e-8, p.rmax, [0.01], p.itpred, p.pct)
        self.assertGreater(p.itpred, 2)
        kept = raw.convergence_progress(3, 2, 1e-8, p.rmax, [0.5], 77, 12.5)  # grew: kept
        self.assertEqual((kept.itpred, kept.pct), (77, 12.5))
        done = raw.convergence_progress(4, 3, 1e-8, p.rmax, [1e-9])
        self.assertEqual((done.converged, done.itpred, done.pct), (True, 4, 100.0))
        with self.assertRaises(OverflowError):
            raw.convergence_progress(2**31, 0, 1e-8, 1.0, [1.0])

    def test_codes_match_the_library_names(self):
        for code, name in ((bk.CONVERGED, "converged"), (bk.MAX_PRODUCTS, "max_products"),
                           (bk.BREAKDOWN, "breakdown"), (bk.STAGNATED, "stagnated"),
                           (bk.STOPPED, "stopped"), (bk.MAX_ITERATIONS, "max_iterations"),
                           (bk.INVALID, "invalid")):
            self.assertEqual(_lib.host.bk_status_name(code).decode(), name)
        for name, code in bk.METHODS.items():
            self.assertEqual(_lib.host.bk_method_name(code).decode(), name)


if __name__ == "__main__":
    unittest.main()
