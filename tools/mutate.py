#!/usr/bin/env python3
"""mutate.py [BUILD_DIR]: the mutation run of `make mutate`.

Puts each fault of tests/mutation/mutants.txt into the code, one at a time, rebuilds, and runs the
suites that cover the fault's file; a fault that makes one of them fail, or run past its time
bound, is caught. Reports per area (the library, the platform, the service) how many were caught,
and lists those that survived. The source is restored after every fault, whatever happened.
"""
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-mutate"))
BUILD_SECONDS = 900
SUITE_SECONDS = 400

# The suites that judge the files of each folder, fastest first.
SUITES = [
    ("src/", "records_tests|flow_tests|listener_tests|hardening_tests|crash_tests"),
    ("platform/atmodem/", "atmodem_tests|service_tests"),
    ("platform/dmnative/", "standin_tests|service_tests|crash_tests"),
    ("service/", "service_tests|crash_tests"),
]
AREAS = ["library", "platform", "service"]


class Mutant:
    def __init__(self, line, header):
        match = re.match(r"mutant (\w+) (\S+): (.*)$", header)
        if match is None:
            sys.exit(f"mutants.txt:{line}: expected 'mutant AREA FILE: OPERATOR: what'")
        self.line = line
        self.area, self.file, self.what = match.groups()
        self.before = self.after = self.equivalent = None

    def title(self):
        return f"{self.file}: {self.what}"


def mutants():
    found = []
    with open(os.path.join(ROOT, "tests/mutation/mutants.txt"), encoding="utf-8") as listing:
        for number, text in enumerate(listing, 1):
            text = text.rstrip("\n")
            if text.startswith("mutant "):
                found.append(Mutant(number, text))
            elif text[:2] in ("- ", "+ ", "= ") and found:
                key = {"- ": "before", "+ ": "after", "= ": "equivalent"}[text[:2]]
                setattr(found[-1], key, text[2:])
    for m in found:
        source = open(os.path.join(ROOT, m.file), encoding="utf-8").read()
        if m.area not in AREAS or m.before is None or m.after is None or source.count(m.before + "\n") != 1:
            sys.exit(f"mutants.txt:{m.line}: {m.title()}: its line is not in {m.file} once, or it is incomplete")
    return found


def run(command, seconds):
    try:
        return subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=seconds).returncode
    except subprocess.TimeoutExpired:
        return None


def build():
    return run(["cmake", "--build", BUILD, "-j", "2"], BUILD_SECONDS) == 0


def suites(path):
    regex = next(r for folder, r in SUITES if path.startswith(folder))
    return run(["ctest", "--test-dir", BUILD, "-R", f"^({regex})$", "--stop-on-failure", "--timeout", str(SUITE_SECONDS)],
               2 * SUITE_SECONDS)


def main():
    faults = mutants()
    started = time.time()
    if run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DDMREG_LOCAL_PATHS=ON"], 300) != 0 or not build():
        sys.exit("mutate: the code as it stands does not build")
    for folder, _ in SUITES:
        if suites(folder) != 0:
            sys.exit(f"mutate: the suites of {folder} fail without a fault: mend them first")
    results = {area: {"caught": [], "survived": [], "equivalent": [], "unbuilt": []} for area in AREAS}
    for n, m in enumerate(faults, 1):
        if m.equivalent is not None:
            results[m.area]["equivalent"].append(m)
            continue
        path = os.path.join(ROOT, m.file)
        original = open(path, encoding="utf-8").read()
        try:
            with open(path, "w", encoding="utf-8") as source:
                source.write(original.replace(m.before + "\n", m.after + "\n"))
            verdict = "unbuilt" if not build() else "survived" if suites(m.file) == 0 else "caught"
        finally:
            with open(path, "w", encoding="utf-8") as source:
                source.write(original)
        results[m.area][verdict].append(m)
        print(f"mutate: {n} of {len(faults)}, {verdict}: {m.title()}", flush=True)
    build()
    minutes = (time.time() - started) / 60
    lines = [f"mutate: {len(faults)} faults in {minutes:.0f} minutes"]
    for area in AREAS:
        r = results[area]
        judged = len(r["caught"]) + len(r["survived"])
        share = 100.0 * len(r["caught"]) / judged if judged else 100.0
        lines.append(f"  {area}: {len(r['caught'])} of {judged} caught ({share:.0f} %)"
                     f"{', %d equivalent' % len(r['equivalent']) if r['equivalent'] else ''}"
                     f"{', %d did not build' % len(r['unbuilt']) if r['unbuilt'] else ''}")
        lines += [f"    survived: {m.title()}" for m in r["survived"]]
        lines += [f"    did not build: {m.title()}" for m in r["unbuilt"]]
    report = "\n".join(lines)
    print(report)
    with open(os.path.join(BUILD, "mutation-report.txt"), "w", encoding="utf-8") as out:
        out.write(report + "\n")
    low = [a for a in AREAS if results[a]["survived"] and
           len(results[a]["caught"]) < 0.9 * (len(results[a]["caught"]) + len(results[a]["survived"]))]
    return 1 if low or any(results[a]["unbuilt"] for a in AREAS) else 0


if __name__ == "__main__":
    sys.exit(main())
