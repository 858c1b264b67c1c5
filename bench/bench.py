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
TARGET_RATIO_PACKED = 0.50  # native, the archive our packer wrote
TARGET_RATIO_FOREIGN = 0.65  # native, the same tree written by Python's zipfile
TARGET_RATIO_WINDOWS = 0.60  # the Windows starter under Wine
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
                                      "bench_floor_libdeflate", "heap_probe"],
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


def prepare_archive(scale, seed, head, flavor, generator, packer, with_zipfile=False):
    """Generates the tree and packs it (and with `with_zipfile` writes it with
    Python's zipfile too, as zipfile.zip beside it), unless the archives on
    disk came from the same seed, scale, programs and packer. Returns the
    packed archive's path."""
    data_dir = os.path.join(BUILD, "data", f"{flavor}-{scale_name(scale)}")
    archive = os.path.join(data_dir, "archive.zip")
    stamp_path = os.path.join(data_dir, "stamp.json")
    stamp = {"seed": seed, "scale": scale, "head": file_digest(head),
             "generator": file_digest(generator), "packer": file_digest(packer),
             "zipfile": with_zipfile}
    if os.path.exists(archive) and os.path.exists(stamp_path):
        with open(stamp_path) as f:
            if json.load(f) == stamp:
                return archive
    shutil.rmtree(data_dir, ignore_errors=True)
    os.makedirs(data_dir)
    tree = os.path.join(data_dir, "tree")
    started = time.perf_counter()
    subprocess.run([generator, "--out", tree, "--seed", str(seed), "--scale", str(scale),
                    "--exe-head", head], check=True, stdout=subprocess.DEVNULL)
    generated = time.perf_counter()
    # The packer checks for the build's default executable, the one the
    # starters are built to start.
    subprocess.run([packer, tree, "-o", archive, "--require-exe", "--quiet"], check=True)
    packed = time.perf_counter()
    log(f"  {flavor} tree at scale {scale_name(scale)}: generated in "
        f"{generated - started:.1f} s, packed in {packed - generated:.1f} s")
    if with_zipfile:
        write_zipfile_archive(tree, zipfile_archive(archive))
        log(f"  written with Python's zipfile in {time.perf_counter() - packed:.1f} s")
    # The archive lists everything the tree held; the tree is not needed again.
    shutil.rmtree(tree)
    with open(stamp_path, "w") as f:
        json.dump(stamp, f)
    return archive


def zipfile_archive(archive):
    """The path of the zipfile-written twin of a packed archive."""
    return os.path.join(os.path.dirname(archive), "zipfile.zip")


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
                 cpu=True):
        self.name = name
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
    """Tools timed on one archive on one platform, reported as ratios to
    `floor`, the zlib floor of that platform on that archive (and to `unzip`,
    where it ran on the same archive)."""

    def __init__(self, title, floor, tools, unzip=None):
        self.title = title
        self.floor = floor
        self.tools = [floor] + tools
        self.unzip = unzip

    def rows(self):
        return self.tools + [t.removal for t in self.tools if t.removal]


def make_groups(packed, foreign, tools_dir, wine_setup):
    """`packed` and `foreign`: (archive, listing, native starter around it,
    the same with one worker) for our packer's archive and for the
    zipfile-written one."""
    floor = os.path.join(tools_dir, "bench_floor")
    floor_libdeflate = os.path.join(tools_dir, "bench_floor_libdeflate")
    native_env = lambda dest: dict(os.environ, TMPDIR=dest)

    def native_tools(archive, expected, starter, single_starter):
        zlib_floor = Tool("floor, zlib (bench_floor)", lambda d: [floor, archive, d],
                          expected=expected)
        return zlib_floor, [
            Tool("floor, libdeflate (bench_floor_libdeflate)",
                 lambda d: [floor_libdeflate, archive, d], expected=expected),
            Tool("native starter, one worker, whole run", lambda d: [single_starter],
                 env=native_env, starter=True),
            Tool("native starter, whole run", lambda d: [starter], env=native_env,
                 starter=True),
        ]

    archive, expected, _, _ = packed
    zlib_floor, tools = native_tools(*packed)
    zlib_floor.removal = Tool("rm -rf of the floor's tree (info)", None, info=True)
    unzip = None
    if shutil.which("unzip"):
        unzip = Tool("unzip -q", lambda d: ["unzip", "-q", archive, "-d", d], expected=expected)
        tools.append(unzip)
    if shutil.which("bsdtar"):
        tools.append(Tool("bsdtar -xf", lambda d: ["bsdtar", "-xf", archive, "-C", d],
                          expected=expected))
    if shutil.which("7zz"):
        tools.append(Tool("7zz x", lambda d: ["7zz", "x", "-y", "-bso0", "-bsp0", "-o" + d,
                                               archive], expected=expected))
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else shutil.which("python3")
    if python:
        tools.append(Tool("python3 -m zipfile -e",
                          lambda d: [python, "-m", "zipfile", "-e", archive, d],
                          expected=expected))
    groups = [Group("Native, the archive our packer wrote", zlib_floor, tools, unzip)]
    groups.append(Group("Native, the same tree written by Python's zipfile (level 6, one "
                        "stream per entry)", *native_tools(*foreign)))

    if wine_setup:
        wine, launch, windows_archive, windows_expected, wine_starter, wine_single_starter, \
            wine_child, wine_floor, wine_env = wine_setup

        def launched(program, *arguments):
            # e2e_launch: EXIT_CODE_FILE NAME=VALUE... -- PROGRAM ARGUMENT...
            return lambda d: [wine, launch, windows_path(d + ".exit-code"),
                              "TEMP=" + windows_path(d), "TMP=" + windows_path(d), "--",
                              windows_path(program)] + [a(d) for a in arguments]
        windows_floor = Tool("floor, zlib (bench_floor_win32)",
                             launched(wine_floor, lambda d: windows_path(windows_archive),
                                      windows_path),
                             env=lambda d: wine_env, info=True, expected=windows_expected,
                             cpu=False)
        groups.append(Group("Windows under Wine, the archive our packer wrote around the "
                            "Windows stand-in", windows_floor, [
            Tool("Windows starter, one worker, whole run", launched(wine_single_starter),
                 env=lambda d: wine_env, starter=True, info=True, cpu=False),
            Tool("Windows starter, whole run", launched(wine_starter), env=lambda d: wine_env,
                 starter=True, info=True, cpu=False),
            # What Wine itself costs: the same launch of the bare stand-in program.
            Tool("Wine start-up alone", launched(wine_child), env=lambda d: wine_env,
                 starter=True, info=True, cpu=False),
        ]))
    return groups


def time_tools(tools, runs, work):
    for run in range(runs):
        # Each round starts with a different tool, so none always runs first.
        order = tools[run % len(tools):] + tools[:run % len(tools)]
        for tool in order:
            dest = os.path.join(work, "dest")
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


def print_report(args, infos, groups, memory, image_size):
    log("")
    log(f"Scale {scale_name(args.scale)}, seed {args.seed}.")
    log(describe_line("Archive by our packer", infos["packed"]))
    log(describe_line("Archive by Python's zipfile", infos["foreign"]))
    if "windows" in infos:
        log(describe_line("Windows archive by our packer", infos["windows"]))
    log(f"Native starter image: {image_size:,} bytes (the archive mapped from the image).")
    log(f"{args.runs} runs each, round-robin, each into a fresh empty folder; warm page cache "
        "(nothing dropped). Machine: "
        f"{os.cpu_count()} cores, load average at start {infos['load']}.")
    log("")
    width = max(len(t.name) for g in groups for t in g.rows()) + 2
    header = (f"{'program':{width}} {'min s':>7} {'median s':>9} {'min/floor':>9} "
              f"{'med/floor':>9} {'min/unzip':>9} {'med/unzip':>9} {'cpu s':>6} {'cpu/floor':>9}")
    log(header)
    log("-" * len(header))
    for group in groups:
        log(group.title)
        floor, unzip = group.floor, group.unzip
        for tool in group.rows():
            low = min(tool.walls)
            mid = statistics.median(tool.walls)
            cells = [fmt_ratio(low / min(floor.walls)),
                     fmt_ratio(mid / statistics.median(floor.walls))]
            if unzip:
                cells += [fmt_ratio(low / min(unzip.walls)),
                          fmt_ratio(mid / statistics.median(unzip.walls))]
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
    log("row's own platform and archive, and to unzip on the same archive; cpu s: median user + "
        "system seconds of")
    log("the program and its children, cpu/floor its ratio (less affected by other load on the "
        "machine).")
    log("")
    log("All runs (seconds):")
    for group in groups:
        log(f"  {group.title}")
        for tool in group.rows():
            log(f"    {tool.name:{width - 2}} " + " ".join(f"{w:.3f}" for w in tool.walls))

    results = []

    def median_ratio(group, name):
        tool = next(t for t in group.tools if t.name == name)
        return statistics.median(tool.walls) / statistics.median(group.floor.walls)

    for group, name, target, what in [
            (groups[0], "native starter, whole run", TARGET_RATIO_PACKED, "our packer's archive"),
            (groups[1], "native starter, whole run", TARGET_RATIO_FOREIGN, "zipfile's archive"),
            (groups[2] if len(groups) > 2 else None, "Windows starter, whole run",
             TARGET_RATIO_WINDOWS, "Windows under Wine")]:
        if group is None:
            continue
        ratio = median_ratio(group, name)
        single = median_ratio(group, name.replace(", whole run", ", one worker, whole run"))
        results.append((f"{what}: starter / floor <= {target:.2f} (median {ratio:.3f}; one "
                        f"worker {single:.3f})", ratio <= target))
    starter = next(t for t in groups[0].tools if t.name == "native starter, whole run")
    single = next(t for t in groups[0].tools if t.name.startswith("native starter, one worker"))
    results.append((f"native starter faster than with one worker (median "
                    f"{statistics.median(starter.walls):.3f} s against "
                    f"{statistics.median(single.walls):.3f} s)",
                    statistics.median(starter.walls) < statistics.median(single.walls)))

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
            spread = (max(peaks) - min(peaks)) / max(peaks)
            results.append((f"peak heap at scale 0.1 and 1.0 within "
                            f"{TARGET_HEAP_SPREAD:.0%} (differ by {spread:.1%})",
                            spread <= TARGET_HEAP_SPREAD))
    log("")
    log("Targets:")
    for text, met in results:
        log(f"  {'met   ' if met else 'MISSED'}  {text}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--no-wine", action="store_true")
    args = parser.parse_args()
    if not 0 < args.scale <= 4 or args.runs < 1:
        parser.error("the scale must lie in (0, 4] and the runs be at least 1")

    load = " ".join(open("/proc/loadavg").read().split()[:3])
    log("== building")
    tools_dir, packer = build_host()
    generator = os.path.join(tools_dir, "bench_gen")
    child = os.path.join(tools_dir, "bench_child")

    log("== preparing the archives")
    scales = [args.scale] + [s for s in MEMORY_SCALES if s != args.scale]
    archives = {s: prepare_archive(s, args.seed, child, "native", generator, packer,
                                   with_zipfile=True)
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
    infos = {"load": load, "packed": describe_archive(archive),
             "foreign": describe_archive(foreign_archive)}

    wine_setup = None
    wine_prefix = os.path.join(BUILD, "wine-prefix")
    wine_env = None
    if not args.no_wine:
        wine = shutil.which("wine64") or shutil.which("wine")
        if not wine:
            sys.exit("bench: Wine is missing (run with --no-wine to skip it)")
        windows_tools = build_windows_tools()
        windows_archive = prepare_archive(args.scale, args.seed,
                                          os.path.join(windows_tools, "bench_child.exe"),
                                          "windows", generator, packer)
        windows_starter = build_starter(windows_archive, f"windows-{scale_name(args.scale)}",
                                        True, packer)
        windows_single_starter = build_starter(
            windows_archive, f"windows-one-worker-{scale_name(args.scale)}", True, packer,
            workers=1)
        infos["windows"] = describe_archive(windows_archive)
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
        wine_setup = (wine, launch, windows_archive,
                      infos["windows"]["expected"], windows_starter, windows_single_starter,
                      child_exe,
                      os.path.join(windows_tools, "bench_floor_win32.exe"), wine_env)

    work = tempfile.mkdtemp(prefix="starter-bench-")
    try:
        log(f"== timing ({args.runs} runs each, work folder {work})")
        groups = make_groups(
            (archive, infos["packed"]["expected"], starters[args.scale], single_starter),
            (foreign_archive, infos["foreign"]["expected"], foreign_starter,
             foreign_single_starter),
            tools_dir, wine_setup)
        time_tools([t for g in groups for t in g.tools], args.runs, work)

        log("== memory")
        memory = {}
        for s in MEMORY_SCALES:
            memory[s] = (measure_memory(starters[s], os.path.join(tools_dir, "heap_probe.so"),
                                        work), os.path.getsize(archives[s]))
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if wine_env:
            # Only the bench's own prefix's server: the one started above.
            subprocess.run(["wineserver", "-k"], env=wine_env)
    print_report(args, infos, groups, memory, os.path.getsize(starters[args.scale]))

if __name__ == "__main__":
    main()
