#!/usr/bin/python3
"""onefile installed and used as another project uses it.

InstalledPrefix: `cmake --install` into a temporary prefix; examples/consumer
configured against it (CMAKE_PREFIX_PATH and the installed toolchain file),
built, read back with the packer and run under Wine; the installed packer
run from elsewhere, through a link, without any ONEFILE_ variable.

DebianPackage: `cpack -G DEB` into a temporary folder, the package listed
with dpkg-deb -c and unpacked with dpkg-deb -x into a temporary root (never
installed); the packer from there packs the hello example, which then runs
under Wine, and the consumer example builds against that root.

Usage: install_test.py InstalledPrefix|DebianPackage
Environment: ONEFILE_BUILD (the host build tree), ONEFILE_SOURCE (the source
tree), ONEFILE_VERSION (the project's version), ONEFILE_CMAKE, ONEFILE_CPACK,
ONEFILE_WINE_RUN
(scripts/wine-run; WINEPREFIX is set), ONEFILE_WINDOWS_BIN (the Windows
build's programs and libraries).
"""
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

BUILD = os.environ["ONEFILE_BUILD"]
SOURCE = os.environ["ONEFILE_SOURCE"]
VERSION = os.environ["ONEFILE_VERSION"]
CMAKE = os.environ["ONEFILE_CMAKE"]
CPACK = os.environ["ONEFILE_CPACK"]
WINE_RUN = os.environ["ONEFILE_WINE_RUN"]
WINDOWS_BIN = os.environ["ONEFILE_WINDOWS_BIN"]
CONSUMER = os.path.join(SOURCE, "examples", "consumer")

# Every file an installation holds, relative to its prefix; the exported
# targets' file for the build's configuration is matched by its pattern.
INSTALLED_FILES = {
    "bin/onefile-pack",
    "lib/onefile/libonefile_bootstrap.a",
    "lib/onefile/libonefile_zstd.a",
    "lib/cmake/onefile/onefileConfig.cmake",
    "lib/cmake/onefile/onefileConfigVersion.cmake",
    "lib/cmake/onefile/onefileTargets.cmake",
    "lib/cmake/onefile/onefileTargets-<config>.cmake",
    "lib/cmake/onefile/OnefilePack.cmake",
    "lib/cmake/onefile/mingw-w64.cmake",
    "share/doc/onefile/README.md",
}


def normalised(paths):
    return {re.sub(r"onefileTargets-[a-z]+\.cmake$", "onefileTargets-<config>.cmake", p)
            for p in paths}


def without_onefile_variables():
    return {k: v for k, v in os.environ.items() if not k.startswith("ONEFILE_")}


def run(*command, cwd=None, env=None):
    result = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError("%s failed with %d:\n%s%s" % (
            " ".join(command), result.returncode, result.stdout, result.stderr))
    return result.stdout


def run_under_wine(program, *arguments):
    """Exit status and output of a Windows program. The output goes through
    a file: a Wine helper process may hold a pipe open long after."""
    with tempfile.TemporaryFile() as out:
        status = subprocess.run([WINE_RUN, program, *arguments], stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, timeout=120).returncode
        out.seek(0)
        return status, out.read().decode("utf-8", "replace").replace("\r\n", "\n")


def windows_to_unix(path):
    """The Unix path of a C: path of the test's Wine prefix."""
    return os.path.join(os.environ["WINEPREFIX"], "drive_c", *path[3:].split("\\"))


class ConsumerChecks:
    """Builds examples/consumer against an installation below `prefix` and
    checks what it made, in a folder of the test case's own."""

    def build_consumer(self, prefix, work):
        self.consumer_build = os.path.join(work, "consumer-build")
        toolchain = os.path.join(prefix, "lib/cmake/onefile/mingw-w64.cmake")
        configured = run(CMAKE, "-S", CONSUMER, "-B", self.consumer_build,
                         "-DCMAKE_TOOLCHAIN_FILE=" + toolchain, "-DCMAKE_PREFIX_PATH=" + prefix,
                         env=without_onefile_variables())
        # The package found is this installation's, whatever else the machine has.
        self.assertIn("onefile %s from %s\n" % (VERSION, os.path.join(prefix, "lib/cmake/onefile")),
                      configured)
        run(CMAKE, "--build", self.consumer_build, env=without_onefile_variables())
        self.consumer_exe = os.path.join(self.consumer_build, "bin", "greeting.exe")
        self.assertTrue(os.path.isfile(self.consumer_exe))

    def check_consumer_runs(self, packer):
        info = json.loads(run(packer, "info", "--json", self.consumer_exe))
        self.assertEqual(info["product"],
                         {"company": "Example Company", "name": "Greeting", "version": "1.2.3.0"})
        spec = "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\run_{PID}_{TIME_US}"
        self.assertEqual(info["targetDirectory"]["spec"], spec)
        self.assertEqual(info["frame"]["windowLog"], 16)
        self.assertEqual(info["entry"]["path"], "greeting.dll")
        self.assertTrue(info["entry"]["sound"])
        records = run(packer, "list", self.consumer_exe)
        self.assertEqual(sorted(line.split()[-1] for line in records.splitlines()),
                         ["data\\message.txt", "greeting.dll", "settings\\greeting.ini"])

        status, output = run_under_wine(self.consumer_exe, "first", "two words", "exit=5")
        self.assertEqual(status, 5, output)
        library = re.search(r"^library: (.*)$", output, re.M)
        self.assertIsNotNone(library, output)
        self.assertRegex(library.group(1),
                         r"^C:\\users\\[^\\]+\\AppData\\Local\\Example Company\\Greeting\\"
                         r"run_\d+_\d{6}\\greeting\.dll$")
        self.assertIn("argument 1: first\nargument 2: two words\nargument 3: exit=5\n"
                      "message: Hello from a data file packed beside the entry library.\n"
                      "setting: greeting=Good morning\n", output)
        run_directory = os.path.dirname(windows_to_unix(library.group(1)))
        self.assertFalse(os.path.exists(run_directory), "left behind: " + run_directory)


class InstalledPrefix(unittest.TestCase, ConsumerChecks):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="onefile-install-test.")
        cls.prefix = os.path.join(cls.work, "prefix")
        run(CMAKE, "--install", BUILD, "--prefix", cls.prefix)
        cls.packer = os.path.join(cls.prefix, "bin", "onefile-pack")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_the_prefix_holds_the_installed_tree_and_nothing_else(self):
        found = set()
        for folder, _, files in os.walk(self.prefix):
            found.update(os.path.relpath(os.path.join(folder, f), self.prefix) for f in files)
        self.assertEqual(normalised(found), INSTALLED_FILES)
        self.assertTrue(os.stat(self.packer).st_mode & stat.S_IXUSR)

    def test_the_consumer_example_builds_against_it_and_runs(self):
        self.build_consumer(self.prefix, os.path.join(self.work, "consumer"))
        self.check_consumer_runs(self.packer)

    def test_the_packer_works_from_anywhere_without_onefile_variables(self):
        elsewhere = os.path.join(self.work, "elsewhere")
        stage = os.path.join(elsewhere, "stage")
        os.makedirs(stage)
        shutil.copy(os.path.join(WINDOWS_BIN, "hello.dll"), stage)
        shutil.copy(os.path.join(WINDOWS_BIN, "support.dll"), stage)
        # Through a link in another folder, as /usr/local/bin links often are.
        link = os.path.join(elsewhere, "onefile-pack")
        os.symlink(self.packer, link)
        env = without_onefile_variables()
        self.assertTrue(run(link, "--version", cwd=elsewhere, env=env).startswith(
            "onefile-pack %s (zstd " % VERSION))
        run(link, "build", "stage", "--entry", "hello.dll", "--output", "hello.exe", "--level", "1",
            "--quiet", cwd=elsewhere, env=env)
        status, output = run_under_wine(os.path.join(elsewhere, "hello.exe"), ":exit=9")
        self.assertEqual(status, 9, output)
        self.assertIn("hello from the packaged application\n", output)

    def test_the_example_uses_every_keyword_of_the_function(self):
        with open(os.path.join(self.prefix, "lib/cmake/onefile/OnefilePack.cmake")) as f:
            function = f.read()
        keywords = {"ENTRY", "FILES", "DIRECTORY"}
        for _, names in re.findall(r"set\((value|file|flag)_options ([^)]*)\)", function):
            keywords.update(names.split())
        self.assertGreater(len(keywords), 3, "no keyword lists found in OnefilePack.cmake")
        with open(os.path.join(CONSUMER, "CMakeLists.txt")) as f:
            code = "\n".join(line.split("#")[0] for line in f)
        call = re.search(r"onefile_add_executable\((.*?)\)\s*$", code, re.S | re.M)
        self.assertIsNotNone(call)
        used = set(re.findall(r"\b[A-Z_]+\b", call.group(1)))
        self.assertEqual(keywords - used, set(), "examples/consumer does not show these")


class DebianPackage(unittest.TestCase, ConsumerChecks):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="onefile-deb-test.")
        run(CPACK, "-G", "DEB", "-B", cls.work, "--config", os.path.join(BUILD, "CPackConfig.cmake"))
        cls.deb = os.path.join(cls.work, "onefile_%s_amd64.deb" % VERSION)
        cls.root = os.path.join(cls.work, "root")
        run("dpkg-deb", "-x", cls.deb, cls.root)
        cls.packer = os.path.join(cls.root, "usr", "bin", "onefile-pack")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).strip()

    def test_its_control_fields(self):
        self.assertEqual(self.field("Package"), "onefile")
        self.assertEqual(self.field("Version"), VERSION)
        self.assertEqual(self.field("Architecture"), "amd64")
        depends = {d.strip().split(" ")[0] for d in self.field("Depends").split(",")}
        # The driver the packer links with, and what dpkg-shlibdeps found.
        for package in ("g++-mingw-w64-x86-64-posix", "libzstd1", "libc6", "libstdc++6"):
            self.assertIn(package, depends)

    def test_it_lists_the_installed_tree_below_usr(self):
        listing = run("dpkg-deb", "-c", self.deb).splitlines()
        files = {}
        for line in listing:
            mode, owner, _, _, _, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", line)
            if not mode.startswith("d"):
                self.assertTrue(path.startswith("./usr/"), line)
                files[path[len("./usr/"):]] = mode
        self.assertEqual(normalised(files), INSTALLED_FILES)
        self.assertEqual(files["bin/onefile-pack"], "-rwxr-xr-x")

    def test_the_unpacked_packer_packs_the_example_and_it_runs(self):
        env = without_onefile_variables()
        self.assertTrue(run(self.packer, "--version", env=env).startswith(
            "onefile-pack %s (" % VERSION))
        stage = os.path.join(self.work, "hello")
        os.makedirs(os.path.join(stage, "plugins"))
        for name in ("hello.dll", "support.dll"):
            shutil.copy(os.path.join(WINDOWS_BIN, name), stage)
        shutil.copy(os.path.join(WINDOWS_BIN, "greeter.dll"), os.path.join(stage, "plugins"))
        output_exe = os.path.join(self.work, "hello.exe")
        run(self.packer, "build", stage, "--entry", "hello.dll", "--output", output_exe,
            "--level", "3", "--quiet", cwd=self.work, env=env)
        status, output = run_under_wine(output_exe, "one", ":plugin", ":exit=7")
        self.assertEqual(status, 7, output)
        self.assertIn('argv[1]="one"\n', output)
        self.assertRegex(output, r'\nplugin=".+"\n')

    def test_the_consumer_example_builds_against_the_unpacked_root(self):
        self.build_consumer(os.path.join(self.root, "usr"), os.path.join(self.work, "consumer"))
        self.check_consumer_runs(self.packer)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[1:]], verbosity=2)
