"""Runs of one starter that share its tree, natively or under Wine.

Every run's application is the tree checker (tree_check.cpp), which checks,
for as long as it runs, that every file of its tree is there and whole. The
cases start runs together, staggered, kill one while its application runs,
run in a folder the user made, start a run of another archive with the same
name, and interrupt a run while it waits for its turn; each checks every
run's status and output, every application's verdict, and what is left in
the temporary directory. --stress starts --runs runs at once, --rounds times.

Usage: shared_runs.py --platform native|windows --bin-dir DIR
                      [--stress [--runs N] [--rounds N]] [--case NAME]...
"""

import argparse
import fcntl
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_e2e  # noqa: E402
from run_e2e import BANNER, Context, Skipped, wait_until  # noqa: E402

KIND = "shared-tree"
OTHER_KIND = "shared-tree-other"
LOCK_SUFFIX = ".lock"
# The lock file's gate: the byte a run holds exclusively while it decides,
# unpacks and leaves (destination.h).
GATE_OFFSET = 512
EXIT_UNHANDLED = 70


class Run:
    """One starter run on a thread of its own, in the shared temporary
    directory `temp`."""

    def __init__(self, platform, root, temp, name, kind=KIND, check_ms=1500, hold=None):
        self.platform = platform
        self.kind = kind
        self.name = name
        self.ctx = Context(os.path.join(root, name), shared_temp=temp)
        self.report = os.path.join(self.ctx.root, "tree-report.txt")
        self.ctx.env["TREE_CHECK_REPORT"] = platform.child_path(self.report)
        self.ctx.env["TREE_CHECK_FOR_MS"] = str(check_ms)
        if hold:
            self.ctx.env["TREE_CHECK_WAIT_FOR"] = platform.child_path(hold)
        self.ctx.preexec = run_e2e.signals_at_default
        self.result = None
        self.thread = None

    def start(self):
        def body():
            try:
                self.result = self.platform.run(self.kind, [], self.ctx)
            except Exception as error:  # reported by check()
                self.result = ("runner failed: %r" % error, b"", b"")
        self.thread = threading.Thread(target=body)
        self.thread.start()
        return self

    def join(self):
        self.thread.join()
        return self

    def started(self):
        return os.path.exists(self.report + ".started")

    def verdict(self):
        if not os.path.exists(self.report):
            return None
        with open(self.report, encoding="utf-8") as f:
            return dict(line.split("=", 1) for line in f.read().splitlines())

    def check(self, problems, status=0, stdout=BANNER, stderr="", ran=True):
        got_status, out, err = self.result
        out, err = out.decode("utf-8", "replace"), err.decode("utf-8", "replace")
        expected = self.platform.expected_status(status)
        if got_status != expected:
            problems.append("%s: status %r, expected %r (stderr %r)"
                            % (self.name, got_status, expected, err))
        if out != stdout:
            problems.append("%s: stdout %r, expected %r" % (self.name, out, stdout))
        if (stderr.startswith(r"\A") and not re.search(stderr, err)) or \
                (not stderr.startswith(r"\A") and err != stderr):
            problems.append("%s: stderr %r, expected %r" % (self.name, err, stderr))
        if ran:
            self.check_verdict(problems)
        elif self.started():
            problems.append("%s: its application was started" % self.name)

    def check_verdict(self, problems):
        verdict = self.verdict()
        if verdict is None:
            problems.append("%s: the application wrote no verdict" % self.name)
        elif verdict.get("verdict") != "whole" or int(verdict.get("checks", "0")) < 1:
            problems.append("%s: the application found its tree %s after %s checks"
                            % (self.name, verdict.get("verdict"), verdict.get("checks")))


class Scene:
    """A case's folders: a root and the temporary directory all runs share."""

    def __init__(self, platform):
        self.platform = platform
        self.root = tempfile.mkdtemp(prefix="starter-e2e-shared-")
        self.temp = os.path.join(self.root, "temp")
        os.makedirs(self.temp)
        os.chmod(self.temp, 0o755)
        self.destination = os.path.join(self.temp, "quillorbite")
        self.lock = self.destination + LOCK_SUFFIX
        self.count = 0

    def run(self, **options):
        self.count += 1
        return Run(self.platform, self.root, self.temp, "run%02d" % self.count, **options)

    def path(self, name):
        return os.path.join(self.root, name)

    def left(self):
        return sorted(os.listdir(self.temp))

    def check_nothing_left(self, problems, what="after the last run"):
        if self.left():
            problems.append("left in the temporary directory %s: %r" % (what, self.left()))

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


def release(path):
    with open(path, "w"):
        pass


def kill_starter(platform, process):
    """Kills the starter alone, not its application: SIGKILL natively,
    taskkill /F under Wine."""
    if platform.name == "native":
        process.kill()
        return
    subprocess.run([platform.wine, "taskkill", "/F", "/IM", "starter-%s.exe" % KIND],
                   capture_output=True, timeout=120,
                   env=dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml="))


# --- the cases ------------------------------------------------------------------

def together(platform, count=4, check_ms=1500):
    """Runs started at once: one unpacks, the others wait for it and start
    their applications from the same tree; the last one out removes it."""
    scene = Scene(platform)
    problems = []
    try:
        runs = [scene.run(check_ms=check_ms) for _ in range(count)]
        for run in runs:
            run.start()
        for run in runs:
            run.join().check(problems)
        scene.check_nothing_left(problems)
        return problems
    finally:
        scene.close()


def staggered(platform, count=4, gap=0.3):
    """Runs started 0.3 s apart, each application running 1.5 s: the first
    one's clean-up must not take the tree from under the others."""
    scene = Scene(platform)
    problems = []
    try:
        runs = []
        for _ in range(count):
            runs.append(scene.run().start())
            time.sleep(gap)
        for run in runs:
            run.join().check(problems)
        scene.check_nothing_left(problems)
        return problems
    finally:
        scene.close()


def killed_then_run(platform):
    """A run killed while its application runs leaves the tree; once that
    application has ended, the next run unpacks afresh and removes it."""
    scene = Scene(platform)
    problems = []
    try:
        hold = scene.path("release-the-first")
        first = scene.run(hold=hold)

        def kill_once_running(ctx, process):
            wait_until(first.started, "the first application")
            kill_starter(platform, process)
            # The application outlives its starter (and holds its output
            # open): it runs on a while, then ends.
            time.sleep(0.5)
            release(hold)
        first.ctx.during = kill_once_running
        first.start().join().check_verdict(problems)
        if not os.path.isdir(scene.destination):
            problems.append("the killed run's tree is not there for the next run to find")
        # Something of the older tree that the archive does not hold.
        release(os.path.join(scene.destination, "left-by-the-killed-run.txt"))
        second = scene.run()
        second.ctx.env["TREE_CHECK_ABSENT"] = "left-by-the-killed-run.txt"
        second.start().join()
        second.check(problems)
        scene.check_nothing_left(problems, "after the run that followed the killed one")
        return problems
    finally:
        scene.close()


def users_folder(platform):
    """A folder the user made is unpacked into by runs at once and stays, with
    what it held; nothing else stays."""
    scene = Scene(platform)
    problems = []
    try:
        os.makedirs(scene.destination)
        os.chmod(scene.destination, 0o700)
        mine = os.path.join(scene.destination, "mine.txt")
        with open(mine, "w") as f:
            f.write("keep me")
        runs = [scene.run().start() for _ in range(3)]
        for run in runs:
            run.join().check(problems)
        if scene.left() != ["quillorbite"]:
            problems.append("in the temporary directory: %r" % scene.left())
        elif not os.path.isfile(mine) or open(mine).read() != "keep me":
            problems.append("the user's file was changed or removed")
        return problems
    finally:
        scene.close()


def other_archive_while_in_use(platform):
    """A run of another archive under the same name, while the tree is in use,
    is refused and changes nothing under the running application."""
    scene = Scene(platform)
    problems = []
    try:
        hold = scene.path("release-the-first")
        first = scene.run(hold=hold).start()
        wait_until(first.started, "the first application")
        other = scene.run(kind=OTHER_KIND).start().join()
        other.check(problems, status=EXIT_UNHANDLED,
                    stderr=r"\ARefusing to unpack into [^\n]*quillorbite: another run's "
                           r"application is using it, and it does not hold this archive "
                           r"whole\n\Z", ran=False)
        release(hold)
        first.join().check(problems)
        scene.check_nothing_left(problems)
        return problems
    finally:
        scene.close()


def hold_gate(lock):
    """Takes the gate of the lock file `lock` the way a run does (an OFD lock
    on its byte); returns the descriptor, which releases it when closed."""
    descriptor = os.open(lock, os.O_RDWR)
    # struct flock: l_type, l_whence, l_start, l_len, l_pid (and padding).
    request = struct.pack("hhqqixxxx", fcntl.F_WRLCK, os.SEEK_SET, GATE_OFFSET, 1, 0)
    fcntl.fcntl(descriptor, fcntl.F_OFD_SETLK, request)
    return descriptor


def interrupted_while_waiting(platform):
    """An interruption of a run waiting for its turn (the gate held as by
    another run at its turn) while a third run's application runs: SIGINT
    natively, Ctrl-C on its console under Wine. It ends as the interruption
    ends it, starts nothing, and leaves that application's files alone. Wine
    takes its locks as POSIX locks too, so the case's OFD lock holds the gate
    for both."""
    if not hasattr(fcntl, "F_OFD_SETLK"):
        raise Skipped("this Python has no F_OFD_SETLK")
    scene = Scene(platform)
    problems = []
    try:
        hold = scene.path("release-the-first")
        first = scene.run(hold=hold).start()
        wait_until(first.started, "the first application")
        gate = hold_gate(scene.lock)
        try:
            waiting = scene.run()
            trigger = scene.path("press-ctrl-c")
            if platform.name == "windows":
                waiting.ctx.console = True
                waiting.ctx.env["E2E_CTRL_C_WHEN"] = platform.child_path(trigger)
                status = run_e2e.STATUS_CONTROL_C_EXIT
            else:
                status = run_e2e.killed_by(signal.SIGINT)
            banner = []

            def interrupt_while_waiting(ctx, process):
                # The banner comes before the turn, which the gate holds back.
                banner.append(process.stdout.readline())
                if platform.name == "windows":
                    release(trigger)
                else:
                    os.kill(process.pid, signal.SIGINT)
            waiting.ctx.during = interrupt_while_waiting
            waiting.start().join()
            got_status, out, err = waiting.result
            out = b"".join(banner).replace(b"\r\n", b"\n") + out
            waiting.result = (got_status, out, err)
            waiting.check(problems, status=status, ran=False)
        finally:
            os.close(gate)
        release(hold)
        first.join().check(problems)
        scene.check_nothing_left(problems)
        return problems
    finally:
        scene.close()


CASES = [
    ("four runs started together share one tree, all whole, nothing left", together),
    ("four runs started 0.3 s apart share one tree, all whole, nothing left", staggered),
    ("a run killed while its application runs, then a normal run: nothing left",
     killed_then_run),
    ("runs in a folder the user made: it stays with its content, nothing else",
     users_folder),
    ("a run of another archive while the tree is in use is refused, the tree untouched",
     other_archive_while_in_use),
    ("an interruption of a run waiting for its turn leaves another run's application alone",
     interrupted_while_waiting),
]


def stress(platform, runs, rounds):
    problems = []
    for number in range(rounds):
        found = together(platform, count=runs, check_ms=500)
        problems += ["round %d: %s" % (number + 1, problem) for problem in found]
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--platform", choices=["native", "windows"], required=True)
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--stress", action="store_true",
                        help="start --runs runs at once, --rounds times, instead of the cases")
    parser.add_argument("--runs", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--case", action="append",
                        help="run only cases whose name contains this (may be repeated)")
    options = parser.parse_args()
    platform = (run_e2e.Native if options.platform == "native" else run_e2e.Windows)(
        options.bin_dir)
    if options.stress:
        cases = [("%d runs at once, %d rounds: all whole, nothing left"
                  % (options.runs, options.rounds),
                  lambda p: stress(p, options.runs, options.rounds))]
    else:
        cases = [case for case in CASES
                 if not options.case or any(part in case[0] for part in options.case)]
    failed = 0
    for name, case in cases:
        try:
            problems = case(platform)
        except Skipped as reason:
            print("skip %s: %s\n    %s" % (platform.name, name, reason), flush=True)
            continue
        except Exception as error:
            problems = ["the case raised %r" % error]
        failed += bool(problems)
        print("%s %s: %s" % ("FAIL" if problems else "ok  ", platform.name, name), flush=True)
        for problem in problems:
            print("    " + problem, flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
