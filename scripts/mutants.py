#!/usr/bin/env python3
"""Planted-fault (mutation) runs over a copy of the x86_64 build tree.

  mutants.py run [--list F] [--only ID,...] [--limit N] [--fresh]
      plants each mutant of the list in turn, rebuilds incrementally, runs the
      CTest suites of the mutant's layer and the layers above, records which
      tests failed (a hang counts as caught), restores the line; resumable
  mutants.py report [--list F]
      mutation score per folder, and per test the mutants it alone catches
  mutants.py generate [--per-folder fs=40,...]
      proposes mutants from the usual operators over the product folders

The list (tests/mutants.txt) has one mutant a line, four fields separated by
tabs: FILE[#N], the exact line text (stripped; #N picks the N-th such line),
its replacement, the reason. Lines starting with '#' are comments.
State lives in $HVC_CACHE/mutants (source copy, build tree, Wine prefix,
MariaDB, results.jsonl); the checkout itself is never changed.
"""
import argparse, hashlib, json, os, re, shutil, subprocess, sys, time
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.environ.get("HVC_CACHE", "/var/cache/hvcdmtutils")
WORK = os.path.join(CACHE, "mutants")
SRC, BUILD = os.path.join(WORK, "src"), os.path.join(WORK, "build")
RESULTS = os.path.join(WORK, "results.jsonl")
PRODUCT = ["runtime", "ipc", "security", "fs", "idn", "process", "database", "exports"]
# The layer each suite file tests; a mutant in a folder runs the suites of
# its layer and of every layer built on it (the BELOW lists of the folders'
# CMakeLists). A suite file missing here runs for every mutant.
SUITE_LAYER = {"text": "runtime", "exceptions": "runtime", "registry": "runtime", "setranslator": "runtime",
               "wait": "runtime", "cancellation": "runtime", "executecontext": "runtime",
               "sysobjects": "runtime", "log": "runtime", "pipe": "ipc", "serializer": "ipc",
               "srvclient": "ipc", "security": "security", "fs": "fs", "fstree": "fs", "crashdump": "fs",
               "idn": "idn", "process": "process", "exports": "exports"}


def layers_above(folder):
    above = {folder}
    for other in PRODUCT:
        path = os.path.join(ROOT, other, "CMakeLists.txt")
        text = open(path).read() if os.path.exists(path) else ""
        below = re.search(r"BELOW([\w\s]*?)(?:\bLIBS\b|\bSOURCES\b|\))", text)
        if below and folder in below.group(1).split():
            above.add(other)
    return above


def test_filter(m):
    """A CTest -R expression: the GoogleTest suites of the mutant's layer and
    those above, the CLI test always, the short soak for a skipped release."""
    above = layers_above(m.folder)
    suites = set()
    for name in sorted(os.listdir(os.path.join(ROOT, "tests"))):
        if not name.endswith("_test.cpp"):
            continue
        stem = name[: -len("_test.cpp")]
        layer = "database" if stem.startswith("db_") else SUITE_LAYER.get(stem)
        if layer is None or layer in above:
            text = open(os.path.join(ROOT, "tests", name), encoding="utf-8").read()
            suites.update(re.findall(r"^TEST(?:_F|_P)?\((\w+),", text, re.M))
    extra = ["cli_host"] + (["soak_short"] if m.reason.startswith("release") else [])
    return "^(" + "|".join(sorted(suites)) + ")\\.|^(" + "|".join(extra) + ")$"


TARGETS = ["hvctests", "hvcdbtests", "hvcdmt", "hvcdmtutils", "hvcsoak", "hvcctxprobe", "hvctesthelper"]
SEP = "\t"


class Mutant:
    def __init__(self, file, nth, line, repl, reason):
        self.file, self.nth, self.line, self.repl, self.reason = file, nth, line, repl, reason
        self.folder = file.split("/")[0]
        key = f"{file}#{nth}\0{line}\0{repl}".encode()
        self.id = hashlib.sha1(key).hexdigest()[:10]


def read_list(path):
    mutants = []
    for number, raw in enumerate(open(path, encoding="utf-8"), 1):
        if not raw.strip() or raw.startswith("#"):
            continue
        parts = raw.rstrip("\n").split(SEP)
        if len(parts) != 4:
            sys.exit(f"{path}:{number}: expected 4 fields separated by tabs")
        where, line, repl, reason = parts
        file, _, nth = where.partition("#")
        mutants.append(Mutant(file, int(nth or 1), line, repl, reason))
    return mutants


def sh(cmd, **kw):
    return subprocess.run(cmd, shell=isinstance(cmd, str), **kw)


def env():
    e = dict(os.environ)
    e.update(HVC_WINEPREFIX=os.path.join(WORK, "wineprefix64"), HVC_CACHE=CACHE, LC_ALL="C.UTF-8")
    if shutil.which("ccache"):
        e.update(CMAKE_C_COMPILER_LAUNCHER="ccache", CMAKE_CXX_COMPILER_LAUNCHER="ccache")
        e.setdefault("CCACHE_BASEDIR", WORK)
    return e


def sync_sources():
    """A fresh copy of the tracked files, so that a run never starts from a
    line an interrupted run left planted."""
    files = sh(["git", "-C", ROOT, "ls-files"], capture_output=True, text=True, check=True).stdout.split()
    for rel in files:
        src, dst = os.path.join(ROOT, rel), os.path.join(SRC, rel)
        if os.path.islink(src) or not os.path.isfile(src):
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        if not os.path.exists(dst) or open(src, "rb").read() != open(dst, "rb").read():
            shutil.copy2(src, dst)


def configure():
    if os.path.exists(os.path.join(BUILD, "build.ninja")):
        return
    deps = os.environ.get("HVC_DEPS_CACHE", os.path.join(CACHE, "deps"))
    sh(["cmake", "-S", SRC, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
        f"-DCMAKE_TOOLCHAIN_FILE={SRC}/cmake/toolchain-x86_64.cmake",
        f"-DHVC_DEPS_DIR={deps}/x86_64-w64-mingw32",
        f"-DCMAKE_CROSSCOMPILING_EMULATOR={SRC}/scripts/wine-run.sh"], env=env(), check=True,
       stdout=subprocess.DEVNULL)


def build():
    r = sh(["cmake", "--build", BUILD, "-j", str(os.cpu_count() or 2), "--target", *TARGETS,
            "orvexsrv", "runassrv", "hvcchild"], env=env(), capture_output=True, text=True)
    return r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]


def run_tests(selection, limit):
    """CTest over the selected tests (None: all); the names of those that did
    not pass, or ['(time limit)'] when the whole run hung past its limit."""
    junit = os.path.join(WORK, "junit.xml")
    if os.path.exists(junit):
        os.remove(junit)
    cmd = ["ctest", "-j1", "--timeout", "120", "--output-junit", junit] + (["-R", selection] if selection else [])
    try:
        sh(cmd, cwd=BUILD, env=env(), capture_output=True, timeout=limit)
    except subprocess.TimeoutExpired:
        sh([os.path.join(SRC, "scripts/wine-run.sh"), "--server-stop"], env=env())
        return ["(time limit)"]
    if not os.path.exists(junit):
        return ["(no result)"]
    failed = []
    for case in ET.parse(junit).getroot().iter("testcase"):
        # Disabled tests (the child halves of two-process tests) count for nothing.
        if case.get("status") not in ("run", "disabled", "notrun") or case.find("failure") is not None:
            failed.append(case.get("name"))
    return failed


def plant(m, text):
    lines = text.split("\n")
    hits = [i for i, l in enumerate(lines) if l.strip() == m.line]
    if len(hits) < m.nth:
        return None
    i = hits[m.nth - 1]
    indent = lines[i][: len(lines[i]) - len(lines[i].lstrip())]
    lines[i] = indent + m.repl
    return "\n".join(lines)


def load_results():
    done = {}
    if os.path.exists(RESULTS):
        for raw in open(RESULTS):
            r = json.loads(raw)
            done[r["id"]] = r
    return done


def cmd_run(a):
    mutants = read_list(a.list)
    if a.fresh and os.path.exists(RESULTS):
        os.remove(RESULTS)
    os.makedirs(WORK, exist_ok=True)
    sync_sources()
    configure()
    ok, log = build()
    if not ok:
        sys.exit("the unmutated tree does not build:\n" + log)
    done = load_results()
    if "baseline" not in done:
        started = time.time()
        failed = run_tests(None, a.time_limit)
        done["baseline"] = {"id": "baseline", "failed": failed, "seconds": round(time.time() - started)}
        with open(RESULTS, "a") as out:
            out.write(json.dumps(done["baseline"]) + "\n")
        print(f"baseline: {len(failed)} failing ({', '.join(failed) or 'none'}), {done['baseline']['seconds']} s")
    flaky = set(done["baseline"]["failed"])
    todo = [m for m in mutants if m.id not in done and (not a.only or m.id in a.only.split(","))]
    if a.limit:
        todo = todo[: a.limit]
    for n, m in enumerate(todo, 1):
        path = os.path.join(SRC, m.file)
        original = open(path, encoding="utf-8").read()
        mutated = plant(m, original)
        record = {"id": m.id, "file": m.file, "folder": m.folder}
        started = time.time()
        if mutated is None:
            record["state"] = "stale"
        else:
            try:
                open(path, "w", encoding="utf-8").write(mutated)
                ok, log = build()
                if not ok:
                    record["state"] = "invalid"
                else:
                    failed = [t for t in run_tests(test_filter(m), a.time_limit)
                              if t not in flaky]
                    record["state"] = "killed" if failed else "survived"
                    record["by"] = failed
            finally:
                open(path, "w", encoding="utf-8").write(original)
        record["seconds"] = round(time.time() - started)
        with open(RESULTS, "a") as out:
            out.write(json.dumps(record) + "\n")
        print(f"[{n}/{len(todo)}] {m.id} {m.file}: {record['state']} ({record['seconds']} s)"
              + (f" by {', '.join(record['by'][:4])}" if record.get("by") else ""), flush=True)
    build()  # leave the copy built as the checkout is
    cmd_report(a)


def cmd_report(a):
    mutants = {m.id: m for m in read_list(a.list)}
    done = load_results()
    folders, unique = {}, {}
    for mid, m in mutants.items():
        r = done.get(mid)
        state = r["state"] if r else "not run"
        f = folders.setdefault(m.folder, {"killed": 0, "survived": 0, "invalid": 0, "stale": 0, "not run": 0})
        f[state] += 1
        if r and state == "killed" and len(r["by"]) == 1:
            unique.setdefault(r["by"][0], []).append(mid)
    print(f"{'folder':<10} {'mutants':>7} {'killed':>6} {'survived':>8} {'invalid':>7} {'stale':>5} {'not run':>7} {'score':>6}")
    for name in PRODUCT:
        f = folders.get(name)
        if not f:
            continue
        scored = f["killed"] + f["survived"]
        score = f"{100 * f['killed'] / scored:.0f}%" if scored else "-"
        print(f"{name:<10} {sum(f.values()):>7} {f['killed']:>6} {f['survived']:>8} {f['invalid']:>7} "
              f"{f['stale']:>5} {f['not run']:>7} {score:>6}")
    print("\nmutants each test alone catches:")
    for test in sorted(unique, key=lambda t: (-len(unique[t]), t)):
        print(f"  {test}: {len(unique[test])} ({', '.join(unique[test])})")
    survivors = [m for mid, m in mutants.items() if done.get(mid, {}).get("state") == "survived"]
    if survivors:
        print("\nsurvivors:")
        for m in survivors:
            print(f"  {m.id} {m.file}: {m.line}  ->  {m.repl}   ({m.reason})")
    if "baseline" in done:
        print(f"\nbaseline run {done['baseline']['seconds']} s; failing before any mutant: "
              f"{', '.join(done['baseline']['failed']) or 'none'}")


# The usual operators: (name, pattern, replacement, reason).
OPERATORS = [
    ("flip", re.compile(r"(?<![=!<>])==(?!=)"), "!=", "comparison flipped"),
    ("flip", re.compile(r"!="), "==", "comparison flipped"),
    ("flip", re.compile(r"(?<![<>=-])<=(?!=)"), "<", "boundary off by one"),
    ("flip", re.compile(r"(?<![<>=-])>=(?!=)"), ">", "boundary off by one"),
    ("negate", re.compile(r"^(\s*(?:\}\s*else\s+)?if\s*\()(.*)(\)\s*\{?\s*)$"), r"\1!(\2)\3", "condition negated"),
    ("success", re.compile(r"\breturn false;"), "return true;", "error path returns success"),
    ("success", re.compile(r"\breturn true;"), "return false;", "result inverted"),
    ("const", re.compile(r"(?<![\w.'\"])([1-9]\d{0,5})(?![\w.'\"x])"), None, "constant off by one"),
    ("drop", re.compile(r"^\s*[\w:.>\-\[\]]+\([^;]*\);\s*$"), ";", "call dropped"),
    ("release", re.compile(r"^\s*[\w.>\-]+\.reset\(\);\s*$"), ";", "release skipped"),
]
SKIP = re.compile(r'^\s*(//|#|\*|/\*)|"|\bthrow\b|^\s*(return|case|default)\b.*:$|L"')


def candidates(path):
    rel = os.path.relpath(path, ROOT)
    lines = open(path, encoding="utf-8").read().split("\n")
    stripped = [l.strip() for l in lines]
    for i, raw in enumerate(lines):
        s = stripped[i]
        if not s or SKIP.search(raw) or len(s) > 110:
            continue
        nth = stripped[: i + 1].count(s)
        for name, pattern, repl, reason in OPERATORS:
            m = pattern.search(s)
            if not m:
                continue
            if name == "const":
                new = s[: m.start()] + str(int(m.group(1)) + 1) + s[m.end():]
            elif name in ("drop", "release"):
                if re.match(r"^\s*(return|if|for|while|else|delete)\b", s) or "=" in s.split("(")[0]:
                    continue
                new = repl
            else:
                new = pattern.sub(repl, s, count=1)
            if new != s:
                where = rel if nth == 1 else f"{rel}#{nth}"
                yield name, where, s, new, f"{reason}: {s[:60]}"


def cmd_generate(a):
    import random
    quota = dict(x.split("=") for x in a.per_folder.split(","))
    rng = random.Random(20261206)
    for folder, count in quota.items():
        pool = []
        for dirpath, dirs, names in os.walk(os.path.join(ROOT, folder)):
            # A subfolder with its own quota is drawn on its own.
            dirs[:] = [d for d in dirs if os.path.relpath(os.path.join(dirpath, d), ROOT) not in quota]
            for name in sorted(names):
                if name.endswith(".cpp"):
                    pool.extend(candidates(os.path.join(dirpath, name)))
        by_op = {}
        for c in pool:
            by_op.setdefault(c[0], []).append(c)
        chosen, ops = [], sorted(by_op)
        while len(chosen) < int(count) and any(by_op.values()):
            for op in ops:
                if by_op[op] and len(chosen) < int(count):
                    chosen.append(by_op[op].pop(rng.randrange(len(by_op[op]))))
        print(f"# {folder}: {len(chosen)} of {len(pool)} candidates")
        for _, where, line, new, reason in sorted(chosen, key=lambda c: c[1]):
            print(SEP.join([where, line, new, reason.replace(SEP, " ")]))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    r = sub.add_parser("run")
    r.add_argument("--only", default="")
    r.add_argument("--limit", type=int, default=0)
    r.add_argument("--fresh", action="store_true", help="forget earlier results")
    r.add_argument("--time-limit", type=int, default=900, help="seconds for one mutant's tests")
    sub.add_parser("report")
    g = sub.add_parser("generate")
    g.add_argument("--per-folder", default="fs=45,process=30,database/import=22,database=20,exports=15,security=15,ipc=12,runtime=15,idn=3")
    for q in (r, sub.choices["report"], g):
        q.add_argument("--list", default=os.path.join(ROOT, "tests/mutants.txt"))
    a = p.parse_args()
    {"run": cmd_run, "report": cmd_report, "generate": cmd_generate}[a.command](a)


if __name__ == "__main__":
    main()
