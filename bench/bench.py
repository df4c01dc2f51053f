#!/usr/bin/env python3
"""Benchmarks of onefile: unpack speed, start-up cost, the cached mode,
memory, size and pack speed, against the other ways to ship a Windows
application as one file (NSIS, caxa) under the same Wine, against Wine's own
floor and the native limit, measured side by side in one run. Started by
scripts/bench, which installs the contenders, builds first and keeps a
wineserver running; see the README's "Benchmarks" section for what each row
means.

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
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import peers
from measure import MiB, Contender, Leftovers, Table, measure, median, run_once

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

ENTRY = "hello.dll"
# The compiler's libraries in the large payload (LARGE_SOURCES[0]) import
# the runtime's from the other folder, where Windows would not find them;
# they are data here, not the application's, so the packer is told that
# those may be missing.
PAYLOAD_ALLOWED_MISSING = ("libgcc_s_seh-1.dll", "libwinpthread-1.dll")
# What every run of the application is given: the example's entry returns at
# once and prints nothing.
QUIET = ":quiet"
# A status that the checking round asks for, to see that the application ran.
CHECK_STATUS = 7

# Runs a shell command in which a failing stage of a pipeline fails the whole,
# so that an archive cut short by tar never passes for a made one.
SHELL = ["bash", "-o", "pipefail", "-c"]

# The window log of the row that trades ratio for memory.
SMALL_WINDOW_LOG = 23
# The levels of the packer rows besides its default; 22 is zstd's highest.
OTHER_LEVELS = (3, 9, 22)
# The level of the tiny payload's pack row: fast enough that the packer's own
# work, not the compression, makes most of the time.
TINY_PACK_LEVEL = 3


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
    stage.add_file(windows_bin / ENTRY, ENTRY)
    stage.add_file(windows_bin / "support.dll", "support.dll")
    stage.add_file(windows_bin / "greeter.dll", "plugins/greeter.dll")


# ---------------------------------------------------------------- Wine


def windows_path(path):
    """A Unix path as Wine's drive Z: shows it."""
    return "Z:" + str(path).replace("/", "\\")


def wine_folder(wine_run, env, variable="TEMP"):
    """The Unix path of a folder variable's (%TEMP%) value in the Wine prefix."""
    windows = subprocess.run(wine_run + ["cmd.exe", "/c", f"echo %{variable}%"], env=env,
                             capture_output=True, text=True, check=True).stdout.strip()
    unix = subprocess.run(wine_run + ["winepath.exe", "-u", windows], env=env,
                          capture_output=True, text=True, check=True).stdout.strip()
    if not windows or not Path(unix).is_dir():
        raise SystemExit(f"bench: the Wine prefix's {variable} ({windows!r}, {unix!r}) is no folder")
    return Path(unix).resolve()


class SessionKeeper:
    """bench/session_keeper.exe for the whole run: Wine's desktop and RPC
    service stay up, as a Windows session's always are."""

    def __init__(self, wine_run, keeper, env):
        self.process = subprocess.Popen(wine_run + [str(keeper)], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        # It prints one line once it is up, and nothing when it fails.
        # Starting Wine's RPC service may take seconds; a minute is a failure.
        ready, _, _ = select.select([self.process.stdout], [], [], 60)
        if not (ready and self.process.stdout.readline()):
            self.stop()
            raise SystemExit(f"bench: {keeper} did not start")

    def stop(self):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


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


def followed_runs(contender, exe_name, count):
    runs = []
    for _ in range(count * 3):
        phases = contender.leftovers.around(lambda: onefile_phases(contender.argv, contender.env,
                                                                   exe_name))
        if phases:
            runs.append(phases)
        if len(runs) == count:
            return runs
    raise SystemExit(f"bench: could not follow the child of {' '.join(contender.argv)}")


# ---------------------------------------------------------------- packing


def packer_options(packer, env):
    """The options that `onefile-pack build --help` lists."""
    result = subprocess.run([packer, "build", "--help"], env=env, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"bench: {packer} build --help failed ({result.returncode}):\n"
                         f"{result.stdout}{result.stderr}")
    return options_in_help(result.stdout + result.stderr)


def options_in_help(text):
    return set(re.findall(r"^\s+(--[a-z][a-z0-9-]*)", text, re.MULTILINE))


def packer_settings(packer, stage, output, env, extra=()):
    """Level, window log and threads the packer chooses at its defaults."""
    result = subprocess.run([packer, "build", stage, "--entry", ENTRY, "--output", output,
                             "--quiet", "--verbose", *extra], env=env, capture_output=True,
                            text=True, check=True)
    found = re.search(r"\(level (\d+), window log (\d+), (\d+) threads\)", result.stderr)
    if found:
        return tuple(int(group) for group in found.groups())
    raise SystemExit(f"bench: cannot read the packer's settings from:\n{result.stderr}")


class Variant:
    """A onefile executable built with extra options, or why it was not."""

    def __init__(self, output, missing=None):
        self.output = output
        self.missing = missing  # the reason it was not built
        self.seconds = None  # how long the build took


def build_variant(packer, options, stage, output, env, option, extra):
    """Builds with `extra` when the packer lists `option`; a build that fails
    is a row not measured, not the end of the benchmark."""
    if option not in options:
        return Variant(output, f"this packer has no {option}")
    argv = [str(packer), "build", str(stage), "--entry", ENTRY, "--output", str(output), "--quiet",
            *extra]
    variant = Variant(output)
    start = time.perf_counter()
    result = subprocess.run(argv, env=env, capture_output=True, text=True)
    variant.seconds = time.perf_counter() - start
    if result.returncode != 0:
        lines = (result.stderr + result.stdout).strip().splitlines() or ["no message"]
        variant.missing = f"onefile-pack build {' '.join(extra)} failed: {lines[0]}"
    return variant


def makensis_contender(name, compressor, payload, loader, work):
    output = work / f"{name}-nsis-{compressor}.exe"
    script = work / f"{name}-nsis-{compressor}.nsi"
    script.write_text(peers.nsis_script(compressor, payload, loader, ENTRY, output),
                      encoding="utf-8")
    return Contender(f"makensis {compressor}", ["makensis", "-V1", str(script)]), output


def caxa_archive(payload, loader, output):
    """The gzip-compressed tar of the payload and the loader, at zlib's
    default level 6, as caxa's archiver writes it."""
    subprocess.run([*SHELL, f"tar -c --sort=name --format=gnu -C '{payload}' . "
                                f"-C '{loader.parent}' './{loader.name}' | gzip -6 > '{output}'"],
                   check=True)


# ---------------------------------------------------------------- main


def prepare(args):
    """Stages the payloads and builds what every contender runs; returns
    them with the settings, in one namespace."""
    s = SimpleNamespace(args=args, load_before=os.getloadavg()[0], cores=os.cpu_count() or 1)
    s.repo = Path(__file__).resolve().parent.parent
    build = args.build.resolve()
    packer = build / "bin" / "onefile-pack"
    s.windows_bin = build / "windows" / "bin"
    loader = s.windows_bin / peers.LOADER
    caxa_stub = args.caxa.resolve() / peers.CAXA_STUB
    s.work = build / "bench" / "work"
    s.sources = QUICK_SOURCES if args.quick else LARGE_SOURCES
    s.unpack_reps, s.startup_reps, s.pack_reps = (3, 7, 2) if args.quick else (5, 15, 3)
    s.tiny_pack_reps = 15 if args.quick else 25
    if not caxa_stub.is_file():
        raise SystemExit(f"bench: no caxa stub at {caxa_stub} (scripts/bench installs caxa)")
    if not shutil.which("makensis"):
        raise SystemExit("bench: no makensis (scripts/bench installs Debian's nsis)")

    s.env = env = dict(os.environ, WINEPREFIX=str(build / "wineprefix"), WINEDEBUG="-all")
    s.wine_run = [str(s.repo / "scripts" / "wine-run")]
    # Every contender unpacks into the same folder on the same disk: the one
    # that the packaged executable's {TEMP} names.
    s.temp = temp = wine_folder(s.wine_run, env)

    def stale():
        return sorted(p.name for p in temp.iterdir() if p.name.startswith(("onefile_", "bench_", "selfgz")))

    if stale():
        raise SystemExit(f"bench: leftovers in {temp} from an earlier run: {stale()}")

    def nothing_left():
        if stale():
            raise SystemExit(f"bench: a run left {stale()} behind in {temp}")

    s.nothing_left = nothing_left
    work = s.work
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    options = packer_options(packer, env)
    # Packers without the dependency check need no allowance.
    allowance = [option for name in PAYLOAD_ALLOWED_MISSING for option in ("--allow-missing", name)
                 if "--allow-missing" in options and LARGE_SOURCES[0] in s.sources]

    # -- inputs
    say(f"staging the large payload from {', '.join(s.sources)}")
    s.large = large = Stage(work / "large")
    stage_example(large, s.windows_bin)
    s.example_files, s.example_bytes = large.files, large.bytes
    for source in s.sources:
        large.add_tree(Path(source), Path("data") / Path(source).relative_to("/").as_posix().replace("/", "_"))
    s.tiny = tiny = Stage(work / "tiny")
    stage_example(tiny, s.windows_bin)

    # -- the tiny payload packed, by this packer and by another one (an
    # earlier build) when given, interleaved
    def pack_tiny(name, program, output):
        return Contender(name, [str(program), "build", str(tiny.root), "--entry", ENTRY, "--output",
                                str(output), "--quiet", "--level", str(TINY_PACK_LEVEL)], env)

    s.pack_tiny = pack_tiny("onefile-pack tiny", packer, work / "tiny-packed.exe")
    s.pack_tiny_other = None
    tiny_packers = [s.pack_tiny]
    if args.other_packer:
        s.pack_tiny_other = pack_tiny("other onefile-pack tiny", args.other_packer.resolve(),
                                      work / "tiny-packed-other.exe")
        tiny_packers.append(s.pack_tiny_other)
    say(f"packing the tiny payload at --level {TINY_PACK_LEVEL}: {s.tiny_pack_reps} rounds"
        + (f", beside {args.other_packer}" if args.other_packer else ""))
    measure(tiny_packers, s.tiny_pack_reps)

    # -- packing: the default build once to learn its settings, then the rows
    s.level, s.window_log, s.threads = packer_settings(packer, large.root, work / "large.exe", env,
                                                       allowance)
    s.window = 1 << s.window_log
    say(f"packer defaults: level {s.level}, window log {s.window_log}, {s.threads} threads")

    def pack_onefile(level_option, output):
        argv = [str(packer), "build", str(large.root), "--entry", ENTRY, "--output", str(output),
                "--quiet", *allowance]
        return Contender(f"onefile-pack {level_option}", argv + (["--level", str(level_option)]
                                                                 if level_option else []), env)

    s.large_exe = work / "large.exe"
    s.tar_zst = work / "large.tar.zst"
    s.tar_gz = work / "large.tar.gz"
    s.makeself_run = work / "large.run"
    # Tar members in sorted order, as the packer sorts its records.
    tar_create = f"tar -c --sort=name --format=gnu -C '{large.root}' ."
    s.zstd_options = f"-{s.level} --zstd=wlog={s.window_log} -T{s.threads}"
    s.pack_default = pack_onefile(None, s.large_exe)
    s.pack_tar = Contender("tar | zstd", [*SHELL, f"{tar_create} | zstd -q {s.zstd_options} "
                                          f"-o '{s.tar_zst}' --force"])
    s.nsis_large, s.pack_nsis = {}, {}
    for compressor in peers.NSIS_COMPRESSORS:
        s.pack_nsis[compressor], s.nsis_large[compressor] = makensis_contender(
            "large", compressor, large.root, loader, work)
    say(f"packing: {s.pack_reps} rounds of onefile-pack build, tar | zstd {s.zstd_options} and "
        f"makensis with LZMA and zlib")
    measure([s.pack_default, s.pack_tar] + list(s.pack_nsis.values()), s.pack_reps, warmups=0)
    s.level_rows = {}
    s.skipped_levels = []
    for other in OTHER_LEVELS:
        if other == s.level:
            continue
        # zstd's top levels take minutes: once is enough to choose by, and
        # the quick mode leaves them to the full run.
        rounds = 1 if other > 19 else s.pack_reps
        if rounds == 1 and args.quick:
            s.skipped_levels.append(other)
            continue
        say(f"packing at level {other} ({'once' if rounds == 1 else f'{rounds} rounds'})")
        contender = pack_onefile(other, work / f"large-{other}.exe")
        measure([contender], rounds, warmups=0)
        s.level_rows[other] = (contender, (work / f"large-{other}.exe").stat().st_size)
    s.level_rows[s.level] = (s.pack_default, s.large_exe.stat().st_size)
    s.exe_size = s.large_exe.stat().st_size
    s.tar_zst_size = s.tar_zst.stat().st_size

    say(f"packing with --window-log {SMALL_WINDOW_LOG} and --cache, where the packer has them")
    s.small_window = build_variant(packer, options, large.root, work / f"large-wlog{SMALL_WINDOW_LOG}.exe",
                                   env, "--window-log",
                                   ["--window-log", str(SMALL_WINDOW_LOG), *allowance])
    s.cached_large = build_variant(packer, options, large.root, work / "large-cache.exe", env,
                                   "--cache", ["--cache", *allowance])
    s.cached_tiny = build_variant(packer, options, tiny.root, work / "tiny-cache.exe", env,
                                  "--cache", ["--cache"])
    # Another version of the tiny payload, one file more, so another id, in the
    # same product's folder: the cached run removes its directory.
    other = work / "tiny-other"
    shutil.copytree(tiny.root, other)
    (other / "other-version.txt").write_text("another version\n")
    s.cached_tiny_other = build_variant(packer, options, other, work / "tiny-cache-other.exe", env,
                                        "--cache", ["--cache", "--product", "tiny-cache"])
    s.cached_tiny_other.missing = s.cached_tiny.missing or s.cached_tiny_other.missing

    say("making the peers' archives (gzip -6, makeself with zstd, caxa)")
    subprocess.run([*SHELL, f"{tar_create} | gzip -6 > '{s.tar_gz}'"], check=True)
    subprocess.run(["makeself", "--zstd", "--complevel", str(s.level), "--threads", str(s.threads),
                    "--quiet", "--tar-quietly", "--nox11", "--noprogress", str(large.root),
                    str(s.makeself_run), "onefile benchmark", "true"], check=True,
                   stdout=subprocess.DEVNULL)
    caxa_start = time.perf_counter()
    caxa_archive(large.root, loader, work / "large-caxa.tar.gz")
    s.caxa_seconds = time.perf_counter() - caxa_start

    def make_caxa(name, archive):
        output = work / f"{name}-caxa.exe"
        peers.write_caxa(caxa_stub, archive, output, peers.caxa_identifier(name),
                         peers.caxa_command(ENTRY))
        return output

    # Two executables of each payload, with their own identifiers: the first
    # run's folder is removed after every run, the cached one's is kept.
    s.caxa_large_first = make_caxa("large", work / "large-caxa.tar.gz")
    s.caxa_large_cached = make_caxa("large-cached", work / "large-caxa.tar.gz")
    s.caxa_size = s.caxa_large_first.stat().st_size

    say("packing the tiny payload (the example application) for every contender")
    s.tiny_exe = work / "tiny.exe"
    subprocess.run([packer, "build", tiny.root, "--entry", ENTRY, "--output", s.tiny_exe, "--quiet"],
                   env=env, check=True)
    # The same with the progress window, which a start this quick never shows.
    s.tiny_progress = build_variant(packer, options, tiny.root, work / "tiny-progress.exe", env,
                                    "--progress-window", ["--progress-window"])
    s.nsis_tiny = {}
    for compressor in peers.NSIS_COMPRESSORS:
        contender, s.nsis_tiny[compressor] = makensis_contender("tiny", compressor, tiny.root,
                                                                loader, work)
        measure([contender], 1, warmups=0)
    caxa_archive(tiny.root, loader, work / "tiny-caxa.tar.gz")
    s.caxa_tiny_first = make_caxa("tiny", work / "tiny-caxa.tar.gz")
    s.caxa_tiny_cached = make_caxa("tiny-cached", work / "tiny-caxa.tar.gz")

    # The large payload's files in the packer's order (entry first, then by
    # the bytes of the archive path), for the probe that only writes them.
    listed = sorted((p for p in large.root.rglob("*") if p.is_file()),
                    key=lambda p: (p.relative_to(large.root).as_posix() != ENTRY,
                                   p.relative_to(large.root).as_posix().replace("/", "\\").encode()))
    s.file_list = work / "large-files.txt"
    s.file_list.write_text("".join(f"{p.stat().st_size}\t{p.relative_to(large.root).as_posix().replace('/', chr(92))}\n"
                                   for p in listed), encoding="utf-8")
    return s


def run_contenders(s):
    """Every timed run under Wine and natively; returns the contenders and
    the probe's figures by name."""
    env, temp, wine_run = s.env, s.temp, s.wine_run
    probe = str(s.windows_bin / "fs_probe.exe")
    plain_exe = s.windows_bin / peers.LOADER
    r = {}

    def wine(key, exe, arguments=(QUIET,), keep=False, before=None):
        r[key] = Contender(key, wine_run + [str(exe), *arguments], env,
                           leftovers=Leftovers(temp, keep), sample_memory=True, before=before)
        return r[key]

    def checked(contenders):
        """A first round in which the application is asked for a status: a
        contender that does not run it properly ends the benchmark here."""
        for contender in contenders:
            if contender.sample_memory:
                contender.run([f":exit={CHECK_STATUS}"], expect=CHECK_STATUS)
        return contenders

    def native(key, command):
        r[key] = Contender(key, [*SHELL, command], env, leftovers=Leftovers(temp))
        return r[key]

    def unpack_natively(key, decompress, archive):
        target = temp / f"bench_{key}"
        return native(key, f"set -e; mkdir '{target}'; {decompress} '{archive}' | tar -x -C '{target}'; "
                           f"rm -rf '{target}'")

    # -- unpacking the large payload
    floor_tree = windows_path(temp / "bench_floor")
    unpack = [wine("onefile large", s.large_exe)]
    if not s.small_window.missing:
        unpack.append(wine("onefile large wlog", s.small_window.output))
    unpack += [wine(f"nsis {k} large", exe) for k, exe in s.nsis_large.items()]
    unpack += [wine("caxa large first", s.caxa_large_first),
               native("floor", f"'{wine_run[0]}' '{probe}' write '{windows_path(s.file_list)}' "
                               f"'{floor_tree}' >/dev/null && '{wine_run[0]}' '{probe}' walk "
                               f"'{floor_tree}' >/dev/null"),
               unpack_natively("zstd", "zstd -dc", s.tar_zst), unpack_natively("gzip", "gzip -dc", s.tar_gz)]
    r["makeself"] = Contender("makeself", [str(s.makeself_run), "--quiet", "--nox11", "--noprogress"],
                              dict(os.environ, TMPDIR=str(temp)), leftovers=Leftovers(temp))
    unpack += [r["makeself"], wine("onefile tiny", s.tiny_exe)]
    say(f"unpacking: a checking round, then {s.unpack_reps} rounds of onefile, NSIS, caxa, the Wine "
        f"floor, zstd | tar, gzip | tar and makeself")
    measure(checked(unpack), s.unpack_reps)

    # -- where the onefile run's time goes
    say("following onefile runs through their phases; timing writing and removal alone")
    r["phases"] = followed_runs(r["onefile large"], "large.exe", 3)
    r["tiny phases"] = followed_runs(r["onefile tiny"], "tiny.exe", 5)
    s.nothing_left()
    tree = temp / "bench_fs_probe"

    def probe_seconds(*arguments):
        result = run_once(wine_run + [probe, *arguments], env)
        found = re.search(r"seconds=([0-9.]+)", result.output.decode(errors="replace"))
        if not found:
            raise SystemExit(f"bench: fs_probe {' '.join(map(str, arguments))} gave no time:\n"
                             f"{result.output.decode(errors='replace')}")
        return float(found.group(1))

    r["fs"] = fs = {"write": [], "shell": [], "walk": [], "rm": []}
    for _ in range(3):
        fs["write"].append(probe_seconds("write", windows_path(s.file_list), windows_path(tree)))
        shutil.rmtree(tree)
        for mode in ("shell", "walk", "rm"):
            shutil.copytree(s.large.root, tree)
            subprocess.run(["sync"], check=True)
            if mode == "rm":
                fs[mode].append(run_once(["rm", "-rf", str(tree)]).seconds)
            else:
                fs[mode].append(probe_seconds(mode, windows_path(tree)))
            s.nothing_left()
    r["tiny removal"] = []
    for _ in range(5):
        shutil.copytree(s.tiny.root, tree)
        r["tiny removal"].append(probe_seconds("shell", windows_path(tree)))
    s.nothing_left()

    # -- start-up; the plain executable loads the same files, unpacked
    # beforehand on the same disk
    plain_tiny_dir = temp / "plain_loader_tiny"
    shutil.rmtree(plain_tiny_dir, ignore_errors=True)
    shutil.copytree(s.tiny.root, plain_tiny_dir)
    startup = [wine("onefile tiny start", s.tiny_exe)]
    if not s.tiny_progress.missing:
        startup.append(wine("onefile tiny progress", s.tiny_progress.output))
    startup.append(wine("plain tiny", plain_exe, (windows_path(plain_tiny_dir), ENTRY, QUIET)))
    startup += [wine(f"nsis {k} tiny", exe) for k, exe in s.nsis_tiny.items()]
    # The cached one first in each round, so that the first-run one always
    # finds caxa's folders there and leaves only its own.
    startup += [wine("caxa tiny cached", s.caxa_tiny_cached, keep=True),
                wine("caxa tiny first", s.caxa_tiny_first)]
    if not s.cached_tiny.missing:
        startup.append(wine("onefile tiny cached", s.cached_tiny.output, keep=True))
    if not s.cached_tiny_other.missing:
        startup.append(wine("onefile tiny cached, other version", s.cached_tiny.output, keep=True,
                            before=other_version_placer(s)))
    say(f"start-up: a checking round, then {s.startup_reps} rounds of the tiny onefile executable, "
        f"the plain loader, NSIS and caxa")
    try:
        measure(checked(startup), s.startup_reps)
    finally:
        shutil.rmtree(plain_tiny_dir)

    # -- repeated start of the large payload from what an earlier run unpacked
    plain_large_dir = temp / "plain_loader_large"
    shutil.rmtree(plain_large_dir, ignore_errors=True)
    shutil.copytree(s.large.root, plain_large_dir)
    cached = [wine("caxa large cached", s.caxa_large_cached, keep=True),
              wine("plain large", plain_exe, (windows_path(plain_large_dir), ENTRY, QUIET))]
    if not s.cached_large.missing:
        cached.append(wine("onefile large cached", s.cached_large.output, keep=True))
    say(f"cached start: a checking round, then {s.unpack_reps} rounds of caxa's cached run, the "
        f"plain loader and onefile's cached mode")
    try:
        measure(checked(cached), s.unpack_reps)
    finally:
        shutil.rmtree(plain_large_dir)
    # What the caches hold has been counted; now it goes.
    for contender in r.values():
        if isinstance(contender, Contender):
            contender.leftovers.release()
    return r


def other_version_placer(s):
    """What puts another version's complete directory beside the tiny cached
    build's own before each of its runs: the other build's first run makes
    it once (and removes whatever earlier version it finds), and a copy
    stands in for it in every round. The removal runs beside the application
    and the run waits for it once the application has returned; each round
    starts from the same folder all the same, the copy in place and nothing
    set aside."""
    folder = wine_folder(s.wine_run, s.env, "LOCALAPPDATA") / "onefile" / "tiny-cache"
    before = set(os.listdir(folder)) if folder.is_dir() else set()
    run_once(s.wine_run + [str(s.cached_tiny_other.output), QUIET], s.env)
    # Its own directory: an id alone, without what a cut-off removal set aside.
    made = sorted(name for name in set(os.listdir(folder)) - before
                  if ".aside-" not in name) if folder.is_dir() else []
    if len(made) != 1:
        raise SystemExit(f"bench: the other version's run made {made} in {folder}")
    template = s.work / "tiny-other-cache"
    shutil.rmtree(template, ignore_errors=True)
    shutil.move(folder / made[0], template)

    def place():
        for name in os.listdir(folder):
            if ".aside-" in name:
                shutil.rmtree(folder / name)
        if not (folder / made[0]).exists():
            shutil.copytree(template, folder / made[0])

    return place


def render(s, r):
    """The table with its targets."""
    large, tiny = s.large, s.tiny
    nsis_sizes = {k: p.stat().st_size for k, p in s.nsis_large.items()}

    def seconds(key):
        return r[key].seconds()

    def peaks(key, kind="rss"):
        return r[key].peaks(kind)

    table = Table()
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    nsis_version = subprocess.run(["makensis", "-VERSION"], capture_output=True, text=True).stdout.strip()
    header = [
        f"onefile benchmarks, {stamp}, {platform.node()}: {s.cores} cores, "
        f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / (1 << 30):.1f} GiB; "
        f"{'quick mode' if s.args.quick else 'full run'}",
        f"large payload: {large.files} files, {large.bytes / 1e6:.1f} MB: the example application "
        f"({s.example_files} files, {s.example_bytes / 1e3:.0f} kB) and every regular file below "
        f"{' and '.join(s.sources)}",
        f"  (left out: {large.skipped_links} symbolic links or special files, "
        f"{large.skipped_names} names Windows cannot hold or equal but for case)",
        f"tiny payload: the example application alone ({tiny.files} files, {tiny.bytes / 1e3:.0f} kB)",
        f"frame: level {s.level}, window log {s.window_log} ({s.window // MiB} MiB), {s.threads} threads "
        f"(the packer's defaults); onefile executable {s.exe_size / 1e6:.2f} MB",
        f"NSIS {nsis_version} (amd64-unicode, solid) and caxa {peers.CAXA_VERSION} (its Windows stub) "
        f"unpack the same files and {peers.LOADER}, and start that on them",
        f"unpacking into {s.temp} (the executable's {{TEMP}}) for every contender; Wine's desktop "
        f"and RPC service kept up throughout",
        f"repetitions: unpack, cached start and memory {s.unpack_reps}, start-up {s.startup_reps}, "
        f"each after a checking round and 1 warm-up; pack {s.pack_reps}, the tiny payload "
        f"{s.tiny_pack_reps} after 1 warm-up; load average "
        f"{s.load_before:.2f} at the start, {os.getloadavg()[0]:.2f} at the end (other work on "
        f"the machine slows every row)",
    ]

    table.section("UNPACK (wall time: unpack the large payload, run an entry that returns at once, "
                  "remove the files)")
    table.row("onefile large.exe under Wine (parent + child, removal)", seconds("onefile large"), "s")
    if s.small_window.missing:
        table.text(f"onefile --window-log {SMALL_WINDOW_LOG}", f"not measured: {s.small_window.missing}")
    else:
        table.row(f"onefile --window-log {SMALL_WINDOW_LOG}", seconds("onefile large wlog"), "s")
    for k in peers.NSIS_COMPRESSORS:
        table.row(f"NSIS /SOLID {k}: unpack to $PLUGINSDIR, ExecWait, NSIS removes",
                  seconds(f"nsis {k} large"), "s")
    table.row("caxa, first run (its folder removed before)", seconds("caxa large first"), "s")
    table.row("Wine floor: fs_probe write, then its removal walk (two Wine processes)", seconds("floor"), "s")
    table.row("zstd -dc | tar -x; rm -rf  (native limit, same level/window)", seconds("zstd"), "s")
    table.row("gzip -dc | tar -x; rm -rf  (gzip -6 archive)", seconds("gzip"), "s")
    table.row("makeself --zstd: checksums, unpack, run true, remove", seconds("makeself"), "s")
    table.row("onefile tiny.exe under Wine (the Wine baseline)", seconds("onefile tiny"), "s")

    phases, tiny_phases, fs = r["phases"], r["tiny phases"], r["fs"]
    table.section("WHERE THE ONEFILE RUN'S TIME GOES (runs followed through /proc every 2 ms; "
                  "fs_probe.exe: the same files written or removed with no decompression)")
    table.row("onefile large.exe: start, unpack, start the child", [p[0] for p in phases], "s")
    table.row("onefile large.exe: the child's run", [p[1] for p in phases], "s")
    table.row("onefile large.exe: removal and exit", [p[2] for p in phases], "s")
    table.row("fs_probe: write the large payload's files (Wine, 32 KiB pieces)", fs["write"], "s")
    table.row("fs_probe: remove them by SHFileOperationW alone (Wine)", fs["shell"], "s")
    table.row("fs_probe: remove them by the bootstrap's own removal walk (Wine; onefile walks first)",
              fs["walk"], "s")
    table.row("rm -rf of the same files (native)", fs["rm"], "s")
    table.row("onefile tiny.exe: start, unpack, start the child", [p[0] for p in tiny_phases], "s")
    table.row("onefile tiny.exe: the child's run", [p[1] for p in tiny_phases], "s")
    table.row("onefile tiny.exe: removal and exit", [p[2] for p in tiny_phases], "s")
    table.row("fs_probe: remove the tiny payload by SHFileOperationW (Wine)", r["tiny removal"], "s")

    table.section("START-UP (wall time under Wine, tiny payload, entry prints nothing)")
    table.row("onefile tiny.exe :quiet", seconds("onefile tiny start"), "s")
    if s.tiny_progress.missing:
        table.text("onefile --progress-window", f"not measured: {s.tiny_progress.missing}")
    else:
        table.row("onefile --progress-window (over before it shows)",
                  seconds("onefile tiny progress"), "s")
    table.row("plain_loader.exe (same DLLs, already unpacked)", seconds("plain tiny"), "s")
    for k in peers.NSIS_COMPRESSORS:
        table.row(f"NSIS /SOLID {k}", seconds(f"nsis {k} tiny"), "s")
    table.row("caxa, first run (its folder removed before)", seconds("caxa tiny first"), "s")
    table.row("caxa, cached run", seconds("caxa tiny cached"), "s")
    if s.cached_tiny.missing:
        table.text("onefile --cache, cached run", f"not measured: {s.cached_tiny.missing}")
    else:
        table.row("onefile --cache, cached run", seconds("onefile tiny cached"), "s")
    if s.cached_tiny_other.missing:
        table.text("onefile --cache, cached run, another version beside",
                   f"not measured: {s.cached_tiny_other.missing}")
    else:
        table.row("onefile --cache, cached run, another version beside",
                  seconds("onefile tiny cached, other version"), "s",
                  "(which the run removes)")

    table.section("CACHED START (wall time under Wine, large payload, from what an earlier run unpacked)")
    if s.cached_large.missing:
        table.text("onefile --cache, cached run", f"not measured: {s.cached_large.missing}")
    else:
        table.row("onefile --cache, cached run", seconds("onefile large cached"), "s")
    table.row("caxa, cached run", seconds("caxa large cached"), "s")
    table.row("plain_loader.exe on the unpacked large payload", seconds("plain large"), "s")

    memory_rows = [("onefile large.exe: parent", "onefile large")]
    if not s.small_window.missing:
        memory_rows.append((f"onefile --window-log {SMALL_WINDOW_LOG}: parent", "onefile large wlog"))
    if not s.cached_large.missing:
        memory_rows.append(("onefile --cache large, cached run: parent", "onefile large cached"))
    memory_rows += [(f"NSIS /SOLID {k} large", f"nsis {k} large") for k in peers.NSIS_COMPRESSORS]
    memory_rows += [("caxa large, first run", "caxa large first"),
                    ("caxa large, cached run", "caxa large cached"),
                    ("plain_loader.exe on the unpacked large payload", "plain large"),
                    ("onefile tiny.exe: parent", "onefile tiny start"),
                    ("plain_loader.exe on the unpacked tiny payload", "plain tiny")]
    for kind, title in (("anon", "MEMORY: peak anonymous resident memory (RssAnon, sampled every 2 ms)"),
                        ("file", "MEMORY: peak file-backed resident memory (RssFile, sampled every 2 ms)"),
                        ("rss", "MEMORY: peak resident memory (VmHWM, as wait4 reports it)")):
        table.section(f"{title} of the process the command starts (the Wine process of the .exe)")
        for label, key in memory_rows:
            table.row(label, peaks(key, kind), "MiB")
        if kind == "rss":
            table.row("zstd -dc | tar -x (largest process)", peaks("zstd"), "MiB")

    table.section(f"PACK (wall time and output size; large payload, {s.threads} threads, unless named)")
    tiny_packs = [("onefile-pack build", s.pack_tiny, s.work / "tiny-packed.exe")]
    if s.pack_tiny_other:
        tiny_packs.append((f"other packer {s.args.other_packer}", s.pack_tiny_other,
                           s.work / "tiny-packed-other.exe"))
    for label, contender, output in tiny_packs:
        table.row(f"{label} --level {TINY_PACK_LEVEL}, tiny payload", contender.seconds(), "s",
                  f"{output.stat().st_size / 1e6:.3f} MB")
    table.row(f"onefile-pack build (defaults: level {s.level})", s.pack_default.seconds(), "s",
              f"{s.exe_size / 1e6:.2f} MB")
    table.row(f"tar -c | zstd {s.zstd_options}", s.pack_tar.seconds(), "s", f"{s.tar_zst_size / 1e6:.2f} MB")
    for k, contender in s.pack_nsis.items():
        table.row(f"makensis, SetCompressor /SOLID {k}", contender.seconds(), "s",
                  f"{nsis_sizes[k] / 1e6:.2f} MB (with {peers.LOADER})")
    table.row("tar -c | gzip -6 for caxa (once)", [s.caxa_seconds], "s",
              f"{s.caxa_size / 1e6:.2f} MB with its stub and {peers.LOADER}")
    for other in sorted(s.level_rows):
        contender, size = s.level_rows[other]
        table.row(f"onefile-pack build --level {other}" + (" (once)" if len(contender.samples) == 1 else ""),
                  contender.seconds(), "s", f"{size / 1e6:.2f} MB  ({large.bytes / size:.2f} : 1)")
    for other in s.skipped_levels:
        table.text(f"onefile-pack build --level {other}", "not measured in quick mode (minutes of packing)")
    if s.small_window.missing:
        table.text(f"onefile-pack build --window-log {SMALL_WINDOW_LOG}",
                   f"not measured: {s.small_window.missing}")
    else:
        size = s.small_window.output.stat().st_size
        table.row(f"onefile-pack build --window-log {SMALL_WINDOW_LOG} (once)", [s.small_window.seconds],
                  "s", f"{size / 1e6:.2f} MB  ({large.bytes / size:.2f} : 1)")

    table.section("LEFT IN TEMP (what the runs made there and did not remove, per contender)")
    for label, keys in (("onefile large.exe (and its followed runs)", ["onefile large"]),
                        ("onefile tiny.exe (and its followed runs)", ["onefile tiny", "onefile tiny start"]),
                        ("onefile --progress-window tiny", ["onefile tiny progress"]),
                        (f"onefile --window-log {SMALL_WINDOW_LOG}", ["onefile large wlog"]),
                        ("onefile --cache large", ["onefile large cached"]),
                        ("onefile --cache tiny", ["onefile tiny cached"]),
                        ("onefile --cache tiny, another version beside",
                         ["onefile tiny cached, other version"]),
                        ("NSIS /SOLID lzma large", ["nsis lzma large"]),
                        ("NSIS /SOLID zlib large", ["nsis zlib large"]),
                        ("NSIS /SOLID lzma tiny", ["nsis lzma tiny"]),
                        ("NSIS /SOLID zlib tiny", ["nsis zlib tiny"]),
                        ("caxa large, first run", ["caxa large first"]),
                        ("caxa large, cached", ["caxa large cached"]),
                        ("caxa tiny, first run", ["caxa tiny first"]),
                        ("caxa tiny, cached", ["caxa tiny cached"]),
                        ("plain_loader.exe", ["plain tiny", "plain large"]),
                        ("Wine floor (fs_probe)", ["floor"]), ("zstd | tar", ["zstd"]),
                        ("gzip | tar", ["gzip"]), ("makeself", ["makeself"])):
        if all(key in r for key in keys):
            table.text(label, Leftovers.merged([r[key].leftovers for key in keys]).describe())

    # -- ratios and targets
    t_onefile = median(seconds("onefile large"))
    t_tiny = median(seconds("onefile tiny start"))
    limit = s.window + 32 * MiB
    table.group("against the other launchers (NSIS, caxa) and Wine's own floor")
    for key, name in (("nsis lzma large", "NSIS LZMA"), ("nsis zlib large", "NSIS zlib"),
                      ("caxa large first", "caxa's first run")):
        ratio = t_onefile / median(seconds(key))
        table.target(f"unpack faster than {name}", f"{ratio:.2f} x", ratio < 1)
    ratio = t_onefile / median(seconds("floor"))
    table.target("unpack <= 1.15 x the Wine floor", f"{ratio:.2f} x", ratio <= 1.15)
    for key, name in (("nsis lzma tiny", "NSIS LZMA"), ("nsis zlib tiny", "NSIS zlib"),
                      ("caxa tiny first", "caxa's first run")):
        ratio = t_tiny / median(seconds(key))
        table.target(f"start-up faster than {name}", f"{ratio:.2f} x", ratio < 1)
    if s.cached_tiny.missing:
        table.not_measured("cached start-up faster than caxa's cached run", s.cached_tiny.missing)
    else:
        ratio = median(seconds("onefile tiny cached")) / median(seconds("caxa tiny cached"))
        table.target("cached start-up faster than caxa's cached run", f"{ratio:.2f} x", ratio < 1)
    if s.tiny_progress.missing:
        table.not_measured("--progress-window start-up within 5 % of without",
                           s.tiny_progress.missing)
    else:
        ratio = median(seconds("onefile tiny progress")) / t_tiny
        table.target("--progress-window start-up within 5 % of without",
                     f"{(ratio - 1) * 100:+.1f} %", abs(ratio - 1) <= 0.05)
    name = "cached start-up with another version beside no slower (5 %)"
    if s.cached_tiny_other.missing:
        table.not_measured(name, s.cached_tiny_other.missing)
    else:
        ratio = (median(seconds("onefile tiny cached, other version")) /
                 median(seconds("onefile tiny cached")))
        table.target(name, f"{ratio:.2f} x", ratio <= 1.05)
    ratio = t_tiny / median(seconds("plain tiny"))
    table.target("start-up <= 2.5 x plain loader", f"{ratio:.2f} x", ratio <= 2.5,
                 "with the session window" if names_session_window(s.tiny_exe) else
                 "without a session window: the executable names no CreateWindowExW")
    if s.cached_large.missing:
        table.not_measured("cached start no slower than caxa's cached run", s.cached_large.missing)
        table.not_measured("cached start <= 2 x plain loader", s.cached_large.missing)
    else:
        t_cached = median(seconds("onefile large cached"))
        ratio = t_cached / median(seconds("caxa large cached"))
        table.target("cached start no slower than caxa's cached run", f"{ratio:.2f} x", ratio <= 1)
        ratio = t_cached / median(seconds("plain large"))
        table.target("cached start <= 2 x plain loader", f"{ratio:.2f} x", ratio <= 2)
    anon = median(peaks("onefile large", "anon"))
    table.target("anonymous peak <= window + 32 MiB", f"{anon / MiB:.1f} MiB", anon <= limit,
                 f"limit {limit / MiB:.0f} MiB")
    if s.small_window.missing:
        table.not_measured(f"--window-log {SMALL_WINDOW_LOG}: peak <= NSIS LZMA's", s.small_window.missing)
    else:
        mine, theirs = median(peaks("onefile large wlog")), median(peaks("nsis lzma large"))
        table.target(f"--window-log {SMALL_WINDOW_LOG}: peak <= NSIS LZMA's", f"{mine / MiB:.1f} MiB",
                     mine <= theirs, f"NSIS LZMA {theirs / MiB:.1f} MiB")
    ratio = s.exe_size / nsis_sizes["lzma"]
    top = s.level_rows.get(22)
    table.target("size <= 1.05 x NSIS LZMA solid", f"{(ratio - 1) * 100:+.1f} %", ratio <= 1.05,
                 f"--level 22: {(top[1] / nsis_sizes['lzma'] - 1) * 100:+.1f} %" if top else "")
    ratio = median(s.pack_default.seconds()) / median(s.pack_nsis["lzma"].seconds())
    table.target("pack time <= makensis LZMA", f"{ratio:.2f} x", ratio <= 1)
    name = f"tiny pack at --level {TINY_PACK_LEVEL} <= 0.5 x the other packer's"
    if s.pack_tiny_other:
        ratio = median(s.pack_tiny.seconds()) / median(s.pack_tiny_other.seconds())
        table.target(name, f"{ratio:.2f} x", ratio <= 0.5)
    else:
        table.not_measured(name, "no --other-packer given")
    # The cached mode keeps its folder by design; every other onefile run
    # must leave nothing.
    left = sum(len(r[key].leftovers.entries) for key in
               ("onefile large", "onefile large wlog", "onefile tiny", "onefile tiny start",
                "onefile tiny progress") if key in r)
    table.target("onefile leaves nothing in TEMP", f"{left} left", left == 0)

    table.group("against the native tools (Wine's file layer keeps these out of reach)")
    t_zstd = median(seconds("zstd"))
    ratio = t_onefile / t_zstd
    table.target("unpack <= 1.3 x zstd | tar", f"{ratio:.2f} x", ratio <= 1.3,
                 f"without the Wine baseline: {(t_onefile - median(seconds('onefile tiny'))) / t_zstd:.2f} x")
    ratio = t_onefile / median(seconds("gzip"))
    table.target("unpack faster than gzip | tar", f"{ratio:.2f} x", ratio < 1)
    ratio = t_onefile / median(seconds("makeself"))
    table.target("unpack faster than makeself", f"{ratio:.2f} x", ratio < 1)
    extra = median(peaks("onefile large")) - median(peaks("plain large"))
    table.target("large: parent peak - plain peak <= window + 32 MiB",
                 f"{extra / MiB:+.1f} MiB", extra <= limit, f"limit {limit / MiB:.0f} MiB")
    extra = median(peaks("onefile tiny start")) - median(peaks("plain tiny"))
    table.target("tiny: parent peak - plain peak <= 8 MiB", f"{extra / MiB:+.1f} MiB", extra <= 8 * MiB)
    ratio = median(s.pack_default.seconds()) / median(s.pack_tar.seconds())
    table.target("pack time <= 1.1 x tar | zstd", f"{ratio:.2f} x", ratio <= 1.1)
    ratio = s.exe_size / s.tar_zst_size
    table.target("pack size within 1 % of tar | zstd", f"{(ratio - 1) * 100:+.2f} %", abs(ratio - 1) <= 0.01)
    return "\n".join(header) + "\n" + table.render() + "\n"


def names_session_window(executable):
    """Whether the bootstrap in `executable` makes a window: it binds user32
    at run time, so the function's name is in the image when it does."""
    return b"CreateWindowExW" in Path(executable).read_bytes()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, type=Path, help="the build directory")
    parser.add_argument("--quick", action="store_true",
                        help="a smaller payload and fewer repetitions (a few minutes)")
    parser.add_argument("--caxa", type=Path, required=True,
                        help=f"the npm prefix where caxa {peers.CAXA_VERSION} is installed")
    parser.add_argument("--output", type=Path, help="also write the table here")
    parser.add_argument("--other-packer", type=Path,
                        help="another onefile-pack (an earlier build, say) whose pack of the tiny "
                             "payload is timed beside this build's")
    args = parser.parse_args()

    s = prepare(args)
    say("starting bench/session_keeper.exe: Wine's desktop and RPC service stay up")
    keeper = SessionKeeper(s.wine_run, s.windows_bin / "session_keeper.exe", s.env)
    try:
        results = run_contenders(s)
    finally:
        keeper.stop()
    text = render(s, results)
    print(text)
    if args.output:
        args.output.write_text(text)
    shutil.rmtree(s.work / "large", ignore_errors=True)


if __name__ == "__main__":
    main()
