#!/usr/bin/env python3
"""Line and branch coverage of src/, per folder, from a merged clang profile.

    coverage_report.py --llvm-cov llvm-cov-14 --profdata merged.profdata \
        --build build/coverage --source . [--html DIR] [--uncovered src/oft2 ...]

Every instrumented program and shared library at the top of the build folder is
passed to llvm-cov, so code that runs in a test program, in libzykim.so loaded by a
host, or in a child process (zykproxy, oftpeer, the life-cycle host) is counted once
per source line. Prints a table per folder of src/ and, with --uncovered, the lines of
those folders that no run reached (grouped into ranges).
"""
import argparse
import json
import os
import re
import subprocess
import sys

FOLDERS = ["src/os", "src/plugin", "src/oft2", "src/proxy", "src/dispatch", "src/imconfig"]


def instrumented_objects(build):
    objects = []
    for name in sorted(os.listdir(build)):
        path = os.path.join(build, name)
        if not os.path.isfile(path) or not (os.access(path, os.X_OK) or name.endswith(".so")):
            continue
        with open(path, "rb") as f:
            data = f.read()
        if data[:4] == b"\x7fELF" and b"__llvm_covmap" in data:
            objects.append(path)
    return objects


def llvm_cov(cmd, capture=True):
    """Runs llvm-cov; its warning about functions that some programs define but never
    call (header functions: their counts come from the programs that do call them) is
    dropped, everything else it prints on stderr is passed on."""
    r = subprocess.run(cmd, stdout=subprocess.PIPE if capture else None,
                       stderr=subprocess.PIPE, text=True)
    for line in r.stderr.splitlines():
        plain = re.sub(r"\x1b\[[0-9;]*m", "", line).strip()
        if plain and "functions have mismatched data" not in plain:
            print(plain, file=sys.stderr)
    if r.returncode != 0:
        sys.exit("coverage_report: %s failed" % " ".join(cmd[:2]))
    return r.stdout


def object_args(objects):
    args = [objects[0]]
    for o in objects[1:]:
        args += ["-object", o]
    return args


def folder_of(path, source):
    rel = os.path.relpath(path, source)
    # The fuzz builds' in-memory held files are test equipment, never in the library.
    if rel.startswith("src/os/memory/"):
        return None
    for folder in FOLDERS:
        if rel.startswith(folder + "/"):
            return folder
    return None


def pct(covered, count):
    return "-" if count == 0 else "%.1f %%" % (100.0 * covered / count)


def ranges(numbers):
    out, start, prev = [], None, None
    for n in numbers:
        if start is None:
            start = prev = n
        elif n == prev + 1:
            prev = n
        else:
            out.append((start, prev))
            start = prev = n
    if start is not None:
        out.append((start, prev))
    return ", ".join(str(a) if a == b else "%d-%d" % (a, b) for a, b in out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--llvm-cov", default="llvm-cov-14")
    ap.add_argument("--profdata", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--html")
    ap.add_argument("--uncovered", nargs="*", default=[])
    a = ap.parse_args()

    source = os.path.abspath(a.source)
    src = os.path.join(source, "src")
    objects = instrumented_objects(a.build)
    if not objects:
        sys.exit("coverage_report: no instrumented program in " + a.build)
    common = ["-instr-profile", a.profdata] + object_args(objects)

    summary = json.loads(llvm_cov([a.llvm_cov, "export", "-summary-only"] + common + [src]))
    totals = {f: [0, 0, 0, 0] for f in FOLDERS}  # lines covered, lines, branches covered, branches
    for entry in summary["data"][0]["files"]:
        folder = folder_of(entry["filename"], source)
        if folder is None:
            continue
        s = entry["summary"]
        t = totals[folder]
        t[0] += s["lines"]["covered"]
        t[1] += s["lines"]["count"]
        t[2] += s["branches"]["covered"]
        t[3] += s["branches"]["count"]

    print("| Folder | Lines | Line coverage | Branches | Branch coverage |")
    print("|---|---:|---:|---:|---:|")
    all_t = [0, 0, 0, 0]
    for folder in FOLDERS:
        t = totals[folder]
        all_t = [x + y for x, y in zip(all_t, t)]
        print("| %s | %d / %d | %s | %d / %d | %s |" % (
            folder, t[0], t[1], pct(t[0], t[1]), t[2], t[3], pct(t[2], t[3])))
    print("| all of src/ | %d / %d | %s | %d / %d | %s |" % (
        all_t[0], all_t[1], pct(all_t[0], all_t[1]), all_t[2], all_t[3], pct(all_t[2], all_t[3])))

    if a.html:
        llvm_cov([a.llvm_cov, "show", "-format=html", "-output-dir", a.html,
                  "-show-branches=count", "-show-line-counts-or-regions"] + common + [src])

    if a.uncovered:
        # llvm-cov show prints "line|count|text"; a line with count 0 was never run.
        folders = [os.path.join(source, f) for f in a.uncovered]
        text = llvm_cov([a.llvm_cov, "show", "-format=text", "-show-line-counts"]
                        + common + folders)
        current, missed = None, {}
        line_re = re.compile(r"^\s*(\d+)\|\s*([0-9.kMGE]*)\|")
        for line in text.splitlines():
            if line.startswith("/") and line.endswith(":"):
                current = os.path.relpath(line[:-1], source)
                continue
            m = line_re.match(line)
            if m and current and m.group(2) == "0":
                missed.setdefault(current, []).append(int(m.group(1)))
        print()
        print("Lines not reached:")
        for path in sorted(missed):
            print("  %s: %s" % (path, ranges(sorted(set(missed[path])))))


if __name__ == "__main__":
    main()
