#!/usr/bin/env python3
"""Command-line tests of the pack tool.

Usage: pack_cli_test.py [--emulator PROGRAM] [--stub STUB] PATH_TO_PACK

Builds application folders in a temporary directory, runs pack on them and
checks exit statuses, messages and the archives (with Info-ZIP unzip/zipinfo
and zip where installed). Prints one line per case and "N passed, M failed";
exits non-zero when any case failed.

With --emulator (Wine) PATH_TO_PACK is pack.exe, run through PROGRAM with the
folders named by their Windows paths (drive Z:). Cases that need what only
POSIX has (symbolic links, FIFOs, names Windows cannot hold, SIGTERM) are
skipped, each with the reason printed, and so are the table's cases whose
behaviour does not differ on Windows (WINDOWS_CASES says which run).

With --stub (the build's starter-stub: an ELF file natively, a PE image for
Windows) the cases that make starters run too; the stub's kind decides which
form pack gives them.
"""

import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile

EXE = "quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe"

# Cases that cannot run against the Windows packer, and why.
POSIX_ONLY = {
    "symbolic link refused": "Wine shows a symbolic link as what it leads to",
    "symbolic link followed": "Wine shows a symbolic link as what it leads to",
    "symbolic link loop": "Wine shows a symbolic link as what it leads to",
    "dangling link": "Wine hides a dangling symbolic link",
    "backslash in a name": "a Windows name cannot hold a backslash",
    "name not UTF-8": "Windows names are UTF-16, never bytes that are not UTF-8",
    "FIFO": "a Windows folder holds no FIFO",
    "names differing only in case refused": "a Windows folder cannot hold both names",
    "names differing only in case refused for windows": "a Windows folder cannot hold both names",
    "names differing only in case warned for native": "a Windows folder cannot hold both names",
}

# Under Wine every run of the packer costs seconds, so there only the cases
# whose behaviour can differ on Windows run (paths on drive Z:, names beyond
# ASCII through UTF-16 and the console, command-line quoting, reserved device
# names); every case runs natively. The bad names are picked by name: all
# their uses run.
WINDOWS_CASES = {
    "help", "no arguments", "missing folder", "folder is a file", "output folder missing",
    "output inside the folder", "missing executable warns",
    "missing executable with --require-exe", "folder and archive named beyond ASCII",
    "list missing archive", "list not an archive", "list notes a missing default executable",
    "check-names accepts names beyond ASCII",
}
WINDOWS_BAD_NAMES = ["", "a\\b", "CON", "tab\tname"]


def runs_under_wine(name):
    return name in WINDOWS_CASES or any(name.endswith(" %r refused" % bad)
                                        for bad in WINDOWS_BAD_NAMES)


# Names that are no plain folder name on every platform: refused as the
# application name and as a level of the executable's path, in every command
# that takes them, with status 2.
BAD_NAMES = ["", ".", "..", "a/b", "a\\b", "CON", "con.txt", "LPT9", "Com1.log", "name.",
             "name ", "a:b", "a|b", "a<b", "tab\tname"]


def bad_name_cases():
    cases = []
    for bad in BAD_NAMES:
        exe = "bin/%s/app.exe" % bad
        uses = [("--app-name", ["{app}", "-o", "{out}/s", "--stub", "{tmp}/plain-file",
                                "--app-name", bad]),
                ("--app-name", ["check-names", "--app-name", bad])]
        if "/" not in bad:  # "bin/a/b/app.exe" is a good path
            uses += [("--exe", ["{app}", "-o", "{out}/a.zip", "--exe", exe]),
                     ("--exe", ["{app}", "-o", "{out}/s", "--stub", "{tmp}/plain-file",
                                "--exe", exe]),
                     ("--exe", ["list", "--exe", exe, "{tmp}/plain-file"]),
                     ("--exe", ["check-names", "--exe", exe])]
        for option, args in uses:
            mode = "pack" if args[0] == "{app}" else args[0]
            if "--stub" in args:
                mode = "pack --stub"
            cases.append(("%s %s %r refused" % (mode, option, bad), args, 2,
                          "pack: %s '" % option, ""))
    return cases

# Cases run as data: (name, arguments, expected exit status, substring the
# standard error must hold, substring the standard output must hold). In the
# arguments "{app}" is a conforming application folder, "{out}" an empty
# output folder (checked to stay empty when the status is not 0), "{tmp}"
# the scratch folder, "{utf8_app}" a folder named beyond ASCII and "{bad_*}"
# folders each holding one defect.
CASES = [
    ("help", ["--help"], 0, "", "pack APP_DIR -o ARCHIVE"),
    ("version", ["--version"], 0, "", "pack 1.0.0"),
    ("no arguments", [], 2, "no application folder", ""),
    ("no output", ["{app}"], 2, "-o ARCHIVE", ""),
    ("unknown option", ["{app}", "-o", "{out}/a.zip", "--fast"], 2, "unknown option", ""),
    ("level out of range", ["{app}", "-o", "{out}/a.zip", "--level", "12"], 2, "--level", ""),
    ("zero threads", ["{app}", "-o", "{out}/a.zip", "--threads", "0"], 2, "--threads", ""),
    ("store-below out of range", ["{app}", "-o", "{out}/a.zip", "--store-below", "101"], 2,
     "--store-below needs a number from 0 to 100", ""),
    ("absolute --exe", ["{app}", "-o", "{out}/a.zip", "--exe", "/x.exe"], 2, "--exe", ""),
    ("missing folder", ["{tmp}/no-such-app", "-o", "{out}/a.zip"], 1, "no-such-app", ""),
    ("folder is a file", ["{tmp}/plain-file", "-o", "{out}/a.zip"], 1, "not a folder", ""),
    ("output folder missing", ["{app}", "-o", "{tmp}/nowhere/a.zip"], 1, "nowhere", ""),
    ("output inside the folder", ["{app}", "-o", "{app}/payload.zip"], 1, "inside", ""),
    ("symbolic link refused", ["{bad_link}", "-o", "{out}/a.zip", "--exe", ""], 1,
     "alias.txt: is a symbolic link", ""),
    ("symbolic link followed", ["{bad_link}", "-o", "{tmp}/followed.zip", "--exe", "",
                                "--follow-symlinks"], 0, "", "wrote"),
    ("symbolic link loop", ["{bad_loop}", "-o", "{out}/a.zip", "--exe", "",
                            "--follow-symlinks"], 1, "loop", ""),
    ("dangling link", ["{bad_dangling}", "-o", "{out}/a.zip", "--exe", "",
                       "--follow-symlinks"], 1, "dangling", ""),
    ("backslash in a name", ["{bad_backslash}", "-o", "{out}/a.zip", "--exe", ""], 1,
     "backslash", ""),
    ("name not UTF-8", ["{bad_latin1}", "-o", "{out}/a.zip", "--exe", ""], 1,
     "caf\\xE9.txt: name is not valid UTF-8", ""),
    ("FIFO", ["{bad_fifo}", "-o", "{out}/a.zip", "--exe", ""], 1, "pipe", ""),
    ("missing executable warns", ["{bad_noexe}", "-o", "{tmp}/noexe.zip"], 0,
     "warning: ", "wrote"),
    ("missing executable with --require-exe", ["{bad_noexe}", "-o", "{out}/a.zip",
                                               "--require-exe"], 1, EXE, ""),
    ("other executable with --exe", ["{bad_noexe}", "-o", "{tmp}/other.zip", "--require-exe",
                                     "--exe", "bin/tool.exe"], 0, "", "wrote"),
    ("quiet", ["{app}", "-o", "{tmp}/quiet.zip", "--quiet"], 0, "", ""),
    ("folder and archive named beyond ASCII", ["{utf8_app}", "-o", "{tmp}/r\u00e9sum\u00e9.zip",
                                               "--exe", ""], 0, "", "r\u00e9sum\u00e9.zip"),
    ("list missing archive", ["list", "{tmp}/none.zip"], 1, "none.zip", ""),
    ("list not an archive", ["list", "{tmp}/plain-file"], 1, "not a ZIP", ""),
    # noexe.zip is the archive "missing executable warns" wrote.
    ("list notes a missing default executable", ["list", "{tmp}/noexe.zip"], 0, "",
     "note: no " + EXE),
    ("list with --require-exe breaks on it", ["list", "--require-exe", "{tmp}/noexe.zip"], 3,
     "", "[executable] no entry '%s'" % EXE),
    ("list with --exe checks for another", ["list", "--exe", "bin/tool.exe", "{tmp}/noexe.zip"],
     0, "", "conforms"),
    ("list with --exe breaks on a missing one", ["list", "--exe", "bin/none.exe",
                                                 "{tmp}/noexe.zip"], 3, "", "[executable]"),
    ("check-names accepts good names", ["check-names", "--app-name", "quillorbite", "--exe", EXE],
     0, "", ""),
    ("check-names accepts names beyond ASCII", ["check-names", "--app-name", "Gr\u00fc\u00dfe",
                                                "--exe", "Other App/r\u00e9sum\u00e9.exe"],
     0, "", ""),
    ("check-names needs a name", ["check-names"], 2, "check-names needs", ""),
    # Past the first refused name to the last one (standard error has "\r\n"
    # line ends under Wine, so each case looks for one line).
    ("check-names reports each refused name",
     ["check-names", "--app-name", "CON", "--exe", "ok/app", "--exe", "bin/NUL.txt"], 2,
     "pack: --exe 'bin/NUL.txt' has a component that is a Windows device name ('NUL.txt')", ""),
    ("check-names says why a name is refused", ["check-names", "--app-name", "a/b"], 2,
     "pack: --app-name 'a/b' holds a '/' or '\\': it must be a plain folder name", ""),
    ("check-names takes no folder", ["check-names", "{app}", "--app-name", "a"], 2,
     "takes no folder", ""),
    ("check-names takes no packing option", ["check-names", "--app-name", "a", "--level", "1"],
     2, "not for check-names", ""),
    ("unknown target", ["{app}", "-o", "{out}/a.zip", "--target", "linux"], 2, "--target", ""),
    ("no target for list", ["list", "--target", "native", "{tmp}/noexe.zip"], 2,
     "not for list", ""),
    ("names differing only in case refused", ["{bad_case}", "-o", "{out}/a.zip"], 1,
     "pack: Data/ and data differ only in case", ""),
    ("names differing only in case refused for windows", ["{bad_case}", "-o", "{out}/a.zip",
                                                          "--target", "windows"], 1,
     "nothing written", ""),
    ("names differing only in case warned for native", ["{bad_case}", "-o", "{tmp}/case.zip",
                                                        "--target", "native"], 0,
     "pack: warning: Data/ and data differ only in case", "wrote"),
] + bad_name_cases()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as handle:
        handle.write(data)


def text_bytes(length, seed):
    rng = random.Random(seed)
    words = [b"alpha ", b"beta ", b"gamma\n", b"delta ", b"epsilon ", b"zeta\n"]
    out = bytearray()
    while len(out) < length:
        out += rng.choice(words)
    return bytes(out[:length])


def random_bytes(length, seed):
    return random.Random(seed).randbytes(length) if hasattr(random.Random, "randbytes") \
        else bytes(random.Random(seed).getrandbits(8) for _ in range(length))


def make_app(root):
    """A conforming application folder with mixed content and tricky names."""
    write(os.path.join(root, EXE), b"MZ" + random_bytes(150000, 1))
    write(os.path.join(root, "quillorbite/Content/Paks/data.pak"),
          text_bytes(900000, 2) + random_bytes(300000, 3) + text_bytes(400000, 4))
    write(os.path.join(root, "Engine/Config/base.ini"), text_bytes(20000, 5))
    write(os.path.join(root, "_internal/x.txt"), b"underscore")
    write(os.path.join(root, "9first.txt"), b"digit")
    write(os.path.join(root, "readme.TXT"), text_bytes(3000, 6))
    write(os.path.join(root, "empty.bin"), b"")
    write(os.path.join(root, "caf\u00e9/men\u00fc.txt"), b"menu")
    os.makedirs(os.path.join(root, "Empty Folder"))
    deep = os.path.join(root, *["d%d" % i for i in range(25)])
    write(os.path.join(deep, "bottom.txt"), b"deep")
    os.chmod(os.path.join(root, EXE), 0o755)


def make_bad_folders(tmp):
    folders = {}

    def new(name, key=None):
        path = os.path.join(tmp, name)
        os.makedirs(path)
        folders[key or name] = path
        return path

    # Named beyond ASCII, to reach the packer through the command line intact.
    utf8_app = new("d\u00e9j\u00e0 vu", "utf8_app")
    write(os.path.join(utf8_app, "\u00fcber.txt"), b"over")

    link = new("bad_link")
    write(os.path.join(link, "real.txt"), b"real")
    os.symlink("real.txt", os.path.join(link, "alias.txt"))
    loop = new("bad_loop")
    os.makedirs(os.path.join(loop, "a"))
    os.symlink("..", os.path.join(loop, "a", "up"))
    dangling = new("bad_dangling")
    os.symlink("nowhere", os.path.join(dangling, "dangling"))
    backslash = new("bad_backslash")
    write(os.path.join(backslash, "win\\name.txt"), b"x")
    latin1 = new("bad_latin1")
    write(os.path.join(latin1.encode(), b"caf\xe9.txt"), b"x")
    fifo = new("bad_fifo")
    os.mkfifo(os.path.join(fifo, "pipe"))
    noexe = new("bad_noexe")
    write(os.path.join(noexe, "bin/tool.exe"), b"MZ")
    case = new("bad_case")
    write(os.path.join(case, EXE), b"MZ")
    write(os.path.join(case, "Data", "readme.txt"), b"a folder")
    write(os.path.join(case, "data"), b"and a file of the same name but for case")
    return folders


class Runner:
    def __init__(self, pack, emulator):
        self.command = ([emulator] if emulator else []) + [pack]
        self.windows = bool(emulator)
        self.passed = 0
        self.failed = 0

    def path(self, path):
        """`path` as the packer names it: under Wine, on drive Z:."""
        return "Z:" + path.replace("/", "\\") if self.windows else path

    def run(self, args):
        return subprocess.run(self.command + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, timeout=300)

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print("PASS  " + name)
        else:
            self.failed += 1
            print("FAIL  " + name + ("\n      " + detail.replace("\n", "\n      ") if detail else ""))


def expand(args, places):
    return [arg.format(**places) for arg in args]


def run_cases(runner, places, out):
    native_only = 0
    for name, args, status, err_part, out_part in CASES:
        if runner.windows and name in POSIX_ONLY:
            print("SKIP  %s: %s" % (name, POSIX_ONLY[name]))
            continue
        if runner.windows and not runs_under_wine(name):
            native_only += 1
            continue
        result = runner.run(expand(args, places))
        err = result.stderr.decode("utf-8", "replace")
        text = result.stdout.decode("utf-8", "replace")
        problems = []
        if result.returncode != status:
            problems.append("status %d, expected %d" % (result.returncode, status))
        if err_part and err_part not in err:
            problems.append("stderr lacks %r" % err_part)
        if out_part and out_part not in text:
            problems.append("stdout lacks %r" % out_part)
        if status != 0 and os.listdir(out):
            problems.append("left behind: %s" % os.listdir(out))
        for leftover in os.listdir(out):
            os.remove(os.path.join(out, leftover))
        runner.check(name, not problems, "; ".join(problems) + "\nstderr: " + err.strip())
    if native_only:
        print("SKIP  %d cases that behave alike on Windows: they run natively" % native_only)


def zipinfo_blocks(archive):
    text = subprocess.run(["zipinfo", "-v", archive], stdout=subprocess.PIPE,
                          check=True).stdout.decode("utf-8", "replace")
    return re.split(r"\nCentral directory entry #\d+:\n-+\n", text)[1:]


def check_archive_properties(runner, archive):
    result = subprocess.run(["unzip", "-t", archive], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    runner.check("unzip -t passes", result.returncode == 0,
                 result.stdout.decode("utf-8", "replace")[-2000:])

    blocks = zipinfo_blocks(archive)
    problems = []
    for block in blocks:
        name = block.strip().splitlines()[0].strip()
        folder = "MS-DOS file attributes (10 hex):" in block
        wanted = [
            "file system or operating system of origin:      MS-DOS, OS/2 or NT FAT",
            "version of encoding software:                   6.3",
            "file security status:                           not encrypted",
            "extended local header:                          no",
            "length of file comment:                         0 characters",
        ]
        if not folder:
            wanted.append("MS-DOS file attributes (20 hex):")
            if "compression method:                             deflated" in block:
                wanted.append("minimum software version required to extract:   2.0")
            else:
                wanted.append("minimum software version required to extract:   1.0")
        else:
            wanted.append("minimum software version required to extract:   2.0")
            wanted.append("compression method:                             none (stored)")
            if not name.endswith("/"):
                problems.append("%s: folder attributes on a name without '/'" % name)
        for line in wanted:
            if line not in block:
                problems.append("%s: lacks %r" % (name, line))
        # No extra field, or, on a deflated file of several pieces, the piece
        # index (ID 0xBC01) alone.
        extra = re.search(r"length of extra field:\s+(\d+) bytes", block)
        extra_length = int(extra.group(1)) if extra else -1
        subfields = re.findall(r"- A subfield with ID (0x[0-9a-f]{4}) \(\w+\) and (\d+) data bytes",
                               block)
        index_alone = subfields == [("0xbc01", str(extra_length - 4))]
        if extra_length != 0 and not (index_alone and "deflated" in block):
            problems.append("%s: extra field of %d bytes, subfields %s" % (name, extra_length,
                                                                         subfields))
    runner.check("zipinfo -v shows the fixed form (%d entries)" % len(blocks),
                 blocks and not problems, "\n".join(problems[:10]))


def check_roundtrip(runner, archive, app):
    """Python's zipfile (which honours the UTF-8 flag) must give back every
    file and folder of `app` byte for byte, and nothing else."""
    problems = []
    with zipfile.ZipFile(archive) as packed:
        names = packed.namelist()
        expected = []
        for folder, dirs, files in os.walk(app):
            relative = os.path.relpath(folder, app)
            prefix = "" if relative == "." else relative.replace(os.sep, "/") + "/"
            expected += [prefix + name + "/" for name in dirs]
            for name in files:
                expected.append(prefix + name)
                with open(os.path.join(folder, name), "rb") as handle:
                    if packed.read(prefix + name) != handle.read():
                        problems.append("differs: " + prefix + name)
        if sorted(names) != sorted(expected):
            problems.append("names differ: %s" % sorted(set(names) ^ set(expected)))
    runner.check("zipfile gives back the folder byte for byte", not problems,
                 "\n".join(problems[:10]))


def check_native_form(runner, tmp, app):
    """--target native records Unix modes: host 3, the file's mode (on POSIX
    its own, 0755 for the executable; Windows has none and gives 0644), and
    the lister still calls the archive conforming. Returns its path."""
    archive = os.path.join(tmp, "native.zip")
    result = runner.run([runner.path(app), "-o", runner.path(archive), "--target", "native"])
    runner.check("pack --target native", result.returncode == 0,
                 result.stderr.decode("utf-8", "replace"))
    problems = []
    with zipfile.ZipFile(archive) as packed:
        for info in packed.infolist():
            if info.create_system != 3 or info.create_version != 63:
                problems.append("%s: made by %d/%d" % (info.filename, info.create_system,
                                                       info.create_version))
            kind = 0o040000 if info.is_dir() else 0o100000
            if info.external_attr >> 16 & 0o170000 != kind:
                problems.append("%s: mode %o" % (info.filename, info.external_attr >> 16))
            if info.external_attr & 0xFFFF != (0x10 if info.is_dir() else 0x20):
                problems.append("%s: MS-DOS attributes %#x" % (info.filename,
                                                              info.external_attr & 0xFFFF))
        mode = packed.getinfo(EXE).external_attr >> 16
        wanted = 0o100644 if runner.windows else 0o100755
        if mode != wanted:
            problems.append("%s: mode %o, expected %o" % (EXE, mode, wanted))
    runner.check("the native form records Unix modes", not problems, "\n".join(problems[:10]))
    result = runner.run(["list", "--quiet", runner.path(archive)])
    text = result.stdout.decode("utf-8", "replace")
    runner.check("list on a native archive", result.returncode == 0 and "conforms" in text, text)
    return archive


def check_stub(runner, tmp, app, places, stub, archives):
    """A starter made from `stub` carries the archive of the stub's form, byte
    for byte; a --target the stub contradicts is a bad command line; names
    differing only in case are refused for Windows and warned about for a
    native starter."""
    with open(stub, "rb") as handle:
        windows_stub = handle.read(2) == b"MZ"
    kind = "windows" if windows_stub else "native"
    other = "native" if windows_stub else "windows"
    starter = os.path.join(tmp, "starter-" + kind)
    result = runner.run([runner.path(app), "-o", runner.path(starter), "--stub",
                         runner.path(stub)])
    ok = result.returncode == 0 and os.path.isfile(starter)
    runner.check("pack --stub with a %s stub" % kind, ok,
                 result.stderr.decode("utf-8", "replace"))
    if ok:
        with open(starter, "rb") as handle, open(archives[kind], "rb") as packed:
            carried = handle.read()
            runner.check("the %s starter carries the %s form" % (kind, kind),
                         packed.read() in carried)
    never = os.path.join(tmp, "never-" + kind)
    result = runner.run([runner.path(app), "-o", runner.path(never), "--stub", runner.path(stub),
                         "--target", other])
    err = result.stderr.decode("utf-8", "replace")
    runner.check("--target %s with a %s stub is refused" % (other, kind),
                 result.returncode == 2 and "does not fit the stub" in err and
                 not os.path.exists(never), err)
    if runner.windows and not windows_stub:
        return
    result = runner.run([places["bad_case"], "-o", runner.path(never), "--stub",
                         runner.path(stub)])
    err = result.stderr.decode("utf-8", "replace")
    if windows_stub:
        runner.check("names differing only in case refused with a Windows stub",
                     result.returncode == 1 and "Data/ and data differ only in case" in err and
                     not os.path.exists(never), err)
    else:
        runner.check("names differing only in case warned about with a native stub",
                     result.returncode == 0 and
                     "warning: Data/ and data differ only in case" in err, err)


def check_interrupted_run(runner, tmp):
    """A run stopped by SIGINT or SIGTERM removes its temporary archive. Wine
    turns SIGINT into Ctrl-C; Windows has no SIGTERM to catch."""
    slow = os.path.join(tmp, "slow")
    for i in range(4):
        write(os.path.join(slow, "part%d.txt" % i), text_bytes(2 << 20, 20 + i) * 8)
    for number in (signal.SIGINT, signal.SIGTERM):
        if runner.windows and number == signal.SIGTERM:
            print("SKIP  stopped by SIGTERM: Windows has no termination request a program can catch")
            continue
        target = os.path.join(tmp, "stopped")
        os.makedirs(target)
        child = subprocess.Popen(runner.command + [runner.path(slow), "-o",
                                                   runner.path(os.path.join(target, "a.zip")),
                                                   "--level", "9", "--threads", "1", "--exe", ""],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.listdir(target) and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.005)
        if child.poll() is not None:
            print("SKIP  stopped by %s: packing ended before the signal (status %d)"
                  % (number.name, child.returncode))
            shutil.rmtree(target)
            continue
        child.send_signal(number)
        status = child.wait(timeout=60)
        left = os.listdir(target)
        # Under Wine the status is the low byte of STATUS_CONTROL_C_EXIT.
        expected = 0x3A if runner.windows else -number
        runner.check("stopped by %s leaves nothing behind" % number.name,
                     status == expected and not left, "status %d, left %s" % (status, left))
        shutil.rmtree(target)
    shutil.rmtree(slow)


def open_paths(pid):
    """The paths of the files process `pid` holds open."""
    folder = "/proc/%d/fd" % pid
    paths = set()
    for fd in os.listdir(folder):
        try:
            paths.add(os.readlink(os.path.join(folder, fd)))
        except OSError:
            pass
    return paths


def check_swapped_after_walk(runner, tmp):
    """A file replaced after the walk, by a link to a file outside the folder or
    by another file of the same size, fails the run naming it, and nothing is
    written. The packer is stopped as soon as its temporary archive shows the
    walk is over; the file, last in the archive, is swapped while it cannot
    run. Should it have opened the file already (/proc tells), the case is
    skipped rather than judged."""
    if runner.windows or not os.path.isdir("/proc/self/fd"):
        print("SKIP  file swapped after the walk: holding the packer between its walk and its "
              "reads needs SIGSTOP and /proc")
        return
    app = os.path.join(tmp, "swapped")
    for i in range(2):
        write(os.path.join(app, "part%d.txt" % i), text_bytes(2 << 20, 30 + i) * 2)
    secret = os.path.join(tmp, "secret.txt")
    write(secret, b"s" * 1000)
    os.chmod(secret, 0o600)
    last = os.path.join(app, "zzz-last.txt")
    swaps = [
        ("a link to a file outside", "zzz-last.txt: cannot open: it has been replaced by a "
         "symbolic link", lambda: (os.remove(last), os.symlink(secret, last))),
        ("another file of the same size", "zzz-last.txt: changed while being packed (another "
         "file took its place)", lambda: (write(last + ".new", b"n" * 1000),
                                          os.rename(last + ".new", last))),
    ]
    for how, message, swap in swaps:
        name = "file replaced by %s after the walk" % how
        write(last, b"t" * 1000)
        out = os.path.join(tmp, "swapped-out")
        os.makedirs(out)
        child = subprocess.Popen(runner.command + [app, "-o", os.path.join(out, "a.zip"),
                                                   "--level", "9", "--threads", "1", "--exe", ""],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while not os.listdir(out) and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.002)
        opened = None  # whether it held the file open when stopped
        if child.poll() is None:
            os.kill(child.pid, signal.SIGSTOP)
            opened = last in open_paths(child.pid)
            swap()
            os.kill(child.pid, signal.SIGCONT)
        _, err = child.communicate(timeout=300)
        err = err.decode("utf-8", "replace")
        if opened is None:
            print("SKIP  %s: the packer ended before it could be stopped" % name)
        elif opened:
            print("SKIP  %s: the packer had opened the file before it was stopped" % name)
        else:
            runner.check(name, child.returncode == 1 and message in err and not os.listdir(out),
                         "status %d, left %s, stderr %s" % (child.returncode, os.listdir(out), err))
        os.remove(last)
        shutil.rmtree(out)
    shutil.rmtree(app)


def main():
    args = sys.argv[1:]
    emulator = None
    stub = None
    while len(args) >= 3 and args[0] in ("--emulator", "--stub"):
        if args[0] == "--emulator":
            emulator = args[1]
        else:
            stub = os.path.abspath(args[1])
        args = args[2:]
    if len(args) != 1:
        print("usage: pack_cli_test.py [--emulator PROGRAM] [--stub STUB] PATH_TO_PACK",
              file=sys.stderr)
        return 2
    runner = Runner(os.path.abspath(args[0]), emulator)
    tmp = tempfile.mkdtemp(prefix="pack-cli-")
    try:
        app = os.path.join(tmp, "app")
        make_app(app)
        out = os.path.join(tmp, "out")
        os.makedirs(out)
        write(os.path.join(tmp, "plain-file"), b"just text, not an archive")
        places = {"app": app, "out": out, "tmp": tmp}
        places.update(make_bad_folders(tmp))
        places = {key: runner.path(value) for key, value in places.items()}

        run_cases(runner, places, out)

        archives = []
        for threads in ("1", "2", "7"):
            archive = os.path.join(tmp, "threads-%s.zip" % threads)
            result = runner.run([runner.path(app), "-o", runner.path(archive), "--threads",
                                 threads])
            runner.check("pack with %s threads" % threads, result.returncode == 0,
                         result.stderr.decode("utf-8", "replace"))
            archives.append(archive)
        contents = [open(a, "rb").read() if os.path.exists(a) else b"" for a in archives]
        runner.check("byte-identical for 1, 2 and 7 threads",
                     contents[0] and contents[0] == contents[1] == contents[2])

        if shutil.which("unzip") and shutil.which("zipinfo"):
            check_archive_properties(runner, archives[0])
        else:
            print("SKIP  unzip/zipinfo checks: Info-ZIP not installed")
        check_roundtrip(runner, archives[0], app)
        native = check_native_form(runner, tmp, app)
        if stub:
            check_stub(runner, tmp, app, places, stub,
                       {"windows": archives[0], "native": native})
        else:
            print("SKIP  starters from a stub: no --stub given")

        result = runner.run(["list", runner.path(archives[0])])
        text = result.stdout.decode("utf-8", "replace")
        runner.check("list on a conforming archive", result.returncode == 0 and
                     "conforms" in text and "men\u00fc.txt" in text and EXE in text, text[-1500:])

        if shutil.which("zip"):
            infozip = os.path.join(tmp, "infozip.zip")
            subprocess.run(["zip", "-q", "-r", infozip, "."], cwd=app, check=True)
            result = runner.run(["list", runner.path(infozip)])
            text = result.stdout.decode("utf-8", "replace")
            runner.check("list on an Info-ZIP archive reports its breaks",
                         result.returncode == 3 and "does not conform" in text and
                         "[extra field]" in text and "[version made by]" in text and
                         "[external attributes]" in text, text[-2500:])
            # Files named in an order of our choosing, no folder entries (-D), no
            # extra fields (-X): the order break is certain whatever readdir does.
            unordered = os.path.join(tmp, "unordered.zip")
            subprocess.run(["zip", "-q", "-X", "-D", unordered, "readme.TXT", "9first.txt",
                            "Engine/Config/base.ini"], cwd=app, check=True)
            result = runner.run(["list", runner.path(unordered)])
            text = result.stdout.decode("utf-8", "replace")
            runner.check("list on an Info-ZIP archive reports order and folder entries",
                         result.returncode == 3 and "[order] '9first.txt' comes after" in text
                         and "[folder entries] no folder entry 'Engine/Config/'" in text and
                         "[extra field]" not in text, text[-2500:])
            # Through a pipe zip cannot seek back, so it writes data descriptors.
            streamed = os.path.join(tmp, "streamed.zip")
            zipped = subprocess.run(["zip", "-q", "-r", "-", "Engine"], cwd=app,
                                    stdout=subprocess.PIPE, check=True).stdout
            write(streamed, zipped)
            result = runner.run(["list", "--require-exe", runner.path(streamed)])
            text = result.stdout.decode("utf-8", "replace")
            runner.check("list on a streamed Info-ZIP archive reports data descriptors",
                         result.returncode == 3 and "[data descriptor]" in text and
                         "[executable]" in text, text[-2500:])
        else:
            print("SKIP  Info-ZIP archive checks: zip not installed")

        check_interrupted_run(runner, tmp)
        check_swapped_after_walk(runner, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    print("%d passed, %d failed" % (runner.passed, runner.failed))
    return 0 if runner.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
