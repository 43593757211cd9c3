#!/usr/bin/python3
"""Mutation run: how many small faults planted in the product code the test suite notices.

A fixed, seeded sample of single-point mutants (flipped comparisons, off-by-one bounds, negated
conditions, removed calls, changed constants) is drawn from the product sources of a git
revision. Each mutant is applied to an exported copy of that revision, rebuilt incrementally and
checked with the ctest tests that cover its file (soak tests excluded, per-test timeout). The
same source always yields the same sample, so two revisions with the same product code compare
the same mutants.

Which tests cover a file comes from ctest: a test labelled "covers:<path>" (cmake/
CpdTestCoverage.cmake) checks the file or folder <path>. A mutant runs the tests whose labels
name its file or a folder above it; one in the host framework, which every test goes through,
or in a file no label reaches runs every test, and so does every mutant of a revision whose
tests carry no such labels.

  scripts/mutate.py run [--rev REV] [--out DIR] [--resume]   full run (slow: run it niced)
      [--recheck EARLIER.json]     rerun only what an earlier run killed (each until one test
      [--also ID,...]              kills it again), carry its survivors (but the --also ones)
      [--sample-of EARLIER.json]   judge an earlier run's sample, found again in this revision
  scripts/mutate.py list                                      print the sample
  scripts/mutate.py report RESULTS.json [--notes FILE]        markdown report from a run
  scripts/mutate.py ci --build-dir DIR                        self-check on 3 mutants, in place

Lines of log statements are never mutated: changing a log text is not a fault the tests judge.
"""
import argparse
import collections
import concurrent.futures
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRODUCT = ["cpd/driver", "cpd/host/framework", "cpd/host/program", "cpd/interface", "vserial"]
SEED = 20261206
# Mutants drawn per area: the plug-in and its interface get more than their share of the lines,
# since most tests are there.
AREAS = [("cpd/driver/", 32), ("cpd/interface/", 6), ("cpd/host/framework/", 18),
         ("cpd/host/program/", 26), ("vserial/", 20)]

# The ctest label prefix of what a test covers, and the code every test goes through.
COVERS = "covers:"
EVERY_TEST = "cpd/host/framework/"

LOG_CALL = re.compile(r"\b(CPD_(DEV_)?LOG[A-Z]*|velmarLogPrint|memDataPrint|fprintf|printf|"
                      r"std::cerr|std::cout|perror)\b")
CALL_STMT = re.compile(r"^(\s*)((?:[A-Za-z_]\w*(?:::|->|\.))*[A-Za-z_]\w*)\(.*\);\s*$")
NOT_CALLS = {"return", "if", "while", "for", "switch", "sizeof", "static_assert", "delete",
             "assert", "throw", "case", "default"}
INT_LIT = re.compile(r"(?<![\w.])(0x[0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.])")
BINOPS = [(" == ", [" != "]), (" != ", [" == "]), (" <= ", [" < ", " > "]),
          (" >= ", [" > ", " < "]), (" < ", [" <= ", " >= "]), (" > ", [" >= ", " <= "]),
          (" && ", [" || "]), (" || ", [" && "]), (" + ", [" - "]), (" - ", [" + "])]


def product_files(src):
    out = []
    for top in PRODUCT:
        for dirpath, _, names in os.walk(os.path.join(src, top)):
            for name in names:
                path = os.path.relpath(os.path.join(dirpath, name), src)
                if name.endswith((".c", ".cpp")) or path == "cpd/interface/inf_pkt_interact.h":
                    out.append(path)
    return sorted(out)


def code_mask(lines):
    """Per line, the text with string/char literals and comments blanked (same length)."""
    masked, in_block = [], False
    for line in lines:
        out, i, n = [], 0, len(line)
        while i < n:
            if in_block:
                end = line.find("*/", i)
                if end < 0:
                    out.append(" " * (n - i))
                    i = n
                else:
                    out.append(" " * (end + 2 - i))
                    i = end + 2
                    in_block = False
            elif line.startswith("//", i):
                out.append(" " * (n - i))
                i = n
            elif line.startswith("/*", i):
                in_block = True
            elif line[i] in "\"'":
                quote, j = line[i], i + 1
                while j < n and line[j] != quote:
                    j += 2 if line[j] == "\\" else 1
                out.append(" " * (min(j + 1, n) - i))
                i = j + 1
            else:
                out.append(line[i])
                i += 1
        masked.append("".join(out)[:n])
    return masked


def matching_paren(text, open_at):
    depth = 0
    for k in range(open_at, len(text)):
        depth += {"(": 1, ")": -1}.get(text[k], 0)
        if depth == 0:
            return k
    return -1


def line_mutants(code, line):
    """(column, old, new, kind) for every mutant of one line; code is the masked line."""
    out = []
    for old, news in BINOPS:
        for m in re.finditer(re.escape(old), code):
            for new in news:
                kind = "logic" if old.strip() in "&&||" else (
                    "arith" if old.strip() in "+-" else "compare")
                out.append((m.start(), old, new, kind))
    for m in re.finditer(r"\b(if|while) \(", code):
        start = m.end() - 1
        end = matching_paren(code, start)
        if end > 0:
            cond = line[start + 1:end]
            new = cond[1:] if cond.startswith("!") and "&&" not in cond and "||" not in cond \
                else "!(" + cond + ")"
            out.append((start + 1, cond, new, "negate"))
    for m in re.finditer(r"\b(true|false)\b", code):
        out.append((m.start(), m.group(1), "false" if m.group(1) == "true" else "true", "const"))
    for m in INT_LIT.finditer(code):
        text = m.group(1)
        value = int(text, 16) if text.startswith("0x") else int(text)
        new = {0: 1, 1: 0}.get(value, value + 1)
        new_text = hex(new) if text.startswith("0x") else str(new)
        out.append((m.start(1), text, new_text, "const"))
    call = CALL_STMT.match(code)
    if call and call.group(2).split("::")[-1] not in NOT_CALLS and " = " not in code:
        body = line[len(call.group(1)):]
        out.append((len(call.group(1)), body, "(void)0;", "remove-call"))
    return out


def enumerate_mutants(src):
    mutants = []
    for path in product_files(src):
        with open(os.path.join(src, path), encoding="utf-8") as f:
            lines = f.read().split("\n")
        masked = code_mask(lines)
        in_log = False
        for idx, (line, code) in enumerate(zip(lines, masked)):
            stripped = code.strip()
            if LOG_CALL.search(line) or in_log:
                in_log = not stripped.endswith(";")
                continue
            if not stripped or stripped.startswith("#") or "static_assert" in code:
                continue
            for col, old, new, kind in line_mutants(code, line):
                key = "%s|%s|%d|%s|%s" % (path, line.strip(), col, old, new)
                mid = hashlib.sha1(key.encode()).hexdigest()[:8]
                mutants.append({"id": mid, "file": path, "line": idx + 1, "col": col,
                                "old": old, "new": new, "kind": kind,
                                "text": line.strip()})
    return mutants


def sample(src, seed=SEED):
    everything = sorted(enumerate_mutants(src), key=lambda m: m["id"])
    rng, chosen = random.Random(seed), []
    for prefix, count in AREAS:
        pool = [m for m in everything if m["file"].startswith(prefix)]
        chosen += rng.sample(pool, min(count, len(pool)))
    return sorted(chosen, key=lambda m: (m["file"], m["line"], m["col"], m["new"]))


def relocate(earlier_path, src):
    """The mutants of an earlier run, each at the line of this tree that holds its text, in its
    file or in any product file below the same folder (code moves when a file is split). Where
    the text occurs more than once, the place whose three lines above and below match the
    earlier ones best wins, then one in the same file, then the nearest; in another file two of
    those six must match (one if no other file holds the text). A mutant whose line is nowhere
    any more is marked gone and left out of the score."""
    with open(earlier_path) as f:
        earlier = json.load(f)
    files = {}
    for path in product_files(src):
        with open(os.path.join(src, path), encoding="utf-8") as f:
            files[path] = [line.strip() for line in f.read().split("\n")]
    old_files, out = {}, []
    for m in earlier["mutants"]:
        if m["file"] not in old_files:
            old_files[m["file"]] = subprocess.run(
                ["git", "-C", ROOT, "show", "%s:%s" % (earlier["rev"], m["file"])],
                check=True, capture_output=True, text=True).stdout.split("\n")
        old = old_files[m["file"]]
        context = [old[k].strip() for k in range(m["line"] - 4, m["line"] + 3)
                   if 0 <= k < len(old) and k != m["line"] - 1]
        folder = os.path.dirname(m["file"]) + "/"
        places = [(path, i) for path, lines in files.items() if path.startswith(folder)
                  for i, line in enumerate(lines) if line == m["text"]]
        elsewhere = sum(1 for path, _ in places if path != m["file"])
        best = None
        for path, i in places:
            lines = files[path]
            near = [lines[k] for k in range(i - 3, i + 4) if 0 <= k < len(lines) and k != i]
            same = sum(1 for c in context if c in near)
            if path != m["file"] and same < (1 if elsewhere == 1 else 2):
                continue  # a common line elsewhere, not this code moved
            rank = (same, path == m["file"], -abs(i + 1 - m["line"]))
            if best is None or rank > best[0]:
                best = (rank, path, i)
        moved = {k: m[k] for k in ("id", "file", "line", "col", "old", "new", "kind", "text")}
        moved["was"] = "%s:%d" % (m["file"], m["line"])
        if best is None:
            moved.update({"status": "gone", "killers": []})
        else:
            _, path, i = best
            with open(os.path.join(src, path), encoding="utf-8") as f:
                line = f.read().split("\n")[i]
            old_line = old[m["line"] - 1]
            shift = (len(line) - len(line.lstrip())) - (len(old_line) - len(old_line.lstrip()))
            moved.update({"file": path, "line": i + 1, "col": m["col"] + shift})
        out.append(moved)
    return out


def apply(src, mutant):
    path = os.path.join(src, mutant["file"])
    with open(path, encoding="utf-8") as f:
        original = f.read()
    lines = original.split("\n")
    line = lines[mutant["line"] - 1]
    col, old = mutant["col"], mutant["old"]
    if line[col:col + len(old)] != old:
        raise RuntimeError("mutant %s does not match its source" % mutant["id"])
    lines[mutant["line"] - 1] = line[:col] + mutant["new"] + line[col + len(old):]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    return path, original


class Suite:
    """The default ctest suite of a build directory, soak tests left out. Tests run by their
    ctest command lines, not through ctest: the same per-test timeout then holds for every test
    (ctest lets a TIMEOUT property win over its own), and a timed-out test's whole process group
    (cpd-host children included) is killed."""

    def __init__(self, build, timeout):
        self.build, self.timeout = build, timeout
        listing = json.loads(subprocess.run(
            ["ctest", "--test-dir", build, "--show-only=json-v1", "-LE", "soak"],
            check=True, capture_output=True, text=True).stdout)
        self.tests, self.covers = {}, {}
        for t in listing["tests"]:
            props = {p["name"]: p["value"] for p in t.get("properties", [])}
            self.tests[t["name"]] = (t["command"], props.get("WORKING_DIRECTORY", build))
            self.covers[t["name"]] = [label[len(COVERS):] for label in props.get("LABELS", [])
                                      if label.startswith(COVERS)]
        self.labelled = any(self.covers.values())
        self.excluded = set()

    def names(self):
        return sorted(n for n in self.tests if n not in self.excluded)

    def covering(self, path):
        """The tests that check the product file `path` (see the module's description)."""
        names = [n for n in self.names() if any(path.startswith(c) for c in self.covers[n])]
        return self.names() if path.startswith(EVERY_TEST) or not names else names

    def exact(self, path):
        """The tests whose labels name the file `path` itself."""
        return [n for n in self.names() if path in self.covers[n]]

    def passes(self, name):
        command, cwd = self.tests[name]
        child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            return child.wait(timeout=self.timeout) == 0
        except subprocess.TimeoutExpired:
            return False
        finally:
            try:
                os.killpg(child.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            child.wait()

    def failures(self, names, first_only=False):
        """Names of the given tests that fail (a hang counts as a failure); with first_only,
        starts no further test once one has failed."""
        # Under a mutant, tests mostly wait (on lines, processes, hang guards): six at a time
        # overlap the waits.
        failed = []
        with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
            running = {pool.submit(self.passes, n): n for n in names}
            for done in concurrent.futures.as_completed(running):
                if not done.cancelled() and not done.result():
                    failed.append(running[done])
                    if first_only:
                        for other in running:
                            other.cancel()
        return sorted(failed)


def build(build_dir, timeout, targets=()):
    cmd = ["cmake", "--build", build_dir, "-j2"]
    for t in targets:
        cmd += ["--target", t]
    try:
        return subprocess.run(cmd, capture_output=True, timeout=timeout).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def check_mutant(mutant, src, build_dir, suite, targets=(), earlier_killers=(), names=None):
    """Builds and tests one mutant: with the given test names, or with the tests that cover its
    file. With earlier_killers (a recheck), the tests of those names that still exist run first
    and stop at the first failure; only if none fails does the whole covering set run."""
    path, original = apply(src, mutant)
    try:
        started = time.time()
        if not build(build_dir, 600, targets):
            result = {"status": "no-compile", "killers": []}
        else:
            still = [n for n in earlier_killers if n in suite.tests]
            killers = suite.failures(still, first_only=True)
            if not killers:
                killers = suite.failures(names or suite.covering(mutant["file"]))
            result = {"status": "killed" if killers else "survived", "killers": killers}
            if earlier_killers:
                result["rechecked"] = True
        result["seconds"] = round(time.time() - started, 1)
    finally:
        with open(path, "w", encoding="utf-8") as f:
            f.write(original)
    return result


def export(rev, src):
    """Puts the revision's tree in src. A tree already exported for the same revision is kept
    (its build stays warm); only files left mutated by an interrupted run are put back."""
    marker = os.path.join(src, ".mutate-rev")
    if os.path.exists(marker) and open(marker).read() == rev:
        for path in product_files(src):
            original = subprocess.run(["git", "-C", ROOT, "show", "%s:%s" % (rev, path)],
                                      check=True, capture_output=True).stdout
            with open(os.path.join(src, path), "rb") as f:
                if f.read() == original:
                    continue
            with open(os.path.join(src, path), "wb") as f:
                f.write(original)
        return
    if os.path.isdir(src):
        shutil.rmtree(src)
    os.makedirs(src)
    archive = subprocess.run(["git", "-C", ROOT, "archive", rev], check=True,
                             capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
    with open(marker, "w") as f:
        f.write(rev)


def configure(src, build_dir):
    flags = "-O0 -g0"
    lld = "-fuse-ld=lld" if shutil.which("ld.lld") else ""
    cmd = ["cmake", "-S", src, "-B", build_dir, "-G", "Unix Makefiles",
           "-DCMAKE_BUILD_TYPE=Debug", "-DCPD_BUILD_BENCH=OFF",
           "-DCMAKE_C_FLAGS=" + flags, "-DCMAKE_CXX_FLAGS=" + flags]
    if lld:
        cmd += ["-DCMAKE_%s_LINKER_FLAGS=%s" % (k, lld) for k in ("EXE", "SHARED", "MODULE")]
    if shutil.which("ccache"):
        cmd += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    subprocess.run(cmd, check=True, capture_output=True)


def recheck_result(path, mutant_id):
    """The mutant's result in an earlier run (read afresh: that run may still be going)."""
    if not path or not os.path.exists(path):
        return None
    with open(path) as f:
        earlier = {m["id"]: m for m in json.load(f)["mutants"] if "status" in m}
    return earlier.get(mutant_id)


def cmd_run(args):
    src, build_dir = os.path.join(args.out, "src"), os.path.join(args.out, "build")
    rev = subprocess.run(["git", "-C", ROOT, "rev-parse", args.rev], check=True,
                         capture_output=True, text=True).stdout.strip()
    export(rev, src)
    configure(src, build_dir)
    if not build(build_dir, 3600):
        sys.exit("the unmutated revision does not build")
    suite = Suite(build_dir, args.timeout)
    if not suite.labelled:
        print("no test carries a %r label: every mutant runs every test" % COVERS, flush=True)
    suite.excluded = set(suite.failures(suite.names()))
    if suite.excluded:
        print("failing without a mutant, left out:", sorted(suite.excluded), flush=True)
    mutants = relocate(args.sample_of, src) if args.sample_of else sample(src)
    results_path = os.path.join(args.out, "results.json")
    done = {}
    if args.resume and os.path.exists(results_path):
        with open(results_path) as f:
            done = {m["id"]: m for m in json.load(f)["mutants"] if "status" in m}
    for i, mutant in enumerate(mutants):
        earlier = recheck_result(args.recheck, mutant["id"])
        if mutant.get("status") == "gone":
            pass
        elif mutant["id"] in done:
            mutant.update(done[mutant["id"]])
        elif earlier is not None and earlier["status"] != "killed" and \
                mutant["id"] not in args.also:
            # A recheck asks whether the earlier kills were kept: earlier survivors are carried
            # over unrun (--also names those worth running again).
            mutant.update({"status": earlier["status"], "killers": [], "carried": True})
        else:
            mutant.update(check_mutant(mutant, src, build_dir, suite,
                                       earlier_killers=earlier["killers"] if earlier else ()))
        print("%3d/%d %-8s %-10s %s:%d %r -> %r %s" % (
            i + 1, len(mutants), mutant["id"], mutant["status"], mutant["file"],
            mutant["line"], mutant["old"].strip(), mutant["new"].strip(),
            ",".join(mutant["killers"])), flush=True)
        with open(results_path, "w") as f:
            json.dump({"rev": rev, "seed": SEED, "tests": sorted(suite.tests),
                       "excluded": sorted(suite.excluded), "mutants": mutants}, f, indent=1)
    build(build_dir, 3600)  # leave the build matching the unmutated source
    print(report(results_path, args.notes))


def report(results_path, notes_path=None):
    with open(results_path) as f:
        data = json.load(f)
    notes = {}
    if notes_path and os.path.exists(notes_path):
        with open(notes_path) as f:
            for line in f:
                if line.strip() and not line.startswith("#"):
                    mid, _, why = line.strip().partition(" ")
                    notes[mid] = why.strip()
    judged = [m for m in data["mutants"] if "status" in m]
    mutants = [m for m in judged if m["status"] != "gone"]
    gone = [m for m in judged if m["status"] == "gone"]
    out = ["Revision %s, seed %d, %d mutants." % (data["rev"][:12], data["seed"], len(judged)),
           "", "| file | mutants | killed | survived | did not compile |", "|---|---|---|---|---|"]
    per_file = collections.OrderedDict()
    for m in mutants:
        per_file.setdefault(m["file"], collections.Counter())[m["status"]] += 1
    for path, c in per_file.items():
        out.append("| %s | %d | %d | %d | %d |" % (path, sum(c.values()), c["killed"],
                                                   c["survived"], c["no-compile"]))
    killed = sum(1 for m in mutants if m["status"] == "killed")
    compiled = sum(1 for m in mutants if m["status"] != "no-compile")
    out += ["", "Score: %d killed of %d that compile (%.1f%%)." % (
        killed, compiled, 100.0 * killed / max(compiled, 1)), ""]
    unique = collections.defaultdict(list)
    for m in mutants:
        # A recheck stops at the first test that kills, so its killers are no unique kills.
        if len(m["killers"]) == 1 and not m.get("rechecked"):
            unique[m["killers"][0]].append(m["id"])
    out += ["Mutants only one test kills, per test (most first):", ""]
    for name, ids in sorted(unique.items(), key=lambda kv: (-len(kv[1]), kv[0])):
        out.append("- %s: %d (%s)" % (name, len(ids), " ".join(sorted(ids))))
    if gone:
        out += ["", "Gone (their line is no longer in the tree; not scored):", ""]
        out += ["- %s %s `%s`" % (m["id"], m["was"], m["text"]) for m in gone]
    out += ["", "Survivors:", ""]
    for m in mutants:
        if m["status"] == "survived":
            out.append("- %s%s %s:%d `%s` -> `%s`: %s" % ("(carried) " if m.get("carried") else "",
                m["id"], m["file"], m["line"], m["old"].strip(), m["new"].strip(),
                notes.get(m["id"], "not yet judged")))
    return "\n".join(out)


def cmd_ci(args):
    """Checks the map of tests to sources: every test (soaks aside) names what it covers. Then
    plants three mutants of the packet record in place: the tool must see them, the tests
    labelled for that file must kill at least one, and the source must come back byte for
    byte."""
    suite = Suite(args.build_dir, 60)
    unlabelled = [n for n in suite.names() if not suite.covers[n]]
    if unlabelled:
        sys.exit("mutate: tests without a %r label (cmake/CpdTestCoverage.cmake): %s"
                 % (COVERS, " ".join(unlabelled)))
    target = "cpd/host/framework/cpd_packet.cpp"
    names = suite.exact(target)
    if not names:
        sys.exit("mutate: no test is labelled %s%s" % (COVERS, target))
    executables = sorted({os.path.basename(suite.tests[n][0][0]) for n in names})
    # Drawn from the file's own mutants, not from the run's sample: the sample follows every
    # product file, so an edit anywhere may leave it without three mutants here.
    def draw():
        pool = sorted((m for m in enumerate_mutants(ROOT) if m["file"] == target
                       and m["kind"] in ("compare", "negate")), key=lambda m: m["id"])
        return random.Random(SEED).sample(pool, min(3, len(pool)))
    chosen = draw()
    if len(chosen) < 3 or [m["id"] for m in chosen] != [m["id"] for m in draw()]:
        sys.exit("mutate: the draw is not stable")
    with open(os.path.join(ROOT, target), "rb") as f:
        before = f.read()
    statuses = []
    try:
        for m in chosen:
            result = check_mutant(m, ROOT, args.build_dir, suite, executables, names=names)
            statuses.append(result["status"])
            print("mutate ci: %s %s:%d %s" % (m["id"], target, m["line"], result["status"]))
    finally:
        build(args.build_dir, 600, executables)
    with open(os.path.join(ROOT, target), "rb") as f:
        if f.read() != before:
            sys.exit("mutate: %s was not restored" % target)
    if "killed" not in statuses:
        sys.exit("mutate: no planted fault was noticed")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run")
    run.add_argument("--rev", default="HEAD")
    run.add_argument("--out", default=os.path.join(ROOT, "build", "mutate"))
    run.add_argument("--timeout", type=int, default=10, help="seconds per test")
    run.add_argument("--notes", default=os.path.join(ROOT, "scripts", "mutation-notes.txt"))
    run.add_argument("--resume", action="store_true", help="keep results of an earlier run")
    run.add_argument("--recheck", help="results.json of an earlier run: rerun only its kills")
    run.add_argument("--sample-of", help="results.json of an earlier run: judge its mutants")
    run.add_argument("--also", default="", type=lambda text: set(text.split(",")),
                     help="with --recheck: survivors to run again too (ids, comma separated)")
    lst = sub.add_parser("list")
    rep = sub.add_parser("report")
    rep.add_argument("results")
    rep.add_argument("--notes", default=os.path.join(ROOT, "scripts", "mutation-notes.txt"))
    ci = sub.add_parser("ci")
    ci.add_argument("--build-dir", required=True)
    args = parser.parse_args()
    if args.command == "run":
        cmd_run(args)
    elif args.command == "list":
        for m in sample(ROOT):
            print("%s %-7s %s:%d %r -> %r" % (m["id"], m["kind"], m["file"], m["line"],
                                            m["old"], m["new"]))
    elif args.command == "report":
        print(report(args.results, args.notes))
    else:
        cmd_ci(args)


if __name__ == "__main__":
    main()
