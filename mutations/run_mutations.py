#!/usr/bin/env python3
"""Applies each listed fault to a copy of the tree, builds, runs the tests
that should catch it, restores it, and prints which faults survived.

Lists are mutations/*.txt: blocks separated by blank lines, each with
  name:    what the fault is
  file:    path from the top of the tree
  find:    text that occurs exactly once in the file (\\n for a line break)
  replace: what it becomes
  tests:   the test executables that must fail, separated by blanks
Usage: run_mutations.py [BUILD_DIR] [NAME_FILTER]
MUTATE_TESTS overrides every block's tests (to measure another suite)."""

import os
import re
import shutil
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TEST_SECONDS = 300


def read_mutations():
    mutations = []
    folder = os.path.join(TOP, "mutations")
    for list_name in sorted(f for f in os.listdir(folder) if f.endswith(".txt")):
        with open(os.path.join(folder, list_name), encoding="utf-8") as listing:
            blocks = re.split(r"\n\s*\n", listing.read())
        for block in blocks:
            fields = {}
            for line in block.splitlines():
                if line.startswith("#") or not line.strip():
                    continue
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip().replace("\\n", "\n")
            if not fields:
                continue
            missing = {"name", "file", "find", "replace", "tests"} - fields.keys()
            if missing:
                sys.exit("%s: a block lacks %s: %s" % (list_name, ", ".join(sorted(missing)), block))
            fields["list"] = list_name
            mutations.append(fields)
    return mutations


def mirror_tree(source):
    """Copies the work tree's files (committed or not, never ignored ones),
    touching only what changed so that builds stay incremental."""
    listed = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"], cwd=TOP,
                            check=True, capture_output=True).stdout.decode().split("\0")
    wanted = {path for path in listed if path and os.path.isfile(os.path.join(TOP, path))}
    for path in wanted:
        origin, copy = os.path.join(TOP, path), os.path.join(source, path)
        with open(origin, "rb") as f:
            content = f.read()
        if os.path.exists(copy):
            with open(copy, "rb") as f:
                if f.read() == content:
                    continue
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        # A fresh time stamp: a copy left mutated by an interrupted run must be rebuilt.
        shutil.copyfile(origin, copy)
    for root, _, files in os.walk(source):
        for name in files:
            path = os.path.relpath(os.path.join(root, name), source)
            if path not in wanted:
                os.remove(os.path.join(root, name))


def build_and_test(build, tests):
    built = subprocess.run(["cmake", "--build", build, "-j", str(os.cpu_count()), "--target", *tests],
                           capture_output=True)
    if built.returncode != 0:
        return "does not build", built.stdout.decode(errors="replace")[-3000:]
    pattern = "^(%s)$" % "|".join(re.escape(t) for t in tests)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    ran = subprocess.run(["ctest", "-R", pattern, "-j", str(os.cpu_count()), "--timeout", str(TEST_SECONDS)],
                         cwd=build, env=env, capture_output=True)
    output = ran.stdout.decode(errors="replace")
    if "No tests were found" in output:
        return "no such test", output
    return ("fails" if ran.returncode != 0 else "passes"), output


def main():
    work = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, "build-mutate"))
    name_filter = sys.argv[2] if len(sys.argv) > 2 else ""
    override = os.environ.get("MUTATE_TESTS", "").split()
    mutations = [m for m in read_mutations() if name_filter.lower() in m["name"].lower()]
    source, build = os.path.join(work, "src"), os.path.join(work, "build")
    os.makedirs(source, exist_ok=True)
    mirror_tree(source)
    # Configured each time: a test is declared only once its source exists.
    subprocess.run(["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, capture_output=True)

    tests_of = lambda m: override or m["tests"].split()
    every_test = sorted({t for m in mutations for t in tests_of(m)})
    started = time.monotonic()
    verdict, output = build_and_test(build, every_test)
    if verdict != "passes":
        sys.exit("The unmutated tree does not pass (%s):\n%s" % (verdict, output))

    survivors = []
    for number, mutation in enumerate(mutations, 1):
        path = os.path.join(source, mutation["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        if original.count(mutation["find"]) != 1:
            verdict = "find text occurs %d times" % original.count(mutation["find"])
        else:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(mutation["find"], mutation["replace"]))
            try:
                verdict, output = build_and_test(build, tests_of(mutation))
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
        caught = verdict == "fails"
        if not caught:
            survivors.append(mutation)
        print("%2d/%d %-16s %s  [%s: %s]" % (number, len(mutations), "caught" if caught else "SURVIVED (" + verdict + ")",
                                         mutation["name"], mutation["file"], " ".join(tests_of(mutation))), flush=True)

    minutes = (time.monotonic() - started) / 60
    print("\n%d of %d mutations caught in %.1f min." % (len(mutations) - len(survivors), len(mutations), minutes))
    for mutation in survivors:
        print("survived: %s (%s)" % (mutation["name"], mutation["list"]))
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
