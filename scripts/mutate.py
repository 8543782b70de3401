#!/usr/bin/env python3
"""The mutation run behind scripts/mutate.sh: plants each fault of scripts/mutants.txt, one at a
time, in a copy of the sources, rebuilds that copy incrementally, runs the fast native suite and
says which test caught the fault, if any.

Why a copy: the run takes an hour or more, and the working tree stays free for work meanwhile; a
fault is never written into a file of the working tree, and the copy's file is restored after
each fault, also when the run is interrupted. Only files that changed since the last run are
copied again, so the copy's build stays incremental from run to run.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Tests the fast suite leaves out: the MPFR comparisons (minutes of random inputs; the fixed lists
# of portable_math_test stay in), the checks that configure or build projects of their own, the
# exports and benchmark smoke tests, and modhost's child-process isolation, which no fault here
# reaches.
DEFAULT_EXCLUDE = (
    r"^(portable_math_mpfr_.*|tessavine_mpfr_test|modhost_isolation_test|frame_flavours_do_not_mix"
    r"|host_tools_option|module_registry|.*_bench_smoke|.*_exports)$"
)

FIELDS = ("file", "from", "to", "fault", "equivalent")


class Mutant:
    def __init__(self, name, line):
        self.name = name
        self.line = line
        self.fields = {}

    def __getattr__(self, field):
        if field in FIELDS:
            return self.fields.get(field, "")
        raise AttributeError(field)


def decode(text):
    """A field's text: "\\n" is a line break and "\\\\" a backslash."""
    out = []
    index = 0
    while index < len(text):
        if text[index] == "\\" and index + 1 < len(text) and text[index + 1] in "n\\":
            out.append("\n" if text[index + 1] == "n" else "\\")
            index += 2
        else:
            out.append(text[index])
            index += 1
    return "".join(out)


def read_mutants(path):
    mutants = []
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("== "):
                mutants.append(Mutant(line[3:].strip(), number))
                continue
            field, colon, text = line.partition(":")
            if not colon or field not in FIELDS or not mutants:
                sys.exit(f"{path}:{number}: expected '== name' or one of {', '.join(FIELDS)}")
            mutants[-1].fields[field] = decode(text[1:] if text.startswith(" ") else text)
    names = set()
    for mutant in mutants:
        if mutant.name in names:
            sys.exit(f"{path}:{mutant.line}: the name {mutant.name} is used twice")
        names.add(mutant.name)
        for field in ("file", "from", "fault"):
            if not mutant.fields.get(field):
                sys.exit(f"{path}:{mutant.line}: {mutant.name} has no {field}")
        if "to" not in mutant.fields:
            sys.exit(f"{path}:{mutant.line}: {mutant.name} has no to")
    return mutants


def check_mutants(mutants, source_root):
    """Each original text must occur exactly once in its file."""
    problems = []
    for mutant in mutants:
        path = os.path.join(source_root, mutant.file)
        if not os.path.isfile(path):
            problems.append(f"{mutant.name}: no file {mutant.file}")
            continue
        with open(path, encoding="utf-8") as source:
            count = source.read().count(mutant.fields["from"])
        if count != 1:
            problems.append(f"{mutant.name}: its text occurs {count} times in {mutant.file}")
    return problems


def tracked_files():
    listing = subprocess.run(
        ["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        check=True,
        capture_output=True,
    ).stdout.decode()
    return sorted(name for name in listing.split("\0") if name and os.path.isfile(os.path.join(ROOT, name)))


def sync_copy(source_copy):
    """Copies every file of the project that differs into `source_copy`, removes what is gone."""
    wanted = set(tracked_files())
    copied = 0
    for name in wanted:
        origin = os.path.join(ROOT, name)
        target = os.path.join(source_copy, name)
        with open(origin, "rb") as file:
            content = file.read()
        if os.path.isfile(target):
            with open(target, "rb") as file:
                if file.read() == content:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as file:
            file.write(content)
        shutil.copymode(origin, target)
        copied += 1
    for folder, _, files in os.walk(source_copy):
        for file in files:
            name = os.path.relpath(os.path.join(folder, file), source_copy)
            if name not in wanted:
                os.remove(os.path.join(folder, file))
    return copied


def run_logged(command, log_path, timeout=None):
    """Runs `command` in a process group of its own, its output into `log_path`. Returns the exit
    status, or None when it ran past `timeout` seconds and was stopped."""
    with open(log_path, "w") as log:
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return None
        except BaseException:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise


FAILED_TEST = re.compile(r"Test\s+#\d+: (\S+) \.*\s*(\*\*\*|Subprocess aborted|Exception|Not Run)")
FAILED_CASE = re.compile(r"^\[  FAILED  \] (\S+)")
STALLED = re.compile(r"stalled: no progress")


def who_failed(log_path):
    """The first test that failed in a ctest log, with its first failed case, if any."""
    with open(log_path, errors="replace") as log:
        text = log.read()
    tests = [match.group(1) for match in FAILED_TEST.finditer(text)]
    if not tests:
        return None
    detail = ""
    for line in text.splitlines():
        case = FAILED_CASE.match(line)
        if case:
            detail = case.group(1).rstrip(",")
            break
        if STALLED.search(line):
            detail = "stalled"
            break
    return tests[0] + (f" ({detail})" if detail else "")


class Run:
    def __init__(self, arguments):
        self.work = os.path.abspath(arguments.work)
        self.source = os.path.join(self.work, "src")
        # Named as the native preset's tree, which tests that look for the other presets' trees
        # beside their own expect.
        self.build = os.path.join(self.work, "native")
        self.logs = os.path.join(self.work, "logs")
        self.jobs = str(arguments.jobs)
        self.exclude = arguments.exclude
        self.test_timeout = arguments.test_timeout
        self.soak_seconds = arguments.soak_seconds

    def configure(self):
        os.makedirs(self.logs, exist_ok=True)
        copied = sync_copy(self.source)
        print(f"mutate: {copied} files copied into {os.path.relpath(self.source, ROOT)}", flush=True)
        if not os.path.isfile(os.path.join(self.build, "CMakeCache.txt")):
            status = run_logged(
                [
                    "cmake", "-S", self.source, "-B", self.build, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=ON", "-DSE_BUILD_HOST_TOOLS=ON",
                    f"-DSE_SOAK_SECONDS={self.soak_seconds}",
                ],
                os.path.join(self.logs, "configure.log"),
            )
            if status != 0:
                sys.exit(f"mutate: configuring failed; see {self.logs}/configure.log")

    def build_tree(self, log_name):
        return run_logged(["cmake", "--build", self.build, "--", "-j", self.jobs],
                          os.path.join(self.logs, log_name)) == 0

    def test(self, log_name):
        """None when every test passed, else who failed (or "a hang" when the suite ran out of
        time)."""
        # Without the costs of earlier runs ctest starts the tests in the order they are declared
        # (and a test that failed last time first): the quick unit tests before the long ones.
        cost_data = os.path.join(self.build, "Testing", "Temporary", "CTestCostData.txt")
        if os.path.exists(cost_data):
            os.remove(cost_data)
        log_path = os.path.join(self.logs, log_name)
        status = run_logged(
            ["ctest", "--test-dir", self.build, "-j", self.jobs, "--stop-on-failure",
             "--output-on-failure", "-E", self.exclude],
            log_path,
            timeout=self.test_timeout,
        )
        if status is None:
            return who_failed(log_path) or f"a hang (the suite passed {self.test_timeout} s)"
        if status == 0:
            return None
        return who_failed(log_path) or "ctest failed (see the log)"


def interrupt(signal_number, frame):
    raise KeyboardInterrupt()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", default=os.path.join(ROOT, "scripts", "mutants.txt"))
    parser.add_argument("--only", default="", help="run only the mutants whose name matches")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "mutate"))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--exclude", default=DEFAULT_EXCLUDE, help="ctest -E of the fast suite")
    parser.add_argument("--test-timeout", type=int, default=900,
                        help="seconds after which a mutant's test run counts as a hang")
    parser.add_argument("--soak-seconds", type=int, default=600,
                        help="seconds of audio per module in the soak of the mutation build")
    parser.add_argument("--skip-equivalent", action="store_true",
                        help="do not run the mutants marked equivalent")
    parser.add_argument("--check", action="store_true",
                        help="only check that every mutant applies to the working tree")
    arguments = parser.parse_args()

    mutants = read_mutants(arguments.list)
    problems = check_mutants(mutants, ROOT)
    if problems:
        sys.exit("mutate: " + "\nmutate: ".join(problems))
    if arguments.check:
        print(f"mutate: {len(mutants)} mutants, each applies once")
        return
    chosen = [m for m in mutants if re.search(arguments.only, m.name)]
    if arguments.skip_equivalent:
        chosen = [m for m in chosen if not m.equivalent]

    # Ctrl-C and a terminating signal both unwind through the restoring `finally` below.
    signal.signal(signal.SIGTERM, interrupt)

    run = Run(arguments)
    started = time.monotonic()
    run.configure()
    print("mutate: building the copy and running the suite without any mutant", flush=True)
    if not run.build_tree("baseline.build.log"):
        sys.exit(f"mutate: the copy does not build; see {run.logs}/baseline.build.log")
    baseline = run.test("baseline.test.log")
    if baseline is not None:
        sys.exit(f"mutate: the suite fails without any mutant: {baseline}; "
                 f"see {run.logs}/baseline.test.log")

    results = []
    for number, mutant in enumerate(chosen, 1):
        path = os.path.join(run.source, mutant.file)
        with open(path, encoding="utf-8") as source:
            original = source.read()
        mutated = original.replace(mutant.fields["from"], mutant.fields["to"], 1)
        begun = time.monotonic()
        try:
            with open(path, "w", encoding="utf-8") as source:
                source.write(mutated)
            if not run.build_tree(f"{mutant.name}.build.log"):
                outcome, by = "broken", "does not build"
            else:
                failed = run.test(f"{mutant.name}.test.log")
                if failed is None:
                    outcome, by = ("equivalent", mutant.equivalent) if mutant.equivalent else (
                        "SURVIVED", mutant.fault)
                else:
                    outcome = "killed" if not mutant.equivalent else "KILLED (marked equivalent)"
                    by = failed
        finally:
            with open(path, "w", encoding="utf-8") as source:
                source.write(original)
        results.append((mutant.name, outcome, by))
        print(f"mutate: [{number}/{len(chosen)}] {mutant.name}: {outcome}: {by} "
              f"({time.monotonic() - begun:.0f} s)", flush=True)

    # The copy holds the unmutated sources again; bring its build back in line with them.
    run.build_tree("restore.build.log")

    width = max([len("mutant")] + [len(name) for name, _, _ in results])
    lines = [f"{'mutant':<{width}}  {'result':<10}  by / why", f"{'-' * width}  {'-' * 10}  {'-' * 40}"]
    lines += [f"{name:<{width}}  {outcome:<10}  {by}" for name, outcome, by in results]
    counts = {}
    for _, outcome, _ in results:
        counts[outcome] = counts.get(outcome, 0) + 1
    summary = ", ".join(f"{count} {outcome}" for outcome, count in sorted(counts.items()))
    minutes = (time.monotonic() - started) / 60
    lines.append("")
    lines.append(f"{len(results)} mutants: {summary}; {minutes:.0f} minutes")
    report = "\n".join(lines)
    print()
    print(report)
    with open(os.path.join(run.work, "report.txt"), "w") as file:
        file.write(report + "\n")
    sys.exit(0 if all(outcome in ("killed", "equivalent") for _, outcome, _ in results) else 1)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit("mutate: interrupted; the copy's files are restored")
