#!/usr/bin/env python3
"""Checks the bind(C) declarations of the Fortran modules against the C headers.

    check_interfaces.py [--self-test] HEADER MODULE.f90 [HEADER MODULE.f90 ...]

Per pair: every exported function of the header has an interface of the same
binding name and vice versa, with the same result (void: subroutine) and
dummy arguments (names, order, the kind each C type maps to, `value` exactly
for arguments passed by value, intent(in) for const pointers); every struct a
bind(C) type with the same fields, in order, of the same kinds and lengths;
every enum constant a parameter of the same value. --self-test also applies
a table of small edits to the texts and fails unless each is reported.
"""
import re
import sys

KINDS = {"int32_t": "integer(c_int32_t)", "int64_t": "integer(c_int64_t)", "double": "real(c_double)",
         "bk_complex": "complex(c_double_complex)", "char": "character(kind=c_char)"}


def c_decl(decl):
    """'const int32_t *n' -> (name, base, pointer, const)."""
    m = re.fullmatch(r"\s*(const\s+)?(\w+)\s*(\*?)\s*(\w+)\s*", decl)
    if not m:
        raise ValueError("cannot read C declaration %r" % decl)
    return m[4], m[2], bool(m[3]), bool(m[1])


def parse_header(text):
    text = re.sub(r"//[^\n]*", "", re.sub(r"/\*.*?\*/", "", text, flags=re.S))
    functions, structs, constants = {}, {}, {}
    for ret, args in re.findall(r"\bBLOCKKRYLOV(?:_HOST)?_API\s+([^;(]+?)\s*\(([^)]*)\)\s*;", text):
        name, base, pointer, _ = c_decl(ret)
        params = [] if args.strip() in ("", "void") else [c_decl(a) for a in args.split(",")]
        functions[name] = ("type(c_ptr)" if pointer else None if base == "void" else KINDS[base], params)
    for body, name in re.findall(r"typedef\s+struct\s+\w+\s*\{(.*?)\}\s*(\w+)\s*;", text, flags=re.S):
        structs[name] = []
        for decl in filter(None, (d.strip() for d in body.split(";"))):
            fp = re.fullmatch(r"[\w\s*]+\(\s*\*\s*(\w+)\s*\)\s*\(.*\)", decl, flags=re.S)
            arr = re.fullmatch(r"(\w+)\s+(\w+)\s*\[\s*(\d+)\s*\]", decl)
            if fp:
                structs[name].append((fp[1], "type(c_funptr)", None))
            elif arr:
                structs[name].append((arr[2], KINDS[arr[1]], int(arr[3])))
            else:
                field, base, pointer, _ = c_decl(decl)
                structs[name].append((field, "type(c_ptr)" if pointer else
                                      "type(%s)" % base if base in structs else KINDS[base], None))
    for body in re.findall(r"\benum\s*\{(.*?)\}", text, flags=re.S):
        constants.update((k, int(v)) for k, v in re.findall(r"(\w+)\s*=\s*(-?\d+)", body))
    return functions, structs, constants


def statements(text):
    """Comment-free Fortran statements with continuations joined."""
    out, pending = [], ""
    for line in text.splitlines():
        line = re.sub(r'!(?=(?:[^"]*"[^"]*")*[^"]*$).*', "", line).strip()
        line = line[1:].strip() if line.startswith("&") else line
        if line.endswith("&"):
            pending += line[:-1] + " "
            continue
        out += [s.strip() for s in (pending + line).split(";") if s.strip()]
        pending = ""
    return out


def split_top(text):
    """Splits on commas outside parentheses."""
    parts, depth = [""], 0
    for ch in text:
        depth += (ch == "(") - (ch == ")")
        if ch == "," and depth == 0:
            parts.append("")
        else:
            parts[-1] += ch
    return [p.strip() for p in parts if p.strip()]


def declaration(stmt):
    """'real(c_double), intent(in) :: a, b(*)' -> type, attributes, {name: dims}."""
    head, names = stmt.split("::", 1)
    parts = [re.sub(r"\s+", "", p.lower()) for p in split_top(head)]
    ents = (re.fullmatch(r"(\w+)\s*(?:\((.*)\))?(?:\s*=.*)?", e) for e in split_top(names))
    return parts[0], parts[1:], {m[1].lower(): m[2] for m in ents}


HEAD = re.compile(r"(?:[\w(), ]*?\s)?(function|subroutine)\s+(\w+)\s*\(([^)]*)\)\s*"
                  r"(?:result\s*\(\s*(\w+)\s*\))?\s*bind\s*\(\s*c\s*,\s*name\s*=\s*\"(\w+)\"\s*\)", re.I)


def parse_module(text):
    functions, types, constants = {}, {}, {}
    stmts, i = statements(text), 0
    while i < len(stmts):
        s, head = stmts[i], HEAD.fullmatch(stmts[i])
        tmatch = re.fullmatch(r"type\s*,\s*bind\s*\(\s*c\s*\)[^:]*::\s*(\w+)", s, re.I)
        if head or tmatch:
            block = []
            while not re.match(r"end\s+(function|subroutine|type)", stmts[i + 1], re.I):
                i += 1
                block.append(stmts[i])
        if head:
            kind, fname, args, result, cname = head.groups()
            decl = {name: (t, attrs) for t, attrs, ents in map(declaration, filter(lambda b: "::" in b, block))
                    for name in ents}
            dummies = [a.strip().lower() for a in args.split(",") if a.strip()]
            if any(d not in decl for d in dummies):
                raise ValueError("%s: a dummy argument without declaration" % cname)
            res = decl.get((result or fname).lower(), ("?",))[0] if kind.lower() == "function" else None
            functions[cname] = (res, [(d,) + decl[d] for d in dummies])
        elif tmatch:
            types[tmatch[1].lower()] = [(name, t, int(d) if d else None) for t, _, ents in
                                        map(declaration, block) for name, d in ents.items()]
        elif "parameter" in s.lower() and "::" in s:
            for ent in split_top(s.split("::", 1)[1]):
                m = re.fullmatch(r"(\w+)\s*=\s*(-?\d+)(?:_\w+)?", ent)
                if m:
                    constants[m[1].upper()] = int(m[2])
        i += 1
    return functions, types, constants


def check(header_text, module_text):
    cfuncs, cstructs, cconsts = parse_header(header_text)
    ffuncs, ftypes, fconsts = parse_module(module_text)
    problems = ["%s: %s" % (name, "no Fortran interface" if name in cfuncs else "not in the header")
                for name in sorted(set(cfuncs) ^ set(ffuncs))]
    for name in sorted(set(cfuncs) & set(ffuncs)):
        (cres, cargs), (fres, fargs) = cfuncs[name], ffuncs[name]
        if cres != fres:
            problems.append("%s: result %s in C, %s in Fortran" % (name, cres, fres))
        if [a[0].lower() for a in cargs] != [a[0] for a in fargs]:
            problems.append("%s: arguments %s in C, %s in Fortran" % (name, cargs, fargs))
            continue
        for (arg, base, pointer, const), (_, ftype, attrs) in zip(cargs, fargs):
            want, by_value = ("type(%s)" % base, False) if base in cstructs and pointer else \
                ("type(c_ptr)", True) if pointer and base not in KINDS else (KINDS[base], not pointer)
            if ftype != want or ("value" in attrs) != by_value:
                problems.append("%s(%s): %s%s in C needs %s%s, not %s %s" % (name, arg, base, " *" * pointer,
                                                                          want, ", value" * by_value, ftype, attrs))
            if const and pointer and "intent(in)" not in attrs:
                problems.append("%s(%s): const in C, must be intent(in)" % (name, arg))
    for name, cfields in cstructs.items():
        if [(n.lower(), t, d) for n, t, d in cfields] != ftypes.get(name.lower()):
            problems.append("struct %s: fields %s in C, %s in Fortran"
                            % (name, cfields, ftypes.get(name.lower())))
    problems += ["constant %s: %s in C, %s in Fortran" % (name, value, fconsts.get(name))
                 for name, value in cconsts.items() if fconsts.get(name) != value]
    return problems


# (file index: 0, 2 headers, 1, 3 modules; text to replace; replacement)
MUTATIONS = [
    (0, "const int32_t *ldx,\n                                     const int32_t *n",
        "const int32_t *n,\n                                     const int32_t *ldx"),   # swapped
    (0, "const int32_t *s,\n                                     double *nrm", "double *nrm"),    # dropped
    (0, "const double *tol, double *rmax", "const int32_t *tol, double *rmax"),             # retyped
    (0, "BLOCKKRYLOV_API int32_t C_ZD_BLANCZOS(", "BLOCKKRYLOV_API void C_ZD_BLANCZOS("),   # result
    (1, "bind(C, name=\"C_GMRESHMQR\")", "bind(C, name=\"C_GMRESHMQ\")"),                   # renamed
    (2, "int32_t restart;", "int64_t restart;"),                                           # field kind
    (2, "  double atol;", "  double atol;\n  double stol;"),                                # field added
    (2, "BK_STOPPED = 4", "BK_STOPPED = 6"),                                               # constant
    (2, "char message[512];", "char message[256];"),                                       # array length
    (2, "bk_operator left_t;", "bk_operator *left_t;"),                                    # struct -> pointer
    (3, "      integer(c_int32_t), value :: status\n      type(c_ptr) :: name",
        "      integer(c_int32_t) :: status\n      type(c_ptr) :: name"),                     # value lost
    (1, "      complex(c_double_complex), intent(in) :: x(*)\n      integer(c_int32_t), intent(in) :: ldx, n, s",
        "      complex(c_double_complex) :: x(*)\n      integer(c_int32_t), intent(in) :: ldx, n, s"),  # intent lost
]


def main(argv):
    self_test = argv[:1] == ["--self-test"]
    paths = argv[1:] if self_test else argv
    if not paths or len(paths) % 2:
        sys.exit(__doc__)
    texts = [open(p, encoding="utf-8").read() for p in paths]
    failed = 0
    for k in range(0, len(texts), 2):
        for p in check(texts[k], texts[k + 1]):
            print("%s vs %s: %s" % (paths[k], paths[k + 1], p))
            failed += 1
    if failed or not self_test:
        print("%d problem(s)" % failed if failed else "interfaces match their headers")
        return 1 if failed else 0
    for index, old, new in MUTATIONS:
        edited, k = list(texts), index // 2 * 2
        edited[index] = edited[index].replace(old, new, 1)
        if old not in texts[index] or not check(edited[k], edited[k + 1]):
            print("self-test: editing %r to %r in %s went unnoticed" % (old, new, paths[index]))
            failed += 1
    print("%d of %d edits unnoticed" % (failed, len(MUTATIONS)) if failed else
          "every one of %d edits was reported" % len(MUTATIONS))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
