#!/usr/bin/python3
"""onefile-pack.exe, the packer for Windows, under Wine, against the host's
packer and as a Windows user runs it: the same bytes from the same tree,
paths in every Windows form, an interrupt that leaves nothing, executables
that run and leave nothing, system imports only, and its console output.
(The packer's own tests of what it does run against it too: the
WindowsPacker.* tests.)

Usage: windows_packer_test.py [TestCase ...] with ONEFILE_PACK (the host's
packer), ONEFILE_PACK_EXE (onefile-pack.exe), ONEFILE_WINE_RUN, WINEPREFIX,
ONEFILE_WINDOWS_BIN (the example's libraries and console_harness.exe) and
ONEFILE_ICON (a PNG) in the environment.
"""
import os
import pty
import re
import select
import shutil
import subprocess
import tempfile
import termios
import time
import unittest

import pefile

HOST_PACKER = os.environ.get("ONEFILE_PACK", "")
WINDOWS_PACKER = os.environ.get("ONEFILE_PACK_EXE", "")
WINE_RUN = os.environ.get("ONEFILE_WINE_RUN", "")
WINDOWS_BIN = os.environ.get("ONEFILE_WINDOWS_BIN", "")
ICON = os.environ.get("ONEFILE_ICON", "")
# Without a UTF-8 locale Wine mangles names beyond ASCII.
WINE_ENVIRONMENT = dict(os.environ, LC_ALL="C.UTF-8")

STATUS_CONTROL_C_EXIT = 0xC000013A
SYSTEM_LIBRARIES = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "user32.dll", "shell32.dll",
                    "ntdll.dll", "bcrypt.dll", "ole32.dll"}


def windows_path(path):
    """A host path as Windows names it under Wine: on drive Z:, "\\" between names."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(*command, cwd=None, timeout=300):
    """Exit status and output of a Windows program, read through a file: a
    Wine helper process may hold a pipe open long after the program ends."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run([WINE_RUN, *command], stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err, cwd=cwd, env=WINE_ENVIRONMENT,
                                timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        return status, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")


def host(*command, cwd=None):
    result = subprocess.run([HOST_PACKER, *command], capture_output=True, text=True, cwd=cwd)
    return result.returncode, result.stdout, result.stderr


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def hello_tree(folder):
    """The example application: its entry, the library it imports, its plug-in."""
    for name in ("hello.dll", "support.dll", "plugins/greeter.dll"):
        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
        shutil.copy(os.path.join(WINDOWS_BIN, os.path.basename(name)), os.path.join(folder, name))


class Scratch(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="onefile-windows-packer.")
        self.addCleanup(shutil.rmtree, self.work, True)

    def path(self, *names):
        return os.path.join(self.work, *names)


class SameBytes(Scratch):
    """Both packers make the same bytes of the same tree and options, whatever
    form of path the Windows one is given."""

    def setUp(self):
        super().setUp()
        hello_tree(self.path("in"))
        # Names beyond ASCII in nested folders, and two that sort one way as
        # UTF-8 and the other as UTF-16 (U+1F600 is a surrogate pair there).
        write(self.path("in", "données", "ünï", "näme.txt"), b"nested\n")
        write(self.path("in", "données", "😀 smile.txt"), b"after U+FF21 in UTF-8\n")
        write(self.path("in", "données", "\uff21 wide.txt"), b"after U+1F600 in UTF-16\n")
        write(self.path("in", "données", "empty"), b"")
        write(self.path("in", "Zeta", "deeper", "still", "data.bin"), bytes(range(256)) * 300)

    def check(self, command, *options, windows_input=None, windows_output=None):
        """Packs with both, the Windows packer given `windows_input` and
        `windows_output` (relative to the scratch folder: the same text as the
        host's by default), and compares the results."""
        for name in ("host", "windows"):
            os.makedirs(self.path(name), exist_ok=True)
        output = "App.exe" if command == "build" else "App.bin"
        arguments = [command, "in", "--entry", "hello.dll", "--level", "3", *options]
        status, _, err = host(*arguments, "--output", "host/" + output, cwd=self.work)
        self.assertEqual(status, 0, err)
        status, _, err = wine(WINDOWS_PACKER, *arguments[:1], windows_input or "in",
                              *arguments[2:], "--output",
                              windows_output or "windows/" + output, cwd=self.work)
        self.assertEqual(status, 0, err)
        # What was written, in one line, and nothing else.
        self.assertRegex(err, r"^onefile-pack: wrote '[^\n]*' \(\d+ bytes\): \d+ files, the "
                              r"entry 'hello.dll'\n$")
        made = read(self.path("windows", output))
        self.assertTrue(made == read(self.path("host", output)), " ".join(arguments))
        return output

    def product_options(self):
        return ("--company", "Zébrik Ünïcode 公司", "--product", "Mini Ĉeĥo", "--version",
                "1.2.3", "--icon", ICON)

    def test_a_gui_build_with_the_product_options_and_an_icon(self):
        output = self.check("build", *self.product_options())
        # The inspecting commands read it alike, in the same JSON.
        for command in (["list", "--json"], ["info", "--json"], ["list"], ["verify"]):
            host_status, host_out, _ = host(*command, "host/" + output, cwd=self.work)
            status, out, err = wine(WINDOWS_PACKER, *command, "host/" + output, cwd=self.work)
            self.assertEqual((status, out), (host_status, host_out), err)

    def test_a_console_build(self):
        self.check("build", "--console", *self.product_options())

    def test_a_cached_build(self):
        self.check("build", "--cache", "--target-dir", "{CACHE_DIR}\\Zébrik\\{PRODUCT}",
                   "--keep-other-versions", *self.product_options())

    def test_attached_data_alone_and_with_exclusions(self):
        output = self.check("archive", "--exclude", "DONNÉES/ÜNÏ", "--window-log", "16")
        _, listed, _ = host("list", "host/" + output, cwd=self.work)
        self.assertNotIn("näme.txt", listed)  # folded as Windows folds names
        self.assertIn("😀 smile.txt", listed)

    def test_paths_with_drive_letters_backslashes_and_the_verbatim_form(self):
        self.check("build", windows_input=windows_path(self.path("in")),
                   windows_output=windows_path(self.path("windows", "App.exe")))
        self.check("build", windows_input="in\\", windows_output="windows\\App.exe")
        self.check("build", windows_input="\\\\?\\" + windows_path(self.path("in")),
                   windows_output=windows_path(self.path("windows", "App.exe")).replace(
                       "\\", "/"))

    def test_paths_longer_than_260_characters(self):
        deep = self.path("in", *["folder-%02d-of-a-deep-input-tree" % i for i in range(10)])
        write(os.path.join(deep, "deep.txt"), b"far below\n")
        output_folder = self.path("windows", *["out-%02d-%s" % (i, "o" * 40) for i in range(6)])
        os.makedirs(output_folder)
        self.assertGreater(len(windows_path(deep)), 300)
        status, _, err = wine(WINDOWS_PACKER, "build", windows_path(self.path("in")), "--entry",
                              "hello.dll", "--level", "3", "--output",
                              windows_path(os.path.join(output_folder, "App.exe")))
        self.assertEqual(status, 0, err)
        status, _, err = host("build", self.path("in"), "--entry", "hello.dll", "--level", "3",
                              "--output", self.path("App.exe"))
        self.assertEqual(status, 0, err)
        self.assertTrue(read(os.path.join(output_folder, "App.exe")) == read(self.path("App.exe")))
        # And back out, into a folder as deep.
        status, _, err = wine(WINDOWS_PACKER, "extract", windows_path(self.path("App.exe")),
                              windows_path(os.path.join(output_folder, "tree")))
        self.assertEqual(status, 0, err)
        self.assertEqual(read(os.path.join(output_folder, "tree", os.path.relpath(
            deep, self.path("in")), "deep.txt")), b"far below\n")


class Interrupt(Scratch):
    """Ctrl-C on the packer's console while it packs: it ends as an
    interrupted console program does, and no temporary file stays. (Wine
    delivers no other console event; Ctrl-Break and closing the console take
    the same handler.)"""

    def test_ctrl_c(self):
        write(self.path("in", "app.dll"), os.urandom(8 << 20))  # seconds of work at level 19
        os.makedirs(self.path("out"))
        harness = os.path.join(WINDOWS_BIN, "console_harness.exe")
        status, report, err = wine(
            harness, "found:" + windows_path(self.path("out")) + "\\.App.exe.tmp-*",
            WINDOWS_PACKER, "build", windows_path(self.path("in")), "--entry", "app.dll",
            "--output", windows_path(self.path("out", "App.exe")), "--no-entry-check", "--level",
            "19", "--threads", "1")
        self.assertEqual(status, 0, report + err)
        self.assertIn("parent-status=0x%x\n" % STATUS_CONTROL_C_EXIT, report)
        self.assertEqual(os.listdir(self.path("out")), [])


class WrittenExecutables(Scratch):
    """What onefile-pack.exe writes runs under Wine, and leaves nothing in
    %TEMP%."""

    def test_a_gui_and_a_console_build_run_and_leave_nothing(self):
        hello_tree(self.path("in"))
        for options in ([], ["--console"]):
            output = self.path("hello.exe")
            status, _, err = wine(WINDOWS_PACKER, "build", windows_path(self.path("in")),
                                  "--entry", "hello.dll", "--output", windows_path(output),
                                  "--level", "3", *options)
            self.assertEqual(status, 0, err)
            # A TEMP of its own: other tests run in the same prefix at the
            # same time, and their folders come and go in the shared one.
            temp = self.path("temp")
            os.makedirs(temp, exist_ok=True)
            status, out, err = wine(os.path.join(WINDOWS_BIN, "with_temp.exe"),
                                    windows_path(temp), windows_path(output), "one", ":plugin",
                                    ":exit=7")
            self.assertEqual(status, 0, out + err)
            self.assertIn("status=0x7\n", out.replace("\r", ""), out + err)
            self.assertIn('argv[1]="one"', out)
            self.assertIn('plugin="greetings from plugins\\\\greeter.dll"', out)
            self.assertEqual(os.listdir(temp), [], options)


class Image(unittest.TestCase):
    """onefile-pack.exe itself: statically linked, long-path aware, versioned."""

    def test_it_imports_system_libraries_only(self):
        pe = pefile.PE(WINDOWS_PACKER)
        imported = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
        self.assertTrue(imported)
        self.assertLessEqual(imported, SYSTEM_LIBRARIES)
        delayed = getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
        self.assertEqual([entry.dll for entry in delayed], [])

    def test_its_manifest_is_long_path_aware_and_its_version_the_projects(self):
        pe = pefile.PE(WINDOWS_PACKER)
        manifest = None
        for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]:
                data = kind.directory.entries[0].directory.entries[0].data.struct
                manifest = pe.get_data(data.OffsetToData, data.Size).decode()
        self.assertIsNotNone(manifest)
        self.assertIn("<longPathAware", manifest)
        self.assertIn(">true</longPathAware>", manifest)
        self.assertIn('level="asInvoker"', manifest)
        _, version, _ = host("--version")
        strings = {key.decode(): value.decode()
                   for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
                   for table in info.StringTable for key, value in table.entries.items()}
        self.assertEqual("onefile-pack " + strings["ProductVersion"], version.split(" (")[0])
        self.assertEqual(strings["OriginalFilename"], "onefile-pack.exe")


def on_a_terminal(*command, no_color=None, error_file=None):
    """What a Windows program writes on a console, with a pseudo-terminal as
    Wine's console: the bytes Wine shows there. NO_COLOR is set to `no_color`
    if given; standard error goes to `error_file` if given."""
    child, terminal = pty.fork()
    if child == 0:
        if error_file:
            os.dup2(os.open(error_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 2)
        # Wide enough that Wine's console breaks no line.
        termios.tcsetwinsize(0, (50, 400))
        os.environ.update(WINE_ENVIRONMENT, TERM="xterm")
        os.environ.pop("NO_COLOR", None)
        if no_color is not None:
            os.environ["NO_COLOR"] = no_color
        os.execv(WINE_RUN, [WINE_RUN, *command])
    shown = b""
    deadline = time.time() + 120
    while time.time() < deadline:
        ready, _, _ = select.select([terminal], [], [], 0.2)
        try:
            data = os.read(terminal, 65536) if ready else b""
        except OSError:
            break
        shown += data
        if not ready and os.waitpid(child, os.WNOHANG)[0]:
            break
    os.close(terminal)
    return shown.decode("utf-8", "replace")


class Console(Scratch):
    """On a console: every name as it is and coloured labels; redirected:
    plain lines, the same as the host packer's."""

    def setUp(self):
        super().setUp()
        write(self.path("in", "app.dll"), os.urandom(8 << 20))  # seconds of work at level 19
        write(self.path("in", "données", "trailing."), b"a name Windows drops the dot of\n")

    def test_an_error_shows_its_names_and_a_coloured_label_unless_colours_are_unwanted(self):
        arguments = ["build", windows_path(self.path("in")), "--entry", "app.dll", "--output",
                     windows_path(self.path("App.exe"))]
        shown = on_a_terminal(WINDOWS_PACKER, *arguments)
        self.assertIn("\x1b[1;31merror: \x1b[0m", shown)
        self.assertIn("'données/trailing.': the name 'trailing.' ends in a dot", shown)
        shown = on_a_terminal(WINDOWS_PACKER, *arguments, no_color="1")
        self.assertIn("onefile-pack: error: ", shown)
        self.assertNotIn("\x1b[1;31m", shown)

    def test_redirected_it_writes_plain_lines_as_the_host_packer_does(self):
        arguments = ["archive", "in", "--entry", "app.dll", "--output", "App.bin"]
        _, _, expected = host(*arguments, cwd=self.work)
        status, out, err = wine(WINDOWS_PACKER, *arguments, cwd=self.work)
        self.assertEqual((status, out, err), (1, "", expected))
        self.assertNotIn("\x1b", err)
        # Standard error alone redirected, standard output still a console.
        on_a_terminal(WINDOWS_PACKER, "archive", windows_path(self.path("in")), "--entry",
                      "app.dll", "--output", windows_path(self.path("App.bin")),
                      error_file=self.path("err.txt"))
        self.assertEqual(read(self.path("err.txt")).decode(), expected)

    def test_progress_is_drawn_on_a_console_and_given_in_lines_otherwise(self):
        os.remove(self.path("in", "données", "trailing."))
        arguments = ["archive", windows_path(self.path("in")), "--entry", "app.dll", "--level",
                     "19", "--threads", "1", "--progress"]
        shown = on_a_terminal(WINDOWS_PACKER, *arguments, "--output",
                              windows_path(self.path("a.bin")))
        # Drawn over in place as the work goes on (Wine adds its own cursor codes).
        drawn = re.sub("\x1b\\[[0-9;?]*[A-Za-z]", "", shown)
        self.assertIn("\ronefile-pack: compressing 100% (8.0 of 8.0 MiB)", drawn)
        self.assertGreater(drawn.count("compressing "), 3, drawn)
        status, _, err = wine(WINDOWS_PACKER, *arguments, "--output",
                              windows_path(self.path("b.bin")))
        self.assertEqual(status, 0, err)
        # Progress lines, then the line of what was written.
        lines = err.splitlines()
        self.assertTrue(lines[-1].startswith("onefile-pack: wrote "), err)
        lines = lines[:-1]
        self.assertTrue(lines and all(line.startswith("onefile-pack: compressing ")
                                      for line in lines), err)
        self.assertEqual(lines[-1], "onefile-pack: compressing 100% (8.0 of 8.0 MiB)")


if __name__ == "__main__":
    unittest.main(verbosity=2)
