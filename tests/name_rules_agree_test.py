#!/usr/bin/env python3
"""The packer and cmake/StarterNames.cmake hold the same rule for application
names and executable paths: the one that make-starter.sh and the CMake
functions apply before anything is built, the other when a starter is made.
Both are asked about the same names; their verdicts (usable or refused) must
agree.

    name_rules_agree_test.py --pack PACK --repo REPO
"""
import argparse
import os
import subprocess
import sys

APP_NAMES = [
    "", ".", "..", "a/b", "a\\b", "CON", "con", "Nul.txt", "CON .log", "COM1", "com9",
    "LPT1", "lpt0.a.b", "CONIN$", "conout$", "COM\u00b9", "LPT\u00b3.x", "CONSOLE", "COM10",
    "LPT", "xCON", "a.CON", "my app", "a;b", "a[b]", "\u00e9", "-x", ".hidden", "name.",
    "name ", "a:b", "a*b", "a?b", "a|b", "a<b", "a>b", 'a"b', "a\tb", "a\x1fb",
    "quillorbite", "x" * 64, "x" * 65, "\u00e9" * 64, "\u00e9" * 65, "\U0001f600" * 32,
    "\U0001f600" * 32 + "x",
]
EXE_PATHS = [
    "", "/a.exe", "a.exe/", "a//b.exe", "a/./b.exe", "a/../b.exe", "a\\b.exe", "CON/a.exe",
    "a/NUL", "bin/app.exe", "Binaries/Win64/app-Win64-Shipping.exe", "dir./a.exe",
    "d i r/a b.exe", "\u00e9/\u00fc.exe", "a:/b.exe", "..", ".", "a/b/c/d/e.exe",
    "d/" * 127 + "x.exe", "d/" * 127 + "xy.exe", "\u20ac" * 259, "\u20ac" * 260,
]


def pack_accepts(pack, option, value):
    result = subprocess.run([pack, "check-names", option, value], capture_output=True)
    if result.returncode not in (0, 2):
        sys.exit(f"pack check-names {option} {value!r}: exit {result.returncode}")
    return result.returncode == 0


def cmake_accepts(repo, variable, value):
    env = dict(os.environ, **{variable: value})
    result = subprocess.run(["cmake", "-P", os.path.join(repo, "cmake", "StarterNames.cmake")],
                            capture_output=True, text=True, env=env)
    if result.returncode != 0:
        sys.exit(f"cmake -P StarterNames.cmake with {variable}={value!r}: exit {result.returncode}")
    return result.stderr.strip() == ""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    parser.add_argument("--repo", required=True)
    args = parser.parse_args()
    disagreements = []
    cases = [("--app-name", "STARTER_CHECK_APP_NAME", name) for name in APP_NAMES if name]
    cases += [("--exe", "STARTER_CHECK_EXE", path) for path in EXE_PATHS if path]
    refused = 0
    for option, variable, value in cases:
        by_pack = pack_accepts(args.pack, option, value)
        by_cmake = cmake_accepts(args.repo, variable, value)
        refused += not by_pack
        if by_pack != by_cmake:
            disagreements.append(f"{option} {value!r}: pack {'accepts' if by_pack else 'refuses'},"
                                 f" StarterNames.cmake {'accepts' if by_cmake else 'refuses'}")
    for line in disagreements:
        print("FAIL", line)
    # Both sides refusing or accepting everything would agree trivially.
    if refused == 0 or refused == len(cases):
        sys.exit(f"the cases do not tell the rules apart ({refused} of {len(cases)} refused)")
    print(f"{len(cases)} names, {refused} refused, {len(disagreements)} disagreements")
    return 1 if disagreements else 0


if __name__ == "__main__":
    sys.exit(main())
