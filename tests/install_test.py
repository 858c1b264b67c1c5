#!/usr/bin/env python3
"""Checks `cmake --install` of a host build and starter_from_stub() as another
project uses it from the install prefix: that project enables no language at
all, so no compiler takes part in making its starter.

Usage: install_test.py --build-dir DIR --archive ZIP
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checklist import Checklist  # noqa: E402

BANNER = "VORTAKEN-Cruncher decrunches while loading...\n"
INSTALLED = ["bin/pack", "share/starter/starter-stub", "share/starter/cmake/StarterFromStub.cmake"]

PROJECT = """cmake_minimum_required(VERSION 3.24)
project(uses_starter NONE)
include("{prefix}/share/starter/cmake/StarterFromStub.cmake")
starter_from_stub(app_starter SOURCE "{archive}" OUTPUT app-starter)
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--archive", required=True)
    options = parser.parse_args()
    checklist = Checklist()
    check = checklist.check

    work = tempfile.mkdtemp(prefix="starter-install-test-")
    try:
        prefix = os.path.join(work, "prefix")
        done = subprocess.run(["cmake", "--install", options.build_dir, "--prefix", prefix],
                              capture_output=True, text=True)
        check("cmake --install succeeds", done.returncode == 0, done.stderr)
        for path in INSTALLED:
            check("installs " + path, os.path.isfile(os.path.join(prefix, path)))
        check("the installed packer and stub are executable",
              all(os.access(os.path.join(prefix, p), os.X_OK) for p in INSTALLED[:2]))

        project = os.path.join(work, "project")
        os.makedirs(project)
        with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
            f.write(PROJECT.format(prefix=prefix, archive=os.path.abspath(options.archive)))
        build = os.path.join(work, "project-build")
        done = subprocess.run(["cmake", "-S", project, "-B", build, "-G", "Ninja"],
                              capture_output=True, text=True)
        if check("a project without languages configures with starter_from_stub()",
                 done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]):
            done = subprocess.run(["cmake", "--build", build], capture_output=True, text=True)
            starter = os.path.join(build, "app-starter")
            if check("and builds its starter", done.returncode == 0 and os.path.isfile(starter),
                     done.stdout[-2000:] + done.stderr[-2000:]):
                temp = os.path.join(work, "temp")
                os.makedirs(temp)
                run = subprocess.run([starter], env=dict(os.environ, TMPDIR=temp),
                                     capture_output=True, text=True, timeout=120, cwd=work)
                check("which runs the application and cleans up",
                      run.returncode == 0 and run.stdout.startswith(BANNER)
                      and os.listdir(temp) == [],
                      "status %d, output %r" % (run.returncode, run.stdout))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return checklist.finish()


if __name__ == "__main__":
    sys.exit(main())
