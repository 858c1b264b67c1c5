"""Checks ./scripts/make-starter.sh: starters built from a folder and from an
archive run the application; each build packs the folder as it is then; the
command line, the names, the output's place and a ready archive are checked
before any work, with a clear message and the documented status; the
packer's level, warnings and errors come through.

Usage: make_starter_test.py --platform native|windows --app-folder DIR --app-archive ZIP
"""

import argparse
import os
import shutil
import stat
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checklist import Checklist  # noqa: E402
import zipfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(REPO, "scripts", "make-starter.sh")
BANNER = "VORTAKEN-Cruncher decrunches while loading...\n"
DEFAULT_EXE = "quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe"

# The files a copy of the script needs to run up to the point where it would
# build the packer and the stub.
SCRIPT_FILES = ["scripts/make-starter.sh", "scripts/common.sh", "cmake/StarterDefaults.cmake"]

# Stands in for install-deps.sh in that copy: it leaves a mark, so a run that
# got as far as building shows it.
FAKE_INSTALL_DEPS = """#!/bin/sh
touch "$(dirname "$0")/../install-deps-ran"
echo "install-deps.sh ran" >&2
exit 1
"""


# Wine through the build's emulator, which keeps one wine server warm.
WINE_RUN = os.path.join(REPO, "cmake", "wine-run.sh")


def run_starter(platform, starter, temp):
    env = dict(os.environ, TMPDIR=temp, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    command = [starter]
    if platform == "windows":
        command = [WINE_RUN, starter]
    done = subprocess.run(command, env=env, capture_output=True, timeout=300, cwd=temp)
    return done.returncode, done.stdout.decode(errors="replace").replace("\r\n", "\n")


def destination_of_run(platform, out, exe):
    """The folder the run unpacked into, as the demo application reports its
    own path, on this system's terms (Wine's temporary folder is its own)."""
    running = [line for line in out.splitlines() if "running as " in line]
    if not running:
        return None
    program = running[0].split("running as ", 1)[1]
    suffix = len(exe) + 1
    if len(program) <= suffix:
        return None
    destination = program[:-suffix]
    if platform == "windows":
        done = subprocess.run(["winepath", "-u", destination], capture_output=True, text=True,
                              env=dict(os.environ, WINEDEBUG="-all"))
        destination = done.stdout.strip().rstrip("/")
    return destination


def listed_files(out):
    """The unpacked tree's entries as the demo application lists them."""
    return [line.strip().split(" (")[0] for line in out.splitlines() if line.startswith("    ")]


def make_script_copy(root):
    """A copy of the script beside the files it reads, without any build."""
    for path in SCRIPT_FILES:
        os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
        shutil.copy2(os.path.join(REPO, path), os.path.join(root, path))
    fake = os.path.join(root, "scripts", "install-deps.sh")
    with open(fake, "w") as f:
        f.write(FAKE_INSTALL_DEPS)
    os.chmod(fake, os.stat(fake).st_mode | stat.S_IXUSR)
    return os.path.join(root, "scripts", "make-starter.sh")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--platform", choices=["native", "windows"], required=True)
    parser.add_argument("--app-folder", required=True)
    parser.add_argument("--app-archive", required=True)
    options = parser.parse_args()
    windows = ["--windows"] if options.platform == "windows" else []
    suffix = ".exe" if windows else ""
    checklist = Checklist()
    check = checklist.check

    def make(arguments, script=SCRIPT, timeout=900):
        return subprocess.run([script] + arguments, capture_output=True, text=True,
                              timeout=timeout)

    work = tempfile.mkdtemp(prefix="make-starter-test-")
    try:
        app = os.path.join(work, "app")
        shutil.copytree(options.app_folder, app, symlinks=True)
        archive = os.path.abspath(options.app_archive)

        # Starters from a folder and from an archive, run. Each has a name of
        # this test's own, so that no folder left by another run (Wine's
        # temporary folder is shared) is there before it.
        own_name = "make-starter-test-%d" % os.getpid()
        for label, source in (("folder", app), ("archive", archive)):
            output = os.path.join(work, "from-" + label + suffix)
            name = own_name + "-" + label
            done = make([source, "-o", output, "--app-name", name] + windows)
            check("builds from an application %s" % label, done.returncode == 0 and
                  os.path.isfile(output), done.stderr[-2000:])
            if done.returncode != 0:
                continue
            status, out = run_starter(options.platform, output, work)
            check("the starter from the %s runs the application" % label,
                  status == 0 and out.startswith(BANNER) and
                  "argument: %s\n" % name in out and "quillorbite demo: done" in out,
                  "status %d, output %r" % (status, out[:400]))
            destination = destination_of_run(options.platform, out, DEFAULT_EXE)
            check("in <temp>/%s, removed after it (%s)" % (name, label),
                  destination and os.path.basename(destination) == name and
                  not os.path.exists(destination), repr(destination))

        # Each build packs the folder as it is: a file removed between two
        # builds of the same starter is not in the second one. The name is
        # this test's own, so no folder left by another run is unpacked into.
        extra = os.path.join(app, "quillorbite", "extra-file.txt")
        with open(extra, "w") as f:
            f.write("only in the first build\n")
        output = os.path.join(work, "rebuilt" + suffix)
        listings = []
        for step in ("with", "without"):
            done = make([app, "-o", output, "--app-name", own_name] + windows)
            status, out = run_starter(options.platform, output, work) if done.returncode == 0 \
                else (None, "")
            listings.append(listed_files(out))
            check("a build %s the extra file succeeds and runs" % step,
                  done.returncode == 0 and status == 0 and "quillorbite demo: done" in out,
                  "%s / status %s, output %r" % (done.stderr[-1000:], status, out[:400]))
            if os.path.exists(extra):
                os.remove(extra)
        check("the first starter carries the extra file",
              "quillorbite/extra-file.txt" in listings[0], repr(listings[0]))
        check("the second, built after its removal, does not",
              listings[1] and "quillorbite/extra-file.txt" not in listings[1], repr(listings[1]))

        # --app-name changes the folder and the argument.
        output = os.path.join(work, "named" + suffix)
        done = make([app, "-o", output, "--app-name", "other-name"] + windows)
        status, out = run_starter(options.platform, output, work) if done.returncode == 0 \
            else (None, "")
        separator = "\\" if windows else "/"
        running = [line for line in out.splitlines() if "running as" in line]
        check("--app-name names the folder unpacked into and the argument",
              status == 0 and "argument: other-name\n" in out and running and
              (separator + "other-name" + separator + "quillorbite" + separator) in running[0],
              "%s / status %s, output %r" % (done.stderr[-1000:], status, out[:400]))

        # Checks made before any work: a copy of the script without builds,
        # whose install-deps.sh leaves a mark.
        copy_root = os.path.join(work, "script-copy")
        copy = make_script_copy(copy_root)

        def before_any_work(name, arguments, status, message, script=copy):
            output_files = [a for i, a in enumerate(arguments) if i and arguments[i - 1] == "-o"]
            existed = [os.path.exists(p) for p in output_files]
            done = make(arguments + windows, script=script, timeout=120)
            check(name, done.returncode == status and message in done.stderr and
                  "make-starter: " in done.stderr and
                  not os.path.exists(os.path.join(copy_root, "install-deps-ran")) and
                  not os.path.exists(os.path.join(copy_root, "build")) and
                  [os.path.exists(p) for p in output_files] == existed,
                  "status %d, stderr %r" % (done.returncode, done.stderr[-1500:]))
            return done

        # The names are the packer's to check (pack check-names), which the
        # script asks first of all once the packer is built, as it is here.
        never = os.path.join(work, "never" + suffix)
        for name, message in [("..", "'..' is '.' or '..'"), (".", "'.' is '.' or '..'"),
                              ("a/b", "'a/b' holds a '/' or '\\'"),
                              ("a\\b", "'a\\b' holds a '/' or '\\'"),
                              ("CON", "'CON' is a Windows device name"),
                              ("con.txt", "'con.txt' is a Windows device name"),
                              ("a:b", "'a:b' holds ':'"), ("app.", "'app.' ends in '.' or ' '"),
                              ("", "'' is empty")]:
            before_any_work("refuses --app-name %r" % name, [app, "-o", never, "--app-name", name],
                            2, "--app-name " + message, script=SCRIPT)
        for exe, message in [("/abs/app", "is not relative"),
                             ("quillorbite\\Binaries\\app.exe", "holds a backslash"),
                             ("quillorbite/../app.exe", "has an empty, '.' or '..' component"),
                             ("bin/CON", "has a component that is a Windows device name")]:
            before_any_work("refuses --exe %r" % exe, [app, "-o", never, "--exe", exe], 2,
                            "--exe '%s' %s" % (exe, message), script=SCRIPT)
        before_any_work("reports both names when both are refused",
                        [app, "-o", never, "--app-name", "NUL", "--exe", "a/../b"], 2,
                        "make-starter: --app-name 'NUL' is a Windows device name\n"
                        "make-starter: --exe 'a/../b' has an empty, '.' or '..' component\n",
                        script=SCRIPT)

        before_any_work("refuses -o in a missing folder",
                        [app, "-o", os.path.join(work, "missing", "starter")], 1,
                        "no such folder for the starter")
        before_any_work("refuses -o inside the application folder",
                        [app, "-o", os.path.join(app, "starter" + suffix)], 2,
                        "lies inside the application folder")
        link = os.path.join(work, "link-to-app")
        os.symlink(app, link)
        before_any_work("refuses -o inside the folder reached through a link",
                        [app, "-o", os.path.join(link, "quillorbite", "starter" + suffix)], 2,
                        "lies inside the application folder")
        archive_copy = os.path.join(work, "payload.zip")
        shutil.copy2(archive, archive_copy)
        with open(archive_copy, "rb") as f:
            archive_bytes = f.read()
        before_any_work("refuses -o equal to the archive SOURCE",
                        [archive_copy, "-o", os.path.join(work, ".", "payload.zip")], 2,
                        "is SOURCE itself")
        with open(archive_copy, "rb") as f:
            check("and leaves the archive as it was", f.read() == archive_bytes)
        before_any_work("refuses -o naming a folder", [app, "-o", work], 1, "is a folder")
        before_any_work("refuses a missing SOURCE", [os.path.join(work, "missing"), "-o", never],
                        1, "no such file or folder")
        os.makedirs(os.path.join(work, "empty-folder"))
        before_any_work("refuses a folder without the executable",
                        [os.path.join(work, "empty-folder"), "-o", never], 1,
                        "has no quillorbite/Binaries/Win64")

        # The command line.
        for arguments in (["--help"], ["-h"]):
            done = make(arguments, script=copy, timeout=60)
            out = done.stdout
            check("%s prints the usage to standard output" % arguments[0],
                  done.returncode == 0 and done.stderr == "" and
                  out.startswith("Usage: make-starter.sh SOURCE -o OUTPUT") and
                  all(option in out for option in ("--windows", "--app-name", "--exe",
                                                   "--level", "--store-below",
                                                   "Exit status")) and
                  DEFAULT_EXE in out and
                  not any(line.startswith(("set ", "source ", "#")) for line in out.splitlines()),
                  "status %d, stdout %r, stderr %r" % (done.returncode, out, done.stderr))
        bad_lines = [[], [app], ["-o", never], [app, "-o"], [app, "-o", never, "--bogus"],
                     [app, app, "-o", never], [app, "-o", never, "--level", "10"],
                     [app, "-o", never, "--level", "x"], [app, "-o", never, "--level", ""],
                     [app, "-o", never, "--level"], [app, "-o", never, "--app-name"],
                     [app, "-o", never, "--store-below", "101"],
                     [app, "-o", never, "--store-below", "-1"]]
        for arguments in bad_lines:
            done = make(arguments, script=copy, timeout=60)
            shown = " ".join("SOURCE" if a == app else "OUT" if a == never else repr(a)
                             for a in arguments)
            check("a bad command line [%s]: usage on standard error, status 2" % shown,
                  done.returncode == 2 and done.stdout == "" and "Usage:" in done.stderr and
                  not os.path.exists(never),
                  "status %d, stdout %r, stderr %r" % (done.returncode, done.stdout, done.stderr))

        # A ready archive is checked by the packer before it is used.
        text_zip = os.path.join(work, "text.zip")
        with open(text_zip, "w") as f:
            f.write("this is a text file, not a ZIP archive at all\n" * 4)
        foreign = os.path.join(work, "foreign.zip")
        with zipfile.ZipFile(foreign, "w", zipfile.ZIP_DEFLATED) as z:
            for folder, _, files in os.walk(app):
                for name in sorted(files):
                    path = os.path.join(folder, name)
                    z.write(path, os.path.relpath(path, app))
        for source, arguments, message in [
                (text_zip, [], "pack: " + text_zip + ": "),
                (foreign, [], "does not conform"),
                (archive, ["--exe", "quillorbite/missing.exe"], "no entry 'quillorbite/missing.exe'")]:
            done = make([source, "-o", never] + arguments + windows)
            check("refuses the archive %s (%s)" % (os.path.basename(source), message),
                  done.returncode == 1 and message in done.stderr and
                  "not an archive a starter can carry" in done.stderr and
                  not os.path.exists(never),
                  "status %d, stderr %r" % (done.returncode, done.stderr[-1500:]))

        # The packer's level, warnings and errors come through.
        sizes = {}
        for level in ("0", "9"):
            output = os.path.join(work, "level-" + level + suffix)
            done = make([app, "-o", output, "--level", level] + windows)
            sizes[level] = os.path.getsize(output) if done.returncode == 0 else None
        check("--level reaches the packer (level 0 stores, level 9 deflates)",
              None not in sizes.values() and sizes["0"] > sizes["9"], repr(sizes))
        # 100 keeps every piece as it is (so every file is stored); 0 none.
        for percent in ("0", "100"):
            output = os.path.join(work, "store-below-" + percent + suffix)
            done = make([app, "-o", output, "--store-below", percent] + windows)
            sizes["store-below " + percent] = (os.path.getsize(output) if done.returncode == 0
                                               else None)
        check("--store-below reaches the packer",
              None not in sizes.values() and sizes["store-below 100"] > sizes["store-below 0"],
              repr(sizes))
        if sizes["9"] is not None:
            status, out = run_starter(options.platform, os.path.join(work, "level-9" + suffix),
                                      work)
            destination = destination_of_run(options.platform, out, DEFAULT_EXE)
            check("without --app-name the default name applies",
                  status == 0 and "argument: quillorbite\n" in out and destination and
                  os.path.basename(destination) == "quillorbite",
                  "status %d, output %r" % (status, out[:400]))
        output = os.path.join(work, "blank" + suffix)
        done = make([app, "-o", output, "--app-name", "two words"] + windows)
        check("the packer's warnings are shown",
              done.returncode == 0 and "pack: warning: " in done.stderr and
              "holds a blank" in done.stderr, done.stderr[-1500:])
        linked = os.path.join(work, "app-with-link")
        shutil.copytree(app, linked, symlinks=True)
        os.symlink("/etc/passwd", os.path.join(linked, "a-link"))
        done = make([linked, "-o", never] + windows)
        check("the packer's errors are shown",
              done.returncode == 1 and "pack: " in done.stderr and "a-link" in done.stderr and
              "symbolic link" in done.stderr and not os.path.exists(never),
              "status %d, stderr %r" % (done.returncode, done.stderr[-1500:]))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return checklist.finish()


if __name__ == "__main__":
    sys.exit(main())
