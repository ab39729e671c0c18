#!/usr/bin/env python3
"""Mutation testing of the collinear library: which faults do the tests kill?

Draws a fixed-seed sample of single-token mutations of the library sources
(collinear/**, never tests, test helpers, tools, benchmarks or fuzz
targets), applies each to a scratch copy of the tree, rebuilds the library
and the test executable of the file's subsystem, and runs that subsystem's
tests. A mutant is killed when a test fails, crashes or times out, survives
when every test passes, and is stillborn when it does not compile (not
counted in the share killed). The working tree is never modified.

  scripts/mutants.py --out build-mutants/before.csv        # 200 mutants
  scripts/mutants.py --limit 15 --only orientation -j 2
  scripts/mutants.py --list                                 # sample only
  scripts/mutants.py --compare before.csv after.csv         # exit 1: lost kills

The same seed on the same library sources gives the same mutants, each
with a stable id: file:line:column:operator:original->replacement.
"""

import argparse
import csv
import os
import queue
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_SEED = 20240917
DEFAULT_COUNT = 200
# Optimised enough that the tests run quickly, cheap enough that a mutant of
# the largest sources recompiles in seconds; asserts stay on.
CXX_FLAGS = "-O1"

# ---------------------------------------------------------------------------
# Which files are library sources, and to which subsystem each belongs.

UNIT_CALL = re.compile(r"collinear_add_(units|test)\s*\(\s*([A-Za-z0-9_]+)([^)]*)\)",
                       re.S)
TEST_NAME = re.compile(r"(_test\.(cpp|h)|_test_util\.h)$|fixture|reference|"
                       r"(^|/)test_[^/]*$|mock")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)


def tree_files():
    """Files of the working tree: tracked plus untracked, not ignored."""
    out = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=ROOT, check=True, capture_output=True).stdout.decode()
    return sorted(p for p in set(out.split("\0")) if p and (ROOT / p).is_file())


def cmake_calls(folder, files):
    """(subsystem, units) of the collinear_add_* calls in folder's CMakeLists."""
    path = f"{folder}/CMakeLists.txt"
    if path not in files:
        return None
    text = re.sub(r"#[^\n]*", "", (ROOT / path).read_text())
    calls = UNIT_CALL.findall(text)
    if not calls:
        return None
    units = set()
    for kind, _, args in calls:
        if kind == "units":
            units.update(args.split())
    return calls[0][1], units


def subsystem_of(path, files):
    """Subsystem named by the nearest CMakeLists.txt call above path."""
    folder = os.path.dirname(path)
    while folder:
        found = cmake_calls(folder, files)
        if found:
            return found[0]
        folder = os.path.dirname(folder)
    return None


def library_sources(files):
    """Sorted {path: subsystem} of the library's mutable sources.

    Sources are collinear/**/*.cpp; a header counts when it is installed (a
    unit of its folder) or included by a library source, so headers that
    only tests include (fixtures, reference data, test scenes) never do.
    """
    fileset = set(files)
    cands = [p for p in files if p.startswith("collinear/")
             and p.endswith((".cpp", ".h")) and not TEST_NAME.search(p)]
    included = set()
    for p in cands:
        if p.endswith(".cpp"):
            text = (ROOT / p).read_text(errors="replace")
            for inc in INCLUDE.findall(text):
                included.add(inc)
                included.add(os.path.normpath(os.path.join(os.path.dirname(p), inc)))
    result = {}
    for p in cands:
        if p.endswith(".h"):
            calls = cmake_calls(os.path.dirname(p), fileset)
            installed = calls and Path(p).stem in calls[1]
            if not installed and p not in included:
                continue
        sub = subsystem_of(p, fileset)
        if sub:
            result[p] = sub
    return dict(sorted(result.items()))


# ---------------------------------------------------------------------------
# A small C++ tokenizer: comments, string and character literals and
# preprocessor lines are skipped; every other token keeps its position and
# whether white space stands before and after it (clang-format spaces binary
# operators, so that tells `a * b` from `T* p`, `a < b` from `C<T>`).

PUNCT = sorted("""
>>= <<= <=> ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |=
^= ## .* { } [ ] ( ) ; : ? , . + - * / % ^ & | ~ ! = < > #
""".split(), key=len, reverse=True)
NUMBER = re.compile(r"\.?[0-9](?:[eEpP][+-]|'[0-9A-Za-z_]|[0-9A-Za-z_.])*")
IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
RAW_PREFIX = re.compile(r'(?:u8|[uUL])?R"([^(\s]{0,16})\(')
KEYWORDS = set("""
alignas alignof and and_eq asm auto bitand bitor bool break case catch char
char16_t char32_t class compl const constexpr const_cast continue decltype
default delete do double dynamic_cast else enum explicit export extern false
float for friend goto if inline int long mutable namespace new noexcept not
not_eq nullptr operator or or_eq private protected public register
reinterpret_cast return short signed sizeof static static_assert static_cast
struct switch template this thread_local throw true try typedef typeid
typename union unsigned using virtual void volatile wchar_t while xor xor_eq
""".split())
TYPE_WORDS = {"double", "float", "int", "long", "short", "char", "bool",
              "unsigned", "signed", "size_t", "auto"}


class Tok:
    __slots__ = ("kind", "text", "pos", "line", "col", "ws_before", "ws_after")

    def __init__(self, kind, text, pos, line, col, ws_before):
        self.kind, self.text, self.pos = kind, text, pos
        self.line, self.col, self.ws_before = line, col, ws_before
        self.ws_after = False


def tokenize(src):
    toks = []
    i, n = 0, len(src)
    line_starts = [0]
    for m in re.finditer("\n", src):
        line_starts.append(m.end())
    line_no = 1
    ws = True  # start of file counts as white space
    at_line_start = True

    def position(pos):
        nonlocal line_no
        while line_no < len(line_starts) and line_starts[line_no] <= pos:
            line_no += 1
        return line_no, pos - line_starts[line_no - 1] + 1

    def skip_to_eol(j):  # honours backslash continuations
        while j < n and src[j] != "\n":
            if src[j] == "\\" and j + 1 < n and src[j + 1] == "\n":
                j += 2
                continue
            if src.startswith("/*", j):
                end = src.find("*/", j + 2)
                j = n if end < 0 else end + 2
                continue
            j += 1
        return j

    while i < n:
        c = src[i]
        if c in " \t\r\f\v\n":
            if c == "\n":
                at_line_start = True
            i += 1
            ws = True
            continue
        if src.startswith("//", i):
            i = skip_to_eol(i)
            ws = True
            continue
        if src.startswith("/*", i):
            end = src.find("*/", i + 2)
            i = n if end < 0 else end + 2
            ws = True
            continue
        if c == "#" and at_line_start:
            i = skip_to_eol(i)
            ws = True
            continue
        at_line_start = False
        start = i
        m = RAW_PREFIX.match(src, i)
        if m:
            end = src.find(")" + m.group(1) + '"', m.end())
            i = n if end < 0 else end + len(m.group(1)) + 2
            kind = "string"
        elif c in "\"'" or (c in "uUL" and re.match(r'(?:u8|[uUL])["\']', src[i:i + 3])):
            q = i
            while src[q] not in "\"'":
                q += 1
            quote = src[q]
            j = q + 1
            while j < n and src[j] != quote and src[j] != "\n":
                j += 2 if src[j] == "\\" else 1
            i = j + 1
            kind = "string"
        elif NUMBER.match(src, i):
            m = NUMBER.match(src, i)
            i = m.end()
            kind = "number"
        elif IDENT.match(src, i):
            m = IDENT.match(src, i)
            i = m.end()
            kind = "ident"
        else:
            for p in PUNCT:
                if src.startswith(p, i):
                    i += len(p)
                    break
            else:
                i += 1
            kind = "punct"
        line, col = position(start)
        tok = Tok(kind, src[start:i], start, line, col, ws)
        if toks:
            toks[-1].ws_after = ws
        toks.append(tok)
        ws = False
    if toks:
        toks[-1].ws_after = True
    return toks


# ---------------------------------------------------------------------------
# Mutation operators. Each candidate site is one token with its possible
# replacements ("" deletes the token).

ARITH = {"+": ["-"], "-": ["+"], "*": ["/"], "/": ["*"],
         "+=": ["-="], "-=": ["+="], "*=": ["/="], "/=": ["*="]}
COMPARE = {"<": ["<=", ">", ">="], "<=": ["<", ">", ">="],
           ">": [">=", "<", "<="], ">=": [">", "<", "<="],
           "==": ["!="], "!=": ["=="]}
LOGIC = {"&&": ["||"], "||": ["&&"]}
MEMBER_SWAP = {"x": "y", "y": "x", "m_x": "m_y", "m_y": "m_x"}
VALUE_END = {")", "]"}
INT_LITERAL = re.compile(r"(0[xX][0-9A-Fa-f']+|[0-9][0-9']*)([uUlL]*)$")
FLOAT_LITERAL = re.compile(
    r"((?:[0-9][0-9']*)?\.?[0-9']*)(?:[eE]([+-]?[0-9]+))?([fFlL]?)$")


def is_value(tok):
    """Token that can end an operand."""
    return (tok.kind in ("number", "string") or tok.text in VALUE_END or
            (tok.kind == "ident" and tok.text not in KEYWORDS - {"this", "true",
                                                                 "false", "nullptr"}))


def mutate_int(text):
    m = INT_LITERAL.match(text)
    if not m:
        return None
    digits, suffix = m.group(1).replace("'", ""), m.group(2)
    if digits.lower().startswith("0x"):
        return f"0x{int(digits, 16) + 1:X}{suffix}"
    if len(digits) > 1 and digits.startswith("0"):
        return None  # octal: none in the library
    v = int(digits)
    return f"{1 if v == 0 else 0 if v == 1 else v + 1}{suffix}"


def mutate_float(text):
    """0.0 <-> 1.0, 2.0 -> 1.0, x -> x + 1; 1e-12 -> 1e-6 (exponent halved)."""
    m = FLOAT_LITERAL.match(text)
    if not m or not any(ch.isdigit() for ch in m.group(1)):
        return None
    mant, exp, suffix = m.group(1).replace("'", ""), m.group(2), m.group(3)
    if exp is not None:
        e = int(exp)
        e2 = int(e / 2) if abs(e) >= 2 else e + 1
        return f"{mant}e{e2}{suffix}"
    v = float(mant)
    out = 1.0 if v == 0.0 else 0.0 if v == 1.0 else 1.0 if v == 2.0 else v + 1.0
    r = repr(out)
    return (r if ("." in r or "e" in r) else r + ".0") + suffix


def mutate_number(text):
    if re.match(r"0[xX].*[pP]", text):
        return None  # hex float
    is_int = INT_LITERAL.match(text) and not re.match(r"[0-9']+[eE]", text)
    return mutate_int(text) if is_int else mutate_float(text)


def bracket_context(toks, i):
    """For toks[i] alone between [ and ]: 'index', 'declarator' or None."""
    if not (0 < i < len(toks) - 1 and toks[i - 1].text == "[" and
            toks[i + 1].text == "]"):
        return None
    j = i - 2  # walk back over earlier [n] of the same chain
    while j >= 2 and toks[j].text == "]" and toks[j - 2].text == "[":
        j -= 3
    if j < 0:
        return None
    head = toks[j]
    if head.kind == "ident" and head.text in TYPE_WORDS:
        return "declarator"  # new double[3]
    if head.kind == "ident" and j >= 1:
        before = toks[j - 1]
        if before.kind == "ident" and before.text not in (
                "return", "case", "else", "do", "throw", "sizeof", "delete"):
            return "declarator"  # double m_Para[10];
        if before.text in ("*", "&") and not before.ws_before:
            return "declarator"  # double* rows[3];
    k = i + 1  # past the chain: double lo[2] = {...}, q[2];
    while k + 3 < len(toks) and toks[k + 1].text == "[" and toks[k + 3].text == "]":
        k += 3
    after = toks[k + 1].text if k + 1 < len(toks) else ";"
    if after in ("{", ";") or (after == "=" and k + 2 < len(toks) and
                               toks[k + 2].text == "{"):
        return "declarator"
    if is_value(head):
        return "index"
    return None


BODY_OPENERS = {")", "const", "override", "final", "noexcept", "mutable"}


def code_flags(toks):
    """For each token, whether it lies inside a function body."""
    flags, stack = [], []
    for k, t in enumerate(toks):
        if t.text == "{":
            inside = bool(stack and stack[-1])
            stack.append(inside or (k > 0 and toks[k - 1].text in BODY_OPENERS))
        elif t.text == "}" and stack:
            stack.pop()
        flags.append(bool(stack and stack[-1]))
    return flags


def sites_of(path, src):
    """Candidate sites of one file: (line, col, pos, op, original, choices)."""
    toks = tokenize(src)
    # In a header only the inline code counts, not the declared constants
    # (property ids, enumerators, flags) that the tests name symbolically.
    in_code = code_flags(toks) if path.endswith(".h") else [True] * len(toks)
    sites = []
    for i, t in enumerate(toks):
        if not in_code[i]:
            continue
        prev = toks[i - 1] if i else None
        nxt = toks[i + 1] if i + 1 < len(toks) else None
        binary = (t.ws_before and t.ws_after and prev is not None and
                  is_value(prev) and nxt is not None)
        choices, op = None, None
        if t.kind == "punct":
            if binary and t.text in ARITH:
                op, choices = "arith", ARITH[t.text]
            elif binary and t.text in COMPARE:
                op, choices = "cmp", COMPARE[t.text]
            elif binary and t.text in LOGIC:
                op, choices = "logic", LOGIC[t.text]
            elif (t.text in ("!", "-") and not t.ws_after and nxt is not None
                  and (prev is None or not is_value(prev)) and
                  (prev is None or prev.text != "operator")):
                op, choices = "neg", [""]  # unary: !done, -x
        elif t.kind == "number":
            ctx = bracket_context(toks, i)
            if ctx == "declarator":
                continue
            if (prev is not None and prev.text == "=" and nxt is not None and
                    nxt.text == ";" and i >= 2 and
                    toks[i - 2].text in (")", "const", "override", "noexcept")):
                continue  # pure virtual "= 0"
            if ctx == "index" and INT_LITERAL.match(t.text):
                v = int(t.text.rstrip("uUlL").replace("'", ""), 0)
                op, choices = "index", [str(1 if v == 0 else v - 1)]
            else:
                new = mutate_number(t.text)
                if new and new != t.text:
                    op, choices = "const", [new]
        elif t.kind == "ident" and t.text in MEMBER_SWAP:
            if t.text.startswith("m_") or (prev is not None and
                                           prev.text in (".", "->")):
                op, choices = "index", [MEMBER_SWAP[t.text]]
        if op:
            sites.append((t.line, t.col, t.pos, op, t.text, choices))
    return sites


class Mutant:
    __slots__ = ("path", "sub", "line", "col", "pos", "op", "orig", "repl")

    def __init__(self, path, sub, site, repl):
        self.path, self.sub = path, sub
        self.line, self.col, self.pos, self.op, self.orig, _ = site
        self.repl = repl

    @property
    def id(self):
        return (f"{self.path}:{self.line}:{self.col}:{self.op}:"
                f"{self.orig}->{self.repl if self.repl else '(none)'}")

    def apply(self, src):
        assert src[self.pos:self.pos + len(self.orig)] == self.orig
        return src[:self.pos] + self.repl + src[self.pos + len(self.orig):]


def draw_sample(seed, count):
    """All sites of all library files, count of them drawn with the seed."""
    files = tree_files()
    sources = library_sources(files)
    all_sites = []
    for path, sub in sources.items():
        src = (ROOT / path).read_bytes().decode("latin-1")
        for site in sites_of(path, src):
            all_sites.append((path, sub, site))
    picked = random.Random(seed).sample(range(len(all_sites)),
                                        min(count, len(all_sites)))
    mutants = []
    for k in sorted(picked):
        path, sub, site = all_sites[k]
        line, col, _, op, orig, choices = site
        # The replacement depends on the site alone, not on the others drawn.
        rng = random.Random(f"{seed}:{path}:{line}:{col}:{op}:{orig}")
        mutants.append(Mutant(path, sub, site, rng.choice(choices)))
    return mutants, len(all_sites), len(sources)


# ---------------------------------------------------------------------------
# Scratch copies, builds and test runs.

def log(msg):
    print(msg, file=sys.stderr, flush=True)


def run(cmd, cwd=None, timeout=None):
    """Runs cmd in its own process group; returns (rc, output, seconds).

    rc is None when the time ran out (the whole group is then killed)."""
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        rc = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        rc = None
    return rc, out.decode(errors="replace"), time.monotonic() - t0


class Worker:
    """One scratch copy of the tree with its own build directory."""

    def __init__(self, base, k, build_jobs):
        self.src = base / f"w{k}" / "src"
        self.build = base / f"w{k}" / "build"
        self.jobs = build_jobs
        self.targets = set()

    def sync(self, files):
        """Makes src a copy of the tree; unchanged files keep their time."""
        self.src.mkdir(parents=True, exist_ok=True)
        wanted = set(files)
        for p in files:
            data = (ROOT / p).read_bytes()
            dst = self.src / p
            if dst.is_file() and dst.read_bytes() == data:
                continue
            dst.parent.mkdir(parents=True, exist_ok=True)
            dst.write_bytes(data)
            shutil.copymode(ROOT / p, dst)
        for dirpath, dirnames, filenames in os.walk(self.src, topdown=False):
            for f in filenames:
                rel = os.path.relpath(os.path.join(dirpath, f), self.src)
                if rel not in wanted:
                    os.unlink(os.path.join(dirpath, f))
            if not os.listdir(dirpath) and Path(dirpath) != self.src:
                os.rmdir(dirpath)

    def configure(self):
        cmd = ["cmake", "-S", str(self.src), "-B", str(self.build),
               "-DCMAKE_BUILD_TYPE=Release",
               f"-DCMAKE_CXX_FLAGS_RELEASE={CXX_FLAGS}",
               "-DCMAKE_COMPILE_WARNING_AS_ERROR=OFF",
               "-DCOLLINEAR_BUILD_BENCH=OFF", "-DBUILD_TESTING=ON"]
        if shutil.which("ninja") and not (self.build / "Makefile").exists():
            cmd += ["-G", "Ninja"]
        if shutil.which("ccache"):
            cmd.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        rc, out, _ = run(cmd)
        if rc != 0:
            sys.exit(f"mutants: configure failed in {self.build}:\n{out[-3000:]}")
        rc, out, _ = run(["cmake", "--build", str(self.build), "--target", "help"])
        self.targets = set(re.findall(r"([A-Za-z0-9_]+_test)\b", out))

    def build_targets(self, subs):
        targets = ["collinear"] + [f"{s}_test" for s in sorted(subs)
                                   if f"{s}_test" in self.targets]
        return run(["cmake", "--build", str(self.build), "-j", str(self.jobs),
                    "--target"] + targets)

    def test(self, sub, timeout):
        """ctest of one subsystem: (passed, timed_out, first failure, s)."""
        cmd = ["ctest", "--test-dir", str(self.build), "-R", f"^{sub}/",
               "-j", str(self.jobs), "--no-tests=error", "--stop-on-failure",
               "--timeout", str(int(timeout))]
        rc, out, secs = run(cmd, timeout=timeout + 30)
        if rc is None:
            return False, True, "(timeout)", secs
        summary = out.split("The following tests FAILED:")[-1] if (
            "The following tests FAILED:" in out) else ""
        failed = re.findall(r"\d+ - (\S+) \(([^)]+)\)", summary)
        first = ""
        if failed:
            first = f"{failed[0][0]} ({failed[0][1]})"
        elif rc != 0:
            first = out.strip().splitlines()[-1] if out.strip() else "ctest failed"
        return rc == 0, bool(failed and failed[0][1] == "Timeout"), first, secs


def run_mutants(args, mutants):
    files = tree_files()
    subs = sorted({m.sub for m in mutants})
    base = (ROOT / args.build_dir).resolve()
    workers = [Worker(base, k, max(1, (os.cpu_count() or 2) // args.jobs))
               for k in range(args.jobs)]
    os.environ.setdefault("CCACHE_BASEDIR", str(ROOT.parent))
    baseline = {}
    for w in workers:
        log(f"mutants: preparing {w.build}")
        w.sync(files)
        w.configure()
        rc, out, secs = w.build_targets(subs)
        if rc != 0:
            sys.exit(f"mutants: the unmutated tree does not build:\n{out[-3000:]}")
        log(f"mutants: built in {secs:.0f} s")
    for sub in subs:
        if f"{sub}_test" not in workers[0].targets:
            baseline[sub] = 0.0
            continue
        ok, _, first, secs = workers[0].test(sub, 3600)
        if not ok:
            sys.exit(f"mutants: baseline tests of {sub} fail: {first}")
        baseline[sub] = secs
        log(f"mutants: baseline {sub}: {secs:.1f} s")

    todo = queue.Queue()
    for m in mutants:
        todo.put(m)
    results = {}
    lock = threading.Lock()
    partial = Path(str(args.out) + ".partial")
    partial.parent.mkdir(parents=True, exist_ok=True)
    with open(partial, "w", newline="") as f:
        csv.writer(f).writerow(CSV_FIELDS)
    t_start = time.monotonic()

    def work(w):
        while True:
            try:
                m = todo.get_nowait()
            except queue.Empty:
                return
            try:
                row = one_mutant(w, m, baseline[m.sub])
            except Exception as e:  # report it, and let the others go on
                log(f"mutants: {m.id}: {e!r}")
                continue
            with lock:
                results[m.id] = row
                with open(partial, "a", newline="") as f:
                    csv.writer(f).writerow([row[k] for k in CSV_FIELDS])
                done = len(results)
                eta = (time.monotonic() - t_start) / done * (len(mutants) - done)
                log(f"[{done}/{len(mutants)}] {row['outcome']:9} "
                    f"build {row['build_s']:>5} s test {row['test_s']:>5} s "
                    f"{m.id}  (eta {eta / 60:.0f} min)")

    threads = [threading.Thread(target=work, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    rows = [results[m.id] for m in mutants if m.id in results]
    write_csv(args.out, rows)
    partial.unlink()
    log(f"mutants: {len(rows)} mutants in {(time.monotonic() - t_start) / 60:.1f} "
        f"min, results in {args.out}")
    return rows


def one_mutant(w, m, base_secs):
    target = w.src / m.path
    original = target.read_bytes().decode("latin-1")
    row = {"id": m.id, "subsystem": m.sub, "outcome": "", "build_s": "",
           "test_s": "", "detail": ""}
    try:
        target.write_bytes(m.apply(original).encode("latin-1"))
        rc, out, secs = w.build_targets([m.sub])
        row["build_s"] = f"{secs:.1f}"
        if rc != 0:
            errors = [l for l in out.splitlines() if "error" in l]
            row["outcome"] = "stillborn"
            row["detail"] = errors[0][-200:] if errors else "build failed"
            return row
        if f"{m.sub}_test" not in w.targets:
            row["outcome"], row["detail"] = "survived", "no tests"
            return row
        timeout = max(30.0, 10.0 * base_secs)
        ok, timed_out, first, secs = w.test(m.sub, timeout)
        row["test_s"] = f"{secs:.1f}"
        row["outcome"] = "survived" if ok else "killed"
        row["detail"] = "timeout: " + first if timed_out else first
        return row
    finally:
        target.write_bytes(original.encode("latin-1"))


# ---------------------------------------------------------------------------
# Reports.

CSV_FIELDS = ["id", "subsystem", "outcome", "build_s", "test_s", "detail"]


def write_csv(path, rows):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=CSV_FIELDS)
        w.writeheader()
        for r in rows:
            w.writerow(r)


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def tally(rows):
    """{subsystem: [mutants, killed, survived, stillborn]}, 'overall' last."""
    t = {}
    for r in rows:
        for key in (r["subsystem"], "overall"):
            c = t.setdefault(key, [0, 0, 0, 0])
            c[0] += 1
            c[{"killed": 1, "survived": 2, "stillborn": 3}[r["outcome"]]] += 1
    overall = t.pop("overall", [0, 0, 0, 0])
    return dict(sorted(t.items()), overall=overall)


def share(c):
    counted = c[1] + c[2]
    return 100.0 * c[1] / counted if counted else float("nan")


def cells(c):
    return [str(c[0]), str(c[1]), str(c[2]), str(c[3]), f"{share(c):.1f} %"]


def print_table(rows):
    head = ["subsystem", "mutants", "killed", "survived", "stillborn", "killed"]
    body = [[k] + cells(c) for k, c in tally(rows).items()]
    print_aligned([head] + body)


def print_aligned(table):
    widths = [max(len(r[i]) for r in table) for i in range(len(table[0]))]
    for k, r in enumerate(table):
        if k == len(table) - 1:
            print("  ".join("-" * w for w in widths))
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                        for i, (c, w) in enumerate(zip(r, widths))))


def compare(before_path, after_path):
    before, after = read_csv(before_path), read_csv(after_path)
    tb, ta = tally(before), tally(after)
    head = ["subsystem", "before", "killed", "surv", "still", "killed",
            "after", "killed", "surv", "still", "killed", "change"]
    body = []
    zero = [0, 0, 0, 0]
    for k in list(dict.fromkeys([*tb, *ta]).keys()):
        if k == "overall":
            continue
        b, a = tb.get(k, zero), ta.get(k, zero)
        body.append([k] + cells(b) + cells(a) +
                    [f"{share(a) - share(b):+.1f}"])
    b, a = tb["overall"], ta["overall"]
    body.append(["overall"] + cells(b) + cells(a) + [f"{share(a) - share(b):+.1f}"])
    print_aligned([head] + body)
    after_by_id = {r["id"]: r for r in after}
    lost = [r for r in before if r["outcome"] == "killed" and
            after_by_id.get(r["id"], {}).get("outcome") == "survived"]
    missing = [r["id"] for r in before if r["id"] not in after_by_id]
    print(f"\nKilled before, surviving after: {len(lost)}")
    for r in lost:
        print(f"  {r['id']}  (was: {r['detail']})")
    if missing:
        print(f"\nIn BEFORE only (the sources changed?): {len(missing)}")
        for i in missing:
            print(f"  {i}")
    return 1 if lost else 0


def main():
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=DEFAULT_SEED,
                    help=f"seed of the sample (default {DEFAULT_SEED})")
    ap.add_argument("-n", "--count", type=int, default=DEFAULT_COUNT,
                    help=f"mutants drawn (default {DEFAULT_COUNT})")
    ap.add_argument("--only", metavar="SUBSYSTEM",
                    help="run only the drawn mutants of this subsystem")
    ap.add_argument("--limit", type=int,
                    help="run only this many of the drawn mutants (a seeded subset)")
    ap.add_argument("-j", "--jobs", type=int, default=1,
                    help="parallel mutant workers, each with its own copy (default 1)")
    ap.add_argument("--out", default="build-mutants/mutants.csv",
                    help="CSV of every mutant and its outcome")
    ap.add_argument("--build-dir", default="build-mutants",
                    help="scratch folder for the copies and builds")
    ap.add_argument("--list", action="store_true",
                    help="print the sample and exit without building")
    ap.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"),
                    help="compare two CSV reports made with the same seed")
    args = ap.parse_args()

    if args.compare:
        return compare(*args.compare)
    mutants, n_sites, n_files = draw_sample(args.seed, args.count)
    log(f"mutants: {len(mutants)} of {n_sites} sites in {n_files} files, "
        f"seed {args.seed}")
    if args.only:
        mutants = [m for m in mutants if m.sub == args.only]
    if args.limit is not None and args.limit < len(mutants):
        keep = set(random.Random(args.seed).sample(range(len(mutants)), args.limit))
        mutants = [m for k, m in enumerate(mutants) if k in keep]
    if args.list:
        for m in mutants:
            print(f"{m.sub:12} {m.id}")
        return 0
    if not mutants:
        sys.exit("mutants: nothing to run")
    rows = run_mutants(args, mutants)
    print_table(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
