#!/usr/bin/python3
"""The suite's strength, measured: each fault of faults.py is planted in a copy of the source, one
at a time; the copy is rebuilt incrementally and the suite run, fastest tests first, until one
fails. Prints each fault's verdict (caught by which test, or survived) and caught / total. With
--every-test the whole suite runs for each fault, and each test case that failed is listed, so
that a case no fault needs shows. Needs root, as the suite does.

  bench/mutation/mutation_run.py [--build DIR] [--only ID ...] [--shard K/N] [--every-test]
"""
import argparse
import json
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

from faults import EQUIVALENT, FAULTS

REPOSITORY = Path(__file__).resolve().parents[2]
# Fastest first; the package test needs the Debian packages and is left out.
ORDER = ["table_", "command_line", "integration_relay", "integration_serving", "integration_hostile_link",
         "integration_link_follow", "integration_identity"]


def run(command, log, **options):
    """Whether the command succeeded; its output goes to the log, and is returned as text."""
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **options)
    with open(log, "ab") as out:
        out.write(result.stdout)
    return result.returncode == 0, result.stdout.decode(errors="replace")


def copy_source(source):
    """The working tree's tracked and new files, as they are now."""
    files = subprocess.run(["git", "-C", REPOSITORY, "ls-files", "-co", "--exclude-standard", "-z"],
                           capture_output=True, check=True).stdout.split(b"\0")
    shutil.rmtree(source, ignore_errors=True)
    for name in filter(None, files):
        target = source / name.decode()
        if (REPOSITORY / name.decode()).is_file():
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(REPOSITORY / name.decode(), target)


def tests_in_order(build):
    listed = json.loads(subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, capture_output=True,
                                       check=True).stdout)
    names = [test["name"] for test in listed["tests"]]
    return sorted(names, key=lambda name: next(i for i, prefix in enumerate(ORDER + [""]) if name.startswith(prefix)))


def failures(build, tests, log, every_test):
    """The tests that fail, each with the cases that failed in it (unittest's, or a table's rows); only
    the first failing test unless every_test."""
    failed = {}
    for name in tests:
        passed, output = run(["ctest", "--timeout", "300", "--output-on-failure", "-R", f"^{name}$"], log, cwd=build)
        if not passed:
            cases = re.findall(r"(?m)^(?:FAIL|ERROR): (\w+)|^row failed: (.*)$", output)
            failed[name] = sorted({case or row for case, row in cases})
            if not every_test:
                break
    return failed


def plant(source, fault):
    _, file, original, faulty, _ = fault
    path = source / file
    text = path.read_text()
    if text.count(original) != 1:
        raise SystemExit(f"{fault[0]}: the text occurs {text.count(original)} times in {file}")
    path.write_text(text.replace(original, faulty))
    return lambda: path.write_text(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(REPOSITORY / "build-mutation"), type=Path)
    parser.add_argument("--only", nargs="*")
    parser.add_argument("--shard", default="1/1")
    parser.add_argument("--every-test", action="store_true")
    options = parser.parse_args()
    shard, shards = map(int, options.shard.split("/"))
    faults = [f for i, f in enumerate(FAULTS) if i % shards == shard - 1 and (not options.only or f[0] in options.only)]
    source, build, log = options.build / "source", options.build / "build", options.build / "mutation.log"
    options.build.mkdir(parents=True, exist_ok=True)
    copy_source(source)
    for fault in faults:
        plant(source, fault)()
    configure = ["cmake", "-S", source, "-B", build, f"-DTMSERVER_INSTALL_DIR={build}/stage/opt/drivenook/",
                 f"-DCMAKE_INSTALL_PREFIX={build}/stage/usr", "-DTMSERVER_PACKAGE_DIR="]
    if not (run(configure, log)[0] and run(["cmake", "--build", build, "-j2"], log)[0]
            and run(["cmake", "--install", build], log)[0]):
        raise SystemExit(f"the unfaulted copy does not build: {log}")
    tests = tests_in_order(build)
    started = time.monotonic()
    if failed := failures(build, tests, log, False):
        raise SystemExit(f"the unfaulted suite fails ({failed}): {log}")
    print(f"suite without faults: {len(tests)} tests pass in {time.monotonic() - started:.0f} s", flush=True)

    caught, unbuilt, results = 0, 0, []
    for fault in faults:
        started, restore = time.monotonic(), plant(source, fault)
        try:
            built = run(["cmake", "--build", build, "-j2"], log)[0]
            failed = {"the build": []} if not built else failures(build, tests, log, options.every_test)
        finally:
            restore()
        verdict = next(iter(failed), None)
        # A fault that does not build says nothing of the suite: its text needs mending.
        caught += verdict not in (None, "the build")
        unbuilt += verdict == "the build"
        equivalent = EQUIVALENT.get(fault[0]) if verdict is None else None
        shown = verdict or (f"equivalent: {equivalent}" if equivalent else "SURVIVED")
        results.append({"id": fault[0], "file": fault[1], "what": fault[4], "caught by": failed,
                        "equivalent": equivalent})
        print(f"{fault[0]:32} {fault[1]:32} {shown}  ({time.monotonic() - started:.0f} s)", flush=True)
        if options.every_test and failed:
            print("    " + "; ".join(f"{test}: {', '.join(cases)}" for test, cases in failed.items()), flush=True)
    (options.build / f"results-{shard}.json").write_text(json.dumps(results, indent=1))
    equivalents = sum(r["equivalent"] is not None for r in results)
    print(f"caught {caught} of {len(faults)} ({100 * caught / max(len(faults), 1):.0f} %); "
          f"{equivalents} survivors equivalent; {len(faults) - caught - equivalents - unbuilt} survived; "
          f"{unbuilt} did not build")


if __name__ == "__main__":
    main()
