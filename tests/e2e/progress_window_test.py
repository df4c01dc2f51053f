#!/usr/bin/env python3
"""The progress window of a GUI build (--progress-window) under Wine: watched
in the session tests' prefix, whose null graphics driver makes windows
without a display, and photographed under Xvfb with Wine's X11 driver, in a
prefix of its own, for a person to look at.

Usage: progress_window_test.py CASE --bin DIR --wine-run FILE --prefix DIR
           --session-prefix DIR --screen-prefix DIR --picture FILE
Exits 0 when the case holds; otherwise prints what went wrong and exits 1.
"""

import glob
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import from_unix_test as unix  # noqa: E402
from from_unix_test import case, check, Failure  # noqa: E402

PRODUCT = "Hello"  # the product the test builds name, and so the window's title
WINDOW_CLASS = "onefileProgressWindow"


class Watched:
    """What a run under with_temp and watch_windows printed."""

    def __init__(self, run):
        self.output, self.errors = run.output(), run.errors()
        self.windows, self.bar, self.comctl32, self.foreground = [], None, None, None
        self.parent_windows = self.status = None
        for line in self.output.splitlines():
            key, _, value = line.rstrip("\r").partition("=")
            if key == "watched window":
                self.windows.append(value.strip('"'))
            elif key == "watched bar":
                self.bar = value
            elif key == "watched foreground":
                self.foreground = value.strip('"')
            elif key == "watched comctl32":
                self.comctl32 = value.strip('"')
            elif key == "parent-windows":
                self.parent_windows = int(value)
            elif key == "status":
                self.status = int(value, 16)

    def __str__(self):
        return f"output:\n{self.output}\nerrors:\n{self.errors}"


def watch(wine, options, temp, executable, *arguments, start=False):
    """Runs `executable` with `temp` as its TEMP under the window watcher;
    started only when `start`, else run to its end."""
    command = (os.path.join(options.bin, "with_temp.exe"), unix.windows_path(temp),
               os.path.join(options.bin, "watch_windows.exe"),
               os.path.join(options.bin, executable), *arguments)
    return wine.start(*command) if start else Watched(wine.run(*command, timeout=300))


def session_with_temp(options):
    wine = unix.session(options)
    unix.start_desktop(wine)
    return wine, unix.fresh_folder("onefile-progress-")


def check_nothing_left(temp, allowed=()):
    left = sorted(set(os.listdir(temp)) - set(allowed))
    check(left == [], f"left behind in TEMP: {left}")


def check_window_shown(watched):
    """One visible window of the parent's, titled with the product's name,
    whose bar moved and never passed its end; gone before run_code started;
    and the COMCTL32 that the manifest asks for."""
    check(watched.windows == [PRODUCT], f"windows {watched.windows}, not [{PRODUCT!r}]\n{watched}")
    check(watched.bar is not None, f"no progress bar was seen\n{watched}")
    span, _, count = watched.bar.partition(", ")
    low, high = (int(n) for n in span.split(" of ")[0].split(".."))
    whole = int(span.split(" of ")[1])
    positions = int(count.split()[0])
    check(positions >= 3 and low < high <= whole,
          f"the bar did not follow the unpacking: {watched.bar}")
    check(watched.foreground is None, f"the window {watched.foreground!r} took the focus")
    check(watched.parent_windows == 0,
          f"the parent still showed {watched.parent_windows} window(s) when run_code started")
    # Common Controls 6 lives in WinSxS; the system directory's is version 5.
    check(watched.comctl32 and "winsxs" in watched.comctl32.lower(),
          f"COMCTL32 loaded from {watched.comctl32}, not from WinSxS")


def check_no_window(watched, status):
    check(watched.windows == [] and watched.bar is None,
          f"windows were seen: {watched.windows}\n{watched}")
    check(watched.comctl32 is None, f"COMCTL32 was loaded: {watched.comctl32}")
    check(watched.parent_windows == 0, f"the parent showed windows\n{watched}")
    check(watched.status == status, f"status {watched.status}, not {status}\n{watched}")


@case
def progress_window_slow_unpack_shows_it(options):
    """A slow unpack (thousands of small files) shows the window until the
    child starts; the child's status comes back and nothing is left."""
    wine, temp = session_with_temp(options)
    try:
        watched = watch(wine, options, temp, "many_files_progress.exe", ":quiet",
                        ":parent-windows", ":exit=0x10007")
        check_window_shown(watched)
        check(watched.status == 0x10007, f"status {watched.status}, not 0x10007\n{watched}")
        check_nothing_left(temp)
    finally:
        shutil.rmtree(temp, ignore_errors=True)


@case
def progress_window_not_shown(options):
    """A fast unpack with the option, and the slow one of a build without
    it, show no window and load no COMCTL32."""
    wine, temp = session_with_temp(options)
    try:
        for executable in ("hello_progress.exe", "many_files.exe"):
            watched = watch(wine, options, temp, executable, ":quiet", ":parent-windows",
                            ":exit=5")
            check_no_window(watched, 5)
            check_nothing_left(temp)
    finally:
        shutil.rmtree(temp, ignore_errors=True)


@case
def progress_window_cached_first_run_only(options):
    """A cached build shows the window while its first run unpacks, and
    never on a later run, which unpacks nothing."""
    wine, temp = session_with_temp(options)
    try:
        watched = watch(wine, options, temp, "many_files_cached_progress.exe", ":quiet",
                        ":parent-windows", ":exit=3")
        check_window_shown(watched)
        check(watched.status == 3, f"status {watched.status}, not 3\n{watched}")
        check_no_window(watch(wine, options, temp, "many_files_cached_progress.exe", ":quiet",
                              ":parent-windows", ":exit=4"), 4)
        check_nothing_left(temp, allowed=["cache"])
    finally:
        shutil.rmtree(temp, ignore_errors=True)


@case
def progress_window_failure(options):
    """A file that cannot be written while the window shows: the usual
    message and status, and nothing left."""
    wine, temp = session_with_temp(options)
    process = watch(wine, options, temp, "many_files_progress.exe", ":parent-windows",
                    start=True)
    try:
        unix.wait_for_session_window(options, wine, process, WINDOW_CLASS)
        target = unix.only_target_directory(temp)
        # The last folder in the archive's order, taken by a file before the
        # unpacking gets there.
        try:
            os.close(os.open(os.path.join(target, "folder9"), os.O_CREAT | os.O_EXCL, 0o600))
        except FileExistsError:
            raise Failure("the unpacking reached folder9 before the test could block it")
        process.wait(300)
        watched = Watched(process)
        check(watched.status == 2, f"status {watched.status}, not 2\n{watched}")
        check(f"Error, failed to open '" in watched.errors and "folder9\\file" in watched.errors,
              f"no message of the failed file\n{watched}")
        check(watched.windows == [PRODUCT], f"windows {watched.windows}\n{watched}")
        check("hello from the packaged application" not in watched.output,
              f"the application ran\n{watched}")
        check_nothing_left(temp)
    finally:
        process.kill()
        shutil.rmtree(temp, ignore_errors=True)


@case
def progress_window_session_end_while_it_shows(options):
    """The session ends while the window shows: nothing is left."""
    unix.end_session_during_the_extraction(options, "many_files_progress.exe",
                                           ["onefileSessionWindow", WINDOW_CLASS])


# The screenshot.

def start_xvfb(width, height):
    """An X server of its own on a display number it chooses; returns the
    process and the display."""
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                             f"{width}x{height}x24", "-nolisten", "tcp"], pass_fds=(write,),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as displays:
        number = displays.readline().strip()
    check(number.isdigit(), "Xvfb gave no display number")
    return xvfb, f":{number}"


def screen_prefix(options, display, width, height):
    """The screenshot's prefix, made once: Wine's X11 driver, and a virtual
    desktop, in which Wine draws the windows' frames and title bars itself
    (Xvfb has no window manager to draw them)."""
    wine = unix.Wine(options.wine_run, options.screen_prefix)
    wine.env["DISPLAY"] = display
    if os.path.exists(os.path.join(wine.prefix, ".created")):
        return wine
    os.makedirs(wine.prefix, exist_ok=True)
    check(wine.run("wineboot", "-i", timeout=300).returncode == 0, "wineboot -i failed")
    # Wine's own fonts (Debian's fonts-wine), which this Wine does not put
    # into a new prefix: Tahoma, and Marlett for the title bar's buttons.
    fonts = os.path.join(wine.prefix, "drive_c", "windows", "Fonts")
    for font in glob.glob("/usr/share/wine/fonts/*.ttf"):
        shutil.copy(font, fonts)
    for key, name, value in (("Explorer", "Desktop", "Default"),
                             ("Explorer\\Desktops", "Default", f"{width}x{height}"),
                             ("Explorer\\Desktops\\Default", "EnableShell", "1")):
        kind = "REG_DWORD" if value == "1" else "REG_SZ"
        r = wine.run("reg", "add", f"HKCU\\Software\\Wine\\{key}", "/v", name, "/t", kind,
                     "/d", value, "/f")
        check(r.returncode == 0, f"reg add failed: {r.errors()}")
    stop_server(wine)
    open(os.path.join(wine.prefix, ".created"), "w").close()
    return wine


def stop_server(wine):
    for flag in ("-k", "-w"):
        subprocess.run([unix.wineserver(), flag], env=wine.env, timeout=60,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


@case
def progress_window_screenshot(options):
    """The window as users see it, drawn by Wine's X11 driver in a virtual
    desktop under Xvfb, kept as options.picture."""
    width, height = 640, 400
    xvfb, display = start_xvfb(width, height)
    temp = unix.fresh_folder("onefile-screenshot-")
    wine = None
    try:
        wine = screen_prefix(options, display, width, height)
        if os.path.exists(options.picture):
            os.remove(options.picture)
        unix.start_desktop(wine)
        process = wine.start(os.path.join(options.bin, "with_temp.exe"), unix.windows_path(temp),
                             os.path.join(options.bin, "many_files_progress.exe"), ":quiet")
        unix.wait_for_session_window(options, wine, process, WINDOW_CLASS, timeout=120)
        # Long enough for the bar to have moved, not for the unpacking to end.
        time.sleep(1)
        subprocess.run(["import", "-display", display, "-window", "root", options.picture],
                       check=True, timeout=60)
        shown = wine.run(os.path.join(options.bin, "find_window.exe"), WINDOW_CLASS).returncode
        check(shown == 0, "the window was gone by the time of the screenshot: the unpacking "
              "was too quick to show it")
        from PIL import Image
        with Image.open(options.picture) as picture:
            check(picture.size == (width, height), f"a picture of {picture.size}")
            colours = picture.convert("RGB").getcolors(maxcolors=1 << 16) or []
            check(len(colours) > 8, f"a picture of {len(colours)} colours: nothing was drawn")
        process.wait(300)
        check(unix.status_of(process.output()) == 0, f"the run failed: {process.errors()}")
        check_nothing_left(temp)
    finally:
        if wine is not None:
            stop_server(wine)
        xvfb.kill()
        xvfb.wait()
        shutil.rmtree(temp, ignore_errors=True)


def add_arguments(parser):
    parser.add_argument("--screen-prefix", required=True)
    parser.add_argument("--picture", required=True)


if __name__ == "__main__":
    sys.exit(unix.main(add_arguments))
