"""How the benchmarks measure: one run of a command with its wall time, its
peak memory and what it left in a watched folder; interleaved repetitions of
the commands that are compared; and the table that shows the results."""

import os
import shutil
import statistics
import subprocess
import tempfile
import threading
import time
from pathlib import Path

MiB = 1 << 20

# ---------------------------------------------------------------- memory

# /proc/<pid>/status fields, in kB: resident memory in all, anonymous (heap,
# stacks, private writable mappings), file-backed (images and mapped files)
# and the kernel's own high-water mark of the first.
STATUS_FIELDS = ("VmRSS", "RssAnon", "RssFile", "VmHWM")


def parse_status(text):
    """The STATUS_FIELDS of a /proc/<pid>/status text, in bytes; a field the
    text lacks (a process that has ended has none) is left out."""
    found = {}
    for line in text.splitlines():
        name, _, value = line.partition(":")
        if name in STATUS_FIELDS:
            parts = value.split()
            if len(parts) == 2 and parts[1] == "kB" and parts[0].isdigit():
                found[name] = int(parts[0]) * 1024
    return found


def child_pids(pid):
    try:
        return [int(p) for p in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except OSError:
        return []


class MemorySampler(threading.Thread):
    """Samples /proc/<pid>/status of the process that `parent` (GNU time)
    started, every `interval` seconds until stopped, and keeps the peaks of
    its anonymous and its file-backed resident memory. The process is the
    same through its execs (a shell script that execs wine, which execs its
    preloader), so for a Windows program it is that program's Wine process."""

    def __init__(self, parent, interval=0.002):
        super().__init__(daemon=True)
        self.parent = parent
        self.interval = interval
        self.pid = None
        self.peak = {}
        self.samples = 0
        self.halt = threading.Event()

    def run(self):
        while not self.halt.is_set():
            if self.pid is None:
                children = child_pids(self.parent)
                self.pid = children[0] if children else None
            if self.pid is not None:
                try:
                    values = parse_status(Path(f"/proc/{self.pid}/status").read_text())
                except OSError:
                    values = {}
                if values:
                    self.samples += 1
                for name, value in values.items():
                    self.peak[name] = max(self.peak.get(name, 0), value)
            self.halt.wait(self.interval)

    def stop(self):
        self.halt.set()
        self.join()


# ---------------------------------------------------------------- leftovers


def snapshot(root):
    """Every path below `root` (folders and files), relative to it."""
    paths = set()
    for directory, subdirectories, names in os.walk(root):
        relative = Path(directory).relative_to(root)
        paths.update((relative / name).as_posix() for name in subdirectories + names)
    return paths


def new_entries(before, after):
    """The outermost paths of `after` that `before` lacks: the folders and
    files a run made, each counted once with what it holds."""
    added = after - before
    return sorted(p for p in added if str(Path(p).parent) not in added)


def tree_size(path):
    """(files, bytes) below `path`, or of `path` itself when it is a file."""
    if not path.is_dir():
        return (1, path.stat().st_size) if path.exists() else (0, 0)
    files = size = 0
    for directory, _, names in os.walk(path):
        for name in names:
            files += 1
            size += (Path(directory) / name).lstat().st_size
    return files, size


def remove(path):
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    elif path.exists() or path.is_symlink():
        path.unlink()


class Leftovers:
    """What one contender's runs left in the watched folder: every entry a
    run made, counted with its files and bytes when it is found. A
    contender that caches (caxa, onefile's cached mode) keeps what its first
    run made, so that later runs start from it; the others' entries are
    removed after each run, so that nothing piles up between contenders."""

    def __init__(self, root, keep=False):
        self.root = root
        self.keep = keep
        self.runs = 0
        self.dirty_runs = 0  # runs that left something
        self.entries = []  # (relative path, files, bytes) as found after the run
        self.kept = []

    def around(self, run):
        before = snapshot(self.root)
        try:
            return run()
        finally:
            self.runs += 1
            made = new_entries(before, snapshot(self.root))
            self.dirty_runs += bool(made)
            for entry in made:
                path = self.root / entry
                self.entries.append((entry, *tree_size(path)))
                if self.keep:
                    self.kept.append(path)
                else:
                    remove(path)

    def release(self):
        """Removes what a caching contender kept."""
        for path in self.kept:
            remove(path)
        self.kept = []

    @staticmethod
    def merged(parts):
        """One account of several contenders' runs (one program measured in
        several sections)."""
        merged = Leftovers(parts[0].root, any(p.keep for p in parts))
        for part in parts:
            merged.runs += part.runs
            merged.dirty_runs += part.dirty_runs
            merged.entries += part.entries
        return merged

    def describe(self):
        if not self.entries:
            return f"nothing, in {self.runs} runs"
        files = sum(e[1] for e in self.entries)
        size = sum(e[2] for e in self.entries)
        names = []
        for entry, _, _ in self.entries:
            if entry not in names:
                names.append(entry)
        shown = ", ".join(names[:2]) + (", ..." if len(names) > 2 else "")
        how = "kept from run to run" if self.keep else "removed by the benchmark after each run"
        each = self.dirty_runs
        count = len(self.entries) / each
        return (f"{each} of {self.runs} runs left {count:.3g} {'entry' if count == 1 else 'entries'}, "
                f"{files / each:.0f} files, {size / each / 1e6:.1f} MB each ({how}): {shown}")


# ---------------------------------------------------------------- runs


class Sample:
    def __init__(self, seconds, peak_rss, peak_anon=None, peak_file=None, output=b"", status=0):
        self.seconds = seconds
        self.peak_rss = peak_rss
        self.peak_anon = peak_anon
        self.peak_file = peak_file
        self.output = output
        self.status = status


PEAK_FILE = Path(os.environ.get("TMPDIR", "/tmp")) / f"onefile-bench-peak-{os.getpid()}"


def run_once(argv, env=None, expect=0, cwd=None, sample_memory=False):
    """Runs `argv` and returns its wall time and the peak resident memory of
    the process it started: for Wine, the Wine process of the .exe itself.

    The peak comes from GNU time (%M, the process's own high-water mark as
    wait4 reports it, including the images it replaced by exec and the
    children it waited for itself, but not the processes it left to others,
    such as a Windows child process). Taken from this Python process instead,
    it would start at Python's own size: a child made by vfork counts the
    memory of the process it came from until its exec. With `sample_memory`,
    the same process's anonymous and file-backed memory are sampled as well.

    A status other than `expect` (None: any) ends the benchmark."""
    # Output goes to a file, not a pipe: a process that the command starts
    # and leaves running (Wine starts its desktop that way) would hold a pipe
    # open and the run would seem to last as long as that process.
    with tempfile.TemporaryFile() as output_file:
        start = time.perf_counter()
        process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", str(PEAK_FILE)] + list(argv),
                                   env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                   stdout=output_file, stderr=subprocess.STDOUT)
        sampler = MemorySampler(process.pid) if sample_memory else None
        if sampler:
            sampler.start()
        process.wait()
        seconds = time.perf_counter() - start
        if sampler:
            sampler.stop()
        output_file.seek(0)
        output = output_file.read()
    # GNU time reports a command that a signal ended on its first line.
    peak_lines = PEAK_FILE.read_text().split("\n")
    PEAK_FILE.unlink()
    if expect is not None and process.returncode != expect:
        raise SystemExit(f"bench: {' '.join(map(str, argv))} ended with status "
                         f"{process.returncode}, not {expect}:\n"
                         f"{output.decode(errors='replace')}{' '.join(peak_lines)}")
    peak = int([line for line in peak_lines if line.strip()][-1]) * 1024
    anon = sampler.peak.get("RssAnon") if sampler else None
    file_backed = sampler.peak.get("RssFile") if sampler else None
    return Sample(seconds, peak, anon, file_backed, output, process.returncode)


class Contender:
    def __init__(self, key, argv, env=None, cwd=None, leftovers=None, sample_memory=False,
                 before=None):
        self.key = key
        self.argv = list(argv)
        self.env = env
        self.cwd = cwd
        self.leftovers = leftovers  # a Leftovers for the watched folder, or None
        self.sample_memory = sample_memory
        self.before = before  # called before each run, untimed: what the run is to find
        self.samples = []

    def run(self, arguments=(), expect=0):
        def once():
            return run_once(self.argv + list(arguments), self.env, expect, self.cwd,
                            self.sample_memory)

        if self.before:
            self.before()
        return self.leftovers.around(once) if self.leftovers else once()

    def seconds(self):
        return [s.seconds for s in self.samples]

    def peaks(self, kind="rss"):
        values = [getattr(s, f"peak_{kind}") for s in self.samples]
        return [v for v in values if v is not None]


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


def median(values):
    return statistics.median(values)


# ---------------------------------------------------------------- table


class Table:
    def __init__(self):
        self.rows = []
        self.targets = []

    def section(self, title):
        self.rows.append(("section", title))

    def row(self, label, values, unit, note=""):
        self.rows.append(("row", label, stats(values), unit, note))

    def text(self, label, text):
        """A row that is no figure: what a contender left behind, or why a
        row was not measured."""
        self.rows.append(("text", label, text))

    def group(self, title):
        self.targets.append(("group", title))

    def target(self, name, ratio_text, met, detail=""):
        self.targets.append(("target", name, ratio_text, "met   " if met else "MISSED", detail))

    def not_measured(self, name, reason):
        self.targets.append(("target", name, "", "n/a   ", f"not measured: {reason}"))

    def render(self):
        label_width = max(len(r[1]) for r in self.rows if r[0] in ("row", "text"))
        lines = []
        header = f"{'':{label_width}}  {'median':>10} {'min':>10} {'max':>10}"
        for at, r in enumerate(self.rows):
            if r[0] == "section":
                lines.append("")
                lines.append(r[1])
                # Sections of text rows alone (what was left behind) have no figures.
                following = next((n[0] for n in self.rows[at + 1:] if n[0] != "text"), "section")
                if following == "row":
                    lines.append(header)
            elif r[0] == "text":
                lines.append(f"{r[1]:{label_width}}  {r[2]}")
            else:
                _, label, values, unit, note = r
                cells = " ".join(f"{format_value(v, unit):>10}" for v in values)
                lines.append(f"{label:{label_width}}  {cells}" + (f"  {note}" if note else ""))
        targets = [t for t in self.targets if t[0] == "target"]
        if targets:
            name_width = max(len(t[1]) for t in targets)
            ratio_width = max(len(t[2]) for t in targets)
            lines.append("")
            lines.append("targets")
            for t in self.targets:
                if t[0] == "group":
                    lines.append(f"  {t[1]}")
                    continue
                _, name, ratio_text, verdict, detail = t
                lines.append(f"    {verdict} {name:{name_width}}  {ratio_text:{ratio_width}}  {detail}"
                             .rstrip())
        return "\n".join(lines)


def format_value(value, unit):
    if unit == "s":
        return f"{value:.3f} s" if value < 10 else f"{value:.2f} s"
    if unit == "MiB":
        return f"{value / MiB:.1f} MiB"
    if unit == "MB":
        return f"{value / 1e6:.2f} MB"
    return str(value)
