"""End-to-end cases for the starter executables, natively or under Wine.

Each case names a starter (by the archive it carries), how the run is set up,
and what must come out: the exit status, standard output, standard error and
the state of the destination folder. Every case runs in a fresh temporary
directory of its own, so the starter's destination is <temp>/quillorbite.

With --stub STUB --pack PACK the cases run against starters made from the
stub by `pack --stub` (with no compiler on the PATH) from the archives that the
compiled starters carry, instead of the compiled starters themselves.

A case may act while the starter runs (send it a signal, release the held
application); it waits for what it acts on, never for a length of time.

A case that cannot run where the runner is (it needs root, or a folder
another user can reach) is reported as skipped with the reason; a case that
fails in an unexpected way is reported as failed, and the run goes on.

Usage: run_e2e.py --platform native|windows --bin-dir DIR
                  [--demo-starter FILE --demo-app DIR] [--default-temp-app NAME]
                  [--stub STUB --pack PACK] [--case NAME]...
The demo's starter and the folder it was packed from are optional; without
them the demo's case is skipped. NAME after --default-temp-app is the
application name of the bin folder's starter-default-temp, which unpacks into
/tmp/NAME itself; without it that case is skipped.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import stat
import tempfile
import time
import traceback
import zipfile

BANNER = "VORTAKEN-Cruncher decrunches while loading...\n"
PROBE = "probe: started\n"
EXE_PARTS = ["quillorbite", "Binaries", "Win64", "quillorbite-Win64-Shipping.exe"]
EXIT_LAUNCH_FAILED = 9005
EXIT_NO_PAYLOAD = -1
EXIT_UNHANDLED = 70
# What Wine prints when it, not the program, has failed.
WINE_FAULTS = ("wine: Unhandled page fault", "e2e_launch: CreateProcessW failed")
# A Windows console process ended by Ctrl-C.
STATUS_CONTROL_C_EXIT = 0xC000013A


def killed_by(number):
    """The status of a native starter that a signal ended."""
    return "killed by signal %d" % number


class Skipped(Exception):
    """Raised by a case's setup when the case cannot run here; the message says
    why."""


class Context:
    """One case's folders: the temporary directory, the destination in it,
    the folder the starter is started from, and the probe's report file."""

    def __init__(self, root, temp_name="temp", shared_temp=None):
        self.root = root
        if shared_temp:
            self.temp = shared_temp  # another context's, for runs that share it
        else:
            self.temp = os.path.join(root, temp_name)
            os.makedirs(self.temp)
            # Whatever the runner's umask: a folder that only its owner may
            # change, as the starter requires of a temporary directory.
            os.chmod(self.temp, 0o755)
        self.destination = os.path.join(self.temp, "quillorbite")
        self.cwd = os.path.join(root, "started from here")
        os.makedirs(self.cwd)
        self.report = os.path.join(root, "report.txt")
        self.env = {}
        self.starter = None  # the starter to run, when not the platform's for the kind
        self.preexec = None  # native only: runs in the starter's process before exec
        self.during = None  # during(ctx, process): acts while the starter runs
        self.stderr_unread = False  # native only: standard error a pipe nobody reads
        self.console = False  # windows only: run on a console (a terminal for Wine)
        self.release = None  # the file that lets a held probe end
        self.signal_log = None  # the probe's log of the interruptions it got

    def read_report(self):
        if not os.path.exists(self.report):
            return None
        with open(self.report, encoding="utf-8") as f:
            lines = f.read().splitlines()
        report = {"arg": []}
        for line in lines:
            key, _, value = line.partition("=")
            if key == "arg":
                report["arg"].append(value)
            else:
                report[key] = value
        return report

    def read_signal_log(self):
        if not os.path.exists(self.signal_log):
            return ""
        with open(self.signal_log, encoding="utf-8") as f:
            return f.read()


def start_and_finish(command, ctx, timeout, **options):
    """Runs `command` with ctx.during acting on it meanwhile; returns the
    process (ended) and its standard output and error."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE,
                               stderr=options.pop("stderr", subprocess.PIPE), **options)
    try:
        if ctx.during:
            ctx.during(ctx, process)
        out, err = process.communicate(timeout=timeout)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    return process, out, err or b""


class Native:
    name = "native"
    suffix = ""

    def __init__(self, bin_dir, demo_starter=None, demo_app=None):
        self.bin_dir = os.path.abspath(bin_dir)
        self.starter_dir = self.bin_dir
        self.demo_starter = demo_starter and os.path.abspath(demo_starter)
        self.demo_app = demo_app and os.path.abspath(demo_app)

    def starter(self, kind):
        if kind == "demo":
            return self.demo_starter
        return os.path.join(self.starter_dir, "starter-" + kind + self.suffix)

    def child_path(self, path):
        return path

    def separator(self):
        return "/"

    def run(self, kind, args, ctx):
        env = dict(os.environ, TMPDIR=ctx.temp)
        env.update(ctx.env)
        env = {key: value for key, value in env.items() if value is not None}  # None: unset
        options = {}
        unread = None
        if ctx.stderr_unread:
            reader, unread = os.pipe()
            os.close(reader)
            options["stderr"] = unread
        try:
            done, out, err = start_and_finish([ctx.starter or self.starter(kind)] + args, ctx,
                                              120, cwd=ctx.cwd, env=env,
                                              preexec_fn=ctx.preexec, **options)
        finally:
            if unread is not None:
                os.close(unread)
        if done.returncode < 0:
            return killed_by(-done.returncode), out, err
        return done.returncode & 0xFF, out, err

    def expected_status(self, status):
        return status if isinstance(status, str) else status & 0xFF


class Windows:
    name = "windows"
    suffix = ".exe"

    def __init__(self, bin_dir, demo_starter=None, demo_app=None):
        self.bin_dir = os.path.abspath(bin_dir)
        self.starter_dir = self.bin_dir
        self.demo_starter = demo_starter and os.path.abspath(demo_starter)
        self.demo_app = demo_app and os.path.abspath(demo_app)
        # Wine through the build's emulator, which keeps one wine server warm.
        self.wine = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake",
                                 "wine-run.sh")

    def starter(self, kind):
        if kind == "demo":
            return self.demo_starter
        return os.path.join(self.starter_dir, "starter-" + kind + self.suffix)

    def child_path(self, path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def separator(self):
        return "\\"

    def run(self, kind, args, ctx):
        exit_file = os.path.join(ctx.root, "exit-code.txt")
        env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        for key, value in ctx.env.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        temp = getattr(ctx, "windows_temp", None) or self.child_path(ctx.temp) + "\\"
        command = [self.wine, os.path.join(self.bin_dir, "e2e_launch.exe"),
                   self.child_path(exit_file), "TEMP=" + temp, "TMP=" + temp, "--",
                   self.child_path(ctx.starter or self.starter(kind))] + args
        options = {}
        terminal = None
        if ctx.console:
            # Wine gives its programs a console when it runs on a terminal.
            import pty
            terminal = pty.openpty()
            options["stdin"] = terminal[1]
        try:
            _, out, err = start_and_finish(command, ctx, 300, cwd=ctx.cwd, env=env, **options)
        finally:
            if terminal:
                for descriptor in terminal:
                    os.close(descriptor)
        status = None
        if os.path.exists(exit_file):
            with open(exit_file) as f:
                status = int(f.read().strip())
        # The C runtime writes text mode line ends to pipes.
        return status, out.replace(b"\r\n", b"\n"), err.replace(b"\r\n", b"\n")

    def expected_status(self, status):
        return status & 0xFFFFFFFF


def exe_path(platform, ctx):
    """The child's executable as the starter names it."""
    sep = platform.separator()
    return platform.child_path(ctx.destination) + sep + sep.join(EXE_PARTS)


# --- checks shared by several cases -------------------------------------------

def check_probe_ran(platform, ctx, extra_args_given=False):
    report = ctx.read_report()
    assert report is not None, "the child wrote no report"
    assert report["arg"] == [exe_path(platform, ctx), "quillorbite"], report["arg"]
    assert report["cwd"] == platform.child_path(ctx.cwd), (report["cwd"], ctx.cwd)
    assert report["marker"] == "from-the-starter's-environment", report["marker"]


def check_removed(platform, ctx):
    check_probe_ran(platform, ctx)
    assert not os.path.lexists(ctx.destination), "destination left behind"


def check_unpacked_tree(root):
    exe = os.path.join(root, *EXE_PARTS)
    assert os.path.isfile(exe), "executable missing from " + root
    with open(os.path.join(root, "Engine", "Config", "base.ini"), "rb") as f:
        assert f.read() == b"[Core]\nmode=test\n" * 50
    with open(os.path.join(root, "quillorbite", "readme.txt"), "rb") as f:
        assert f.read() == b"hello"
    assert os.path.isdir(os.path.join(root, "Engine", "Empty"))


def nothing_in_temp(platform, ctx):
    assert os.listdir(ctx.temp) == [], os.listdir(ctx.temp)


# --- the cases ----------------------------------------------------------------

def setup_existing(ctx):
    os.makedirs(ctx.destination)
    with open(os.path.join(ctx.destination, "left-by-an-earlier-run.txt"), "w") as f:
        f.write("keep me")


def check_existing(platform, ctx):
    check_probe_ran(platform, ctx)
    check_unpacked_tree(ctx.destination)
    with open(os.path.join(ctx.destination, "left-by-an-earlier-run.txt")) as f:
        assert f.read() == "keep me"


def setup_file_at_destination(ctx):
    with open(ctx.destination, "w") as f:
        f.write("a file, not a folder")


def check_file_untouched(platform, ctx):
    with open(ctx.destination) as f:
        assert f.read() == "a file, not a folder"
    assert ctx.read_report() is None, "the child ran"


def setup_child_removes_destination(ctx):
    ctx.env["PROBE_REMOVE_FOLDER"] = ctx.destination
    ctx.env["PROBE_MOVE_SELF_TO"] = os.path.join(ctx.root, "moved-probe.exe")


def check_child_removed(platform, ctx):
    check_probe_ran(platform, ctx)
    assert ctx.read_report()["removed"] == "yes"
    assert not os.path.lexists(ctx.destination)


def check_launch_failed(platform, ctx):
    assert os.path.isfile(os.path.join(ctx.destination, "quillorbite", "readme.txt")), \
        "the unpacked tree was not left in place"


def check_hostile(platform, ctx):
    check_removed(platform, ctx)
    for escaped in ("escaped.txt", "escaped-too.txt"):
        for folder in (ctx.root, ctx.temp):
            assert not os.path.exists(os.path.join(folder, escaped)), escaped
    assert not os.path.exists("/absolute.txt")


def unpacked_failure_line(name, text):
    return "Failed extracting %s from archive. Error string: %s\n" % (name, text)


def launch_failure(platform, ctx):
    # The command line is the same text on both: the relative path keeps its
    # backslashes. The code is the system's own (ENOENT natively).
    program = platform.child_path(ctx.destination) + "\\" + "\\".join(EXE_PARTS)
    line = re.escape('"%s" quillorbite' % program)
    return r"\ACouldn't start:\n%s\nCreateProcess\(\) returned [0-9a-f]+\.\n\Z" % line


NOBODY = 65534


def require_root(what):
    if os.geteuid() != 0:
        raise Skipped("needs root to " + what)


def closed_to_others(path):
    """The first folder on the way to `path` (itself included) that a user
    other than its owner and group cannot pass, or None."""
    folder = os.path.abspath(path)
    folders = []
    while True:
        folders.append(folder)
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    for folder in reversed(folders):
        if not os.stat(folder).st_mode & stat.S_IXOTH:
            return folder
    return None


def run_as_nobody(ctx):
    """The starter runs as another user, in a temporary directory it may read
    but not write (as root, permissions would not stop it). The user may not
    be able to reach the build folder (a clone in a home folder), so it runs a
    copy of the starter placed in the case's own folder."""
    require_root("run the starter as uid %d" % NOBODY)
    os.chmod(ctx.root, 0o755)
    os.chmod(ctx.temp, 0o755)
    os.chmod(ctx.cwd, 0o777)
    closed = closed_to_others(ctx.root)
    if closed:
        raise Skipped("uid %d cannot reach the case's folder: %s is closed to other users "
                      "(set TMPDIR to a folder they can reach)" % (NOBODY, closed))
    program_folder = os.path.join(ctx.root, "program")
    os.makedirs(program_folder)
    os.chmod(program_folder, 0o755)
    ctx.starter = shutil.copy(ctx.starter, program_folder)
    os.chmod(ctx.starter, 0o755)

    def become_nobody():
        os.setgid(NOBODY)
        os.setuid(NOBODY)
    ctx.preexec = become_nobody


def is_sanitized(program):
    """Whether `program` carries a sanitizer's runtime, which itself needs
    /proc: it reads its options from /proc/self/environ and its leak check
    stops the threads through /proc."""
    with open(program, "rb") as handle:
        return b"AddressSanitizer" in handle.read()


def hide_proc():
    """In the starter's process before exec: a mount namespace of its own with
    an empty file system over /proc, so that no /proc/self/exe exists."""
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    clone_newns = 0x00020000
    ms_rec, ms_private = 0x4000, 0x40000
    if libc.unshare(clone_newns) != 0:
        raise OSError(ctypes.get_errno(), "unshare")
    # Private first, so that the mount below stays in this namespace.
    if libc.mount(b"none", b"/", None, ms_rec | ms_private, None) != 0:
        raise OSError(ctypes.get_errno(), "mount --make-rprivate /")
    if libc.mount(b"none", b"/proc", b"tmpfs", 0, None) != 0:
        raise OSError(ctypes.get_errno(), "mount tmpfs on /proc")


def check_nothing_written_by_nobody(platform, ctx):
    nothing_in_temp(platform, ctx)


def setup_file_size_limit(ctx):
    """A disk that fills up: for the starter, writes fail (EFBIG) past a size
    that the program fits in but the 8 MiB content file does not. SIGXFSZ
    stays at its default, which ends a program that does not ignore it."""
    import resource
    size = os.path.getsize(os.path.join(ctx.bin_dir, "e2e_probe")) + 256 * 1024

    def limit():
        signals_at_default()
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    ctx.preexec = limit


def setup_missing_temp(ctx):
    os.rmdir(ctx.temp)
    ctx.windows_temp = "Z:\\no\\such\\temp\\"
    ctx.temp = os.path.join(ctx.root, "no", "such", "temp")


def check_missing_temp(platform, ctx):
    assert not os.path.exists(os.path.join(ctx.root, "no")), "the temp folder was created"
    assert ctx.read_report() is None


def setup_symlink_destination(ctx):
    elsewhere = os.path.join(ctx.root, "elsewhere")
    os.makedirs(elsewhere)
    os.symlink(elsewhere, ctx.destination)


def check_symlink_untouched(platform, ctx):
    assert os.path.islink(ctx.destination)
    assert os.listdir(os.path.join(ctx.root, "elsewhere")) == []
    assert ctx.read_report() is None


def setup_foreign_destination(ctx):
    require_root("give the destination to uid %d" % NOBODY)
    os.makedirs(ctx.destination)
    os.chown(ctx.destination, NOBODY, NOBODY)


def setup_shared_destination(ctx):
    os.makedirs(ctx.destination)
    os.chmod(ctx.destination, 0o777)


def check_destination_untouched(platform, ctx):
    assert os.listdir(ctx.destination) == [], os.listdir(ctx.destination)
    assert ctx.read_report() is None


def check_private_and_left(platform, ctx):
    check_launch_failed(platform, ctx)
    mode = os.stat(ctx.destination).st_mode & 0o777
    assert mode == 0o700, "destination mode %o" % mode


def setup_held_open(ctx):
    os.makedirs(os.path.join(ctx.destination, "quillorbite"))
    with open(os.path.join(ctx.destination, "quillorbite", "readme.txt"), "w") as f:
        f.write("held by another program")
    ctx.env["E2E_HOLD_OPEN"] = os.path.join(ctx.destination, "quillorbite", "readme.txt")


def check_held_file_kept(platform, ctx):
    check_probe_ran(platform, ctx)
    with open(os.path.join(ctx.destination, "quillorbite", "readme.txt")) as f:
        assert f.read() == "held by another program"


def check_big_file_cut(platform, ctx):
    check_removed(platform, ctx)
    check_child_signals(ctx, ignored="")


# --- interruptions --------------------------------------------------------------

MANAGED_SIGNALS = (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGHUP,
                   signal.SIGPIPE, signal.SIGXFSZ)


def signals_at_default():
    """Runs in the starter's process before exec: the signals the starter
    handles start at their defaults and nothing is blocked, whatever the
    runner itself was given."""
    for number in MANAGED_SIGNALS:
        signal.signal(number, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, [])


def wait_until(condition, what):
    deadline = time.time() + 120
    while not condition():
        if time.time() > deadline:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(0.001)


def process_exists(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def hold_probe(ctx):
    """The probe stays running until ctx.release appears, and logs the
    interruptions it gets."""
    ctx.release = os.path.join(ctx.root, "release-the-probe")
    ctx.signal_log = os.path.join(ctx.root, "signals.txt")
    ctx.env["PROBE_WAIT_FOR"] = ctx.release
    ctx.env["PROBE_SIGNAL_LOG"] = ctx.signal_log
    ctx.preexec = signals_at_default


def release_probe(ctx):
    with open(ctx.release, "w"):
        pass


def setup_signal_while_running(number, then_release=False, ignored_by_caller=()):
    """Sends `number` to the starter alone once the held probe has reported;
    with `then_release`, lets the probe end afterwards. Signals in
    `ignored_by_caller` are ignored when the starter starts, as nohup does."""
    def setup(ctx):
        hold_probe(ctx)

        def preexec():
            signals_at_default()
            for ignored in ignored_by_caller:
                signal.signal(ignored, signal.SIG_IGN)
        ctx.preexec = preexec

        def during(ctx, process):
            wait_until(lambda: os.path.exists(ctx.report), "the application's report")
            os.kill(process.pid, number)
            if then_release:
                release_probe(ctx)
        ctx.during = during
    return setup


def check_child_signals(ctx, ignored, blocked=""):
    """The probe started with these signals ignored and blocked: what the
    starter was started with, nothing the starter itself changed."""
    report = ctx.read_report()
    assert (report["ignored"], report["blocked"]) == (ignored, blocked), \
        "the application started with signals ignored %r and blocked %r" % (
            report["ignored"], report["blocked"])


def check_passed_on(number):
    def check(platform, ctx):
        check_removed(platform, ctx)
        assert ctx.read_signal_log() == "signal=%d\n" % number, ctx.read_signal_log()
        assert not process_exists(int(ctx.read_report()["pid"])), \
            "the application outlived the starter"
        check_child_signals(ctx, ignored="")
    return check


def check_not_passed_on(ignored=""):
    def check(platform, ctx):
        check_removed(platform, ctx)
        assert ctx.read_signal_log() == "", ctx.read_signal_log()
        check_child_signals(ctx, ignored=ignored)
    return check


def setup_signal_during_extraction(ctx):
    ctx.preexec = signals_at_default

    def during(ctx, process):
        wait_until(lambda: os.path.isdir(ctx.destination), "the destination")
        os.kill(process.pid, signal.SIGINT)
    ctx.during = during


def check_stopped_before_the_application(platform, ctx):
    assert ctx.read_report() is None, "the application was started"
    nothing_in_temp(platform, ctx)


def setup_unread_standard_error(ctx):
    ctx.stderr_unread = True
    ctx.preexec = signals_at_default


def check_unread_standard_error(platform, ctx):
    check_removed(platform, ctx)
    check_child_signals(ctx, ignored="")


def setup_ctrl_c_while_running(ctx):
    """The launcher presses Ctrl-C on the console once the held probe has
    reported; the probe is let go once it has logged the event."""
    hold_probe(ctx)
    ctx.console = True
    ctx.env["E2E_CTRL_C_WHEN"] = ctx.report

    def during(ctx, process):
        wait_until(lambda: ctx.read_signal_log() != "", "the application's Ctrl-C")
        release_probe(ctx)
    ctx.during = during


def check_ctrl_c_left_to_the_application(platform, ctx):
    check_removed(platform, ctx)
    assert ctx.read_signal_log() == "event=0\n", ctx.read_signal_log()


def setup_ctrl_c_during_extraction(ctx):
    ctx.console = True
    ctx.env["E2E_CTRL_C_WHEN"] = ctx.destination


def make_private_destination(ctx):
    """The destination as an earlier run of the user's leaves it: a folder
    only its owner may enter."""
    os.makedirs(ctx.destination)
    os.chmod(ctx.destination, 0o700)
    ctx.victim = os.path.join(ctx.root, "victim")
    os.makedirs(ctx.victim)


VICTIM_PROGRAM = b"#!/bin/sh\necho ran > \"$0.ran\"\n"


def plant_victim_program(path):
    """A program outside the destination that must be neither changed nor run:
    it would leave <path>.ran behind."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(VICTIM_PROGRAM)
    os.chmod(path, 0o644)


def check_victim_program(path):
    with open(path, "rb") as f:
        assert f.read() == VICTIM_PROGRAM, "the program outside was written to"
    mode = os.stat(path).st_mode & 0o7777
    assert mode == 0o644, "the program outside has mode %o" % mode
    assert not os.path.exists(path + ".ran"), "the program outside was run"


def setup_folder_link_inside(ctx):
    make_private_destination(ctx)
    os.symlink(ctx.victim, os.path.join(ctx.destination, "Engine"))


def check_folder_link_inside(platform, ctx):
    check_probe_ran(platform, ctx)
    assert os.listdir(ctx.victim) == [], os.listdir(ctx.victim)
    assert os.path.islink(os.path.join(ctx.destination, "Engine"))
    with open(os.path.join(ctx.destination, "quillorbite", "readme.txt"), "rb") as f:
        assert f.read() == b"hello"


def setup_program_folder_link_inside(ctx):
    make_private_destination(ctx)
    os.symlink(ctx.victim, os.path.join(ctx.destination, "quillorbite"))
    ctx.victim_program = os.path.join(ctx.victim, *EXE_PARTS[1:])
    plant_victim_program(ctx.victim_program)


def check_program_folder_link_inside(platform, ctx):
    assert ctx.read_report() is None, "the child ran"
    check_victim_program(ctx.victim_program)
    found = sorted(os.path.relpath(os.path.join(folder, name), ctx.victim)
                   for folder, _, names in os.walk(ctx.victim) for name in names)
    assert found == [os.path.join(*EXE_PARTS[1:])], found
    with open(os.path.join(ctx.destination, "Engine", "Config", "base.ini"), "rb") as f:
        assert f.read() == b"[Core]\nmode=test\n" * 50


def setup_program_link(ctx):
    make_private_destination(ctx)
    folder = os.path.join(ctx.destination, *EXE_PARTS[:-1])
    os.makedirs(folder)
    ctx.victim_program = os.path.join(ctx.victim, "program")
    plant_victim_program(ctx.victim_program)
    os.symlink(ctx.victim_program, os.path.join(folder, EXE_PARTS[-1]))


def check_program_link(platform, ctx):
    assert ctx.read_report() is None, "the child ran"
    check_victim_program(ctx.victim_program)
    assert os.path.islink(os.path.join(ctx.destination, *EXE_PARTS))
    with open(os.path.join(ctx.destination, "quillorbite", "readme.txt"), "rb") as f:
        assert f.read() == b"hello"


def setup_hard_links(ctx):
    make_private_destination(ctx)
    folder = os.path.join(ctx.destination, *EXE_PARTS[:-1])
    os.makedirs(folder)
    ctx.victim_text = os.path.join(ctx.victim, "notes.txt")
    with open(ctx.victim_text, "wb") as f:
        f.write(b"outside content")
    os.link(ctx.victim_text, os.path.join(ctx.destination, "quillorbite", "readme.txt"))
    ctx.victim_program = os.path.join(ctx.victim, "program")
    plant_victim_program(ctx.victim_program)
    os.link(ctx.victim_program, os.path.join(folder, EXE_PARTS[-1]))


def check_hard_links(platform, ctx):
    check_probe_ran(platform, ctx)
    with open(ctx.victim_text, "rb") as f:
        assert f.read() == b"outside content", "the file outside was written to"
    check_victim_program(ctx.victim_program)
    check_unpacked_tree(ctx.destination)
    for name in ("notes.txt", "program"):
        links = os.stat(os.path.join(ctx.victim, name)).st_nlink
        assert links == 1, "%s still has %d names" % (name, links)


def failure_lines(names, then=""):
    """The standard-error lines of entries refused with "file open failed",
    as a pattern, followed by the pattern `then` (a launch failure's)."""
    lines = "".join(re.escape(unpacked_failure_line(name, "file open failed")) for name in names)
    return r"\A" + lines + then + (r"\Z" if not then else "")


def launch_failure_after(names):
    return lambda platform, ctx: failure_lines(names, launch_failure(platform, ctx)[2:])


def temp_text_refusal(why):
    return (r"\A[^\n]*temp_directory_path: the temporary directory's path holds %s, "
            r"which the starter cannot pass on faithfully[^\n]*\n\Z" % re.escape(why))


def check_nothing_created(platform, ctx):
    """Nothing in the temporary directory nor beside it (where a folder at the
    path with '/' for the backslash, or with U+FFFD for the bytes that are not
    UTF-8, would appear), and the child never ran."""
    nothing_in_temp(platform, ctx)
    expected = sorted([os.path.relpath(ctx.temp, ctx.root), os.path.basename(ctx.cwd)])
    found = sorted(os.listdir(ctx.root))
    assert found == expected, "beside the temporary directory: %r" % found
    assert ctx.read_report() is None, "the child ran"


def setup_empty_tmpdir_then_tmp(ctx):
    ctx.env.update(TMPDIR="", TMP=ctx.temp, TEMP=None, TEMPDIR=None)


def setup_empty_tmpdir_alone(ctx):
    if not ctx.default_temp_app:
        raise Skipped("no --default-temp-app given")
    if not os.path.isdir("/tmp"):
        raise Skipped("no /tmp here")
    ctx.destination = os.path.join("/tmp", ctx.default_temp_app)
    if os.path.lexists(ctx.destination):
        raise Skipped("%s is there already: left by a run of this build that was cut short? "
                      "(remove it)" % ctx.destination)
    ctx.env.update(TMPDIR="", TMP=None, TEMP=None, TEMPDIR=None)


def check_unpacked_in_tmp_and_removed(platform, ctx):
    try:
        report = ctx.read_report()
        assert report is not None, "the child wrote no report"
        assert report["arg"] == [os.path.join(ctx.destination, *EXE_PARTS),
                                 ctx.default_temp_app], report["arg"]
        assert not os.path.lexists(ctx.destination), "destination left behind"
        nothing_in_temp(platform, ctx)
    finally:
        # The name is this build's own: what a failed run left is removed, so
        # that the next run is not skipped.
        if os.path.lexists(ctx.destination):
            shutil.rmtree(ctx.destination, ignore_errors=True)


def setup_temp_mode(mode):
    def setup(ctx):
        os.chmod(ctx.temp, mode)
    return setup


def setup_foreign_temp(ctx):
    require_root("give the temporary directory to uid %d" % NOBODY)
    os.chown(ctx.temp, NOBODY, NOBODY)


def parent_refusal(why):
    def expected(platform, ctx):
        return r"\A%s\n\Z" % re.escape("Refusing to unpack into %s: its parent %s %s"
                                       % (ctx.destination, ctx.temp, why))
    return expected


def check_refused_in_temp(platform, ctx):
    nothing_in_temp(platform, ctx)
    assert ctx.read_report() is None, "the child ran"


def setup_demo(ctx):
    if not ctx.starter:
        raise Skipped("no --demo-starter given")


def demo_output(platform, ctx):
    """What the demo prints, with the tree it lists taken from the folder its
    starter was packed from."""
    lines = []
    for folder, folders, files in os.walk(platform.demo_app):
        relative = os.path.relpath(folder, platform.demo_app).replace(os.sep, "/")
        prefix = "" if relative == "." else relative + "/"
        lines += ["    %s%s/" % (prefix, name) for name in folders]
        lines += ["    %s%s (%d bytes)" % (prefix, name, os.path.getsize(os.path.join(folder, name)))
                  for name in files]
    return "".join([
        BANNER,
        "quillorbite demo: running as %s\n" % exe_path(platform, ctx),
        "  argument: quillorbite\n",
        "  started in: %s\n" % platform.child_path(ctx.cwd),
        "  unpacked tree %s:\n" % platform.child_path(ctx.destination),
    ] + [line + "\n" for line in sorted(lines)] + ["quillorbite demo: done\n"])


def check_demo_removed(platform, ctx):
    assert not os.path.lexists(ctx.destination), "destination left behind"
    nothing_in_temp(platform, ctx)


CASES = [
    dict(name="no payload: status -1, silent, nothing on disk",
         kind="no-payload", status=EXIT_NO_PAYLOAD, stdout="", stderr="",
         check=nothing_in_temp),
    dict(name="absent destination: unpacked, child run, removed",
         kind="application", status=0, stdout=BANNER + PROBE, stderr="", check=check_removed),
    dict(name="existing destination: unpacked into and left in place",
         kind="application", setup=setup_existing, status=0, stdout=BANNER + PROBE,
         stderr="", check=check_existing),
    dict(name="a child exiting with 7 still gives status 0",
         kind="application", env={"PROBE_EXIT_CODE": "7"}, status=0,
         stdout=BANNER + PROBE, stderr="", check=check_removed),
    dict(name="the starter's own arguments do not reach the child",
         kind="application", args=["--extra", "two words", "%PATH%"], status=0,
         stdout=BANNER + PROBE, stderr="", check=check_removed),
    dict(name="a temporary directory with blanks and percent signs",
         kind="application", temp_name="t mp %PATH% 100%", status=0,
         stdout=BANNER + PROBE, stderr="", check=check_removed),
    dict(name="a child that removes the destination itself",
         kind="application", setup=setup_child_removes_destination, status=0,
         stdout=BANNER + PROBE, stderr="", check=check_child_removed),
    dict(name="no executable in the archive: 9005, the tree stays",
         kind="no-executable", status=EXIT_LAUNCH_FAILED, stdout=BANNER,
         stderr=launch_failure, check=check_launch_failed),
    dict(name="an archive of no entries: the launch fails",
         kind="empty", status=EXIT_LAUNCH_FAILED, stdout=BANNER, stderr=launch_failure,
         check=lambda platform, ctx: os.path.isdir(ctx.destination)),
    dict(name="bytes that are no archive: the error ends the run, nothing created",
         kind="not-zip", status=EXIT_UNHANDLED, stdout=BANNER,
         stderr=r"\AFailed opening zip \n\Z", check=nothing_in_temp),
    dict(name="a file in the destination's place is refused and never touched",
         kind="application", setup=setup_file_at_destination, status=EXIT_UNHANDLED,
         stdout=BANNER, stderr=r"\ARefusing to unpack into [^\n]*quillorbite: it is not a folder\n\Z",
         check=check_file_untouched),
    dict(name="an archive that cannot fit on the disk is refused before anything is written",
         kind="too-large", status=EXIT_UNHANDLED, stdout=BANNER,
         stderr=r"\A[^\n]*not enough free space to unpack: needs 1288\d+ bytes \([0-9.]+ MiB\), "
                r"\d+ bytes \([0-9.]+ MiB\) free[^\n]*\n\Z",
         check=nothing_in_temp),
    dict(name="a temporary directory that does not exist ends the run, nothing created",
         kind="application", setup=setup_missing_temp, status=EXIT_UNHANDLED, stdout="",
         stderr=r"\A[^\n]*temp_directory_path[^\n]*\n\Z", check=check_missing_temp),
    dict(name="a temporary directory whose path holds a backslash ends the run, nothing created",
         kind="application", platforms=["native"], temp_name="te\\mp", status=EXIT_UNHANDLED,
         stdout="", stderr=temp_text_refusal("a backslash"), check=check_nothing_created),
    dict(name="a temporary directory whose path holds a double quote ends the run, nothing "
              "created",
         kind="application", platforms=["native"], temp_name='te"mp', status=EXIT_UNHANDLED,
         stdout="", stderr=temp_text_refusal("a double quote"), check=check_nothing_created),
    dict(name="a temporary directory whose path is not UTF-8 ends the run, nothing created",
         kind="application", platforms=["native"], temp_name="te\udce9mp",
         status=EXIT_UNHANDLED, stdout="",
         stderr=temp_text_refusal("bytes that are not well-formed UTF-8"),
         check=check_nothing_created),
    dict(name="an empty TMPDIR counts as unset: the next variable names the temporary directory",
         kind="application", platforms=["native"], setup=setup_empty_tmpdir_then_tmp, status=0,
         stdout=BANNER + PROBE, stderr="", check=check_removed),
    dict(name="an empty TMPDIR and no other variable: unpacked into /tmp, run and removed",
         kind="default-temp", platforms=["native"], setup=setup_empty_tmpdir_alone, status=0,
         stdout=BANNER + PROBE, stderr="", check=check_unpacked_in_tmp_and_removed),
    dict(name="a temporary directory its group may write to, not sticky, is refused, nothing "
              "created",
         kind="application", platforms=["native"], setup=setup_temp_mode(0o775),
         status=EXIT_UNHANDLED, stdout=BANNER,
         stderr=parent_refusal("may be written to by other users and is not sticky"),
         check=check_refused_in_temp),
    dict(name="a sticky temporary directory anyone may write to, as /tmp is, is used",
         kind="application", platforms=["native"], setup=setup_temp_mode(0o1777), status=0,
         stdout=BANNER + PROBE, stderr="", check=check_removed),
    dict(name="a temporary directory of another user, not sticky, is refused, nothing created",
         kind="application", platforms=["native"], setup=setup_foreign_temp,
         status=EXIT_UNHANDLED, stdout=BANNER,
         stderr=parent_refusal("belongs to another user (uid 65534)"),
         check=check_refused_in_temp),
    dict(name="a destination the starter creates is private to its user",
         kind="no-executable", platforms=["native"], status=EXIT_LAUNCH_FAILED, stdout=BANNER,
         stderr=launch_failure, check=check_private_and_left),
    dict(name="a destination that is a symbolic link is refused, nothing followed",
         kind="application", platforms=["native"], setup=setup_symlink_destination,
         status=EXIT_UNHANDLED, stdout=BANNER,
         stderr=r"\ARefusing to unpack into [^\n]*quillorbite: it is a symbolic link\n\Z",
         check=check_symlink_untouched),
    dict(name="a destination of another user is refused, nothing touched",
         kind="application", platforms=["native"], setup=setup_foreign_destination,
         status=EXIT_UNHANDLED, stdout=BANNER,
         stderr=r"\ARefusing to unpack into [^\n]*quillorbite: it belongs to another user "
                r"\(uid 65534\)\n\Z",
         check=check_destination_untouched),
    dict(name="a destination others may write to is refused, nothing touched",
         kind="application", platforms=["native"], setup=setup_shared_destination,
         status=EXIT_UNHANDLED, stdout=BANNER,
         stderr=r"\ARefusing to unpack into [^\n]*quillorbite: other users may write to it\n\Z",
         check=check_destination_untouched),
    dict(name="a temporary directory the user cannot write to ends the run",
         kind="application", platforms=["native"], setup=run_as_nobody, status=EXIT_UNHANDLED,
         stdout=BANNER, stderr=r"\A[^\n]*create_directories[^\n]*Permission denied[^\n]*\n\Z",
         check=check_nothing_written_by_nobody),
    dict(name="a disk that fills up fails the file that does not fit, the run goes on",
         kind="large-file", platforms=["native"], setup=setup_file_size_limit, status=0,
         stdout=BANNER + PROBE,
         stderr=unpacked_failure_line("quillorbite/Content/big.pak", "file write failed"),
         check=check_big_file_cut),
    dict(name="a file held open by another program fails alone, the run goes on",
         kind="application", platforms=["windows"], setup=setup_held_open, status=0,
         stdout=BANNER + PROBE,
         stderr=unpacked_failure_line("quillorbite/readme.txt", "file open failed"),
         check=check_held_file_kept),
    dict(name="names leading outside the destination are refused, the rest unpacked",
         kind="hostile-names", status=0, stdout=BANNER + PROBE,
         stderr="".join(unpacked_failure_line(n, "invalid filename") for n in
                        ("../escaped.txt", "Engine/../../escaped-too.txt", "/absolute.txt",
                         "back\\slash.txt")),
         check=check_hostile),
    dict(name="the demo in a temporary directory named outside ASCII: run and removed",
         kind="demo", temp_name="T\u00ebmp-\u03c0", setup=setup_demo, status=0,
         stdout=demo_output, stderr="", check=check_demo_removed),
    dict(name="a folder link inside an existing destination is not followed, the rest unpacked",
         kind="application", platforms=["native"], setup=setup_folder_link_inside, status=0,
         stdout=BANNER + PROBE,
         stderr=failure_lines(["Engine/", "Engine/Config/", "Engine/Empty/",
                               "Engine/Config/base.ini"]),
         check=check_folder_link_inside),
    dict(name="a folder link on the program's way: nothing written or run through it, 9005",
         kind="application", platforms=["native"], setup=setup_program_folder_link_inside,
         status=EXIT_LAUNCH_FAILED, stdout=BANNER,
         stderr=launch_failure_after(["quillorbite/", "quillorbite/Binaries/",
                                      "quillorbite/Binaries/Win64/", "quillorbite/readme.txt",
                                      "/".join(EXE_PARTS)]),
         check=check_program_folder_link_inside),
    dict(name="a link at the program's path: its target is neither changed nor run, 9005",
         kind="application", platforms=["native"], setup=setup_program_link,
         status=EXIT_LAUNCH_FAILED, stdout=BANNER,
         stderr=launch_failure_after(["/".join(EXE_PARTS)]),
         check=check_program_link),
    dict(name="files hard-linked from outside are replaced, the outside names keep their content",
         kind="application", setup=setup_hard_links, status=0, stdout=BANNER + PROBE, stderr="",
         check=check_hard_links),
    dict(name="a tree deeper than 260 characters is unpacked whole and removed whole",
         kind="deep-tree", status=0, stdout=BANNER + PROBE, stderr="", check=check_removed),
    dict(name="SIGTERM while the application runs: passed on, the tree removed, the starter "
              "ends by it",
         kind="application", platforms=["native"],
         setup=setup_signal_while_running(signal.SIGTERM), status=killed_by(signal.SIGTERM),
         stdout=BANNER + PROBE, stderr="", check=check_passed_on(signal.SIGTERM)),
    dict(name="SIGHUP while the application runs: passed on, the tree removed, the starter "
              "ends by it",
         kind="application", platforms=["native"],
         setup=setup_signal_while_running(signal.SIGHUP), status=killed_by(signal.SIGHUP),
         stdout=BANNER + PROBE, stderr="", check=check_passed_on(signal.SIGHUP)),
    dict(name="SIGINT to the starter alone while the application runs: ignored, the "
              "application ends on its own",
         kind="application", platforms=["native"],
         setup=setup_signal_while_running(signal.SIGINT, then_release=True), status=0,
         stdout=BANNER + PROBE, stderr="", check=check_not_passed_on()),
    dict(name="a starter started ignoring SIGHUP leaves it ignored, for the application too",
         kind="application", platforms=["native"],
         setup=setup_signal_while_running(signal.SIGHUP, then_release=True,
                                          ignored_by_caller=[signal.SIGHUP]),
         status=0, stdout=BANNER + PROBE, stderr="",
         check=check_not_passed_on(ignored="%d" % signal.SIGHUP)),
    dict(name="SIGINT during the extraction: stopped, the tree removed, no application started",
         kind="many-entries", platforms=["native"], setup=setup_signal_during_extraction,
         status=killed_by(signal.SIGINT), stdout=BANNER, stderr="",
         check=check_stopped_before_the_application),
    dict(name="standard error a pipe nobody reads: the lost lines do not end the run",
         kind="damaged-entry", platforms=["native"], setup=setup_unread_standard_error, status=0,
         stdout=BANNER + PROBE, stderr="", check=check_unread_standard_error),
    dict(name="Ctrl-C on the console while the application runs: left to it, the starter "
              "lives on",
         kind="application", platforms=["windows"], setup=setup_ctrl_c_while_running, status=0,
         stdout=BANNER + PROBE, stderr="", check=check_ctrl_c_left_to_the_application),
    dict(name="Ctrl-C on the console during the extraction: stopped, the tree removed, no "
              "application started",
         kind="many-entries", platforms=["windows"], setup=setup_ctrl_c_during_extraction,
         status=STATUS_CONTROL_C_EXIT, stdout=BANNER, stderr="",
         check=check_stopped_before_the_application),
    dict(name="a damaged entry is reported and the run goes on",
         kind="damaged-entry", status=0, stdout=BANNER + PROBE,
         stderr=unpacked_failure_line("quillorbite/damaged.bin",
                                      "decompression failed or archive is corrupted"),
         check=check_removed),
]


def run_case(platform, case):
    root = tempfile.mkdtemp(prefix="starter-e2e-")
    try:
        ctx = Context(root, case.get("temp_name", "temp"))
        ctx.bin_dir = platform.bin_dir
        ctx.default_temp_app = platform.default_temp_app
        ctx.starter = platform.starter(case["kind"])
        ctx.env["PROBE_REPORT"] = platform.child_path(ctx.report)
        ctx.env["PROBE_MARKER"] = "from-the-starter's-environment"
        ctx.env.update(case.get("env", {}))
        if "setup" in case:
            case["setup"](ctx)
        for key in ("PROBE_REMOVE_FOLDER", "PROBE_MOVE_SELF_TO", "PROBE_WAIT_FOR",
                    "PROBE_SIGNAL_LOG", "E2E_HOLD_OPEN", "E2E_CTRL_C_WHEN"):
            if key in ctx.env:
                ctx.env[key] = platform.child_path(ctx.env[key])
        status, out, err = platform.run(case["kind"], case.get("args", []), ctx)
        out = out.decode("utf-8", "replace")
        err = err.decode("utf-8", "replace")
        problems = []
        expected_out = case["stdout"]
        if callable(expected_out):
            expected_out = expected_out(platform, ctx)
        if status != platform.expected_status(case["status"]):
            problems.append("status %r, expected %r" % (status,
                                                        platform.expected_status(case["status"])))
        if out != expected_out:
            problems.append("stdout %r, expected %r" % (out, expected_out))
        expected_err = case["stderr"]
        if callable(expected_err):
            expected_err = expected_err(platform, ctx)
        if expected_err.startswith(r"\A"):
            if not re.search(expected_err, err):
                problems.append("stderr %r does not match %r" % (err, expected_err))
        elif err != expected_err:
            problems.append("stderr %r, expected %r" % (err, expected_err))
        try:
            result = case["check"](platform, ctx)
            if result is False:
                problems.append("disk check failed")
        except AssertionError as failure:
            problems.append("disk check: %s" % failure)
        return problems
    finally:
        shutil.rmtree(root, ignore_errors=True)


def two_runs_at_once(platform):
    """Two starters share the destination: the second starts while the first
    one's application runs. Both must end normally; the second finds the tree
    in use, unpacked from the same archive, and starts its application from it
    without writing anything; the first, the last one out, removes the tree
    and the lock file once its own application has ended."""
    import threading
    import time
    root = tempfile.mkdtemp(prefix="starter-e2e-")
    problems = []
    try:
        first = Context(os.path.join(root, "first"))
        second = Context(os.path.join(root, "second"), shared_temp=first.temp)
        second.cwd = first.cwd
        results = {}
        go = os.path.join(root, "second-run-done")
        first.env["PROBE_WAIT_FOR"] = platform.child_path(go)
        for ctx in (first, second):
            ctx.env.update(PROBE_REPORT=platform.child_path(ctx.report),
                           PROBE_MARKER="from-the-starter's-environment")

        def run(name, ctx):
            results[name] = platform.run("application", [], ctx)
        a = threading.Thread(target=run, args=("first", first))
        a.start()
        deadline = time.time() + 120
        while not os.path.exists(first.report) and time.time() < deadline:
            time.sleep(0.05)
        run("second", second)
        with open(go, "w"):
            pass
        a.join()
        for name, (status, out, err) in sorted(results.items()):
            out, err = out.decode(), err.decode()
            if status != 0:
                problems.append("%s run: status %r, stderr %r" % (name, status, err))
            if out != BANNER + PROBE:
                problems.append("%s run: stdout %r" % (name, out))
            if err != "":
                problems.append("%s run: stderr %r" % (name, err))
        if os.path.lexists(first.destination):
            problems.append("the destination is left after both runs")
        if os.listdir(first.temp):
            problems.append("left in the temporary directory: %r" % os.listdir(first.temp))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return problems


def check_embedding(platform, from_stub=False):
    """The archive is stored in the image byte for byte; on Windows as RCDATA
    101 in language 2057, beside the manifest and nothing else; on POSIX, in
    a starter made from the stub, after the stub's bytes (and the padding its
    payload slot needs) and before the 32-byte trailer."""
    problems = []
    with open(os.path.join(platform.bin_dir, "application.zip"), "rb") as f:
        archive = f.read()
    with open(platform.starter("application"), "rb") as f:
        image = f.read()
    with open(platform.starter("no-payload"), "rb") as f:
        bare = f.read()
    if platform.name == "windows":
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import pe_resources
        found = [(t, n, lang, blob) for t, n, lang, blob in pe_resources.list_resources(image)]
        kinds = sorted((t, n) for t, n, _, _ in found)
        if kinds != [(10, 101), (24, 1)]:
            problems.append("resources %r, expected RCDATA 101 and manifest 1" % kinds)
        for t, n, lang, blob in found:
            if t == 10 and (lang != 2057 or blob != archive):
                problems.append("RCDATA 101: language %d, %d bytes, equal to the archive: %s"
                                % (lang, len(blob), blob == archive))
            if t == 24 and (b'level="asInvoker"' not in blob or b'uiAccess="false"' not in blob):
                problems.append("the manifest does not ask for asInvoker without UI access")
        bare_kinds = sorted((t, n) for t, n, _, _ in pe_resources.list_resources(bare))
        if bare_kinds != [(24, 1)]:
            problems.append("the starter without payload has resources %r" % bare_kinds)
    else:
        if image.find(archive) < 0:
            problems.append("the archive is not in the image byte for byte")
        if from_stub:
            # After the stub's bytes, zero bytes up to the offset that the
            # stub's payload slot needs (less than a page), the archive, and
            # the 32-byte trailer that ends the file.
            at = len(image) - 32 - len(archive)
            if (at < len(bare) or at - len(bare) >= 65536 or
                    image[len(bare):at].strip(b"\0") or image[at:at + len(archive)] != archive):
                problems.append("the archive does not follow the stub's bytes")
    if bare.find(archive[:64]) >= 0:
        problems.append("the starter without payload carries the archive")
    return problems


# --- starters made from the stub ----------------------------------------------

# What a build would need and making a starter from a stub must not.
BUILD_TOOLS = ["cc", "gcc", "g++", "c++", "clang", "ld", "as", "windres", "cmake",
               "x86_64-w64-mingw32-gcc", "x86_64-w64-mingw32-ld", "x86_64-w64-mingw32-windres"]

# Cases whose starter pack --stub refuses to make: the bytes are no archive.
UNPACKABLE_KINDS = {"not-zip"}

# Cases whose starter only the build makes (the demo's, and the one named for
# this build's own folder in /tmp): a run from the stub is given neither, and
# skips those cases.
BUILT_ONLY_KINDS = {"demo", "default-temp"}


class StubMaker:
    """Makes starters with `pack --stub`, the PATH limited to an empty folder."""

    def __init__(self, platform, stub, pack, work):
        self.platform = platform
        self.stub = os.path.abspath(stub)
        self.pack = os.path.abspath(pack)
        self.no_tools = os.path.join(work, "no-tools")
        os.makedirs(self.no_tools)
        # Starters run as another user in one case: the folders must let it in.
        os.chmod(work, 0o755)
        platform.starter_dir = os.path.join(work, "starters")
        os.makedirs(platform.starter_dir)
        os.chmod(platform.starter_dir, 0o755)

    def make(self, source, output, extra=()):
        env = dict(os.environ, PATH=self.no_tools)
        return subprocess.run([self.pack, source, "-o", output, "--stub", self.stub, "--quiet"]
                              + list(extra), env=env, capture_output=True, text=True, timeout=300)

    def make_case_starters(self):
        """Each case's starter from the archive its compiled starter carries;
        the bare stub stands in for the starter without payload."""
        problems = []
        found = [tool for tool in BUILD_TOOLS if shutil.which(tool, path=self.no_tools)]
        if found:
            problems.append("the limited PATH still offers %s" % ", ".join(found))
        for kind in sorted({case["kind"] for case in CASES} - BUILT_ONLY_KINDS):
            output = self.platform.starter(kind)
            if kind == "no-payload":
                shutil.copyfile(self.stub, output)
                os.chmod(output, 0o755)
                continue
            done = self.make(os.path.join(self.platform.bin_dir, kind + ".zip"), output)
            if kind in UNPACKABLE_KINDS:
                if (done.returncode != 1 or "could not open it as an archive" not in done.stderr
                        or os.path.exists(output)):
                    problems.append("%s: pack --stub did not refuse it: status %d, %r"
                                    % (kind, done.returncode, done.stderr))
            elif done.returncode != 0 or not os.path.isfile(output):
                problems.append("%s: pack --stub failed: status %d, %r"
                                % (kind, done.returncode, done.stderr))
        return problems

    def check_identity(self):
        """A starter made from a folder with another application name (beyond
        ASCII, with a character outside the BMP) and another executable path
        unpacks into that folder and starts that program with that name."""
        platform = self.platform
        name = "Gr\u00fc\u00dfe-\U0001F600"
        program = ["Other App", "bin", "run" + platform.suffix]
        root = tempfile.mkdtemp(prefix="starter-e2e-")
        try:
            app = os.path.join(root, "app")
            os.makedirs(os.path.join(app, *program[:-1]))
            shutil.copyfile(os.path.join(platform.bin_dir, "e2e_probe" + platform.suffix),
                            os.path.join(app, *program))
            os.chmod(os.path.join(app, *program), 0o755)
            done = self.make(app, platform.starter("renamed"),
                             ["--app-name", name, "--exe", "/".join(program)])
            if done.returncode != 0:
                return ["pack --stub failed: status %d, %r" % (done.returncode, done.stderr)]
            ctx = Context(os.path.join(root, "run"))
            ctx.destination = os.path.join(ctx.temp, name)
            ctx.env["PROBE_REPORT"] = platform.child_path(ctx.report)
            status, out, err = platform.run("renamed", [], ctx)
            problems = []
            if status != 0 or out != (BANNER + PROBE).encode() or err != b"":
                problems.append("status %r, stdout %r, stderr %r" % (status, out, err))
            report = ctx.read_report()
            sep = platform.separator()
            expected = [platform.child_path(ctx.destination) + sep + sep.join(program), name]
            if report is None or report["arg"] != expected:
                problems.append("the child got %r, expected %r"
                                % (report and report["arg"], expected))
            if os.path.lexists(ctx.destination) or os.listdir(ctx.temp):
                problems.append("left in the temporary directory: %r" % os.listdir(ctx.temp))
            return problems
        finally:
            shutil.rmtree(root, ignore_errors=True)

    def make_native_starter(self, root):
        """A native starter of the probe application, made in `root`."""
        starter = os.path.join(root, "starter")
        done = self.make(os.path.join(self.platform.bin_dir, "application.zip"), starter)
        if done.returncode != 0:
            raise AssertionError("pack --stub failed: status %d, %r"
                                 % (done.returncode, done.stderr))
        return starter

    def run_variant(self, root, name, starter, expect_status, expect_out, expect_err,
                    preexec=None):
        """Runs `starter`; the problems with its outcome, named `name`."""
        ctx = Context(os.path.join(root, "run-" + name))
        ctx.starter = starter
        ctx.preexec = preexec
        status, out, err = self.platform.run("application", [], ctx)
        problems = []
        if (status != expect_status or out != expect_out.encode() or
                not re.search(expect_err, err.decode("utf-8", "replace"))):
            problems.append("%s: status %r, stdout %r, stderr %r" % (name, status, out, err))
        if os.listdir(ctx.temp):
            problems.append("%s: left in the temporary directory: %r"
                            % (name, os.listdir(ctx.temp)))
        return problems

    def check_damaged_starters(self):
        """A native starter cut short ends through the failed-open path with a
        message that says so, nothing written; bytes appended to it (a
        download tool) and strip leave it working, since it finds its archive
        through its program headers, not at the end of its file."""
        root = tempfile.mkdtemp(prefix="starter-e2e-")
        try:
            starter = self.make_native_starter(root)
            with open(starter, "rb") as handle:
                image = handle.read()
            variants = {
                # More than a page gone: the archive's segment reaches past the
                # end of the file.
                "cut-by-a-page": image[:len(image) - 5000],
                # A few bytes gone: the end of the trailer reads as zero bytes.
                "cut-by-ten-bytes": image[:len(image) - 10],
                "appended": image + b"added by a download tool\n" * 100,
            }
            for name, data in variants.items():
                with open(os.path.join(root, name), "wb") as handle:
                    handle.write(data)
                os.chmod(os.path.join(root, name), 0o755)
            problems = []
            fail = r"\AFailed opening zip : the starter's "
            problems += self.run_variant(root, "cut-by-a-page", os.path.join(root, "cut-by-a-page"),
                                         EXIT_UNHANDLED, BANNER, fail + r"file is cut short[^\n]*\n\Z")
            problems += self.run_variant(root, "cut-by-ten-bytes",
                                         os.path.join(root, "cut-by-ten-bytes"), EXIT_UNHANDLED,
                                         BANNER, fail + r"[^\n]*the file is cut short or was altered")
            problems += self.run_variant(root, "appended", os.path.join(root, "appended"), 0,
                                         BANNER + PROBE, r"\A\Z")
            strip = shutil.which("strip")
            if strip is None:
                problems.append("no strip on the PATH to try a stripped starter with")
            else:
                stripped = os.path.join(root, "stripped")
                subprocess.run([strip, "-o", stripped, starter], check=True, timeout=60)
                problems += self.run_variant(root, "stripped", stripped, 0, BANNER + PROBE,
                                             r"\A\Z")
            return problems
        finally:
            shutil.rmtree(root, ignore_errors=True)

    def check_without_reading_itself(self):
        """A native starter reaches its archive with /proc unavailable (a
        mount namespace with an empty /proc) and when the user running it may
        execute but not read it (mode 0711, run as another user)."""
        require_root("hide /proc and run the starter as uid %d" % NOBODY)
        root = tempfile.mkdtemp(prefix="starter-e2e-")
        try:
            os.chmod(root, 0o755)
            closed = closed_to_others(root)
            if closed:
                raise Skipped("uid %d cannot reach %s" % (NOBODY, closed))
            try:
                subprocess.run(["true"], preexec_fn=hide_proc, check=True, timeout=60)
            except (OSError, subprocess.SubprocessError) as error:
                raise Skipped("cannot hide /proc here: %s" % error)
            starter = self.make_native_starter(root)
            os.chmod(starter, 0o711)
            problems = []
            if is_sanitized(starter):
                print("note: without /proc not tried: the sanitizer's runtime needs it")
            else:
                problems += self.run_variant(root, "no-proc", starter, 0, BANNER + PROBE,
                                             r"\A\Z", preexec=hide_proc)

            def become_nobody():
                os.setgid(NOBODY)
                os.setuid(NOBODY)
            # The run's folders belong to that user, which may then unpack.
            ctx = Context(os.path.join(root, "run-unreadable"))
            for folder in (ctx.root, ctx.temp, ctx.cwd):
                os.chown(folder, NOBODY, NOBODY)
            ctx.starter = starter
            ctx.preexec = become_nobody
            status, out, err = self.platform.run("application", [], ctx)
            if status != 0 or out != (BANNER + PROBE).encode() or err != b"":
                problems.append("mode 0711 as uid %d: status %r, stdout %r, stderr %r"
                                % (NOBODY, status, out, err))
            if os.listdir(ctx.temp):
                problems.append("mode 0711: left in the temporary directory: %r"
                                % os.listdir(ctx.temp))
            return problems
        finally:
            shutil.rmtree(root, ignore_errors=True)

    def check_unix_modes(self):
        """A native starter made from a folder carries its files' permissions:
        the program it runs starts a helper script of the tree, which only
        runs when it is executable. From the same tree packed for a Windows
        starter (no modes), the helper cannot run."""
        platform = self.platform
        root = tempfile.mkdtemp(prefix="starter-e2e-")
        try:
            app = os.path.join(root, "app")
            os.makedirs(os.path.join(app, "bin"))
            main = os.path.join(app, "bin", "main")
            helper = os.path.join(app, "bin", "helper.sh")
            with open(main, "w") as handle:
                handle.write('#!/bin/sh\nexec "$(dirname "$0")/helper.sh" "$@"\n')
            with open(helper, "w") as handle:
                handle.write('#!/bin/sh\necho "helper: ran for $1"\n')
            os.chmod(main, 0o644)  # the starter makes the program it runs executable
            os.chmod(helper, 0o755)
            problems = []
            windows_form = os.path.join(root, "windows-form.zip")
            packed = subprocess.run([self.pack, app, "-o", windows_form, "--exe", "bin/main",
                                     "--quiet"], capture_output=True, text=True, timeout=300)
            if packed.returncode != 0:
                return ["pack failed: status %d, %r" % (packed.returncode, packed.stderr)]
            for kind, source in (("modes", app), ("no-modes", windows_form)):
                done = self.make(source, platform.starter(kind), ["--exe", "bin/main"])
                if done.returncode != 0:
                    return ["pack --stub failed: status %d, %r" % (done.returncode, done.stderr)]
                ctx = Context(os.path.join(root, "run-" + kind))
                status, out, err = platform.run(kind, [], ctx)
                if kind == "modes" and (status != 0 or
                                        out != (BANNER + "helper: ran for quillorbite\n").encode()
                                        or err != b""):
                    problems.append("from the folder: status %r, stdout %r, stderr %r"
                                    % (status, out, err))
                # The starter ends with 0 whatever its application's status.
                if kind == "no-modes" and (status != 0 or out != BANNER.encode() or
                                           not err):
                    problems.append("without modes: status %r, stdout %r, stderr %r"
                                    % (status, out, err))
                if os.path.lexists(ctx.destination) or os.listdir(ctx.temp):
                    problems.append("%s: left in the temporary directory: %r"
                                    % (kind, os.listdir(ctx.temp)))
            return problems
        finally:
            shutil.rmtree(root, ignore_errors=True)


# A file large enough that its unpacking is under way when a signal comes,
# 384 pieces for the packer.
LARGE_FILE = "quillorbite/Content/large.pak"
LARGE_FILE_MIB = 384
# What the starter gets to end after a signal; it needs a fraction of this.
SIGNAL_END_LIMIT = 2.0


def write_large_file(path):
    """LARGE_FILE_MIB MiB of text, each MiB beginning with its number, so that
    the end of a file cut short cannot look like the end of the whole."""
    block = b"".join(b"line %d of the large file, %d\n" % (i, i * 2654435761 % 1000003)
                     for i in range(40000))[:1 << 20]
    assert len(block) == 1 << 20
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        for mib in range(LARGE_FILE_MIB):
            f.write(b"%08d" % mib + block[8:])


def large_file_app(root, probe):
    """An application tree around `probe` with one large file in it."""
    app = os.path.join(root, "app")
    exe = os.path.join(app, *EXE_PARTS)
    os.makedirs(os.path.dirname(exe))
    shutil.copyfile(probe, exe)
    os.chmod(exe, 0o755)
    write_large_file(os.path.join(app, *LARGE_FILE.split("/")))
    return app


def zip_without_index(app, output):
    """The tree as another tool would pack it: one deflate stream per file,
    no piece index."""
    with zipfile.ZipFile(output, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
        for folder, _, names in os.walk(app):
            for name in sorted(names):
                path = os.path.join(folder, name)
                info = zipfile.ZipInfo.from_file(path, os.path.relpath(path, app))
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    archive.writestr(info, f.read(), compresslevel=1)


def signal_during_large_file(platform, starter, root, number, existing=False):
    """Runs `starter` and interrupts it once it has made the large file:
    natively with `number`, under Wine with Ctrl-C on its console (pressed by
    the launcher as soon as the file exists). Returns (problems, seconds from
    the interruption to the starter's end)."""
    ctx = Context(root)
    if existing:
        os.makedirs(ctx.destination)
        os.chmod(ctx.destination, 0o700)
    ctx.starter = starter
    ctx.env["PROBE_REPORT"] = platform.child_path(ctx.report)
    large = os.path.join(ctx.destination, *LARGE_FILE.split("/"))
    moments = {}
    if platform.name == "windows":
        ctx.console = True
        ctx.env["E2E_CTRL_C_WHEN"] = platform.child_path(large)
    else:
        ctx.preexec = signals_at_default

    def during(ctx, process):
        wait_until(lambda: os.path.exists(large) or process.poll() is not None, "the large file")
        moments["sent"] = time.monotonic()
        if platform.name != "windows":
            process.send_signal(number)
        process.wait(timeout=120)
        moments["ended"] = time.monotonic()
    ctx.during = during
    status, out, err = platform.run("large", [], ctx)
    seconds = moments["ended"] - moments["sent"]
    what = number.name if platform.name != "windows" else "Ctrl-C"
    expected = (killed_by(number) if platform.name != "windows"
                else platform.expected_status(STATUS_CONTROL_C_EXIT))
    problems = []
    if status != expected or out != BANNER.encode() or err != b"":
        problems.append("%s: status %r, stdout %r, stderr %r" % (what, status, out, err))
    if seconds > SIGNAL_END_LIMIT:
        problems.append("%s: ended %.2f s after it" % (what, seconds))
    if ctx.read_report() is not None:
        problems.append("%s: the application was started" % what)
    if existing:
        # The tree stays: the large file must not have been unpacked whole.
        with open(large, "rb") as f:
            f.seek((LARGE_FILE_MIB - 1) << 20)
            end = f.read(8)
        if end == b"%08d" % (LARGE_FILE_MIB - 1):
            problems.append("%s: the large file was unpacked to its end" % what)
    elif os.path.lexists(ctx.destination) or os.listdir(ctx.temp):
        problems.append("%s: left in the temporary directory: %r" % (what, os.listdir(ctx.temp)))
    return problems, seconds


def check_signal_during_large_file(maker):
    """SIGTERM, SIGINT and SIGHUP (under Wine Ctrl-C) while a large file is
    unpacked, with and without a piece index: the starter ends by the signal
    within moments, starts no application and removes the destination it
    made. Into an existing destination, which stays, the file is left
    unfinished."""
    platform = maker.platform
    root = tempfile.mkdtemp(prefix="starter-e2e-")
    try:
        app = large_file_app(root, os.path.join(platform.bin_dir, "e2e_probe" + platform.suffix))
        unindexed = os.path.join(root, "unindexed.zip")
        zip_without_index(app, unindexed)
        numbers = ([signal.SIGINT] if platform.name == "windows"
                   else [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
        problems = []
        for kind, source in (("with a piece index", app), ("without an index", unindexed)):
            starter = os.path.join(root, "starter-large-" + kind.split()[0] + platform.suffix)
            done = maker.make(source, starter)
            if done.returncode != 0:
                return ["pack --stub failed: status %d, %r" % (done.returncode, done.stderr)]
            runs = [(number, False) for number in numbers] + [(numbers[0], True)]
            for number, existing in runs:
                run_root = os.path.join(root, "run-%s-%s-%d" % (kind.split()[0], number.name,
                                                                 existing))
                found, seconds = signal_during_large_file(platform, starter, run_root, number,
                                                          existing)
                print("      %s, %s%s: ended %.3f s after it"
                      % (kind, "Ctrl-C" if platform.name == "windows" else number.name,
                         " (existing destination)" if existing else "", seconds), flush=True)
                problems += ["%s: %s" % (kind, problem) for problem in found]
                shutil.rmtree(run_root, ignore_errors=True)
        return problems
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--platform", choices=["native", "windows"], required=True)
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--demo-starter", help="the starter around the demo application")
    parser.add_argument("--demo-app", help="the folder the demo's starter was packed from")
    parser.add_argument("--default-temp-app",
                        help="the application name of starter-default-temp (native only)")
    parser.add_argument("--stub", help="run against starters made from this stub")
    parser.add_argument("--pack", help="the packer that makes them (with --stub)")
    parser.add_argument("--case", action="append",
                        help="run only cases whose name contains this (may be repeated)")
    options = parser.parse_args()
    if bool(options.demo_starter) != bool(options.demo_app):
        parser.error("--demo-starter and --demo-app go together")
    if bool(options.stub) != bool(options.pack):
        parser.error("--stub and --pack go together")
    platform = (Native if options.platform == "native" else Windows)(
        options.bin_dir, options.demo_starter, options.demo_app)
    platform.default_temp_app = options.default_temp_app
    outcomes = []

    def attempt(run):
        try:
            return run()
        except Skipped:
            raise
        except Exception:
            problems = ["the case raised an exception:"]
            return problems + ["  " + line
                               for line in traceback.format_exc().rstrip().splitlines()]

    def report(name, run):
        try:
            problems = attempt(run)
            # Wine 8 now and then faults inside its own code, or fails to
            # start a process, whatever the program: that says nothing of the
            # starter, so such a run is tried again, and said so.
            for _ in range(2):
                if not (platform.name == "windows" and any(
                        marker in problem for problem in problems for marker in WINE_FAULTS)):
                    break
                print("again %s: %s (Wine faulted)" % (platform.name, name), flush=True)
                problems = attempt(run)
        except Skipped as reason:
            outcomes.append("skipped")
            print("skip %s: %s\n    %s" % (platform.name, name, reason), flush=True)
            return
        outcomes.append("failed" if problems else "passed")
        print("%s %s: %s" % ("FAIL" if problems else "ok  ", platform.name, name), flush=True)
        for problem in problems:
            print("    " + problem)

    work = tempfile.mkdtemp(prefix="starter-e2e-stub-") if options.stub else None
    try:
        if work:
            maker = StubMaker(platform, options.stub, options.pack, work)
            report("pack --stub makes the starters with no compiler on the PATH "
                   "and refuses bytes that are no archive", maker.make_case_starters)
        for case in CASES:
            if options.case and not any(part in case["name"] for part in options.case):
                continue
            if platform.name not in case.get("platforms", [platform.name]):
                continue
            if work and case["kind"] in UNPACKABLE_KINDS:
                continue
            report(case["name"], lambda: run_case(platform, case))
        if not options.case:
            report("two runs at once", lambda: two_runs_at_once(platform))
            report("the archive is embedded byte for byte",
                   lambda: check_embedding(platform, from_stub=bool(work)))
            if work:
                report("a stub filled with another name and program runs them",
                       maker.check_identity)
                if platform.name == "native":
                    report("a native starter keeps the files' Unix permissions",
                           maker.check_unix_modes)
                    report("a native starter cut short says so; one with bytes appended or "
                           "stripped runs", maker.check_damaged_starters)
                    report("a native starter runs without /proc and when it may not be read",
                           maker.check_without_reading_itself)
        name = "a signal while a large file is unpacked ends the starter at once"
        if work and (
                not options.case or any(part in name for part in options.case)):
            report(name, lambda: check_signal_during_large_file(maker))
    finally:
        if work:
            shutil.rmtree(work, ignore_errors=True)
    failed = outcomes.count("failed")
    print("%d passed, %d failed, %d skipped" % (outcomes.count("passed"), failed,
                                                outcomes.count("skipped")))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
