#!/usr/bin/env python3
"""Counts what one ctest run really did, googletest cases one by one.

    count_results.py BUILD_DIR JUNIT_FILE GTEST_DIR

JUNIT_FILE is ctest's --output-junit report; GTEST_DIR holds the XML reports
that the googletest programs wrote (GTEST_OUTPUT=xml:GTEST_DIR/). A program
with a report counts its cases: passed, failed, skipped (GTEST_SKIP, disabled,
or all of them when the whole program reported a skip); any other test counts
once. A test that failed outside its cases (a crash, a leak report) counts as
one failure more. Prints one line per skipped or failed test with its cause,
then "PASSED FAILED SKIPPED".
"""
import json
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET


def programs_by_test(build_dir):
    """Each test's name -> the base names of the files on its command line."""
    listing = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build_dir,
                             capture_output=True, text=True, check=True).stdout
    return {t["name"]: [os.path.basename(a) for a in t.get("command", [])]
            for t in json.loads(listing).get("tests", [])}


def gtest_cases(path):
    """(passed, failed, skipped, first skip message) of one googletest report."""
    passed = failed = skipped = 0
    message = None
    for case in ET.parse(path).getroot().iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed += 1
        elif case.get("result") in ("skipped", "suppressed") or case.find("skipped") is not None:
            skipped += 1
            note = case.find("skipped")
            if message is None:
                text = note.get("message", "") if note is not None else "disabled"
                message = f"{case.get('classname')}.{case.get('name')}: {' '.join(text.split())}"
        else:
            passed += 1
    return passed, failed, skipped, message


def first_skip_line(output):
    """The line of a skipped test's output that gives the cause."""
    for line in output.splitlines():
        match = re.match(r"\s*skip(?:ping|ped)?(?: all tests)?:?\s*(.*)", line, re.IGNORECASE)
        if match:
            return match.group(1) or line.strip()
    lines = [l.strip() for l in output.splitlines() if l.strip()]
    return lines[-1] if lines else "no cause given"


def main():
    build_dir, junit, gtest_dir = sys.argv[1:4]
    commands = programs_by_test(build_dir)
    passed = failed = skipped = 0
    for test in ET.parse(junit).getroot().iter("testcase"):
        name, status = test.get("name"), test.get("status")
        if test.find("skipped") is not None:  # ctest: status "notrun" with a <skipped> note
            status = "skipped"
        output = test.findtext("system-out") or ""
        report = next((os.path.join(gtest_dir, p + ".xml") for p in commands.get(name, [])
                       if os.path.isfile(os.path.join(gtest_dir, p + ".xml"))), None)
        cause = None
        if report:
            p, f, s, cause = gtest_cases(report)
            if status == "skipped":  # the whole program skipped: none of its cases ran
                p, f, s, cause = 0, 0, p + f + s, None
            elif status != "run" and f == 0:
                f = 1
        else:
            p, f, s = (int(status == "run"), int(status not in ("run", "skipped")), int(status == "skipped"))
        passed, failed, skipped = passed + p, failed + f, skipped + s
        if s:
            cases = f" ({s} cases)" if report else ""
            print(f"  skipped: {name}{cases}: {cause or first_skip_line(output)}")
        if f:
            print(f"  failed: {name}")
    print(passed, failed, skipped)


if __name__ == "__main__":
    main()
