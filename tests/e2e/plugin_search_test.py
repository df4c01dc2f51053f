#!/usr/bin/env python3
"""What the packer's dependency check says of a folder with many plug-ins,
against what the packed application's loader does with them: thirty C++
plug-ins built with MinGW's defaults, whose runtime DLLs lie at the top of
the package, and five codecs whose helper lies beside them. Packed with
the host packer, run under Wine.

Usage: plugin_search_test.py plugin-search --bin DIR --wine-run FILE
           --prefix DIR --session-prefix DIR --packer FILE
Exits 0 when the case holds; otherwise prints what went wrong and exits 1.
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import from_unix_test as unix  # noqa: E402
from from_unix_test import case, check  # noqa: E402

RUNTIME = ("libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll")
PLUGINS = ["plugins\\p%02d.dll" % i for i in range(1, 31)]
CODECS = ["codecs\\c%d.dll" % i for i in range(1, 6)]


def stage(options, folder):
    """The application's folder as its build leaves it."""
    for name in ("plugins", "codecs"):
        os.makedirs(os.path.join(folder, name))
    shutil.copy(os.path.join(options.bin, "loads_plugins.dll"), folder)
    for runtime in RUNTIME:
        shutil.copy(os.path.join(options.bin, "runtime", runtime), folder)
    for plugin in PLUGINS:
        shutil.copy(os.path.join(options.bin, "cxx_plugin.dll"),
                    os.path.join(folder, *plugin.split("\\")))
    for codec in CODECS:
        shutil.copy(os.path.join(options.bin, "plugin.dll"),
                    os.path.join(folder, *codec.split("\\")))
    shutil.copy(os.path.join(options.bin, "helper.dll"), os.path.join(folder, "codecs"))


def pack(options, folder, output, *extra):
    result = subprocess.run([options.packer, "build", folder, "--entry", "loads_plugins.dll",
                             "--output", output, "--level", "1", "--console", *extra],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    check(result.returncode == 0, f"the build failed: {result.stderr}")
    return [line for line in result.stderr.splitlines() if "warning:" in line]


@case
def plugin_search(options):
    """Warnings only where the child's plain LoadLibraryW fails, the codecs'
    one problem in one line; every plug-in that the check let pass loads."""
    work = tempfile.mkdtemp(prefix="onefile-plugins-")
    try:
        folder = os.path.join(work, "app")
        stage(options, folder)
        output = os.path.join(work, "app.exe")
        warnings = pack(options, folder, output)
        check(len(warnings) == 1, f"not one warning: {warnings}")
        check(warnings[0].endswith(
            "warning: 5 plug-ins (codecs\\c1.dll, codecs\\c2.dll, codecs\\c3.dll and 2 more) "
            "find helper.dll only beside themselves, where a plain LoadLibraryW with their full "
            "path does not look: load them with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | "
            "LOAD_LIBRARY_SEARCH_DEFAULT_DIRS or LOAD_WITH_ALTERED_SEARCH_PATH, or put "
            "helper.dll at the top of the package [plugin-search]"), warnings[0])
        check(pack(options, folder, output, "--quiet") ==
              ["onefile-pack: warning: 1 warning (1 plugin-search), shown without --quiet"],
              "--quiet does not count the warning in one line")
        check(pack(options, folder, output, "--no-warn", "plugin-search") == [],
              "--no-warn plugin-search leaves a warning")

        wine = unix.Wine(options.wine_run, options.prefix)
        run = wine.run(output, *PLUGINS, *CODECS)
        lines = run.output().replace("\r\n", "\n").splitlines()
        check(lines == [f"{p}: loaded" for p in PLUGINS] + [f"{c}: error 126" for c in CODECS],
              f"status {run.returncode}:\n{run.output()}{run.errors()}")
        check(run.returncode == len(CODECS), f"status {run.returncode}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def add_arguments(parser):
    parser.add_argument("--packer", required=True)


if __name__ == "__main__":
    sys.exit(unix.main(add_arguments))
