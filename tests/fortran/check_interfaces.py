#!/usr/bin/env python3
"""Checks the bind(C) declarations of the Fortran modules against the C headers.

    check_interfaces.py HEADER MODULE.f90 [HEADER MODULE.f90 ...]
    check_interfaces.py --self-test HEADER MODULE.f90 [...]

For each header/module pair: every exported function of the header has an
interface with the same binding name and vice versa, with the same dummy
arguments (names compared case-insensitively, count, order), the kind each C
type maps to, `value` exactly for arguments passed by value, intent(in) for
every const pointer, and the matching result (void: subroutine). Every struct
of the header has a bind(C) derived type with the same fields in the same
order and kinds (a struct field held by value: the type of that struct), and every enum constant a parameter of the same value.

--self-test applies a table of small edits to the texts (an argument
dropped, swapped, retyped; a field moved; a constant changed; a `value`
lost) and fails unless the check reports each of them.
"""
import re
import sys

# C scalar type -> Fortran type spec.
C_KINDS = {
    "int32_t": "integer(c_int32_t)",
    "int64_t": "integer(c_int64_t)",
    "double": "real(c_double)",
    "bk_complex": "complex(c_double_complex)",
    "char": "character(kind=c_char)",
}


# --------------------------------------------------------------------- C side

def strip_c_comments(text):
    return re.sub(r"//[^\n]*", "", re.sub(r"/\*.*?\*/", "", text, flags=re.S))


def c_decl(decl):
    """'const int32_t *n' -> (name, base, pointer, const)."""
    m = re.fullmatch(r"\s*(const\s+)?(\w+)\s*(\*?)\s*(\w+)\s*", decl)
    if not m:
        raise ValueError("cannot read C declaration %r" % decl)
    return m.group(4), m.group(2), bool(m.group(3)), bool(m.group(1))


def parse_header(text):
    text = strip_c_comments(text)
    functions = {}
    for ret, args in re.findall(r"\bBLOCKKRYLOV(?:_HOST)?_API\s+([^;(]+?)\s*\(([^)]*)\)\s*;", text):
        name, base, pointer, _ = c_decl(ret)
        result = "type(c_ptr)" if pointer else None if base == "void" else C_KINDS[base]
        params = [] if args.strip() in ("", "void") else [c_decl(a) for a in args.split(",")]
        functions[name] = (result, params)
    structs = {}
    for body, name in re.findall(r"typedef\s+struct\s+\w+\s*\{(.*?)\}\s*(\w+)\s*;", text, flags=re.S):
        fields = []
        for decl in (d.strip() for d in body.split(";")):
            if not decl:
                continue
            fp = re.fullmatch(r"[\w\s*]+\(\s*\*\s*(\w+)\s*\)\s*\(.*\)", decl, flags=re.S)
            arr = re.fullmatch(r"(\w+)\s+(\w+)\s*\[\s*(\d+)\s*\]", decl)
            if fp:
                fields.append((fp.group(1), "type(c_funptr)", None))
            elif arr:
                fields.append((arr.group(2), C_KINDS[arr.group(1)], int(arr.group(3))))
            else:
                fname, base, pointer, _ = c_decl(decl)
                if pointer:
                    kind = "type(c_ptr)"
                elif base in structs:  # a struct held by value: the bind(C) type of that name
                    kind = "type(%s)" % base
                elif base in C_KINDS:
                    kind = C_KINDS[base]
                else:
                    raise ValueError("struct %s: no Fortran kind for field %r" % (name, decl))
                fields.append((fname, kind, None))
        structs[name] = fields
    constants = {}
    for body in re.findall(r"\benum\s*\{(.*?)\}", text, flags=re.S):
        for name, value in re.findall(r"(\w+)\s*=\s*(-?\d+)", body):
            constants[name] = int(value)
    return functions, structs, constants


# --------------------------------------------------------------- Fortran side

def fortran_statements(text):
    """Comment-free statements with continuations joined."""
    out, pending = [], ""
    for line in text.splitlines():
        line = re.sub(r'!(?=(?:[^"]*"[^"]*")*[^"]*$).*', "", line).strip()
        if line.startswith("&"):
            line = line[1:].strip()
        if line.endswith("&"):
            pending += line[:-1] + " "
            continue
        line = pending + line
        pending = ""
        if line:
            out.extend(s.strip() for s in line.split(";") if s.strip())
    return out


def split_top(text):
    """Splits on commas outside parentheses."""
    parts, depth, cur = [], 0, ""
    for ch in text:
        depth += ch == "("
        depth -= ch == ")"
        if ch == "," and depth == 0:
            parts.append(cur.strip())
            cur = ""
        else:
            cur += ch
    if cur.strip():
        parts.append(cur.strip())
    return parts


def declarations(stmt):
    """'real(c_double), intent(in) :: a, b(*)' -> type spec, attributes, {name: dims}."""
    spec, names = stmt.split("::", 1)
    parts = split_top(spec)
    type_spec = re.sub(r"\s+", "", parts[0].lower())
    attrs = [re.sub(r"\s+", "", a.lower()) for a in parts[1:]]
    entities = {}
    for ent in split_top(names):
        m = re.fullmatch(r"(\w+)\s*(?:\((.*)\))?(?:\s*=.*)?", ent.strip())
        entities[m.group(1).lower()] = m.group(2)
    return type_spec, attrs, entities


HEAD = re.compile(r"(?:[\w(), ]*?\s)?(function|subroutine)\s+(\w+)\s*\(([^)]*)\)\s*"
                  r"(?:result\s*\(\s*(\w+)\s*\))?\s*bind\s*\(\s*c\s*,\s*name\s*=\s*\"(\w+)\"\s*\)", re.I)


def parse_module(text):
    functions, types, constants = {}, {}, {}
    stmts = fortran_statements(text)
    i = 0
    while i < len(stmts):
        s = stmts[i]
        head = HEAD.fullmatch(s)
        tmatch = re.fullmatch(r"type\s*,\s*bind\s*\(\s*c\s*\)[^:]*::\s*(\w+)", s, re.I)
        if head:
            kind, _, args, result, cname = head.groups()
            dummies = [a.strip().lower() for a in args.split(",") if a.strip()]
            decl = {}
            i += 1
            while not re.match(r"end\s+(function|subroutine)", stmts[i], re.I):
                if "::" in stmts[i]:
                    type_spec, attrs, ents = declarations(stmts[i])
                    for name in ents:
                        decl[name] = (type_spec, attrs)
                i += 1
            res = None
            if kind.lower() == "function":
                res = decl.get((result or head.group(2)).lower(), ("?", []))[0]
            missing = [d for d in dummies if d not in decl]
            if missing:
                raise ValueError("%s: no declaration for %s" % (cname, ", ".join(missing)))
            functions[cname] = (res, [(d,) + decl[d] for d in dummies])
        elif tmatch:
            fields = []
            i += 1
            while not re.match(r"end\s+type", stmts[i], re.I):
                type_spec, _, ents = declarations(stmts[i])
                for name, dims in ents.items():
                    fields.append((name, type_spec, int(dims) if dims else None))
                i += 1
            types[tmatch.group(1).lower()] = fields
        elif "parameter" in s.lower() and "::" in s:
            for ent in split_top(s.split("::", 1)[1]):
                m = re.fullmatch(r"(\w+)\s*=\s*(-?\d+)(?:_\w+)?", ent.strip())
                if m:
                    constants[m.group(1).upper()] = int(m.group(2))
        i += 1
    return functions, types, constants


# -------------------------------------------------------------------- checking

def fortran_arg_for(base, pointer, structs):
    """Expected Fortran type spec and whether it is passed by value."""
    if base in structs and pointer:
        return "type(%s)" % base, False
    if pointer and base not in C_KINDS:
        return "type(c_ptr)", True  # opaque handle, passed on as is
    return C_KINDS[base], not pointer


def check(header_text, module_text):
    cfuncs, cstructs, cconsts = parse_header(header_text)
    ffuncs, ftypes, fconsts = parse_module(module_text)
    problems = []
    for name in sorted(set(cfuncs) ^ set(ffuncs)):
        problems.append("%s: %s" % (name, "no Fortran interface" if name in cfuncs else "not in the header"))
    for name in sorted(set(cfuncs) & set(ffuncs)):
        (cres, cargs), (fres, fargs) = cfuncs[name], ffuncs[name]
        if cres != fres:
            problems.append("%s: result %s in C, %s in Fortran" % (name, cres or "void", fres or "subroutine"))
        if [a[0].lower() for a in cargs] != [a[0] for a in fargs]:
            problems.append("%s: arguments (%s) in C, (%s) in Fortran" % (
                name, ", ".join(a[0] for a in cargs), ", ".join(a[0] for a in fargs)))
            continue
        for (arg, base, pointer, const), (_, ftype, attrs) in zip(cargs, fargs):
            want, by_value = fortran_arg_for(base, pointer, cstructs)
            if ftype != want:
                problems.append("%s(%s): %s in C needs %s, not %s" % (name, arg, base, want, ftype))
            if ("value" in attrs) != by_value:
                problems.append("%s(%s): %s" % (name, arg, "must be passed by value" if by_value
                                                else "is a pointer, must not have value"))
            if const and pointer and "intent(in)" not in attrs:
                problems.append("%s(%s): const in C, must be intent(in)" % (name, arg))
    for name, cfields in cstructs.items():
        ffields = ftypes.get(name.lower())
        if ffields is None:
            problems.append("struct %s: no bind(C) type" % name)
        elif [(n.lower(), t, d) for n, t, d in cfields] != ffields:
            problems.append("struct %s: fields %s in C, %s in Fortran" % (name, cfields, ffields))
    for name, value in cconsts.items():
        if fconsts.get(name) != value:
            problems.append("constant %s: %s in C, %s in Fortran" % (name, value, fconsts.get(name)))
    return problems


# (file index 0 = header, 1 = module; text to replace; replacement)
MUTATIONS = [
    (0, "const int32_t *ldx,\n                                     const int32_t *n",
        "const int32_t *n,\n                                     const int32_t *ldx"),   # swapped
    (0, "const int32_t *s,\n                                     double *nrm", "double *nrm"),    # dropped
    (0, "const double *tol, double *rmax", "const int32_t *tol, double *rmax"),             # retyped
    (0, "BLOCKKRYLOV_API int32_t C_ZD_BLANCZOS(", "BLOCKKRYLOV_API void C_ZD_BLANCZOS("),   # result
    (0, "bk_complex *UQ, bk_complex *TAU", "bk_complex *UQ, bk_complex *UW, bk_complex *TAU"),  # added
    (1, "bind(C, name=\"C_GMRESHMQR\")", "bind(C, name=\"C_GMRESHMQ\")"),                   # renamed
    (2, "int32_t base, int32_t nrhs,", "int32_t nrhs, int32_t base,"),                       # swapped
    (2, "int32_t restart;", "int64_t restart;"),                                           # field kind
    (2, "  double atol;", "  double atol;\n  double stol;"),                                # field added
    (2, "BK_STOPPED = 4", "BK_STOPPED = 6"),                                               # constant
    (2, "char message[512];", "char message[256];"),                                       # array length
    (2, "bk_operator left_t;", "bk_operator *left_t;"),                                    # struct -> pointer
    (3, "      integer(c_int32_t), value :: status\n      type(c_ptr) :: name",
        "      integer(c_int32_t) :: status\n      type(c_ptr) :: name"),                     # value lost
]


def main(argv):
    self_test = argv[:1] == ["--self-test"]
    paths = argv[1:] if self_test else argv
    if not paths or len(paths) % 2:
        sys.exit(__doc__)
    texts = [open(p, encoding="utf-8").read() for p in paths]
    pairs = [(texts[k], texts[k + 1]) for k in range(0, len(texts), 2)]
    failed = 0
    for k, (header, module) in enumerate(pairs):
        for p in check(header, module):
            print("%s vs %s: %s" % (paths[2 * k], paths[2 * k + 1], p))
            failed += 1
    if failed or not self_test:
        print("%d problem(s)" % failed if failed else "interfaces match their headers")
        return 1 if failed else 0
    for index, old, new in MUTATIONS:
        edited = list(texts)
        if old not in edited[index]:
            print("self-test: %r no longer occurs in %s" % (old, paths[index]))
            failed += 1
            continue
        edited[index] = edited[index].replace(old, new, 1)
        k = index // 2
        if not check(edited[2 * k], edited[2 * k + 1]):
            print("self-test: editing %r to %r in %s went unnoticed" % (old, new, paths[index]))
            failed += 1
    print("%d of %d edits unnoticed" % (failed, len(MUTATIONS)) if failed else
          "every one of %d edits was reported" % len(MUTATIONS))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
