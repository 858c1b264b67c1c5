"""Checks ./scripts/make-starter.sh: starters built from a folder and from an
archive run the application; bad sources get a clear message and a non-zero
status.

Usage: make_starter_test.py --platform native|windows --app-folder DIR --app-archive ZIP
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(REPO, "scripts", "make-starter.sh")
BANNER = "VORTAKEN-Cruncher decrunches while loading...\n"


def run_starter(platform, starter, temp):
    env = dict(os.environ, TMPDIR=temp, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    command = [starter]
    if platform == "windows":
        command = [shutil.which("wine64") or shutil.which("wine"), starter]
    done = subprocess.run(command, env=env, capture_output=True, timeout=300, cwd=temp)
    return done.returncode, done.stdout.decode().replace("\r\n", "\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--platform", choices=["native", "windows"], required=True)
    parser.add_argument("--app-folder", required=True)
    parser.add_argument("--app-archive", required=True)
    options = parser.parse_args()
    windows = ["--windows"] if options.platform == "windows" else []
    suffix = ".exe" if windows else ""
    passed = failed = 0

    def check(name, ok, detail=""):
        nonlocal passed, failed
        if ok:
            passed += 1
            print("ok   " + name)
        else:
            failed += 1
            print("FAIL " + name + (": " + detail if detail else ""))

    work = tempfile.mkdtemp(prefix="make-starter-test-")
    try:
        for label, source in (("folder", options.app_folder), ("archive", options.app_archive)):
            output = os.path.join(work, "from-" + label + suffix)
            done = subprocess.run([SCRIPT, source, "-o", output] + windows,
                                  capture_output=True, text=True, timeout=900)
            check("builds from an application %s" % label, done.returncode == 0 and
                  os.path.isfile(output), done.stderr[-2000:])
            if done.returncode != 0:
                continue
            status, out = run_starter(options.platform, output, work)
            check("the starter from the %s runs the application" % label,
                  status == 0 and out.startswith(BANNER) and
                  "argument: quillorbite" in out and "quillorbite demo: done" in out,
                  "status %d, output %r" % (status, out[:400]))
            check("and cleans up after it (%s)" % label,
                  not os.path.exists(os.path.join(work, "quillorbite")))

        bad_sources = [
            (os.path.join(work, "missing"), "no such file or folder"),
            (os.path.join(work, "empty-folder"), "has no quillorbite/Binaries/Win64"),
        ]
        os.makedirs(os.path.join(work, "empty-folder"))
        for source, message in bad_sources:
            output = os.path.join(work, "never" + suffix)
            done = subprocess.run([SCRIPT, source, "-o", output] + windows,
                                  capture_output=True, text=True, timeout=300)
            check("refuses %s" % os.path.basename(source),
                  done.returncode != 0 and message in done.stderr and not os.path.exists(output),
                  "status %d, stderr %r" % (done.returncode, done.stderr))
        done = subprocess.run([SCRIPT], capture_output=True, text=True)
        check("usage without arguments", done.returncode == 2 and "SOURCE" in done.stderr,
              done.stderr)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
