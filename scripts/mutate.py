#!/usr/bin/env python3
"""Plants realistic faults in a copy of the working tree, one at a time, and tells which
test caught each, or that none did.

    ./dev mutate [--list] [NAME | NUMBER ...]

The faults are listed in scripts/mutants.txt (its head says how). For each fault the copy
gets that one edit, is rebuilt, and runs the fast suite, each step stopping at its first
failing test; the edit is then undone. The fast suite: the core unit tests
(quon_core_tests), the module in a real Apache (quon_apache_tests) and the integration
tests (quon_integration_tests): every test of these three, in that order; a fault in the
Tomcat side (tomcat/) runs its JUnit tests (ctest tomcat.unit) and then the real Tomcats
behind Apache (quon_tomcat_forward_tests, quon_tomcat_cluster_tests) instead. Each step is
bounded by MUTATE_STEP_SECONDS (300). A test that fails is run once more alone: when it
passes then, it is flaky (said so, its log kept in MUTATE_DIR), and the step goes on
without it. The back-end, package, sanitizer and fuzz runs are left out: they test other
things or take minutes.

The copy and its build live in MUTATE_DIR (build-mutate/ of the working tree by default,
which git ignores); they are kept between runs, so that a run rebuilds only what changed
(the first run builds everything). Before the first fault the unchanged copy must pass
the suite. Exit status 0 when every fault planted was caught, 1 otherwise.
"""
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAULTS = os.path.join(TOP, "scripts", "mutants.txt")
WORK = os.path.abspath(os.environ.get("MUTATE_DIR", os.path.join(TOP, "build-mutate")))
SRC = os.path.join(WORK, "src")
BUILD = os.path.join(WORK, "build")
STEP_SECONDS = int(os.environ.get("MUTATE_STEP_SECONDS", "300"))
BUILD_SECONDS = 1800
FIELDS = ("name", "file", "find", "replace", "notice")
# (label, test program in the build): the fast suite, in the order it runs.
SUITE = [
    ("core", "tests/core/quon_core_tests"),
    ("module", "tests/apache/quon_apache_tests"),
    ("integration", "tests/integration/quon_integration_tests"),
]
# Real Tomcats with the jar behind Apache: after the JUnit tests, for faults in tomcat/.
TOMCAT_SUITE = [
    ("tomcat-forward", "tests/integration/quon_tomcat_forward_tests"),
    ("tomcat-cluster", "tests/integration/quon_tomcat_cluster_tests"),
]


def read_faults(path):
    """The faults of the file: blocks of "key: value" lines; "|" continues a value on a
    new line (the text after "|" verbatim); "#" starts a comment line."""
    faults, fault, key = [], {}, None
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            line = line.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line.strip():
                if fault:
                    faults.append(fault)
                fault, key = {}, None
            elif line.startswith("|") and key:
                fault[key] += "\n" + line[1:]
            else:
                key, sep, value = line.partition(":")
                if not sep or key not in FIELDS or key in fault:
                    sys.exit(f"{path}:{number}: expected one of {', '.join(FIELDS)}: {line}")
                fault[key] = value[1:] if value.startswith(" ") else value
    if fault:
        faults.append(fault)
    for fault in faults:
        missing = [f for f in FIELDS if f not in fault]
        if missing:
            sys.exit(f"{path}: fault {fault.get('name', '?')} lacks {', '.join(missing)}")
    return faults


def select(faults, wanted):
    if not wanted:
        return list(enumerate(faults, 1))
    chosen = []
    for word in wanted:
        found = [(n, f) for n, f in enumerate(faults, 1) if word in (str(n), f["name"])]
        if not found:
            sys.exit(f"no fault named or numbered {word} (./dev mutate --list)")
        chosen += found
    return chosen


def run(command, cwd, seconds, log):
    """Runs command with its output into log; its exit status, or None after the time-out
    (the program alone is killed: the tests' Apache and back ends end with it)."""
    with open(log, "w") as out:
        process = subprocess.Popen(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT)
        try:
            return process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            process.send_signal(signal.SIGKILL)
            process.wait()
            return None


def tracked_files():
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=TOP, check=True, capture_output=True).stdout.decode().split("\0")
    return {f for f in listed if f and os.path.isfile(os.path.join(TOP, f))}


def sync_copy():
    """The copy made like the working tree: files that differ are written anew (so their
    time is now and the build sees them), files gone from the tree are removed. A folder
    that holds files but no mark of a copy is left alone."""
    mark = os.path.join(SRC, ".mutate-copy")
    if os.listdir(SRC) and not os.path.isfile(mark):
        sys.exit(f"mutate: {SRC} holds files but is no copy made by this script")
    open(mark, "w").close()
    files = tracked_files()
    for name in files:
        source, target = os.path.join(TOP, name), os.path.join(SRC, name)
        with open(source, "rb") as f:
            data = f.read()
        if os.path.isfile(target):
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        shutil.copymode(source, target)
    for root, _, names in os.walk(SRC):
        for name in names:
            path = os.path.join(root, name)
            if path != mark and os.path.relpath(path, SRC) not in files:
                os.remove(path)


def build(log):
    if not os.path.isfile(os.path.join(BUILD, "build.ninja")):
        if run(["cmake", "-S", SRC, "-B", BUILD, "-G", "Ninja"], SRC, BUILD_SECONDS, log) != 0:
            return False
    return run(["cmake", "--build", BUILD, "--", "--quiet"], SRC, BUILD_SECONDS, log) == 0


def failed_tests(log):
    """The tests the log says failed, or where the first failure was (a suite's set-up)."""
    with open(log, errors="replace") as f:
        text = f.read()
    failed = list(dict.fromkeys(re.findall(r"^\[  FAILED  \] (\S+?)(?:,| \(|$)", text, re.M)))
    if failed:
        return failed
    first = re.findall(r"^(\S+:\d+): Failure$", text, re.M)[:1]
    return [where.replace(SRC + "/", "") for where in first]


def run_step(program, log, excluded):
    """None when the step passes, else what failed. What fails runs once more (a test
    alone, or the whole step after a crash or a failed set-up): when it passes then, it
    was flaky, its log is kept, and the step goes on without that test."""
    for _ in range(3):
        command = [os.path.join(BUILD, program), "--gtest_brief=1"]
        skip = ["--gtest_filter=-" + ":".join(excluded)] if excluded else []
        status = run(command + ["--gtest_fail_fast"] + skip, BUILD, STEP_SECONDS, log)
        if status == 0:
            return None
        if status is None:
            return f"timed out after {STEP_SECONDS} s"
        failed = failed_tests(log)
        named = bool(failed) and ":" not in failed[0]
        how = f"signal {-status}" if status < 0 else f"exit {status}"
        what = ", ".join(failed) if named else " ".join(failed + [f"({how})"])
        kept = os.path.join(WORK, "flaky-" + re.sub(r"[^\w.-]", "_", what)[:80] + ".log")
        shutil.copy(log, kept)
        again = command + (["--gtest_filter=" + failed[0]] if named else skip)
        if run(again, BUILD, STEP_SECONDS, log) != 0:
            os.remove(kept)
            return what
        print(f"(flaky: {what}, {os.path.basename(kept)}) ", end="", flush=True)
        if not named:
            return None
        excluded.append(failed[0])
    return "flaky tests: " + ", ".join(excluded)


def run_java_step(log):
    """The Tomcat side's JUnit tests (ctest tomcat.unit), run once more when they fail."""
    command = ["ctest", "--test-dir", BUILD, "-R", "^tomcat\\.unit$", "--output-on-failure"]
    for attempt in range(2):
        status = run(command, BUILD, STEP_SECONDS, log)
        if status == 0:
            if attempt:
                print("(flaky: tomcat.unit) ", end="", flush=True)
            return None
        if status is None:
            return f"timed out after {STEP_SECONDS} s"
    return "tomcat.unit"


def run_suite(log, fault=None):
    """None when every step passes, else what failed first: "step: Test.Name, ...". A fault
    in the Tomcat side runs its JUnit tests and the real Tomcats behind Apache (the rest of
    the C++ suite never loads the jar), a fault elsewhere the C++ suite alone; the
    unchanged copy runs all."""
    java = fault is not None and fault["file"].startswith("tomcat/")
    for label, program in [] if java else SUITE:
        failure = run_step(program, log, [])
        if failure:
            return f"{label}: {failure}"
    if fault is None or java:
        failure = run_java_step(log)
        if failure:
            return f"tomcat: {failure}"
        for label, program in TOMCAT_SUITE:
            failure = run_step(program, log, [])
            if failure:
                return f"{label}: {failure}"
    return None


def plant(fault):
    """Applies the fault to the copy; the original text, or an error."""
    path = os.path.join(SRC, fault["file"])
    if not os.path.isfile(path):
        return None, f"no file {fault['file']}"
    with open(path, encoding="utf-8") as f:
        text = f.read()
    count = text.count(fault["find"])
    if count != 1:
        return None, f"its text is found {count} times in {fault['file']}"
    with open(path, "w", encoding="utf-8") as f:
        f.write(text.replace(fault["find"], fault["replace"]))
    return text, None


def restore(fault, text):
    with open(os.path.join(SRC, fault["file"]), "w", encoding="utf-8") as f:
        f.write(text)


def main(args):
    faults = read_faults(FAULTS)
    if args[:1] in (["-h"], ["--help"]):
        print(__doc__)
        return 0
    if args[:1] == ["--list"]:
        for number, fault in select(faults, args[1:]):
            print(f"{number:3} {fault['name']:40} {fault['file']}: {fault['notice']}")
        return 0
    chosen = select(faults, args)
    if os.path.commonpath([WORK, TOP]) == WORK:
        sys.exit(f"mutate: MUTATE_DIR {WORK} holds the working tree")
    os.nice(10)  # the machine is shared
    os.makedirs(SRC, exist_ok=True)
    lock = open(os.path.join(WORK, "lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        sys.exit(f"mutate: another run uses {WORK}")
    log = os.path.join(WORK, "step.log")
    sync_copy()
    print(f"mutate: the copy in {SRC}, its build in {BUILD}", flush=True)
    if not build(log):
        print(f"mutate: the unchanged copy does not build ({log})")
        return 1
    baseline = run_suite(log)
    if baseline:
        print(f"mutate: the unchanged copy fails the suite, {baseline} ({log})")
        return 1
    print("mutate: the unchanged copy passes the suite", flush=True)
    caught, missed, unusable = [], [], []
    for position, (number, fault) in enumerate(chosen, 1):
        started = time.monotonic()
        print(f"[{position:2}/{len(chosen)}] {number:2} {fault['name']} ... ", end="", flush=True)
        original, error = plant(fault)
        if error:
            unusable.append(fault["name"])
            print(f"NOT PLANTED: {error}")
            continue
        try:
            outcome = run_suite(log, fault) if build(log) else "build"
        finally:
            restore(fault, original)
        seconds = int(time.monotonic() - started)
        if outcome == "build":
            unusable.append(fault["name"])
            shutil.copy(log, os.path.join(WORK, f"{fault['name']}.log"))
            print(f"DOES NOT BUILD ({fault['name']}.log)")
        elif outcome:
            caught.append(fault["name"])
            print(f"caught by {outcome} ({seconds} s)")
        else:
            missed.append(fault["name"])
            print(f"NOT CAUGHT ({seconds} s): {fault['notice']}")
    build(log)  # the copy's build as the tree is
    planted = len(caught) + len(missed)
    rate = 100 * len(caught) // planted if planted else 0
    print(f"\nkill rate: {len(caught)} of {planted} planted faults caught ({rate}%)")
    if missed:
        print("not caught: " + ", ".join(missed))
    if unusable:
        print("not planted or not built (fix scripts/mutants.txt): " + ", ".join(unusable))
    return 0 if not missed and not unusable else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
