"""The starter benchmark: builds what it needs, generates the synthetic
application, packs it, times the starter against floors and other unzip
tools, measures the starter's memory, and prints a table.

Run through bench/run.sh, which installs the Debian packages first:
    bench/run.sh [--scale S] [--runs N] [--no-wine] [--seed N]
"""

import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(REPO, "build", "bench")
MEMORY_SCALES = (0.1, 1.0)
MIB = 1024 * 1024

# Targets, checked on ratios measured in the same run.
# The starter's whole run against the zlib floor of its platform, medians:
# (native ones on disk and on tmpfs alike).
TARGET_RATIO_PACKED = 0.30  # native, the archive our packer wrote
TARGET_RATIO_FOREIGN = 0.60  # native, the same tree written by Python's zipfile
TARGET_RATIOS_WINDOWS = (0.55, 0.60)  # the Windows starter under Wine: the aim, the bound
TARGET_HEAP_BYTES = 8 * MIB  # peak heap of the starter
TARGET_HEAP_SPREAD = 0.10  # peak heap at 0.1 and 1.0 differ by at most this


def log(text):
    print(text, flush=True)


def run_logged(command, log_name, **kwargs):
    """Runs a build step with its output in build/bench/logs; on failure shows
    the end of the log and stops."""
    os.makedirs(os.path.join(BUILD, "logs"), exist_ok=True)
    path = os.path.join(BUILD, "logs", log_name + ".log")
    with open(path, "w") as out:
        done = subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, **kwargs)
    if done.returncode != 0:
        with open(path) as f:
            tail = f.read()[-4000:]
        sys.exit(f"bench: '{' '.join(command)}' failed (log: {path}):\n{tail}")


def cmake_build(preset, build_dir, targets, options, log_name):
    """Configures `build_dir` through the project's CMake preset `preset`
    (with `options` on top) and builds `targets` there."""
    run_logged(["cmake", "-S", REPO, "--preset", preset, "-B", build_dir] + options,
               log_name + "-configure")
    run_logged(["cmake", "--build", build_dir, "--target"] + targets, log_name + "-build")


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def scale_name(scale):
    return f"{scale:g}"


# ---------------------------------------------------------------- building


# Only what the bench runs: no tests, no demo.
LEAN = ["-DSTARTER_BUILD_TESTS=OFF", "-DSTARTER_BUILD_DEMO=OFF"]


def build_host():
    """The packer and the bench's own programs (bench/CMakeLists.txt) for the
    host. Returns the folder of the bench's programs and the packer."""
    build_dir = os.path.join(BUILD, "host")
    cmake_build("native", build_dir, ["pack", "bench_child", "bench_gen", "bench_floor",
                                      "heap_probe"],
                LEAN + ["-DSTARTER_BUILD_BENCH=ON"], "host")
    return os.path.join(build_dir, "bench"), os.path.join(build_dir, "tools", "pack")


def build_windows_tools():
    """The bench's own programs for Windows."""
    build_dir = os.path.join(BUILD, "windows-tools")
    cmake_build("windows", build_dir, ["bench_child", "bench_launch", "bench_floor_win32"],
                LEAN + ["-DSTARTER_BUILD_BENCH=ON"], "windows-tools")
    return os.path.join(build_dir, "bench")


def build_starter(archive, name, windows, packer, workers=0):
    """A starter around `archive`, the way starter_add_application makes one,
    with `workers` extraction threads (0: one per core, as delivered)."""
    build_dir = os.path.join(BUILD, name)
    # A POSIX starter gets its archive from the host packer.
    options = LEAN + ["-DSTARTER_BUILD_TOOLS=OFF", f"-DSTARTER_APP_SOURCE={archive}",
                      f"-DSTARTER_EXTRACT_WORKERS={workers}", f"-DSTARTER_HOST_PACKER={packer}"]
    cmake_build("windows" if windows else "native", build_dir, ["starter_app"], options, name)
    return os.path.join(build_dir, "starter_app.exe" if windows else "starter_app")


def write_zipfile_archive(tree, archive):
    """The tree as Python's zipfile writes it: a folder entry for each folder,
    each file deflated at level 6 in one stream of its own."""
    with zipfile.ZipFile(archive, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        for folder, folders, files in os.walk(tree):
            folders.sort()
            if folder != tree:
                z.write(folder, os.path.relpath(folder, tree))
            for name in sorted(files):
                path = os.path.join(folder, name)
                z.write(path, os.path.relpath(path, tree))


def prepare_archive(scale, seed, head, flavor, generator, packer, with_zipfile=False,
                    thresholds=()):
    """Generates the tree and packs it (and with `with_zipfile` writes it with
    Python's zipfile too, as zipfile.zip beside it, and packs it once more for
    each of `thresholds` with `--store-below` that percent, see
    threshold_archive), unless the archives on disk came from the same seed,
    scale, programs and packer. Returns the packed archive's path."""
    data_dir = os.path.join(BUILD, "data", f"{flavor}-{scale_name(scale)}")
    archive = os.path.join(data_dir, "archive.zip")
    stamp_path = os.path.join(data_dir, "stamp.json")
    stamp = {"seed": seed, "scale": scale, "head": file_digest(head),
             "generator": file_digest(generator), "packer": file_digest(packer),
             "zipfile": with_zipfile}
    fresh = True
    if os.path.exists(archive) and os.path.exists(stamp_path):
        with open(stamp_path) as f:
            fresh = json.load(f) != stamp
    # A threshold not asked for before needs the tree again.
    missing = [t for t in thresholds
               if fresh or not os.path.exists(threshold_archive(archive, t))]
    if not fresh and not missing:
        return archive
    if fresh:
        shutil.rmtree(data_dir, ignore_errors=True)
        os.makedirs(data_dir)
    tree = os.path.join(data_dir, "tree")
    shutil.rmtree(tree, ignore_errors=True)
    started = time.perf_counter()
    subprocess.run([generator, "--out", tree, "--seed", str(seed), "--scale", str(scale),
                    "--exe-head", head], check=True, stdout=subprocess.DEVNULL)
    generated = time.perf_counter()
    # The packer checks for the build's default executable, the one the
    # starters are built to start.
    pack = [packer, tree, "--require-exe", "--quiet", "-o"]
    if fresh:
        subprocess.run(pack + [archive], check=True)
    for threshold in missing:
        subprocess.run(pack + [threshold_archive(archive, threshold), "--store-below",
                               str(threshold)], check=True)
    packed = time.perf_counter()
    log(f"  {flavor} tree at scale {scale_name(scale)}: generated in "
        f"{generated - started:.1f} s, {int(fresh) + len(missing)} archives packed in "
        f"{packed - generated:.1f} s")
    if fresh and with_zipfile:
        write_zipfile_archive(tree, zipfile_archive(archive))
        log(f"  written with Python's zipfile in {time.perf_counter() - packed:.1f} s")
    # The archives list everything the tree held; the tree is not needed again.
    shutil.rmtree(tree)
    with open(stamp_path, "w") as f:
        json.dump(stamp, f)
    return archive


def zipfile_archive(archive):
    """The path of the zipfile-written twin of a packed archive."""
    return os.path.join(os.path.dirname(archive), "zipfile.zip")


def threshold_archive(archive, threshold):
    """The path of the packed archive's twin packed with `--store-below
    threshold`."""
    return os.path.join(os.path.dirname(archive), f"store-below-{threshold}.zip")


def describe_archive(archive):
    with zipfile.ZipFile(archive) as z:
        infos = z.infolist()
    folders = [i for i in infos if i.filename.endswith("/")]
    files = [i for i in infos if not i.filename.endswith("/")]
    return {
        "size": os.path.getsize(archive),
        "entries": len(infos),
        "folders": len(folders),
        "files": len(files),
        "unpacked": sum(i.file_size for i in files),
        "expected": {i.filename.rstrip("/"): (None if i.filename.endswith("/") else i.file_size)
                     for i in infos},
        "deflated": sum(1 for i in files if i.compress_type == zipfile.ZIP_DEFLATED),
    }


# ---------------------------------------------------------------- timing


def run_timed(command, env=None, cwd=None):
    """Runs `command`, returning wall seconds, CPU seconds (user + system) of
    it and its children, the exit status and standard error."""
    with tempfile.TemporaryFile() as err:
        started = time.perf_counter()
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=err, env=env,
                                   cwd=cwd)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - started
        process.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        stderr = err.read().decode(errors="replace")
    return wall, usage.ru_utime + usage.ru_stime, process.returncode, stderr


def tree_listing(root):
    found = {}
    for folder, dirs, files in os.walk(root):
        for d in dirs:
            found[os.path.relpath(os.path.join(folder, d), root)] = None
        for f in files:
            path = os.path.join(folder, f)
            found[os.path.relpath(path, root)] = os.path.getsize(path)
    return found


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Tool:
    """One way of unpacking an archive: `command(dest)` gives the command
    line, `env(dest)` its environment. A tool that unpacks into `dest` itself
    is checked against `expected`, its archive's listing; a starter unpacks
    below it into its own folder and must leave `dest` empty. Without `cpu`,
    the CPU time of what it runs does not reach us (Wine's processes)."""

    def __init__(self, name, command, env=None, starter=False, info=False, expected=None,
                 cpu=True, work=None):
        self.name = name
        self.work = work  # the folder below which its fresh folders are made
        self.command = command
        self.env = env or (lambda dest: None)
        self.starter = starter
        self.info = info
        self.expected = expected
        self.cpu = cpu
        self.walls = []
        self.cpus = []
        self.removal = None  # a Tool timing the removal of this tool's output


class Group:
    """Tools timed on one archive on one platform and file system, reported
    as ratios to `floor`, the zlib floor of that platform on that archive and
    file system (and to `unzip`, where it ran on the same archive). `kind`
    names the archive ("packed", "foreign", "windows"), `place` the file
    system ("disk", "tmpfs")."""

    def __init__(self, title, kind, place, floor, tools, unzip=None):
        self.title = title
        self.kind = kind
        self.place = place
        self.floor = floor
        self.tools = [floor] + tools
        self.unzip = unzip

    def rows(self):
        return self.tools + [t.removal for t in self.tools if t.removal]

    def tool(self, name):
        return next((t for t in self.tools if t.name == name), None)


STARTER = "native starter, whole run"
SINGLE_STARTER = "native starter, one worker, whole run"
WINDOWS_STARTER = "Windows starter, whole run"
WINDOWS_SINGLE_STARTER = "Windows starter, one worker, whole run"


def threshold_starter_name(platform, threshold):
    return f"{platform} starter, --store-below {threshold}, whole run"


def native_tools(archive, expected, starter, single_starter, threshold_starters, tools_dir,
                 work):
    """The floors and the starters on one archive, unpacking below `work`;
    `threshold_starters` maps a `--store-below` percent to a starter around
    the archive packed with it."""
    floor = os.path.join(tools_dir, "bench_floor")
    native_env = lambda dest: dict(os.environ, TMPDIR=dest)
    zlib_floor = Tool("floor, zlib (bench_floor)", lambda d: [floor, archive, d],
                      expected=expected, work=work)
    tools = [
        Tool(SINGLE_STARTER, lambda d: [single_starter], env=native_env, starter=True,
             work=work),
        Tool(STARTER, lambda d: [starter], env=native_env, starter=True, work=work),
    ]
    for threshold, program in threshold_starters.items():
        tools.append(Tool(threshold_starter_name("native", threshold),
                          lambda d, program=program: [program], env=native_env, starter=True,
                          work=work))
    return zlib_floor, tools


def other_unzip_tools(archive, expected, work):
    """unzip, bsdtar, 7zz and Python's zipfile on the archive, where
    installed; unzip's Tool first (or None)."""
    tools = []
    unzip = None
    if shutil.which("unzip"):
        unzip = Tool("unzip -q", lambda d: ["unzip", "-q", archive, "-d", d], expected=expected,
                     work=work)
        tools.append(unzip)
    if shutil.which("bsdtar"):
        tools.append(Tool("bsdtar -xf", lambda d: ["bsdtar", "-xf", archive, "-C", d],
                          expected=expected, work=work))
    if shutil.which("7zz"):
        tools.append(Tool("7zz x", lambda d: ["7zz", "x", "-y", "-bso0", "-bsp0", "-o" + d,
                                               archive], expected=expected, work=work))
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else shutil.which("python3")
    if python:
        tools.append(Tool("python3 -m zipfile -e",
                          lambda d: [python, "-m", "zipfile", "-e", archive, d],
                          expected=expected, work=work))
    return unzip, tools


def make_groups(packed, foreign, tools_dir, wine_setup, places):
    """`packed` and `foreign`: (archive, listing, native starter around it,
    the same with one worker, {threshold: starter}) for our packer's archive
    and for the zipfile-written one. `places`: (name, description, work
    folder) of each file system the native groups unpack on."""
    groups = []
    for kind, setup, title in [
            ("packed", packed, "the archive our packer wrote"),
            ("foreign", foreign,
             "the same tree written by Python's zipfile (level 6, one stream per entry)")]:
        for place, where, work in places:
            zlib_floor, tools = native_tools(*setup, tools_dir, work)
            unzip = None
            if kind == "packed":
                zlib_floor.removal = Tool("rm -rf of the floor's tree (info)", None, info=True)
                unzip, others = other_unzip_tools(setup[0], setup[1], work)
                tools += others
            groups.append(Group(f"Native, {title}; {where}", kind, place, zlib_floor, tools,
                                unzip))

    if wine_setup:
        wine, launch, windows_archive, windows_expected, wine_starters, wine_child, wine_floor, \
            wine_env, work = wine_setup

        def launched(program, *arguments):
            # e2e_launch: EXIT_CODE_FILE NAME=VALUE... -- PROGRAM ARGUMENT...
            return lambda d: [wine, launch, windows_path(d + ".exit-code"),
                              "TEMP=" + windows_path(d), "TMP=" + windows_path(d), "--",
                              windows_path(program)] + [a(d) for a in arguments]

        def wine_tool(name, command, **kwargs):
            return Tool(name, command, env=lambda d: wine_env, info=True, cpu=False, work=work,
                        **kwargs)

        windows_floor = wine_tool("floor, zlib (bench_floor_win32)",
                                  launched(wine_floor, lambda d: windows_path(windows_archive),
                                           windows_path),
                                  expected=windows_expected)
        tools = [wine_tool(name, launched(program), starter=True)
                 for name, program in wine_starters]
        # What Wine itself costs: the same launch of the bare stand-in program.
        tools.append(wine_tool("Wine start-up alone", launched(wine_child), starter=True))
        groups.append(Group("Windows under Wine, the archive our packer wrote around the "
                            "Windows stand-in; on disk", "windows", "disk", windows_floor, tools))
    return groups


def time_tools(tools, runs):
    for run in range(runs):
        # Each round starts with a different tool, so none always runs first.
        order = tools[run % len(tools):] + tools[:run % len(tools)]
        for tool in order:
            dest = os.path.join(tool.work, "dest")
            shutil.rmtree(dest, ignore_errors=True)
            os.makedirs(dest)
            wall, cpu, status, stderr = run_timed(tool.command(dest), env=tool.env(dest))
            if status != 0 or (stderr.strip() and not tool.info):
                sys.exit(f"bench: {tool.name} failed with status {status}:\n{stderr[-2000:]}")
            if run == 0:
                found = tree_listing(dest)
                if tool.starter and found:
                    sys.exit(f"bench: {tool.name} left {sorted(found)[:5]} in its temp folder")
                if not tool.starter and found != tool.expected:
                    missing = set(tool.expected.items()) ^ set(found.items())
                    differences = sorted(missing, key=str)[:5]
                    sys.exit(f"bench: {tool.name} unpacked something else: {differences}")
            tool.walls.append(wall)
            tool.cpus.append(cpu)
            if tool.removal:
                # What the starter's clean-up costs on this file system, which
                # the floor does not do: removing the tree it unpacked.
                wall, cpu, status, stderr = run_timed(["rm", "-rf", dest])
                if status != 0:
                    sys.exit(f"bench: rm -rf {dest} failed:\n{stderr}")
                tool.removal.walls.append(wall)
                tool.removal.cpus.append(cpu)
            shutil.rmtree(dest, ignore_errors=True)
        log(f"  round {run + 1}/{runs} done")


# ---------------------------------------------------------------- file systems

TMPFS = "/dev/shm"
# Free space a tmpfs needs beyond the unpacked tree, for the file system's own
# overhead and whatever else uses it meanwhile.
TMPFS_MARGIN = 64 * MIB


def file_system(path):
    """The mount point and type of the file system holding `path`."""
    path = os.path.realpath(path)
    best = ("/", "?")
    with open("/proc/mounts") as f:
        for line in f:
            fields = line.split()
            point = fields[1].replace("\\040", " ")
            inside = path == point or path.startswith(point.rstrip("/") + "/")
            if inside and len(point) >= len(best[0]):
                best = (point, fields[2])
    return best


def tmpfs_work(unpacked):
    """A fresh folder on the tmpfs, or None and the reason it cannot be used
    for a tree of `unpacked` bytes."""
    if not os.path.isdir(TMPFS):
        return None, f"{TMPFS} is missing"
    point, kind = file_system(TMPFS)
    if kind != "tmpfs":
        return None, f"{TMPFS} is on {kind} ({point}), not a tmpfs"
    stat = os.statvfs(TMPFS)
    free = stat.f_bavail * stat.f_frsize
    if free < unpacked + TMPFS_MARGIN:
        return None, (f"{TMPFS} has {free / MIB:.0f} MiB free, the tree needs "
                      f"{(unpacked + TMPFS_MARGIN) / MIB:.0f} MiB")
    return tempfile.mkdtemp(prefix="starter-bench-", dir=TMPFS), None


# ---------------------------------------------------------------- memory


def read_status(pid):
    values = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in ("VmHWM", "RssAnon", "RssFile", "VmRSS"):
                    values[key] = int(rest.split()[0]) * 1024
    except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
        return None
    return values


def measure_memory(starter, heap_probe, work):
    """Runs the starter once with the heap probe preloaded, sampling its
    /proc status every millisecond."""
    dest = os.path.join(work, "dest")
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(dest)
    heap_log = os.path.join(work, "heap.log")
    if os.path.exists(heap_log):
        os.remove(heap_log)
    env = dict(os.environ, TMPDIR=dest, LD_PRELOAD=heap_probe, HEAP_PROBE_LOG=heap_log)
    process = subprocess.Popen([starter], stdout=subprocess.DEVNULL, env=env)
    peaks = {"VmHWM": 0, "RssAnon": 0, "RssFile": 0, "VmRSS": 0}
    samples = 0
    while process.poll() is None:
        values = read_status(process.pid)
        if values:
            samples += 1
            for key, value in values.items():
                peaks[key] = max(peaks[key], value)
        time.sleep(0.001)
    if process.returncode != 0:
        sys.exit(f"bench: the starter failed with status {process.returncode} under the probe")
    heap = None
    with open(heap_log) as f:
        for line in f:
            words = line.split()
            record = dict(zip(words[0::2], (int(w) for w in words[1::2])))
            if record["pid"] == process.pid:
                heap = record
    shutil.rmtree(dest, ignore_errors=True)
    if heap is None:
        sys.exit("bench: the heap probe wrote nothing for the starter")
    return {"heap_peak": heap["peak"], "largest": heap["largest"],
            "allocations": heap["allocations"], "samples": samples, **peaks}


# ---------------------------------------------------------------- report


def fmt_ratio(value):
    return f"{value:6.2f}"


def describe_line(title, info):
    return (f"{title}: {info['size']:,} bytes, {info['entries']} entries ({info['folders']} "
            f"folders, {info['files']} files, {info['deflated']} deflated), "
            f"{info['unpacked']:,} bytes unpacked.")


def round_ratios(tool, floor):
    """The tool's time over the floor's in each round."""
    return [w / f for w, f in zip(tool.walls, floor.walls)]


def median_ratio(tool, floor):
    return statistics.median(tool.walls) / statistics.median(floor.walls)


def spread(tool, floor):
    ratios = round_ratios(tool, floor)
    return f"{min(ratios):.2f}-{max(ratios):.2f}"


def print_table(groups):
    width = max(len(t.name) for g in groups for t in g.rows()) + 2
    header = (f"{'program':{width}} {'min s':>7} {'median s':>9} {'min/floor':>9} "
              f"{'med/floor':>9} {'rounds':>11} {'min/unzip':>9} {'med/unzip':>9} "
              f"{'cpu s':>6} {'cpu/floor':>9}")
    log(header)
    log("-" * len(header))
    for group in groups:
        log(group.title)
        floor, unzip = group.floor, group.unzip
        for tool in group.rows():
            low = min(tool.walls)
            mid = statistics.median(tool.walls)
            cells = [fmt_ratio(low / min(floor.walls)), fmt_ratio(median_ratio(tool, floor)),
                     f"{spread(tool, floor):>11}"]
            if unzip:
                cells += [fmt_ratio(low / min(unzip.walls)), fmt_ratio(median_ratio(tool, unzip))]
            else:
                cells += ["     -", "     -"]
            if tool.cpu and floor.cpu:
                cpu = statistics.median(tool.cpus)
                cpu_cells = f" {cpu:6.2f} {fmt_ratio(cpu / statistics.median(floor.cpus)):>9}"
            else:
                # Wine's processes are not the launcher's children: their CPU
                # time does not reach us.
                cpu_cells = f" {'-':>6} {'-':>9}"
            log(f"  {tool.name:{width - 2}} {low:7.3f} {mid:9.3f} "
                + " ".join(f"{c:>9}" for c in cells) + cpu_cells)
    log("min, median: wall-clock seconds over the runs; x/floor, x/unzip: ratios of those to the "
        "zlib floor of the")
    log("row's own platform, archive and file system, and to unzip in the same group; rounds: "
        "lowest and highest")
    log("ratio to the floor within one round; cpu s: median user + system seconds of the program "
        "and its children,")
    log("cpu/floor its ratio (less affected by other load on the machine).")
    log("")
    log("All runs (seconds):")
    for group in groups:
        log(f"  {group.title}")
        for tool in group.rows():
            log(f"    {tool.name:{width - 2}} " + " ".join(f"{w:.3f}" for w in tool.walls))


def print_thresholds(thresholds, infos, groups):
    """Each --store-below threshold's archive size and its starter's time."""
    sizes = infos["thresholds"]
    base = sizes[0]
    packed = [g for g in groups if g.kind == "packed"]
    log("")
    log("Archives by --store-below threshold (native): size, growth against threshold 0, and "
        "the starter's median")
    log("whole run over the median zlib floor (on the default archive) of the same file system:")
    header = f"  {'threshold':>9} {'archive bytes':>14} {'growth':>8}"
    for group in packed:
        header += f" {group.place + ' s':>9} {group.place + '/floor':>12}"
    log(header)
    rows = [(str(t), sizes[t], threshold_starter_name("native", t)) for t in thresholds]
    rows.append(("default", infos["packed"]["size"], STARTER))
    for label, size, name in rows:
        line = f"  {label:>9} {size:14,} {(size - base) / base:+8.2%}"
        for group in packed:
            tool = group.tool(name)
            line += (f" {statistics.median(tool.walls):9.3f} "
                     f"{median_ratio(tool, group.floor):12.3f}")
        log(line)


def speed_results(groups, infos):
    """The timing targets: (text, met, or None when not measured)."""
    results = []

    def find(kind, place):
        return next((g for g in groups if g.kind == kind and g.place == place), None)

    for kind, target, what in [("packed", TARGET_RATIO_PACKED, "our packer's archive"),
                               ("foreign", TARGET_RATIO_FOREIGN, "zipfile's archive")]:
        for place in ("disk", "tmpfs"):
            label = f"native, {what}, {place}: starter / floor <= {target:.2f}"
            group = find(kind, place)
            if group is None:
                results.append((f"{label} ({infos['tmpfs']})", None))
                continue
            starter = group.tool(STARTER)
            ratio = median_ratio(starter, group.floor)
            text = (f"{label} (median {ratio:.3f}, rounds {spread(starter, group.floor)}; one "
                    f"worker {median_ratio(group.tool(SINGLE_STARTER), group.floor):.3f}")
            unstored = group.tool(threshold_starter_name("native", 0))
            if unstored:
                text += f"; --store-below 0 {median_ratio(unstored, group.floor):.3f}"
            results.append((text + ")", ratio <= target))
    windows = find("windows", "disk")
    if windows:
        floor = windows.floor
        starter = windows.tool(WINDOWS_STARTER)
        single = windows.tool(WINDOWS_SINGLE_STARTER)
        unstored = windows.tool(threshold_starter_name("Windows", 0))
        ratio = median_ratio(starter, floor)
        details = (f"median {ratio:.3f}, rounds {spread(starter, floor)}; one worker "
                   f"{median_ratio(single, floor):.3f}; --store-below 0 "
                   f"{median_ratio(unstored, floor):.3f}")
        aim, bound = TARGET_RATIOS_WINDOWS
        results.append((f"Windows under Wine: starter / floor <= {aim:.2f} ({details})",
                        ratio <= aim))
        results.append((f"Windows under Wine: starter / floor <= {bound:.2f} (median "
                        f"{ratio:.3f})", ratio <= bound))
    for place in ("disk", "tmpfs"):
        group = find("packed", place)
        if group:
            starter, single = group.tool(STARTER), group.tool(SINGLE_STARTER)
            results.append((f"native starter faster than with one worker, {place} (median "
                            f"{statistics.median(starter.walls):.3f} s against "
                            f"{statistics.median(single.walls):.3f} s)",
                            statistics.median(starter.walls) < statistics.median(single.walls)))
    return results


def stored_line(title, size, unstored):
    return (f"{title} without stored pieces (--store-below 0): {unstored:,} bytes; the stored "
            f"pieces add {size - unstored:,} bytes ({(size - unstored) / unstored:+.2%}).")


def print_report(args, thresholds, infos, groups, memory, image_size):
    log("")
    log(f"Scale {scale_name(args.scale)}, seed {args.seed}.")
    log(describe_line("Archive by our packer", infos["packed"]))
    log(stored_line("Archive by our packer", infos["packed"]["size"], infos["thresholds"][0]))
    log(describe_line("Archive by Python's zipfile", infos["foreign"]))
    if "windows" in infos:
        log(describe_line("Windows archive by our packer", infos["windows"]))
        log(stored_line("Windows archive by our packer", infos["windows"]["size"],
                        infos["windows-0"]))
    log(f"Native starter image: {image_size:,} bytes (the archive mapped from the image).")
    log(f"{args.runs} runs each, round-robin, each into a fresh empty folder; warm page cache "
        "(nothing dropped). Machine: "
        f"{os.cpu_count()} cores, load average at start {infos['load']}.")
    if infos["tmpfs"]:
        log(f"The tmpfs groups were skipped: {infos['tmpfs']}.")
    log("")
    print_table(groups)
    print_thresholds(thresholds, infos, groups)
    results = speed_results(groups, infos)

    if memory:
        log("")
        log("Memory of the native starter (one run each, heap probe preloaded, /proc sampled "
            "every ms):")
        log(f"  {'scale':>5} {'archive':>12} {'heap peak':>11} {'largest block':>14} "
            f"{'allocs':>7} {'RssAnon peak':>13} {'RssFile peak':>13} {'VmHWM':>12}")
        for scale, (m, archive_size) in memory.items():
            log(f"  {scale_name(scale):>5} {archive_size / MIB:10.1f} MiB "
                f"{m['heap_peak'] / MIB:7.3f} MiB {m['largest'] / MIB:10.3f} MiB "
                f"{m['allocations']:7d} {m['RssAnon'] / MIB:9.2f} MiB "
                f"{m['RssFile'] / MIB:9.1f} MiB {m['VmHWM'] / MIB:8.1f} MiB")
        log("  heap peak: most heap in use at once (usable bytes); RssAnon: private anonymous "
            "memory (heap, stacks, data);")
        log("  RssFile: file-backed pages, i.e. the image with the archive mapped from it.")
        peaks = [m["heap_peak"] for m, _ in memory.values()]
        highest = max(peaks)
        results.append((f"peak heap <= {TARGET_HEAP_BYTES // MIB} MiB "
                        f"(highest {highest / MIB:.3f} MiB)", highest <= TARGET_HEAP_BYTES))
        if len(peaks) == 2:
            difference = (max(peaks) - min(peaks)) / max(peaks)
            results.append((f"peak heap at scale 0.1 and 1.0 within "
                            f"{TARGET_HEAP_SPREAD:.0%} (differ by {difference:.1%})",
                            difference <= TARGET_HEAP_SPREAD))
    log("")
    log("Targets (medians over the runs; rounds: lowest and highest ratio within one round):")
    for text, met in results:
        state = "skip  " if met is None else "met   " if met else "MISSED"
        log(f"  {state}  {text}")


def parse_thresholds(text):
    """--thresholds: percents from 0 to 100, separated by commas."""
    try:
        values = sorted({int(word) for word in text.split(",")})
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of whole percents: {text!r}")
    if not all(0 <= v <= 100 for v in values):
        raise argparse.ArgumentTypeError(f"percents lie from 0 to 100: {text!r}")
    return values


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--no-wine", action="store_true")
    parser.add_argument("--thresholds", type=parse_thresholds, default=[],
                        help="pack one archive per --store-below percent (e.g. 0,1,2,3,5) and "
                        "time a starter around each")
    args = parser.parse_args()
    if not 0 < args.scale <= 4 or args.runs < 1:
        parser.error("the scale must lie in (0, 4] and the runs be at least 1")
    # Threshold 0 (no stored pieces) is always packed: the sizes and the
    # growth are given against it.
    thresholds = sorted(set([0] + args.thresholds))

    load = " ".join(open("/proc/loadavg").read().split()[:3])
    log("== building")
    tools_dir, packer = build_host()
    generator = os.path.join(tools_dir, "bench_gen")
    child = os.path.join(tools_dir, "bench_child")

    log("== preparing the archives")
    scales = [args.scale] + [s for s in MEMORY_SCALES if s != args.scale]
    archives = {s: prepare_archive(s, args.seed, child, "native", generator, packer,
                                   with_zipfile=True,
                                   thresholds=thresholds if s == args.scale else ())
                for s in scales}
    starters = {s: build_starter(archives[s], f"native-{scale_name(s)}", False, packer)
                for s in scales}
    archive = archives[args.scale]
    foreign_archive = zipfile_archive(archive)
    foreign_starter = build_starter(foreign_archive, f"native-zipfile-{scale_name(args.scale)}",
                                    False, packer)
    # The same starters with one extraction thread, to show what the workers
    # bring.
    single_starter = build_starter(archive, f"native-one-worker-{scale_name(args.scale)}", False,
                                   packer, workers=1)
    foreign_single_starter = build_starter(
        foreign_archive, f"native-zipfile-one-worker-{scale_name(args.scale)}", False, packer,
        workers=1)
    threshold_starters = {
        t: build_starter(threshold_archive(archive, t),
                         f"native-store-below-{t}-{scale_name(args.scale)}", False, packer)
        for t in thresholds}
    infos = {"load": load, "packed": describe_archive(archive),
             "foreign": describe_archive(foreign_archive),
             "thresholds": {t: os.path.getsize(threshold_archive(archive, t))
                            for t in thresholds}}

    work = tempfile.mkdtemp(prefix="starter-bench-")
    shm_work, shm_note = tmpfs_work(infos["packed"]["unpacked"])
    places = [("disk", f"on disk ({work}, {file_system(work)[1]})", work)]
    if shm_work:
        places.append(("tmpfs", f"on tmpfs ({shm_work})", shm_work))
    else:
        log(f"  tmpfs groups skipped: {shm_note}")
    infos["tmpfs"] = shm_note

    wine_setup = None
    wine_prefix = os.path.join(BUILD, "wine-prefix")
    wine_env = None
    try:
        if not args.no_wine:
            wine_setup, wine_env = prepare_wine(args, generator, packer, infos, wine_prefix,
                                                work)

        log(f"== timing ({args.runs} runs each, work folders {', '.join(p[2] for p in places)})")
        groups = make_groups(
            (archive, infos["packed"]["expected"], starters[args.scale], single_starter,
             threshold_starters),
            (foreign_archive, infos["foreign"]["expected"], foreign_starter,
             foreign_single_starter, {}),
            tools_dir, wine_setup, places)
        time_tools([t for g in groups for t in g.tools], args.runs)

        log("== memory")
        memory = {}
        for s in MEMORY_SCALES:
            memory[s] = (measure_memory(starters[s], os.path.join(tools_dir, "heap_probe.so"),
                                        work), os.path.getsize(archives[s]))
    finally:
        for _, _, folder in places:
            shutil.rmtree(folder, ignore_errors=True)
        if wine_env:
            # Only the bench's own prefix's server: the one started above.
            subprocess.run(["wineserver", "-k"], env=wine_env)
    print_report(args, thresholds, infos, groups, memory,
                 os.path.getsize(starters[args.scale]))


def prepare_wine(args, generator, packer, infos, wine_prefix, work):
    """Builds the Windows programs and starters (around the default archive,
    with one worker, and around the archive without stored pieces) and starts
    a Wine server for the bench. Returns make_groups' Wine setup and Wine's
    environment."""
    wine = shutil.which("wine64") or shutil.which("wine")
    if not wine:
        sys.exit("bench: Wine is missing (run with --no-wine to skip it)")
    windows_tools = build_windows_tools()
    windows_archive = prepare_archive(args.scale, args.seed,
                                      os.path.join(windows_tools, "bench_child.exe"),
                                      "windows", generator, packer, thresholds=[0])
    scale = scale_name(args.scale)
    wine_starters = [
        (WINDOWS_SINGLE_STARTER, build_starter(windows_archive, f"windows-one-worker-{scale}",
                                               True, packer, workers=1)),
        (WINDOWS_STARTER, build_starter(windows_archive, f"windows-{scale}", True, packer)),
        (threshold_starter_name("Windows", 0),
         build_starter(threshold_archive(windows_archive, 0), f"windows-store-below-0-{scale}",
                       True, packer)),
    ]
    infos["windows"] = describe_archive(windows_archive)
    infos["windows-0"] = os.path.getsize(threshold_archive(windows_archive, 0))
    # A prefix of the bench's own, with a server kept running while the
    # bench lasts, so that no run pays for starting Wine's server.
    wine_env = dict(os.environ, WINEPREFIX=wine_prefix, WINEDEBUG="-all",
                    WINEDLLOVERRIDES="mscoree,mshtml=")
    if not os.path.isdir(wine_prefix):
        log("  creating the Wine prefix (once)")
        run_logged(["wineboot", "-i"], "wineboot", env=wine_env)
    # A server of this prefix left running (by wineboot, or by a bench
    # that was interrupted) would refuse to become persistent.
    subprocess.run(["wineserver", "-k"], env=wine_env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=wine_env)
    subprocess.run(["wineserver", "-p"], env=wine_env, check=True)
    launch = os.path.join(windows_tools, "bench_launch.exe")
    child_exe = os.path.join(windows_tools, "bench_child.exe")
    # The first program after the server starts pays for loading Wine
    # itself; an untimed launch keeps that out of the first timed run.
    subprocess.run([wine, launch, windows_path(os.path.join(BUILD, "warm-up.exit-code")),
                    "--", windows_path(child_exe)], env=wine_env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    setup = (wine, launch, windows_archive, infos["windows"]["expected"], wine_starters,
             child_exe, os.path.join(windows_tools, "bench_floor_win32.exe"), wine_env, work)
    return setup, wine_env


if __name__ == "__main__":
    main()
