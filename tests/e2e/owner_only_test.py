"""Runs the end-to-end runner from a folder only its owner may enter, as from
a clone in a home folder. The case that runs the starter as another user must
pass, or be skipped with a reason where it cannot run; a case that raises is a
failure that does not end the run.

Usage: owner_only_test.py --bin-dir DIR   (the native e2e starters)
"""

import argparse
import os
import shutil
import stat
import subprocess
import sys
import tempfile

NOBODY_CASE = "a temporary directory the user cannot write to ends the run"
RAISING_CASE = "no payload: status -1, silent, nothing on disk"


def open_to_others(path):
    folder = os.path.abspath(path)
    while True:
        if not os.stat(folder).st_mode & stat.S_IXOTH:
            return False
        parent = os.path.dirname(folder)
        if parent == folder:
            return True
        folder = parent


def run_runner(clone, case_names, temp):
    command = [sys.executable, os.path.join(clone, "tests", "e2e", "run_e2e.py"),
               "--platform", "native", "--bin-dir", os.path.join(clone, "bin")]
    for name in case_names:
        command += ["--case", name]
    env = dict(os.environ)
    if temp:
        env["TMPDIR"] = temp
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, env=env)
    return done.returncode, done.stdout, done.stderr


def case_result(out, name):
    """The verdict word printed for case `name` and the lines under it."""
    lines = out.splitlines()
    for i, line in enumerate(lines):
        verdict, _, rest = line.partition(" native: ")
        if rest == name:
            details = []
            for detail in lines[i + 1:]:
                if not detail.startswith("    "):
                    break
                details.append(detail.strip())
            return verdict.strip(), details
    return None, []


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    options = parser.parse_args()
    problems = []
    base = tempfile.mkdtemp(prefix="starter-e2e-owner-only-")
    try:
        os.chmod(base, 0o700)
        clone = os.path.join(base, "clone")
        os.makedirs(os.path.join(clone, "tests", "e2e"))
        os.makedirs(os.path.join(clone, "bin"))
        here = os.path.dirname(os.path.abspath(__file__))
        for name in ("run_e2e.py", "pe_resources.py"):
            shutil.copy(os.path.join(here, name), os.path.join(clone, "tests", "e2e"))
        # Without starter-no-payload, so that the no-payload case raises.
        for name in ("starter-application", "e2e_probe"):
            shutil.copy(os.path.join(options.bin_dir, name), os.path.join(clone, "bin"))

        # The cases' own folders in the system's temporary directory.
        status, out, err = run_runner(clone, ["no payload", "cannot write to"], None)
        verdict, details = case_result(out, RAISING_CASE)
        if verdict != "FAIL" or not any("FileNotFoundError" in d for d in details):
            problems.append("the raising case: %r %r" % (verdict, details))
        verdict, details = case_result(out, NOBODY_CASE)
        can_run = os.geteuid() == 0 and open_to_others(tempfile.gettempdir())
        if can_run and verdict != "ok":
            problems.append("run as another user from an owner-only clone: %r %r"
                            % (verdict, details))
        if not can_run and (verdict != "skip" or not details):
            problems.append("not runnable here, but not skipped with a reason: %r %r"
                            % (verdict, details))
        if status != 1 or err:
            problems.append("runner status %d (expected 1), stderr %r" % (status, err))
        if not out.rstrip().endswith(" failed, %d skipped" % (0 if can_run else 1)):
            problems.append("no summary at the end: %r" % out[-200:])

        # The cases' own folders inside the owner-only folder: the other user
        # cannot reach them, so the case is skipped and says where it is stuck.
        temp = os.path.join(base, "temp")
        os.makedirs(temp)
        status, out, err = run_runner(clone, ["cannot write to"], temp)
        verdict, details = case_result(out, NOBODY_CASE)
        if verdict != "skip" or not details:
            problems.append("unreachable case folder: %r %r" % (verdict, details))
        if os.geteuid() == 0 and not any(base in d for d in details):
            problems.append("the reason does not name %s: %r" % (base, details))
        if status != 0 or err:
            problems.append("runner status %d (expected 0), stderr %r" % (status, err))
    finally:
        shutil.rmtree(base, ignore_errors=True)
    for problem in problems:
        print("FAIL " + problem)
    if not problems:
        print("ok   the runner from an owner-only folder")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
