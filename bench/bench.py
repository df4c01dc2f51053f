#!/usr/bin/env python3
"""Benchmarks of onefile: unpack speed, start-up cost, memory and pack speed,
each against the native limit and against peers, measured side by side in one
run. Started by scripts/bench, which builds first and keeps a wineserver
running; see the README's "Benchmarks" section for what each row means.

Every figure is the median of several repetitions, shown with its minimum and
maximum. The repetitions of the commands that are compared run interleaved
(A B C A B C ...), so that a slow moment of a shared machine spreads over all
of them rather than over one.
"""

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

MiB = 1 << 20

# The large payload: real files of this machine, the same on every machine
# set up for the project (the MinGW-w64 cross compiler and its libraries:
# large executables and DLLs beside thousands of small headers). The quick
# mode takes the second one alone.
LARGE_SOURCES = ["/usr/lib/gcc/x86_64-w64-mingw32", "/usr/x86_64-w64-mingw32"]
QUICK_SOURCES = ["/usr/x86_64-w64-mingw32"]

# Names Windows cannot hold; such files are left out of the staged tree (the
# packer would refuse them and the comparison needs the same files everywhere).
FORBIDDEN_CHARACTERS = set('<>:"|?*\\') | {chr(c) for c in range(32)}
DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL"} | {f"{p}{d}" for p in ("COM", "LPT") for d in range(1, 10)}


def say(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


def windows_name_ok(name):
    if any(c in FORBIDDEN_CHARACTERS for c in name) or name.endswith((".", " ")):
        return False
    return name.split(".")[0].upper() not in DEVICE_NAMES


# ---------------------------------------------------------------- staging


class Stage:
    """A folder of real files that every contender packs or unpacks."""

    def __init__(self, root):
        self.root = root
        self.files = 0
        self.bytes = 0
        self.skipped_links = 0
        self.skipped_names = 0

    def add_file(self, source, relative):
        target = self.root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)
        self.files += 1
        self.bytes += target.stat().st_size

    def add_tree(self, source, under):
        """Copies the regular files below `source` to `under`, leaving out
        symbolic links, special files, names Windows cannot hold and names
        equal but for case to one already taken."""
        taken = set()
        for directory, subdirectories, names in os.walk(source):
            subdirectories.sort()
            relative_directory = Path(directory).relative_to(source)
            kept = []
            for name in subdirectories:
                path = Path(directory, name)
                if path.is_symlink():
                    self.skipped_links += 1
                elif not windows_name_ok(name):
                    self.skipped_names += 1
                else:
                    kept.append(name)
            subdirectories[:] = kept
            for name in sorted(names):
                path = Path(directory, name)
                relative = under / relative_directory / name
                folded = str(relative).lower()
                if path.is_symlink() or not path.is_file():
                    self.skipped_links += 1
                elif not windows_name_ok(name) or folded in taken:
                    self.skipped_names += 1
                else:
                    taken.add(folded)
                    self.add_file(path, relative)


def stage_example(stage, windows_bin):
    stage.add_file(windows_bin / "hello.dll", "hello.dll")
    stage.add_file(windows_bin / "support.dll", "support.dll")
    stage.add_file(windows_bin / "greeter.dll", "plugins/greeter.dll")


# ---------------------------------------------------------------- measuring


class Sample:
    def __init__(self, seconds, peak_rss):
        self.seconds = seconds
        self.peak_rss = peak_rss


PEAK_FILE = Path(os.environ.get("TMPDIR", "/tmp")) / f"onefile-bench-peak-{os.getpid()}"


def run_once(argv, env=None, check=True, cwd=None):
    """Runs `argv` and returns its wall time and the peak resident memory of
    the process it started: for Wine, the Wine process of the .exe itself.

    The peak comes from GNU time (%M, the process's own high-water mark as
    wait4 reports it, including the images it replaced by exec and the
    children it waited for itself, but not the processes it left to others,
    such as a Windows child process). Taken from this Python process instead,
    it would start at Python's own size: a child made by vfork counts the
    memory of the process it came from until its exec."""
    start = time.perf_counter()
    process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", str(PEAK_FILE)] + list(argv),
                               env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = process.stdout.read()
    process.wait()
    seconds = time.perf_counter() - start
    process.stdout.close()
    if check and process.returncode != 0:
        raise SystemExit(f"bench: {' '.join(map(str, argv))} failed with status "
                         f"{process.returncode}:\n{output.decode(errors='replace')}")
    peak_lines = PEAK_FILE.read_text().split()
    PEAK_FILE.unlink()
    sample = Sample(seconds, int(peak_lines[-1]) * 1024)
    sample.output = output
    return sample


class Contender:
    def __init__(self, key, argv, env=None, after=None, cwd=None):
        self.key = key
        self.argv = argv
        self.env = env
        self.after = after  # a check after each run (leftovers, outputs)
        self.cwd = cwd
        self.samples = []

    def run(self):
        sample = run_once(self.argv, self.env, cwd=self.cwd)
        if self.after:
            self.after()
        return sample


def measure(contenders, repetitions, warmups=1):
    """Interleaved repetitions after `warmups` unrecorded rounds."""
    for _ in range(warmups):
        for contender in contenders:
            contender.run()
    for _ in range(repetitions):
        for contender in contenders:
            contender.samples.append(contender.run())


def stats(values):
    return statistics.median(values), min(values), max(values)


# ---------------------------------------------------------------- table


class Table:
    def __init__(self):
        self.rows = []
        self.targets = []

    def section(self, title):
        self.rows.append(("section", title))

    def row(self, label, values, unit, note=""):
        self.rows.append(("row", label, stats(values), unit, note))

    def target(self, name, ratio_text, met, detail):
        self.targets.append((name, ratio_text, met, detail))

    def render(self):
        label_width = max(len(r[1]) for r in self.rows if r[0] == "row")
        lines = []
        header = f"{'':{label_width}}  {'median':>10} {'min':>10} {'max':>10}"
        for r in self.rows:
            if r[0] == "section":
                lines.append("")
                lines.append(f"{r[1]}")
                lines.append(header)
                continue
            _, label, (median, low, high), unit, note = r
            cells = " ".join(f"{format_value(v, unit):>10}" for v in (median, low, high))
            lines.append(f"{label:{label_width}}  {cells}" + (f"  {note}" if note else ""))
        lines.append("")
        lines.append("targets")
        name_width = max(len(t[0]) for t in self.targets)
        ratio_width = max(len(t[1]) for t in self.targets)
        for name, ratio_text, met, detail in self.targets:
            verdict = "met   " if met else "MISSED"
            lines.append(f"  {verdict} {name:{name_width}}  {ratio_text:{ratio_width}}  {detail}")
        return "\n".join(lines)


def format_value(value, unit):
    if unit == "s":
        return f"{value:.3f} s" if value < 10 else f"{value:.2f} s"
    if unit == "MiB":
        return f"{value / MiB:.1f} MiB"
    if unit == "MB":
        return f"{value / 1e6:.2f} MB"
    return str(value)


# ---------------------------------------------------------------- main


def windows_path(path):
    """A Unix path as Wine's drive Z: shows it."""
    return "Z:" + str(path).replace("/", "\\")


def wine_temp_folder(wine_run, env):
    """The Unix path of %TEMP% in the Wine prefix."""
    windows = subprocess.run(wine_run + ["cmd.exe", "/c", "echo %TEMP%"], env=env,
                             capture_output=True, text=True, check=True).stdout.strip()
    unix = subprocess.run(wine_run + ["winepath.exe", "-u", windows], env=env,
                          capture_output=True, text=True, check=True).stdout.strip()
    if not windows or not Path(unix).is_dir():
        raise SystemExit(f"bench: the Wine prefix's TEMP ({windows!r}, {unix!r}) is no folder")
    return Path(unix).resolve()


def onefile_phases(argv, env, exe_name):
    """One run of a onefile executable, split at the moments its child
    process appears and disappears (seen in /proc every 2 ms): start-up and
    unpacking, the child's run, then the removal of the files and the exit."""
    marker = ("\\" + exe_name).encode()
    before = set(os.listdir("/proc"))
    start = time.perf_counter()
    process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    appeared = gone = None
    child = None
    while process.poll() is None:
        now = time.perf_counter() - start
        if child is None:
            # New processes are looked at again each time: one may still be a
            # fork of the parent that has not yet become the child.
            for pid in os.listdir("/proc"):
                if pid in before or not pid.isdigit() or int(pid) == process.pid:
                    continue
                try:
                    command = Path(f"/proc/{pid}/cmdline").read_bytes()
                except OSError:
                    continue
                if marker in command:
                    child, appeared = pid, now
                    break
        elif gone is None:
            try:
                alive = marker in Path(f"/proc/{child}/cmdline").read_bytes()
            except OSError:
                alive = False
            if not alive:
                gone = now
        time.sleep(0.002)
    end = time.perf_counter() - start
    if process.returncode != 0:
        raise SystemExit(f"bench: {' '.join(argv)} failed with status {process.returncode}")
    if appeared is None or gone is None:
        return None  # the child came and went between two looks
    return appeared, gone - appeared, end - gone


def followed_runs(argv, env, exe_name, count):
    runs = []
    for _ in range(count * 3):
        phases = onefile_phases(argv, env, exe_name)
        if phases:
            runs.append(phases)
        if len(runs) == count:
            return runs
    raise SystemExit(f"bench: could not follow the child of {' '.join(argv)}")


def packer_settings(packer, stage, output, env):
    """Level, window log and threads the packer chooses at its defaults."""
    result = subprocess.run([packer, "build", stage, "--entry", "hello.dll", "--output", output,
                             "--quiet", "--verbose"], env=env, capture_output=True, text=True,
                            check=True)
    found = re.search(r"\(level (\d+), window log (\d+), (\d+) threads\)", result.stderr)
    if found:
        return tuple(int(group) for group in found.groups())
    raise SystemExit(f"bench: cannot read the packer's settings from:\n{result.stderr}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, type=Path, help="the build directory")
    parser.add_argument("--quick", action="store_true",
                        help="a smaller payload and fewer repetitions (a few minutes)")
    parser.add_argument("--output", type=Path, help="also write the table here")
    args = parser.parse_args()

    repo = Path(__file__).resolve().parent.parent
    build = args.build.resolve()
    packer = build / "bin" / "onefile-pack"
    windows_bin = build / "windows" / "bin"
    prefix = build / "wineprefix"
    work = build / "bench"
    cores = os.cpu_count() or 1
    sources = QUICK_SOURCES if args.quick else LARGE_SOURCES
    unpack_reps, startup_reps, pack_reps = (3, 7, 2) if args.quick else (5, 15, 3)

    load_before = os.getloadavg()[0]
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all")
    wine_run = [str(repo / "scripts" / "wine-run")]
    # Every contender unpacks into the same folder on the same disk: the one
    # that the packaged executable's {TEMP} names.
    temp = wine_temp_folder(wine_run, env)

    def leftovers():
        return sorted(p.name for p in temp.iterdir() if p.name.startswith(("onefile_", "bench_", "selfgz")))

    if leftovers():
        raise SystemExit(f"bench: leftovers in {temp} from an earlier run: {leftovers()}")

    def nothing_left():
        left = leftovers()
        if left:
            raise SystemExit(f"bench: a run left {left} behind in {temp}")

    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)

    # -- inputs
    say(f"staging the large payload from {', '.join(sources)}")
    large = Stage(work / "large")
    stage_example(large, windows_bin)
    example_files, example_bytes = large.files, large.bytes
    for source in sources:
        large.add_tree(Path(source), Path("data") / Path(source).relative_to("/").as_posix().replace("/", "_"))
    tiny = Stage(work / "tiny")
    stage_example(tiny, windows_bin)

    # -- packing: the default build once to learn its settings, then the rows
    level, window_log, threads = packer_settings(packer, large.root, work / "large.exe", env)
    window = 1 << window_log
    say(f"packer defaults: level {level}, window log {window_log}, {threads} threads")

    def pack_onefile(level_option, output):
        argv = [str(packer), "build", str(large.root), "--entry", "hello.dll", "--output",
                str(output), "--quiet"]
        return Contender(f"onefile-pack {level_option}", argv + (["--level", str(level_option)]
                                                                 if level_option else []), env)

    tar_zst = work / "large.tar.zst"
    tar_gz = work / "large.tar.gz"
    makeself_run = work / "large.run"
    # Tar members in sorted order, as the packer sorts its records.
    tar_create = f"tar -c --sort=name --format=gnu -C '{large.root}' ."
    zstd_options = f"-{level} --zstd=wlog={window_log} -T{threads}"
    pack_default = pack_onefile(None, work / "large.exe")
    pack_tar = Contender("tar | zstd", ["sh", "-c", f"{tar_create} | zstd -q {zstd_options} -o '{tar_zst}'"
                                        f" --force"])
    say(f"packing: {pack_reps} rounds of onefile-pack build and tar | zstd {zstd_options}")
    measure([pack_default, pack_tar], pack_reps, warmups=0)
    level_rows = {}
    for other in (3, 9):
        if other == level:
            continue
        say(f"packing at level {other}")
        contender = pack_onefile(other, work / f"large-{other}.exe")
        measure([contender], pack_reps, warmups=0)
        level_rows[other] = (contender, (work / f"large-{other}.exe").stat().st_size)
    level_rows[level] = (pack_default, (work / "large.exe").stat().st_size)
    exe_size = (work / "large.exe").stat().st_size
    tar_zst_size = tar_zst.stat().st_size

    say("making the peers' archives (gzip -6, makeself with zstd)")
    subprocess.run(["sh", "-c", f"{tar_create} | gzip -6 > '{tar_gz}'"], check=True)
    subprocess.run(["makeself", "--zstd", "--complevel", str(level), "--threads", str(threads),
                    "--quiet", "--tar-quietly", "--nox11", "--noprogress", str(large.root),
                    str(makeself_run), "onefile benchmark", "true"], check=True,
                   stdout=subprocess.DEVNULL)

    say("packing the tiny payload (the example application)")
    tiny_exe = work / "tiny.exe"
    subprocess.run([packer, "build", tiny.root, "--entry", "hello.dll", "--output", tiny_exe,
                    "--quiet"], env=env, check=True)

    # -- unpacking
    def native(name, decompress, archive):
        target = temp / f"bench_{name}"
        script = (f"set -e; mkdir '{target}'; {decompress} '{archive}' | tar -x -C '{target}'; "
                  f"rm -rf '{target}'")
        return Contender(name, ["sh", "-c", script], after=nothing_left)

    onefile_large = Contender("onefile large", wine_run + [str(work / "large.exe"), ":quiet"], env,
                              after=nothing_left)
    onefile_tiny = Contender("onefile tiny", wine_run + [str(tiny_exe), ":quiet"], env,
                             after=nothing_left)
    zstd_pipe = native("zstd", "zstd -dc", tar_zst)
    gzip_pipe = native("gzip", "gzip -dc", tar_gz)
    makeself_env = dict(os.environ, TMPDIR=str(temp))
    makeself = Contender("makeself", [str(makeself_run), "--quiet", "--nox11", "--noprogress"],
                         makeself_env, after=nothing_left)
    say(f"unpacking: {unpack_reps} rounds of onefile, zstd | tar, gzip | tar, makeself")
    measure([onefile_large, zstd_pipe, gzip_pipe, makeself, onefile_tiny], unpack_reps)

    # -- where the onefile run's time goes
    say("following onefile runs through their phases; timing writing and removal alone")
    phases = followed_runs(onefile_large.argv, env, "large.exe", 3)
    tiny_phases = followed_runs(onefile_tiny.argv, env, "tiny.exe", 5)
    nothing_left()
    # The large payload's files in the packer's order (entry first, then by
    # the bytes of the archive path), for the probe that only writes them.
    listed = sorted((p for p in large.root.rglob("*") if p.is_file()),
                    key=lambda p: (p.relative_to(large.root).as_posix() != "hello.dll",
                                   p.relative_to(large.root).as_posix().replace("/", "\\").encode()))
    file_list = work / "large-files.txt"
    file_list.write_text("".join(f"{p.stat().st_size}\t{p.relative_to(large.root).as_posix().replace('/', chr(92))}\n"
                                 for p in listed), encoding="utf-8")
    probe = str(windows_bin / "fs_probe.exe")
    tree = temp / "bench_fs_probe"

    def probe_seconds(*arguments):
        result = run_once(wine_run + [probe, *arguments], env)
        return float(result.output.decode().split("seconds=")[1].split()[0])

    fs = {"write": [], "shell": [], "walk": [], "rm": []}
    for _ in range(3):
        fs["write"].append(probe_seconds("write", windows_path(file_list), windows_path(tree)))
        shutil.rmtree(tree)
        for mode in ("shell", "walk", "rm"):
            shutil.copytree(large.root, tree)
            subprocess.run(["sync"], check=True)
            if mode == "rm":
                fs[mode].append(run_once(["rm", "-rf", str(tree)]).seconds)
            else:
                fs[mode].append(probe_seconds(mode, windows_path(tree)))
            nothing_left()
    tiny_removal = []
    for _ in range(5):
        shutil.copytree(tiny.root, tree)
        tiny_removal.append(probe_seconds("shell", windows_path(tree)))
    nothing_left()

    # -- start-up and the plain executable's memory
    plain_exe = str(windows_bin / "plain_loader.exe")
    # The plain executable loads the same files, unpacked beforehand on the same disk.
    plain_tiny_dir = temp / "plain_loader_tiny"
    shutil.rmtree(plain_tiny_dir, ignore_errors=True)
    shutil.copytree(tiny.root, plain_tiny_dir)
    plain_tiny = Contender("plain tiny", wine_run + [plain_exe, windows_path(plain_tiny_dir), "hello.dll",
                                                     ":quiet"], env)
    startup_onefile = Contender("onefile tiny", onefile_tiny.argv, env, after=nothing_left)
    say(f"start-up: {startup_reps} rounds of the tiny onefile executable and the plain loader")
    try:
        measure([startup_onefile, plain_tiny], startup_reps)
    finally:
        shutil.rmtree(plain_tiny_dir)
    plain_large_dir = temp / "plain_loader_large"
    shutil.rmtree(plain_large_dir, ignore_errors=True)
    shutil.copytree(large.root, plain_large_dir)
    plain_large = Contender("plain large", wine_run + [plain_exe, windows_path(plain_large_dir), "hello.dll",
                                                       ":quiet"], env)
    try:
        measure([plain_large], unpack_reps)
    finally:
        shutil.rmtree(plain_large_dir)

    # -- the table
    def seconds(c):
        return [s.seconds for s in c.samples]

    def peaks(c):
        return [s.peak_rss for s in c.samples]

    def median(values):
        return statistics.median(values)

    table = Table()
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    header = [
        f"onefile benchmarks, {stamp}, {platform.node()}: {cores} cores, "
        f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / (1 << 30):.1f} GiB; "
        f"{'quick mode' if args.quick else 'full run'}",
        f"large payload: {large.files} files, {large.bytes / 1e6:.1f} MB: the example application "
        f"({example_files} files, {example_bytes / 1e3:.0f} kB) and every regular file below "
        f"{' and '.join(sources)}",
        f"  (left out: {large.skipped_links} symbolic links or special files, "
        f"{large.skipped_names} names Windows cannot hold or equal but for case)",
        f"tiny payload: the example application alone ({tiny.files} files, {tiny.bytes / 1e3:.0f} kB)",
        f"frame: level {level}, window log {window_log} ({window // MiB} MiB), {threads} threads "
        f"(the packer's defaults); onefile executable {exe_size / 1e6:.2f} MB",
        f"unpacking into {temp} (the executable's {{TEMP}}) for every contender",
        f"repetitions: unpack and memory {unpack_reps} after 1 warm-up, start-up {startup_reps} "
        f"after 1 warm-up, pack {pack_reps}; load average {load_before:.2f} at the start, "
        f"{os.getloadavg()[0]:.2f} at the end (other work on the machine slows every row)",
    ]

    table.section("UNPACK (wall time: unpack the large payload, run an entry that returns at once, "
                  "remove the files)")
    table.row("onefile large.exe under Wine (parent + child, removal)", seconds(onefile_large), "s")
    table.row("zstd -dc | tar -x; rm -rf  (native limit, same level/window)", seconds(zstd_pipe), "s")
    table.row("gzip -dc | tar -x; rm -rf  (gzip -6 archive)", seconds(gzip_pipe), "s")
    table.row("makeself --zstd: checksums, unpack, run true, remove", seconds(makeself), "s")
    table.row("onefile tiny.exe under Wine (the Wine baseline)", seconds(onefile_tiny), "s")

    table.section("WHERE THE ONEFILE RUN'S TIME GOES (runs followed through /proc every 2 ms; "
                  "fs_probe.exe: the same files written or removed with no decompression)")
    table.row("onefile large.exe: start, unpack, start the child", [p[0] for p in phases], "s")
    table.row("onefile large.exe: the child's run", [p[1] for p in phases], "s")
    table.row("onefile large.exe: removal and exit", [p[2] for p in phases], "s")
    table.row("fs_probe: write the large payload's files (Wine, 32 KiB pieces)", fs["write"], "s")
    table.row("fs_probe: remove them by SHFileOperationW alone (Wine)", fs["shell"], "s")
    table.row("fs_probe: remove them by a FindFirstFileW/DeleteFileW walk (Wine; onefile walks first)", fs["walk"], "s")
    table.row("rm -rf of the same files (native)", fs["rm"], "s")
    table.row("onefile tiny.exe: start, unpack, start the child", [p[0] for p in tiny_phases], "s")
    table.row("onefile tiny.exe: the child's run", [p[1] for p in tiny_phases], "s")
    table.row("onefile tiny.exe: removal and exit", [p[2] for p in tiny_phases], "s")
    table.row("fs_probe: remove the tiny payload by SHFileOperationW (Wine)", tiny_removal, "s")

    table.section("START-UP (wall time under Wine, tiny payload, entry prints nothing)")
    table.row("onefile tiny.exe :quiet", seconds(startup_onefile), "s")
    table.row("plain_loader.exe (same DLLs, already unpacked)", seconds(plain_tiny), "s")

    table.section("MEMORY (peak resident memory, VmHWM, of the process the command starts)")
    table.row("onefile large.exe: parent", peaks(onefile_large), "MiB")
    table.row("plain_loader.exe on the unpacked large payload", peaks(plain_large), "MiB")
    table.row("onefile tiny.exe: parent", peaks(startup_onefile), "MiB")
    table.row("plain_loader.exe on the unpacked tiny payload", peaks(plain_tiny), "MiB")
    table.row("zstd -dc | tar -x (largest process)", peaks(zstd_pipe), "MiB")

    table.section(f"PACK (wall time and output size, large payload, {threads} threads)")
    table.row(f"onefile-pack build (defaults: level {level})", seconds(pack_default), "s",
              f"{exe_size / 1e6:.2f} MB")
    table.row(f"tar -c | zstd {zstd_options}", seconds(pack_tar), "s", f"{tar_zst_size / 1e6:.2f} MB")
    for other in sorted(level_rows):
        contender, size = level_rows[other]
        table.row(f"onefile-pack build --level {other}", seconds(contender), "s",
                  f"{size / 1e6:.2f} MB  ({large.bytes / size:.2f} : 1)")

    # -- ratios and targets
    t_onefile = median(seconds(onefile_large))
    t_zstd = median(seconds(zstd_pipe))
    t_gzip = median(seconds(gzip_pipe))
    t_makeself = median(seconds(makeself))
    t_tiny = median(seconds(onefile_tiny))
    r = t_onefile / t_zstd
    table.target("unpack <= 1.3 x zstd | tar", f"{r:.2f} x", r <= 1.3,
                 f"without the Wine baseline: {(t_onefile - t_tiny) / t_zstd:.2f} x")
    r = t_onefile / t_gzip
    table.target("unpack faster than gzip | tar", f"{r:.2f} x", r < 1, "")
    r = t_onefile / t_makeself
    table.target("unpack faster than makeself", f"{r:.2f} x", r < 1, "")
    r = median(seconds(startup_onefile)) / median(seconds(plain_tiny))
    table.target("start-up <= 2.5 x plain loader", f"{r:.2f} x", r <= 2.5, "")
    extra = median(peaks(onefile_large)) - median(peaks(plain_large))
    limit = window + 32 * MiB
    table.target("large: parent peak - plain peak <= window + 32 MiB",
                 f"{extra / MiB:+.1f} MiB", extra <= limit, f"limit {limit / MiB:.0f} MiB")
    extra = median(peaks(startup_onefile)) - median(peaks(plain_tiny))
    table.target("tiny: parent peak - plain peak <= 8 MiB", f"{extra / MiB:+.1f} MiB",
                 extra <= 8 * MiB, "")
    r = median(seconds(pack_default)) / median(seconds(pack_tar))
    table.target("pack time <= 1.1 x tar | zstd", f"{r:.2f} x", r <= 1.1, "")
    r = exe_size / tar_zst_size
    table.target("pack size within 1 % of tar | zstd", f"{(r - 1) * 100:+.2f} %", abs(r - 1) <= 0.01,
                 "")

    text = "\n".join(header) + "\n" + table.render() + "\n"
    print(text)
    if args.output:
        args.output.write_text(text)
    shutil.rmtree(work / "large", ignore_errors=True)


if __name__ == "__main__":
    main()
