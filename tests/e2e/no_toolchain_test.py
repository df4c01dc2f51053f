#!/usr/bin/python3
"""Packing needs no toolchain: the packer runs in a mount namespace where
every x86_64-w64-mingw32-* program and the MinGW-w64 folders are hidden,
packs the example as a GUI, a console and a cached build, and each runs
under Wine. Needs root for the namespace (as CI has it); otherwise it exits
with status 77, which ctest reports as skipped.

Environment: ONEFILE_PACK (the packer), ONEFILE_WINE_RUN (the build's
wine-run), ONEFILE_WINDOWS_BIN (the example's libraries), WINEPREFIX.
"""
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

PACKER = os.environ.get("ONEFILE_PACK", "")
WINE_RUN = os.environ.get("ONEFILE_WINE_RUN", "")
WINDOWS_BIN = os.environ.get("ONEFILE_WINDOWS_BIN", "")
COMPILER = "x86_64-w64-mingw32-g++-posix"
MINGW_FOLDERS = ["/usr/x86_64-w64-mingw32", "/usr/lib/gcc/x86_64-w64-mingw32",
                 "/usr/share/mingw-w64"]
CACHE_FOLDER = "onefile-no-toolchain-cache"

# Run in a mount namespace of its own: /dev/null over each program, an empty
# file system over each folder; then the command.
HIDE = """set -e
for program in /usr/bin/x86_64-w64-mingw32-*; do mount --bind /dev/null "$program"; done
for folder in %s; do
    if [ -d "$folder" ]; then mount -t tmpfs none "$folder"; fi
done
exec "$@"
""" % " ".join(MINGW_FOLDERS)


def without_toolchain(*command):
    return subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", HIDE,
                           "sh", *command], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=120)


def run_under_wine(program, *arguments):
    """Exit status and output, read through a file (a Wine helper process
    may hold a pipe open long after the program ends)."""
    with tempfile.TemporaryFile() as out:
        status = subprocess.run([WINE_RUN, program, *arguments], stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, timeout=120).returncode
        out.seek(0)
        return status, out.read().decode("utf-8", "replace").replace("\r\n", "\n")


def wine_temp_folders():
    """Where %TEMP% may lie in the prefix, as Wine versions have it."""
    users = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "*")
    return (glob.glob(os.path.join(users, "Temp")) +
            glob.glob(os.path.join(users, "AppData", "Local", "Temp")))


class PackingWithoutToolchain(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="onefile-no-toolchain.")
        cls.input = os.path.join(cls.work, "hello")
        os.makedirs(os.path.join(cls.input, "plugins"))
        for name in ("hello.dll", "support.dll", "plugins/greeter.dll"):
            shutil.copy(os.path.join(WINDOWS_BIN, os.path.basename(name)),
                        os.path.join(cls.input, name))
        cls.builds = {}
        cls.packing = {}
        for kind, options in (("gui", []), ("console", ["--console"]),
                              ("cached", ["--cache", "--target-dir",
                                          "{TEMP}\\" + CACHE_FOLDER])):
            output = os.path.join(cls.work, kind, "hello.exe")
            os.makedirs(os.path.dirname(output))
            cls.packing[kind] = without_toolchain(
                PACKER, "build", cls.input, "--entry", "hello.dll", "--output", output,
                "--level", "3", "--quiet", *options)
            cls.builds[kind] = output

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)
        for temp in wine_temp_folders():
            shutil.rmtree(os.path.join(temp, CACHE_FOLDER), ignore_errors=True)

    def test_the_toolchain_is_out_of_reach_there_and_only_there(self):
        self.assertEqual(subprocess.run([COMPILER, "--version"], capture_output=True).returncode,
                         0, "the build's own compiler, outside the namespace")
        hidden = without_toolchain(COMPILER, "--version")
        self.assertNotEqual(hidden.returncode, 0, hidden.stdout)
        for folder in MINGW_FOLDERS:
            if os.path.isdir(folder):
                self.assertTrue(os.listdir(folder))
                listed = without_toolchain("ls", "-A", folder)
                self.assertEqual((listed.returncode, listed.stdout), (0, ""), folder)

    def test_the_packer_packs_each_kind_there(self):
        for kind, result in self.packing.items():
            self.assertEqual((result.returncode, result.stderr), (0, ""), kind)
            self.assertTrue(os.path.isfile(self.builds[kind]), kind)

    def check_runs(self, kind, subsystem):
        status, output = run_under_wine(self.builds[kind], "one", ":plugin", ":exit=7")
        self.assertEqual(status, 7, output)
        self.assertIn('argv[1]="one"\n', output)
        self.assertIn('plugin="greetings from plugins\\\\greeter.dll"\n', output)
        info = json.loads(subprocess.run([PACKER, "info", "--json", self.builds[kind]],
                                         capture_output=True, text=True, check=True).stdout)
        self.assertEqual(info["image"]["subsystem"], subsystem)
        return info

    def test_the_gui_build_runs(self):
        self.check_runs("gui", "GUI")

    def test_the_console_build_runs(self):
        self.check_runs("console", "console")

    def test_the_cached_build_unpacks_once_and_runs_again_from_its_cache(self):
        info = self.check_runs("cached", "GUI")
        directory = [os.path.join(temp, CACHE_FOLDER, info["targetDirectory"]["cache"]["id"])
                     for temp in wine_temp_folders()]
        self.assertTrue(any(os.path.isfile(os.path.join(d, "hello.dll")) for d in directory))
        self.check_runs("cached", "GUI")


if __name__ == "__main__":
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        print("skipped: hiding the toolchain takes a mount namespace, which takes root")
        sys.exit(77)
    unittest.main(verbosity=2)
