#!/usr/bin/env python3
"""Checks this tree as a subproject: another project adds it with
add_subdirectory() and makes a starter for its own application folder with
starter_add_application(). The tree's tests, demo and installation stay off,
the outer project's build type is its own, and the starter runs the
application named by a '/'-separated EXE_RELATIVE_PATH. An unusable APP_NAME
or EXE_RELATIVE_PATH stops the configuration with a clear message.

Usage: subproject_test.py --repo DIR
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checklist import Checklist  # noqa: E402

BANNER = "VORTAKEN-Cruncher decrunches while loading...\n"
APP_NAME = "subproject-test-app"

PROJECT = """cmake_minimum_required(VERSION 3.24)
project(outer LANGUAGES C CXX)
add_subdirectory("{repo}" starter)
starter_add_application(outer_starter SOURCE "{app}" APP_NAME "{app_name}"
                        EXE_RELATIVE_PATH "{exe}")
{extra}"""

# Configured before the packer is built, whose check then runs at build time.
UNCHECKED = """starter_add_application(unchecked_starter SOURCE "{app}" APP_NAME "CON"
                        EXE_RELATIVE_PATH "My App/bin/run.sh")
"""

PROGRAM = """#!/bin/sh
echo "outer application, argument: $1"
exit 7
"""


def cache_value(build, name):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            match = re.match(re.escape(name) + r":[A-Z]+=(.*)$", line.rstrip("\n"))
            if match:
                return match.group(1)
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repo", required=True)
    options = parser.parse_args()
    checklist = Checklist()
    check = checklist.check

    work = tempfile.mkdtemp(prefix="starter-subproject-test-")
    try:
        app = os.path.join(work, "app")
        os.makedirs(os.path.join(app, "My App", "bin"))
        with open(os.path.join(app, "My App", "bin", "run.sh"), "w") as f:
            f.write(PROGRAM)
        with open(os.path.join(app, "data.txt"), "w") as f:
            f.write("data\n")
        project = os.path.join(work, "project")
        os.makedirs(project)
        listfile = os.path.join(project, "CMakeLists.txt")

        def write_project(app_name, exe, extra=""):
            with open(listfile, "w") as f:
                f.write(PROJECT.format(repo=os.path.abspath(options.repo), app=app,
                                       app_name=app_name, exe=exe,
                                       extra=extra.format(app=app)))

        build = os.path.join(work, "build")
        write_project(APP_NAME, "My App/bin/run.sh", UNCHECKED)
        done = subprocess.run(["cmake", "-S", project, "-B", build, "-G", "Ninja"],
                              capture_output=True, text=True)
        if not check("a project with add_subdirectory() of this tree configures",
                     done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]):
            return 1
        for option in ("STARTER_BUILD_TESTS", "STARTER_BUILD_DEMO", "STARTER_INSTALL"):
            value = cache_value(build, option)
            check("%s is off in a subproject" % option, value == "OFF", repr(value))
        check("the outer project's build type is left as it was",
              cache_value(build, "CMAKE_BUILD_TYPE") == "", repr(cache_value(build, "CMAKE_BUILD_TYPE")))
        targets = subprocess.run(["ninja", "-C", build, "-t", "targets", "all"],
                                 capture_output=True, text=True).stdout
        check("no unit tests, demo or CPack in the build",
              "unit_tests" not in targets and "starter_demo" not in targets
              and not os.path.exists(os.path.join(build, "CPackConfig.cmake")))

        done = subprocess.run(["cmake", "--build", build, "--target", "outer_starter"],
                              capture_output=True, text=True)
        starter = os.path.join(build, "outer_starter")
        if check("builds the starter", done.returncode == 0 and os.path.isfile(starter),
                 done.stdout[-3000:] + done.stderr[-3000:]):
            temp = os.path.join(work, "temp")
            os.makedirs(temp)
            run = subprocess.run([starter], env=dict(os.environ, TMPDIR=temp),
                                 capture_output=True, text=True, timeout=120, cwd=work)
            check("which runs the application with its name and cleans up",
                  run.returncode == 0 and run.stdout.startswith(BANNER)
                  and "outer application, argument: %s\n" % APP_NAME in run.stdout
                  and os.listdir(temp) == [],
                  "status %d, output %r, left %r" % (run.returncode, run.stdout, os.listdir(temp)))

        done = subprocess.run(["cmake", "--build", build, "--target", "unchecked_starter"],
                              capture_output=True, text=True)
        output = " ".join((done.stdout + done.stderr).split())
        check("a name refused by the packer's check stops the build before the starter",
              done.returncode != 0 and "pack: --app-name 'CON' is a Windows device name" in output
              and not os.path.exists(os.path.join(build, "unchecked_starter")), output[-1500:])

        refused = [
            ("CON", "My App/bin/run.sh", "APP_NAME 'CON' is a Windows device name"),
            ("..", "My App/bin/run.sh", "APP_NAME '..' is '.' or '..'"),
            (APP_NAME, "\\\\My App\\\\bin\\\\run.sh", "holds a backslash (use '/')"),
            (APP_NAME, "My App/../run.sh", "has an empty, '.' or '..' component"),
        ]
        for app_name, exe, message in refused:
            write_project(app_name, exe)
            done = subprocess.run(["cmake", build], capture_output=True, text=True)
            output = " ".join((done.stdout + done.stderr).split())
            check("refuses APP_NAME %r, EXE_RELATIVE_PATH %r at configure time" % (app_name, exe),
                  done.returncode != 0 and "starter_add_application(outer_starter): " in output
                  and message in output, output[-1500:])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return checklist.finish()


if __name__ == "__main__":
    sys.exit(main())
