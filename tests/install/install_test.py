#!/usr/bin/python3
"""onefile installed and used as another project uses it: InstalledPrefix
(cmake --install into a temporary prefix, examples/consumer built against it),
DebianPackage (cpack -G DEB, listed with dpkg-deb -c and unpacked with
dpkg-deb -x into a temporary root, never installed) and WindowsZip (cpack -G
ZIP, the Windows packer unzipped and run under Wine). Packed programs run
under Wine.

Usage: install_test.py InstalledPrefix|DebianPackage|WindowsZip; tests/install/CMakeLists.txt
sets the ONEFILE_ variables read below, and WINEPREFIX.
"""
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

BUILD = os.environ["ONEFILE_BUILD"]
VERSION = os.environ["ONEFILE_VERSION"]
CMAKE = os.environ["ONEFILE_CMAKE"]
CPACK = os.environ["ONEFILE_CPACK"]
WINE_RUN = os.environ["ONEFILE_WINE_RUN"]
WINDOWS_BIN = os.environ["ONEFILE_WINDOWS_BIN"]
CONSUMER = os.path.join(os.environ["ONEFILE_SOURCE"], "examples", "consumer")

# Every file of an installation, below its prefix.
INSTALLED_FILES = {
    "bin/onefile-pack",
    "include/onefile/entry.h",
    *("lib/cmake/onefile/" + name for name in (
        "onefileConfig.cmake", "onefileConfigVersion.cmake", "onefileTargets.cmake",
        "onefileTargets-<config>.cmake", "OnefilePack.cmake", "mingw-w64.cmake")),
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
    """Exit status and output; the output goes through a file, as a Wine
    helper process may hold a pipe open long after the program ends."""
    with tempfile.TemporaryFile() as out:
        status = subprocess.run([WINE_RUN, program, *arguments], stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, timeout=120).returncode
        out.seek(0)
        return status, out.read().decode("utf-8", "replace").replace("\r\n", "\n")


def readme_entry_library_blocks(prefix):
    """The code of the README's "Writing the entry library": the fenced C and
    C++ blocks, the compiler's command line and the CMake lines, as printed,
    with the installation's prefix where the README writes PREFIX."""
    with open(os.path.join(os.environ["ONEFILE_SOURCE"], "README.md")) as f:
        section = f.read().split("\n## Writing the entry library\n")[1].split("\n## ")[0]
    blocks = dict(re.findall(r"^```(c|cpp)\n(.*?)^```$", section, re.S | re.M))
    unfenced = re.sub(r"^```.*?^```$", "", section, flags=re.S | re.M)
    indented = ["\n".join(line[4:] for line in block.split("\n")) for block in
                re.findall(r"(?:^    .*\n)+", unfenced, re.M)]
    for block in indented:
        if block.startswith("x86_64-w64-mingw32-g++-posix"):
            blocks["compile"] = block.replace("\\\n", " ").replace("PREFIX", prefix)
        elif block.startswith("find_package(onefile"):
            blocks["cmake"] = block
    return blocks


class Installed(unittest.TestCase):
    def pack_and_run_hello(self, packer, folder):
        """The hello example packed by `packer` (a program, or the command
        that starts it) from `folder`, with no ONEFILE_ variable, then run."""
        packer = [packer] if isinstance(packer, str) else packer
        os.makedirs(os.path.join(folder, "hello", "plugins"))
        for name in ("hello.dll", "support.dll", "plugins/greeter.dll"):
            shutil.copy(os.path.join(WINDOWS_BIN, os.path.basename(name)),
                        os.path.join(folder, "hello", name))
        env = without_onefile_variables()
        self.assertTrue(run(*packer, "--version", cwd=folder, env=env).startswith(
            "onefile-pack %s (zstd " % VERSION))
        run(*packer, "build", "hello", "--entry", "hello.dll", "--output", "hello.exe",
            "--level", "3", "--quiet", cwd=folder, env=env)
        status, output = run_under_wine(os.path.join(folder, "hello.exe"), "one", ":plugin",
                                        ":exit=7")
        self.assertEqual(status, 7, output)
        self.assertIn('argv[1]="one"\n', output)
        self.assertRegex(output, r'\nplugin=".+"\n')


class InstalledPrefix(Installed):
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
        found = {os.path.relpath(os.path.join(folder, f), self.prefix)
                 for folder, _, files in os.walk(self.prefix) for f in files}
        self.assertEqual(normalised(found), INSTALLED_FILES)

    def test_the_consumer_example_builds_against_it_and_runs(self):
        build = os.path.join(self.work, "consumer-build")
        configured = run(CMAKE, "-S", CONSUMER, "-B", build, "-DCMAKE_PREFIX_PATH=" + self.prefix,
                         "-DCMAKE_TOOLCHAIN_FILE=%s/lib/cmake/onefile/mingw-w64.cmake" % self.prefix,
                         env=without_onefile_variables())
        # This installation's package, whatever else the machine has.
        self.assertIn("onefile %s from %s/lib/cmake/onefile\n" % (VERSION, self.prefix), configured)
        run(CMAKE, "--build", build, env=without_onefile_variables())
        exe = os.path.join(build, "bin", "greeting.exe")

        # What the function's keywords put into the executable.
        info = json.loads(run(self.packer, "info", "--json", exe))
        self.assertEqual(info["product"],
                         {"company": "Example Company", "name": "Greeting", "version": "1.2.3.0"})
        self.assertEqual(info["targetDirectory"]["spec"],
                         "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\run_{PID}_{TIME_US}")
        self.assertEqual(info["frame"]["windowLog"], 16)
        self.assertEqual(info["entry"]["path"], "greeting.dll")
        # Packed with the dependency check: it needs nothing but the system.
        self.assertEqual(info["dependencies"]["problems"], [])
        self.assertEqual(info["options"], [])
        records = run(self.packer, "list", exe).splitlines()
        self.assertEqual(sorted(line.split()[-1] for line in records),
                         ["data\\message.txt", "greeting.dll", "settings\\greeting.ini"])

        status, output = run_under_wine(exe, "first", "two words", "exit=5")
        self.assertEqual(status, 5, output)
        library = re.search(r"^library: (C:\\users\\[^\\]+\\AppData\\Local\\Example Company\\"
                            r"Greeting\\run_\d+_\d{6})\\greeting\.dll$", output, re.M)
        self.assertIsNotNone(library, output)
        self.assertIn("argument 1: first\nargument 2: two words\nargument 3: exit=5\n"
                      "message: Hello from a data file packed beside the entry library.\n"
                      "setting: greeting=Good morning\n", output)
        run_directory = os.path.join(os.environ["WINEPREFIX"], "drive_c",
                                     *library.group(1)[3:].split("\\"))
        self.assertFalse(os.path.exists(run_directory), "left behind: " + run_directory)
        self.assertEqual(info["image"]["subsystem"], "console")

        # The cached build: unpacked by its first run, kept for the next.
        cached = os.path.join(build, "bin", "greeting_cached.exe")
        info = json.loads(run(self.packer, "info", "--json", cached))
        self.assertEqual(info["targetDirectory"]["mode"], "cached")
        self.assertEqual(info["options"], ["error-dialog", "progress-window", "keep-other-versions"])
        self.assertEqual(info["image"]["subsystem"], "GUI")
        cache = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "*", "AppData", "Local",
                             "Example Company", "Greeting", "cache",
                             info["targetDirectory"]["cache"]["id"])
        for folder in glob.glob(cache):
            shutil.rmtree(folder)
        for _ in range(2):
            status, output = run_under_wine(cached, "exit=6")
            self.assertEqual(status, 6, output)
            self.assertIn("message: Hello from a data file packed beside the entry library.\n",
                          output)
            self.assertEqual(len(glob.glob(os.path.join(cache, "greeting.dll"))), 1, output)

    def test_the_readmes_entry_library_examples_build_pack_and_run_as_printed(self):
        """The code of "Writing the entry library", taken from the README as
        it is printed: the C and C++ entries, the compiler's command line and
        the CMake lines, each built against this installation and run."""
        blocks = readme_entry_library_blocks(self.prefix)
        work = os.path.join(self.work, "readme")
        env = without_onefile_variables()

        def pack_and_run(folder, entry, *arguments):
            exe = os.path.join(work, entry.replace(".dll", ".exe"))
            run(self.packer, "build", folder, "--entry", entry, "--output", exe, "--level", "3",
                "--quiet")
            return run_under_wine(exe, *arguments)

        # The C entry, with the command line the README gives for C.
        c_folder = os.path.join(work, "c")
        os.makedirs(c_folder)
        with open(os.path.join(c_folder, "app.c"), "w") as f:
            f.write(blocks["c"])
        run(*blocks["compile"].replace("x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-gcc-posix")
            .replace("app.cpp", "app.c").split(), cwd=c_folder, env=env)
        os.remove(os.path.join(c_folder, "app.c"))
        status, output = pack_and_run(c_folder, "app.dll", "one")
        self.assertEqual(status, 1, output)
        self.assertRegex(output, r"^2 arguments, the first .*\\app\.exe, unpacked to "
                                 r".*\\onefile_[^\\]+\\app\.dll\n", output)

        # The C++ entry, with the README's compiler command line as printed.
        cxx_source = os.path.join(work, "source")
        os.makedirs(os.path.join(cxx_source, "data"))
        with open(os.path.join(cxx_source, "app.cpp"), "w") as f:
            f.write(blocks["cpp"])
        with open(os.path.join(cxx_source, "data", "settings.ini"), "w") as f:
            f.write("greeting=hello\nsecond=line\n")
        cxx_folder = os.path.join(work, "cxx")
        os.makedirs(os.path.join(cxx_folder, "data"))
        shutil.copy(os.path.join(cxx_source, "data", "settings.ini"),
                    os.path.join(cxx_folder, "data"))
        run(*blocks["compile"].split(), cwd=cxx_source, env=env)
        shutil.move(os.path.join(cxx_source, "app.dll"), os.path.join(cxx_folder, "app.dll"))
        status, output = pack_and_run(cxx_folder, "app.dll", "a", "b")
        self.assertEqual((status, output), (0, "2 arguments; the first setting: greeting=hello\n"))

        # The CMake lines, in a project of their own around the same source.
        with open(os.path.join(cxx_source, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.20)\nproject(app LANGUAGES CXX)\n" +
                    blocks["cmake"])
        build = os.path.join(work, "cmake-build")
        run(CMAKE, "-S", cxx_source, "-B", build, "-DCMAKE_PREFIX_PATH=" + self.prefix,
            "-DCMAKE_TOOLCHAIN_FILE=%s/lib/cmake/onefile/mingw-w64.cmake" % self.prefix, env=env)
        run(CMAKE, "--build", build, env=env)
        status, output = run_under_wine(os.path.join(build, "bin", "app.exe"))
        self.assertEqual((status, output), (0, "0 arguments; the first setting: greeting=hello\n"))

    def test_the_packer_works_from_elsewhere_through_a_link(self):
        elsewhere = os.path.join(self.work, "elsewhere")
        os.makedirs(elsewhere)
        link = os.path.join(elsewhere, "onefile-pack")
        os.symlink(self.packer, link)
        self.pack_and_run_hello(link, elsewhere)

    def test_the_example_uses_every_keyword_of_the_function(self):
        with open(os.path.join(self.prefix, "lib/cmake/onefile/OnefilePack.cmake")) as f:
            lists = re.findall(r"set\((?:value|file|flag|list)_options ([^)]*)\)", f.read())
        # A list is written as words, or quoted with ";" between them.
        keywords = {"ENTRY", "FILES", "DIRECTORY",
                    *re.split(r"[\s;]+", " ".join(lists).replace('"', "").strip())}
        self.assertGreater(len(keywords), 3, "no keyword lists found in OnefilePack.cmake")
        # What a sound application has no use for: packing an entry that
        # fails the checks, and libraries that it does not lack.
        keywords -= {"NO_ENTRY_CHECK", "ALLOW_MISSING"}
        with open(os.path.join(CONSUMER, "CMakeLists.txt")) as f:
            code = "\n".join(line.split("#")[0] for line in f)
        calls = re.findall(r"onefile_add_executable\((.*?)\)\s*$", code, re.S | re.M)
        used = set(re.findall(r"\b[A-Z_]+\b", " ".join(calls)))
        self.assertEqual(keywords - used, set(), "examples/consumer does not show these")
        # Its entry library is made by the package's function, from the header.
        self.assertRegex(code, r"onefile_add_entry_library\(greeting_entry ")
        with open(os.path.join(CONSUMER, "greeting.cpp")) as f:
            self.assertIn("#include <onefile/entry.h>", f.read())


class MadeByCpack(Installed):
    """What one of cpack's generators makes, in a folder of the test's own."""
    generator = ""
    file_name = ""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="onefile-cpack-test.")
        run(CPACK, "-G", cls.generator, "-B", cls.work, "--config",
            os.path.join(BUILD, "CPackConfig.cmake"))
        cls.made = os.path.join(cls.work, cls.file_name % VERSION)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)


class DebianPackage(MadeByCpack):
    generator = "DEB"
    file_name = "onefile_%s_amd64.deb"

    def test_its_control_fields(self):
        fields = dict(line.split(": ", 1) for line in run(
            "dpkg-deb", "-f", self.made, "Package", "Version", "Architecture",
            "Depends").splitlines())
        self.assertEqual((fields["Package"], fields["Version"], fields["Architecture"]),
                         ("onefile", VERSION, "amd64"))
        depends = {d.split()[0] for d in fields["Depends"].split(",")}
        # What dpkg-shlibdeps found, and no toolchain: the packer writes
        # executables itself.
        for package in ("libzstd1", "libc6", "libstdc++6"):
            self.assertIn(package, depends)
        self.assertEqual([d for d in depends if "mingw" in d or d.startswith(("g++", "gcc"))],
                         [], fields["Depends"])

    def test_it_holds_the_installed_tree_below_usr(self):
        files = {}
        for line in run("dpkg-deb", "-c", self.made).splitlines():
            mode, owner, _, _, _, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", line)
            if not mode.startswith("d"):
                self.assertTrue(path.startswith("./usr/"), line)
                files[path[len("./usr/"):]] = mode
        self.assertEqual(normalised(files), INSTALLED_FILES)
        self.assertEqual(files["bin/onefile-pack"], "-rwxr-xr-x")

    def test_the_packer_unpacked_from_it_packs_and_the_result_runs(self):
        root = os.path.join(self.work, "root")
        run("dpkg-deb", "-x", self.made, root)
        self.pack_and_run_hello(os.path.join(root, "usr", "bin", "onefile-pack"), self.work)


class WindowsZip(MadeByCpack):
    generator = "ZIP"
    file_name = "onefile-%s-win64.zip"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with zipfile.ZipFile(cls.made) as archive:
            cls.names = set(archive.namelist())
            archive.extractall(os.path.join(cls.work, "unzipped"))
        cls.folder = os.path.join(cls.work, "unzipped", "onefile-%s-win64" % VERSION)
        cls.packer = os.path.join(cls.folder, "bin", "onefile-pack.exe")

    def test_it_holds_the_windows_installation_in_a_folder_of_its_name(self):
        folder = "onefile-%s-win64/" % VERSION
        installed = {name.replace("bin/onefile-pack", "bin/onefile-pack.exe")
                     for name in INSTALLED_FILES}
        self.assertEqual(normalised(name[len(folder):] for name in self.names
                                    if not name.endswith("/")), installed)
        self.assertEqual([name for name in self.names if not name.startswith(folder)], [])

    def test_the_packer_unzipped_packs_and_the_result_runs(self):
        self.pack_and_run_hello([WINE_RUN, self.packer], self.work)

    def test_a_consumer_project_builds_against_the_unzipped_folder(self):
        """examples/consumer, configured against the unzipped folder alone (its
        CMake package, header and toolchain file) and built with the cross
        toolchain; its packer is the zip's onefile-pack.exe, run under Wine
        through a launcher that gives it Windows paths."""
        work = os.path.join(self.work, "consumer")
        os.makedirs(work)
        launcher = os.path.join(work, "onefile-pack")
        with open(launcher, "w") as f:
            f.write("#!/usr/bin/python3\nimport os, sys\n"
                    "args = ['Z:' + a if a.startswith('/') else a for a in sys.argv[1:]]\n"
                    "os.execv(%r, [%r, %r, *args])\n" % (WINE_RUN, WINE_RUN, self.packer))
        os.chmod(launcher, 0o755)
        # The example as it is, below a project that points the package's
        # packer at the launcher once it is found.
        with open(os.path.join(work, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.20)\nproject(zip_consumer LANGUAGES CXX)\n"
                    "find_package(onefile CONFIG REQUIRED)\n"
                    "set_target_properties(onefile::onefile-pack PROPERTIES IMPORTED_LOCATION %s"
                    " IMPORTED_LOCATION_RELEASE %s)\nadd_subdirectory(%s consumer)\n"
                    % (launcher, launcher, CONSUMER))
        build = os.path.join(work, "build")
        env = without_onefile_variables()
        configured = run(CMAKE, "-S", work, "-B", build, "-DCMAKE_PREFIX_PATH=" + self.folder,
                         "-DCMAKE_TOOLCHAIN_FILE=%s/lib/cmake/onefile/mingw-w64.cmake" % self.folder,
                         env=env)
        self.assertIn("onefile %s from %s/lib/cmake/onefile\n" % (VERSION, self.folder), configured)
        run(CMAKE, "--build", build, env=env)
        status, output = run_under_wine(os.path.join(build, "bin", "greeting.exe"), "first")
        self.assertEqual(status, 0, output)
        self.assertIn("argument 1: first\n"
                      "message: Hello from a data file packed beside the entry library.\n",
                      output)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[1:]], verbosity=2)
