#!/usr/bin/env python3
"""End-to-end tests of packed executables that need the Unix side of Wine:
a full disk (a file-size limit on the Wine process), Unix symbolic links put
into a running application's directory or beside cached builds' directories,
and the end of a Wine session, which runs in a prefix of these tests' own
because it ends every program there (as does the error dialog, which needs
the windows that this prefix can make).

Usage: from_unix_test.py CASE --bin DIR --wine-run FILE --prefix DIR
                         --session-prefix DIR
Exits 0 when the case holds; otherwise prints what went wrong and exits 1.
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

CASES = {}
# The file that shows whose a cached build's copy is, and whether it is complete.
MARKER = "onefile-cache-complete"


def case(function):
    CASES[function.__name__.replace("_", "-")] = function
    return function


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Wine:
    def __init__(self, wine_run, prefix):
        self.wine_run = wine_run
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=prefix)

    def command(self, *arguments):
        return [self.wine_run, *arguments]

    def run(self, *arguments, timeout=120, shell_prefix=()):
        """Runs a program to its end; its output goes through files, never
        pipes: the first window of a Wine session starts the desktop process,
        which keeps the standard handles it inherits open long after."""
        process = Program([*shell_prefix, *self.command(*arguments)], self.env)
        process.wait(timeout)
        return process

    def start(self, *arguments):
        return Program(self.command(*arguments), self.env)

    def unix_path(self, windows_path):
        """The Unix path of a Windows path on one of this prefix's drives."""
        drive, rest = windows_path[:2].lower(), windows_path[3:]
        return os.path.join(self.prefix, "dosdevices", drive, *rest.split("\\"))


class Program:
    """A started program whose standard output and error go to files."""

    def __init__(self, command, env):
        self.out_file = tempfile.TemporaryFile()
        self.err_file = tempfile.TemporaryFile()
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.out_file, stderr=self.err_file)
        self.returncode = None

    def output(self):
        self.out_file.seek(0)
        return self.out_file.read().decode("utf-8", "replace")

    def errors(self):
        self.err_file.seek(0)
        return self.err_file.read().decode("utf-8", "replace")

    def poll(self):
        self.returncode = self.process.poll()
        return self.returncode

    def wait(self, timeout):
        try:
            self.returncode = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure(f"still running after {timeout} s: {self.process.args}")
        return self.returncode

    def kill(self):
        self.process.kill()


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def wait_for_line(program, start, timeout=60):
    """Waits until the program's output has a line that begins with `start`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for line in program.output().splitlines():
            if line.startswith(start):
                return line.rstrip("\r")
        if program.poll() is not None:
            raise Failure(f"the program ended before it printed {start!r}: {program.errors()}")
        time.sleep(0.02)
    raise Failure(f"no line beginning {start!r} within {timeout} s")


def quoted_value(line):
    """The value of a line key="value" as the example prints it."""
    return line.split("=", 1)[1].strip('"').replace("\\\\", "\\")


def fresh_folder(prefix):
    return tempfile.mkdtemp(prefix=prefix, dir="/tmp")


def outside_files():
    """Files and folders outside any target directory that links will point at."""
    outside = fresh_folder("onefile-outside-")
    with open(os.path.join(outside, "file.txt"), "w") as f:
        f.write("precious")
    with open(os.path.join(outside, "other.txt"), "w") as f:
        f.write("precious too")
    os.makedirs(os.path.join(outside, "folder"))
    with open(os.path.join(outside, "folder", "inner.txt"), "w") as f:
        f.write("inside")
    return outside


def check_outside_intact(outside):
    for name, text in (("file.txt", "precious"), ("other.txt", "precious too"),
                       ("folder/inner.txt", "inside")):
        path = os.path.join(outside, name)
        check(os.path.isfile(path) and not os.path.islink(path),
              f"{name} outside the directory is gone")
        with open(path) as f:
            check(f.read() == text, f"{name} outside the directory was changed")


def only_target_directory(temp):
    names = os.listdir(temp)
    check(len(names) == 1 and names[0].startswith("onefile_"),
          f"expected one target directory in {temp}, found {names}")
    return os.path.join(temp, names[0])


def status_of(output):
    for line in output.splitlines():
        if line.startswith("status="):
            return int(line[7:], 16)
    raise Failure(f"no exit status in the output: {output!r}")


# ---------------------------------------------------------------- cases


@case
def disk_full(options):
    """A write that fails (a full disk) reports as before and leaves nothing."""
    wine = Wine(options.wine_run, options.prefix)
    temp = fresh_folder("onefile-full-")
    try:
        # 20000 blocks of 512 bytes: the payload's large file stops at 10 MB.
        # With SIGXFSZ ignored, the write fails the way a full disk does.
        script = 'ulimit -f 20000 && trap "" XFSZ && exec "$@"'
        r = wine.run(os.path.join(options.bin, "with_temp.exe"), windows_path(temp),
                     os.path.join(options.bin, "big_payload.exe"), timeout=300,
                     shell_prefix=("sh", "-c", script, "sh"))
        out, err = r.output(), r.errors()
        check(status_of(out) == 2, f"status {status_of(out):#x}, not 2: {err}")
        message = "Error, couldn't unpack file to target path. ([Error "
        lines = [line for line in err.splitlines() if line.strip()]
        check(len(lines) == 1 and lines[0].startswith(message) and lines[0].endswith(")"),
              f"standard error: {err!r}")
        check(os.listdir(temp) == [], f"left behind: {os.listdir(temp)}")
    finally:
        shutil.rmtree(temp, ignore_errors=True)


def run_with_links(options, make_links):
    """Runs the example, lets `make_links` put links into its directory
    while it runs, and returns what is left of its TEMP once it has ended."""
    wine = Wine(options.wine_run, options.prefix)
    temp = fresh_folder("onefile-links-")
    outside = outside_files()
    process = wine.start(os.path.join(options.bin, "with_temp.exe"), windows_path(temp),
                         os.path.join(options.bin, "hello.exe"), ":sleep=5000")
    try:
        wait_for_line(process, "library=")
        target = only_target_directory(temp)
        make_links(target, outside)
        process.wait(120)
        check(status_of(process.output()) == 0, f"the run failed: {process.errors()}")
        check_outside_intact(outside)
        return temp, outside
    except BaseException:
        process.kill()
        shutil.rmtree(outside, ignore_errors=True)
        shutil.rmtree(temp, ignore_errors=True)
        raise


@case
def unix_links_to_files(options):
    """Links to files outside, in the directory and a folder of it, go as
    links: what they point to stays, and no directory remains."""
    def make_links(target, outside):
        os.symlink(os.path.join(outside, "file.txt"), os.path.join(target, "link.txt"))
        os.symlink(os.path.join(outside, "other.txt"),
                   os.path.join(target, "plugins", "greeter.dll.link"))
        # One whose name is the name of what it points to.
        os.symlink(os.path.join(outside, "file.txt"), os.path.join(target, "plugins", "file.txt"))

    temp, outside = run_with_links(options, make_links)
    try:
        check(os.listdir(temp) == [], f"left behind: {os.listdir(temp)}")
    finally:
        shutil.rmtree(outside, ignore_errors=True)
        shutil.rmtree(temp, ignore_errors=True)


@case
def unix_links_to_folders(options):
    """A link to a folder outside, and a link put in the place of the whole
    directory: what they point to stays. Wine opens a Unix link to a folder
    as that folder and has no call that removes the link itself, so under
    Wine such a link (and the folders holding it) stays; on Windows a link is
    a reparse point and is deleted as itself."""
    def link_inside(target, outside):
        os.symlink(os.path.join(outside, "folder"), os.path.join(target, "plugins", "linked"))

    temp, outside = run_with_links(options, link_inside)
    try:
        left = sorted(os.path.relpath(os.path.join(d, n), temp)
                      for d, dirs, files in os.walk(temp) for n in dirs + files)
        # Everything of the run's own went; the link and its folders stayed.
        top = left[0] if left else ""
        expected = [top, f"{top}/plugins", f"{top}/plugins/linked"]
        check(top.startswith("onefile_") and left == expected, f"left behind: {left}")
    finally:
        shutil.rmtree(outside, ignore_errors=True)
        shutil.rmtree(temp, ignore_errors=True)

    def replace_directory(target, outside):
        os.rename(target, target + ".moved")
        os.symlink(os.path.join(outside, "folder"), target)

    temp, outside = run_with_links(options, replace_directory)
    shutil.rmtree(outside, ignore_errors=True)
    shutil.rmtree(temp, ignore_errors=True)


def run_cached(options, wine, temp, program, *arguments):
    """Runs a cached build with `temp` as its TEMP (its caches go to
    TEMP\\cache); its status and what it wrote."""
    r = wine.run(os.path.join(options.bin, "with_temp.exe"), temp,
                 os.path.join(options.bin, program), *(arguments or (":quiet",)), timeout=120)
    return status_of(r.output()), r.output(), r.errors()


def tree_of(folder):
    """Every file below `folder` with its bytes and times, links followed."""
    found = {}
    for directory, _, files in os.walk(folder, followlinks=True):
        for name in files:
            path = os.path.join(directory, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = (f.read(), os.stat(path).st_mtime_ns)
    return found


@case
def cache_folder_links(options):
    """Unix links in the folder that holds cached builds' directories, named
    as another build's complete directory, a copy set aside and a partial
    copy of an ended run: a run of another version follows none of them and
    removes none of them, and what they point to stays. A link in the place
    of the run's own directory, to an incomplete or to a complete copy, is
    neither trusted nor set aside through: the run fails rather than run
    from or remove what the link points to, also a copy beside it whose
    name begins with the directory's own."""
    wine = Wine(options.wine_run, options.prefix)
    temp = fresh_folder("onefile-cache-links-")
    outside = outside_files()
    folder = os.path.join(temp, "cache")

    def run(program):
        status, _, errors = run_cached(options, wine, windows_path(temp), program)
        return status, errors

    def contents():
        return tree_of(outside)

    try:
        status, errors = run("hello_cached.exe")
        check(status == 0, f"the first version failed: {errors}")
        [first] = os.listdir(folder)
        # The first version's complete directory, moved outside and linked to.
        shutil.move(os.path.join(folder, first), os.path.join(outside, "copy"))
        links = {first: "copy", f"{first}.aside-foo": "folder",
                 f"{first}.partial-999999_000000_AAAAAAAAAAA": "folder"}
        for name, target in links.items():
            os.symlink(os.path.join(outside, target), os.path.join(folder, name))
        # A partial copy of an ended run whose marker is a link to the
        # moved copy's: the copy goes, but not the marker it leads to.
        partial = os.path.join(folder, f"{first}.partial-1_000000_abc")
        os.makedirs(os.path.join(partial, "sub"))
        with open(os.path.join(partial, "sub", "file.txt"), "w") as f:
            f.write("unpacked")
        os.symlink(os.path.join(outside, "copy", MARKER), os.path.join(partial, MARKER))
        before = contents()
        check("copy/hello.dll" in before, f"nothing copied: {sorted(before)}")

        status, errors = run("hello_cached_v2.exe")
        check(status == 0, f"the second version failed: {errors}")
        check(contents() == before, "what a link points to was changed")
        for name, target in links.items():
            path = os.path.join(folder, name)
            check(os.path.islink(path) and os.readlink(path) == os.path.join(outside, target),
                  f"the link {name} was moved or removed: {os.listdir(folder)}")
        [left] = [name for name in os.listdir(folder) if name not in links and name.startswith(first)]
        check(os.listdir(os.path.join(folder, left)) == [MARKER]
              and os.path.islink(os.path.join(folder, left, MARKER)),
              f"{left}: {os.listdir(os.path.join(folder, left))}")
        shutil.rmtree(os.path.join(folder, left))

        [own] = [name for name in os.listdir(folder) if name not in links]
        shutil.move(os.path.join(folder, own), os.path.join(outside, "own"))
        before = contents()
        for target in ("folder", "own"):  # an incomplete copy, then a complete one
            os.symlink(os.path.join(outside, target), os.path.join(folder, own))
            status, errors = run("hello_cached_v2.exe")
            check(status == 2 and "Error, couldn't replace an incomplete cache directory." in errors,
                  f"a link to {target}: status {status}: {errors}")
            check(contents() == before, f"what the run's own link to {target} points to changed")
            check(os.path.islink(os.path.join(folder, own)), "the run's own link was moved")
            os.remove(os.path.join(folder, own))

        # A link to a complete copy beside it, whose name begins with the
        # run's own: what the link leads to is not the run's directory.
        sibling = os.path.join(folder, f"{own}.aside-keep")
        shutil.move(os.path.join(outside, "own"), sibling)
        os.symlink(sibling, os.path.join(folder, own))
        kept = tree_of(sibling)
        status, errors = run("hello_cached_v2.exe")
        check(status == 2 and "Error, couldn't replace an incomplete cache directory." in errors,
              f"a link to {own}.aside-keep: status {status}: {errors}")
        check(tree_of(sibling) == kept, "the copy the run's own link points to changed")
        check(os.path.islink(os.path.join(folder, own)), "the run's own link was moved")
    finally:
        shutil.rmtree(outside, ignore_errors=True)
        shutil.rmtree(temp, ignore_errors=True)


@case
def cache_owned_by_another_user(options):
    """A cache directory that another user owns (a Unix owner that Wine
    shows as another account) is not run from: the run unpacks its own."""
    wine = Wine(options.wine_run, options.prefix)
    temp = fresh_folder("onefile-cache-owner-")
    try:
        status, _, errors = run_cached(options, wine, windows_path(temp), "hello_cached.exe")
        check(status == 0, f"the first run failed: {errors}")
        folder = os.path.join(temp, "cache")
        [cache] = os.listdir(folder)
        for directory, folders, files in os.walk(os.path.join(folder, cache)):
            for name in [directory] + [os.path.join(directory, n) for n in folders + files]:
                os.chown(name, 4242, 4242)
        status, _, errors = run_cached(options, wine, windows_path(temp), "hello_cached.exe")
        check(status == 0, f"the second run failed: {errors}")
        check(os.listdir(folder) == [cache], f"left beside it: {os.listdir(folder)}")
        check(os.stat(os.path.join(folder, cache)).st_uid == os.getuid(),
              "the other user's directory was run from")
    finally:
        shutil.rmtree(temp, ignore_errors=True)


@case
def cache_on_a_share(options):
    """A cache on a network share (\\\\server\\share, which Wine maps to a
    folder): the first run unpacks there, the second starts from it and
    writes nothing. Wine's loader refuses a library search on a share
    (AddDllDirectory and LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR answer error 87,
    where Windows takes any full path), so under Wine the application itself
    may fail to load; the cache may not fail."""
    wine = Wine(options.wine_run, options.prefix)
    temp = fresh_folder("onefile-cache-share-")
    server = os.path.join(options.prefix, "dosdevices", "unc", "onefile-test-server")
    share = os.path.basename(temp)
    os.makedirs(server, exist_ok=True)
    os.symlink(temp, os.path.join(server, share))
    wine_load_refusal = "Error, load DLL. ([Error 87] "

    def run():
        status, out, errors = run_cached(options, wine, unc, "hello_cached.exe", ":exit=7")
        check(status == 7 or (status == 2 and errors.startswith(wine_load_refusal)),
              f"status {status}: {errors}")
        return out

    try:
        unc = f"\\\\onefile-test-server\\{share}"
        out = run()
        [cache] = os.listdir(os.path.join(temp, "cache"))
        check(os.path.isfile(os.path.join(temp, "cache", cache, MARKER)),
              f"no complete cache: {os.listdir(os.path.join(temp, 'cache', cache))}")
        for line in out.splitlines():
            if line.startswith("library="):
                library = quoted_value(line)
                check(library.lower() == f"{unc}\\cache\\{cache}\\hello.dll".lower(),
                      f"the application ran from {library}")
        before = tree_of(temp)
        time.sleep(0.05)  # a write now would show in the times
        run()
        check(tree_of(temp) == before, "the second run wrote into the cache")
    finally:
        os.remove(os.path.join(server, share))
        shutil.rmtree(temp, ignore_errors=True)


# The end of the session.

def session(options):
    return Wine(options.wine_run, options.session_prefix)


def session_temp(wine):
    folders = glob.glob(os.path.join(wine.prefix, "drive_c", "users", "*", "Temp"))
    check(len(folders) == 1, f"no single TEMP in {wine.prefix}: {folders}")
    return folders[0]


def wineserver():
    for candidate in ("/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver",
                      shutil.which("wineserver") or ""):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise Failure("no wineserver found")


def make_prefix(wine, settings):
    """Makes `wine`'s prefix once, with registry `settings` below
    HKCU\\Software\\Wine: (key, name, type, value) each."""
    if os.path.exists(os.path.join(wine.prefix, ".created")):
        return
    os.makedirs(wine.prefix, exist_ok=True)
    check(wine.run("wineboot", "-i", timeout=300).returncode == 0, "wineboot -i failed")
    for key, name, kind, value in settings:
        r = wine.run("reg", "add", f"HKCU\\Software\\Wine\\{key}", "/v", name, "/t", kind,
                     "/d", value, "/f")
        check(r.returncode == 0, f"reg add failed: {r.errors()}")
    # The desktop process started before the settings: a fresh server takes them.
    stop_server(wine)
    open(os.path.join(wine.prefix, ".created"), "w").close()


def stop_server(wine):
    for flag in ("-k", "-w"):
        subprocess.run([wineserver(), flag], env=wine.env, timeout=60, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@case
def session_prefix(options):
    """Makes the session tests' prefix once: headless Wine makes no window
    unless the prefix uses the null graphics driver."""
    make_prefix(session(options), [("Drivers", "Graphics", "REG_SZ", "null")])


def start_desktop(wine):
    """The desktop process, which the first window of a session would start
    (slowly, with the null driver) unless it runs already."""
    return wine.start("explorer.exe", "/desktop")


def wait_for_session_window(options, wine, process, window_class="onefileSessionWindow",
                            timeout=30):
    """Waits until the parent's hidden window (or another of its windows)
    exists: before it does, the session's end has nothing of the parent's to
    reach."""
    find_window = os.path.join(options.bin, "find_window.exe")
    deadline = time.monotonic() + timeout
    while wine.run(find_window, window_class).returncode != 0:
        check(process.poll() is None, f"the program ended: {process.errors()}")
        check(time.monotonic() < deadline, f"the parent made no window {window_class}")
        time.sleep(0.05)


def end_session(wine, process):
    r = wine.run("wineboot", "--end-session", timeout=120)
    check(r.returncode == 0, f"wineboot --end-session failed: {r.errors()}")
    # The child's grace period and the removal take seconds; the programs
    # would sleep for minutes.
    process.wait(30)


def clear(temp):
    for name in os.listdir(temp):
        if name.startswith("onefile_"):
            shutil.rmtree(os.path.join(temp, name), ignore_errors=True)


@case
def session_end_while_the_child_runs(options):
    """The session's end reaches the parent's hidden window: the child gets
    its grace period, the directory goes, and the parent ends."""
    wine = session(options)
    temp = session_temp(wine)
    clear(temp)
    start_desktop(wine)
    process = wine.start(os.path.join(options.bin, "hello.exe"), ":sleep=120000")
    library = quoted_value(wait_for_line(process, "library="))
    target = os.path.dirname(wine.unix_path(library))
    check(os.path.isdir(target), f"the target directory {target} is not there")
    wait_for_session_window(options, wine, process)
    end_session(wine, process)
    check(not os.path.exists(target), f"{target} is left behind")


@case
def session_end_during_the_extraction(options):
    """The session ends while the parent unpacks: nothing is left."""
    end_session_during_the_extraction(options, "many_files.exe", ["onefileSessionWindow"])


def end_session_during_the_extraction(options, executable, window_classes):
    """Ends the session the moment `executable` has begun to unpack and has
    made its windows of `window_classes`: nothing may be left, and the
    application must not run. A helper started first ends the session within
    milliseconds, as the system would; wineboot takes longer to start than a
    fast machine takes to unpack the whole archive."""
    wine = session(options)
    temp = session_temp(wine)
    clear(temp)
    start_desktop(wine)
    ender = wine.start(os.path.join(options.bin, "end_session.exe"), windows_path(temp),
                       *window_classes)
    process = wine.start(os.path.join(options.bin, executable), ":sleep=120000")
    try:
        ender.wait(120)
        check(ender.returncode == 0, f"the session did not end: {ender.errors()}")
        process.wait(30)
    finally:
        process.kill()
    check(int(ender.output().split("entries=")[1]) > 0, f"no unpacking seen: {ender.output()}")
    left = [n for n in os.listdir(temp) if n.startswith("onefile_")]
    check(left == [], f"left behind: {left}")
    started = "hello from the packaged application"
    check(started not in process.output(), "the application ran after the session ended")


@case
def error_dialog(options):
    """A build with --error-dialog shows the child's failure, the same line
    as on standard error, in a message box titled with the product's name,
    where there is a desktop; once it is answered, the run ends with status 2."""
    wine = session(options)
    clear(session_temp(wine))
    start_desktop(wine)
    process = wine.start(os.path.join(options.bin, "cxx_runtime_missing_dialog.exe"))
    answer = os.path.join(options.bin, "answer_dialog.exe")
    deadline = time.monotonic() + 60
    while True:
        box = wine.run(answer, "Missing Runtime")
        if box.returncode == 0:
            break
        check(process.poll() is None, f"the program ended without a box: {process.errors()}")
        check(time.monotonic() < deadline, "no message box appeared")
        time.sleep(0.1)
    process.wait(60)
    check(process.returncode == 2, f"status {process.returncode}: {process.errors()}")
    # The developer's line as printed, then a paragraph for the person who
    # started the program, which only the box shows.
    line, _, advice = box.output().strip().replace("\r\n", "\n").partition("\n\n")
    check(line.endswith(") cxx_entry.dll imports libwinpthread-1.dll, which cannot be found."),
          f"the box says {box.output()!r}")
    check(line in process.errors(), f"standard error says {process.errors()!r}, the box {line!r}")
    check(advice.startswith("This application is incomplete or damaged on this computer."),
          f"the box advises {advice!r}")
    check(advice not in process.errors(), f"standard error says {process.errors()!r}")


def main(add_arguments=lambda parser: None):
    """Runs the case the command line names; `add_arguments` adds the
    options of the cases that another module registered."""
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--bin", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--session-prefix", required=True)
    add_arguments(parser)
    options = parser.parse_args()
    try:
        CASES[options.case](options)
    except Failure as failure:
        print(f"FAILED: {failure}")
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
