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

PRODUCT = "Hello"  # the test builds' product, and so the window's title
WINDOW_CLASS = "onefileProgressWindow"


def watch(options, wine, temp, executable, *arguments, start=False):
    """Runs `executable` with `temp` as its TEMP under watch_windows; only
    started when `start`, else run to its end and read by `seen`."""
    command = (os.path.join(options.bin, "with_temp.exe"), unix.windows_path(temp),
               os.path.join(options.bin, "watch_windows.exe"),
               os.path.join(options.bin, executable), *arguments)
    return wine.start(*command) if start else seen(wine.run(*command, timeout=300))


def seen(run):
    """The values of the key=value lines that the example, watch_windows and
    with_temp printed, by key; the whole output for messages."""
    found = {"all": f"output:\n{run.output()}\nerrors:\n{run.errors()}", "errors": run.errors()}
    for line in run.output().splitlines():
        key, _, value = line.rstrip("\r").partition("=")
        found.setdefault(key, []).append(value.strip('"'))
    return found


def check_run(found, shown, status):
    """The application's status came back, the focus stayed where it was, and
    no window was left once the application had started or the removal had
    begun.
    When `shown`: one window, titled with the product's name, whose bar
    followed the unpacking, with Common Controls 6 (which lives in WinSxS;
    the system directory's is version 5); else no window and no COMCTL32 at
    all."""
    check(found.get("status") == [hex(status)], f"status not {hex(status)}\n{found['all']}")
    check("watched foreground" not in found, f"a window took the focus\n{found['all']}")
    check("watched beside-application" not in found,
          f"a window was still there once the application had started\n{found['all']}")
    check_gone_before_removal(found)
    if not shown:
        check(not {"watched window", "watched bar", "watched comctl32"} & found.keys(),
              f"a window was shown or COMCTL32 loaded\n{found['all']}")
        return
    check(found.get("watched window") == [PRODUCT], f"not one window {PRODUCT!r}\n{found['all']}")
    check(len(found.get("watched bar", [""])[0].split(",")) >= 3,
          f"the bar did not follow the unpacking\n{found['all']}")
    check("\\winsxs\\" in found.get("watched comctl32", [""])[0].lower(),
          f"COMCTL32 not from WinSxS\n{found['all']}")


def check_gone_before_removal(found):
    check("watched beside-removal" not in found,
          f"a window was still there once the removal had begun\n{found['all']}")


def session_with_temp(options):
    wine = unix.session(options)
    unix.start_desktop(wine)
    return wine, unix.fresh_folder("onefile-progress-")


@case
def progress_window_shows_only_while_a_slow_start_unpacks(options):
    """Thousands of small files show the window, a quick start and a build
    without the option show none, and a cached build shows it on its first
    run only, and again when it runs from a copy of its own beside a cache
    it cannot use; every run returns the child's status and leaves nothing
    (but the cache)."""
    wine, temp = session_with_temp(options)
    try:
        for executable, shown, left in (("many_files_progress.exe", True, []),
                                        ("hello_progress.exe", False, []),
                                        ("many_files.exe", False, []),
                                        ("many_files_cached_progress.exe", True, ["cache"]),
                                        ("many_files_cached_progress.exe", False, ["cache"])):
            # The child lingers, so that a window left open beside it is seen.
            found = watch(options, wine, temp, executable, ":quiet", ":sleep=500", ":exit=0x10007")
            check_run(found, shown, 0x10007)
            check(os.listdir(temp) == left, f"{executable} left {os.listdir(temp)} behind")
        # The user's own folder at the cache's name: the run unpacks a copy of
        # its own beside it and runs the application from it in a child,
        # which starts once the window is gone.
        folder = os.path.join(temp, "cache")
        [cache] = os.listdir(folder)
        shutil.rmtree(os.path.join(folder, cache))
        os.mkdir(os.path.join(folder, cache))
        with open(os.path.join(folder, cache, "notes.txt"), "w") as notes:
            notes.write("mine")
        found = watch(options, wine, temp, "many_files_cached_progress.exe", ":quiet",
                      ":sleep=500", ":exit=0x10007")
        check_run(found, True, 0x10007)
        check(os.listdir(folder) == [cache] and
              os.listdir(os.path.join(folder, cache)) == ["notes.txt"],
              f"the private copy's run left {os.listdir(folder)}")
    finally:
        shutil.rmtree(temp, ignore_errors=True)


@case
def progress_window_failure(options):
    """A file that cannot be written while the window shows: the usual
    message and status, and nothing left."""
    wine, temp = session_with_temp(options)
    process = watch(options, wine, temp, "many_files_progress.exe", start=True)
    try:
        unix.wait_for_session_window(options, wine, process, WINDOW_CLASS)
        # A file in the place of the archive's last folder, before the
        # unpacking gets there (O_EXCL: a folder already there fails the test).
        os.close(os.open(os.path.join(unix.only_target_directory(temp), "folder9"),
                         os.O_CREAT | os.O_EXCL, 0o600))
        process.wait(300)
        found = seen(process)
        check(found.get("status") == ["0x2"] and "Error, failed to open '" in found["errors"] and
              "folder9\\file" in found["errors"], f"not the failure expected\n{found['all']}")
        check(found.get("watched window") == [PRODUCT], f"no window was seen\n{found['all']}")
        check_gone_before_removal(found)
        check(os.listdir(temp) == [], f"left behind: {os.listdir(temp)}")
    finally:
        process.kill()
        shutil.rmtree(temp, ignore_errors=True)


@case
def progress_window_close_waits_for_the_window(options):
    """A close returns once the window is gone, also when the window is slow
    to go: the application that starts next never has it beside it. The
    probe shows the window as a slow start does and looks for it the
    moment the close has returned."""
    wine, temp = session_with_temp(options)
    try:
        run = wine.run(os.path.join(options.bin, "progress_probe.exe"), timeout=120)
        found = seen(run)
        check(run.returncode == 0 and "shown" in found, f"no window was shown\n{found['all']}")
        check(found.get("left") == ["0"],
              f"the window was still there when the close returned\n{found['all']}")
    finally:
        shutil.rmtree(temp, ignore_errors=True)


@case
def progress_window_session_end_while_it_shows(options):
    """The session ends while the window shows: nothing is left."""
    unix.end_session_during_the_extraction(options, "many_files_progress.exe",
                                           ["onefileSessionWindow", WINDOW_CLASS])


def screen_prefix(options, display, size):
    """The screenshot's prefix: Wine's X11 driver, its own fonts (Debian's
    fonts-wine, which this Wine does not copy into a prefix), and a virtual
    desktop with a taskbar, in which Wine draws the frames and title bars
    itself (Xvfb has no window manager to draw them)."""
    wine = unix.Wine(options.wine_run, options.screen_prefix)
    wine.env["DISPLAY"] = display
    unix.make_prefix(wine, [("Explorer", "Desktop", "REG_SZ", "Default"),
                            ("Explorer\\Desktops", "Default", "REG_SZ", size),
                            ("Explorer\\Desktops\\Default", "EnableShell", "REG_DWORD", "1")])
    for font in glob.glob("/usr/share/wine/fonts/*.ttf"):
        shutil.copy(font, os.path.join(wine.prefix, "drive_c", "windows", "Fonts"))
    return wine


@case
def progress_window_screenshot(options):
    """The window as users see it, kept as options.picture."""
    size = "640x400"
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", f"{size}x24",
                             "-nolisten", "tcp"], pass_fds=(write,), stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as displays:
        display = ":" + displays.readline().strip()
    temp = unix.fresh_folder("onefile-screenshot-")
    wine = None
    try:
        wine = screen_prefix(options, display, size)
        # The window shows for a second or two: a run whose window was gone
        # by the time the picture was taken is tried again, and so is one
        # whose window never came (a busy machine can keep Wine's desktop
        # from coming up), on a fresh server.
        problems = []
        for _ in range(3):
            unix.start_desktop(wine)
            process = watch(options, wine, temp, "many_files_progress.exe", ":quiet",
                            start=True)
            try:
                unix.wait_for_session_window(options, wine, process, WINDOW_CLASS, timeout=60)
            except Failure as failure:
                problems.append(f"{failure} {process.errors()}".strip())
                process.kill()
                unix.stop_server(wine)
                unix.clear(temp)
                continue
            time.sleep(0.3)  # for the bar to move on
            subprocess.run(["import", "-display", display, "-window", "root", options.picture],
                           check=True, timeout=60)
            shown = wine.run(os.path.join(options.bin, "find_window.exe"), WINDOW_CLASS)
            process.wait(300)
            check_run(seen(process), True, 0)
            if shown.returncode == 0:
                break
            problems.append("the window was gone by the time of the screenshot")
        else:
            raise Failure("no screenshot in three runs: " + "; ".join(problems))
        from PIL import Image
        with Image.open(options.picture) as picture:
            colours = picture.convert("RGB").getcolors(maxcolors=1 << 16) or []
            check(len(colours) > 8, f"a picture of {len(colours)} colours: nothing was drawn")
    finally:
        if wine is not None:
            unix.stop_server(wine)
        xvfb.kill()
        xvfb.wait()
        shutil.rmtree(temp, ignore_errors=True)


def add_arguments(parser):
    parser.add_argument("--screen-prefix", required=True)
    parser.add_argument("--picture", required=True)


if __name__ == "__main__":
    sys.exit(unix.main(add_arguments))
