#!/usr/bin/python3
"""The benchmark's own machinery, which a full run would only show wrong after
half an hour: caxa executables read back the way caxa's stub reads them, NSIS
strings, the count of what runs leave behind, memory sampling of a real
process, and the packer options that decide which rows are measured.

Usage: bench_test.py [TestCase ...]   with ONEFILE_PACK naming the packer.
"""
import gzip
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import textwrap
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import bench  # noqa: E402
import measure  # noqa: E402
import peers  # noqa: E402

PACKER = os.environ.get("ONEFILE_PACK", "onefile-pack")
MiB = 1 << 20


class Scratch(unittest.TestCase):
    def setUp(self):
        self.directory = Path(tempfile.mkdtemp(prefix="onefile-bench-test."))
        self.addCleanup(shutil.rmtree, self.directory, True)

    def write(self, relative, data=b"x"):
        path = self.directory / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path


def read_caxa(executable):
    """What caxa's stub takes from an executable: the footer after the last
    "\\n", the archive from the first separator on up to that "\\n"."""
    footer_at = executable.rindex(b"\n")
    footer = json.loads(executable[footer_at + 1:])
    archive_at = executable.index(peers.CAXA_ARCHIVE_SEPARATOR) + len(peers.CAXA_ARCHIVE_SEPARATOR)
    return footer, executable[archive_at:footer_at]


class Caxa(Scratch):
    STUB = b"MZ stand-in for the Go stub" + peers.CAXA_ARCHIVE_SEPARATOR

    def payload(self):
        self.write("payload/hello.dll", b"entry")
        self.write("payload/plugins/greeter.dll", b"plug-in")
        return self.directory / "payload", self.write("bin/plain_loader.exe", b"loader")

    def test_executable_reads_back_as_the_stub_reads_it(self):
        payload, loader = self.payload()
        archive = self.directory / "payload.tar.gz"
        bench.caxa_archive(payload, loader, archive)
        stub = self.write("stub", self.STUB)
        output = self.directory / "app.exe"
        identifier = peers.caxa_identifier("app")
        peers.write_caxa(stub, archive, output, identifier, peers.caxa_command("hello.dll"))

        data = output.read_bytes()
        self.assertTrue(data.startswith(self.STUB))
        footer, compressed = read_caxa(data)
        self.assertEqual(footer["identifier"], identifier)
        self.assertEqual(footer["uncompressionMessage"], "")
        # The stub runs the command with {{caxa}} replaced by its folder.
        folder = r"C:\Temp/caxa/applications/app/x/0"
        command = [re.sub(r"\{\{\s*caxa\s*\}\}", lambda _: folder, part) for part in footer["command"]]
        self.assertEqual(command, [folder + "/plain_loader.exe", folder, "hello.dll"])
        with tarfile.open(fileobj=io.BytesIO(gzip.decompress(compressed))) as tar:
            members = {m.name: m for m in tar.getmembers()}
            self.assertEqual(tar.extractfile(members["./hello.dll"]).read(), b"entry")
            self.assertEqual(tar.extractfile(members["./plugins/greeter.dll"]).read(), b"plug-in")
            self.assertEqual(tar.extractfile(members["./plain_loader.exe"]).read(), b"loader")

    def test_footer_holds_no_line_break_whatever_the_command(self):
        archive = self.write("empty.tar.gz", gzip.compress(b"\0" * 1024))
        output = self.directory / "app.exe"
        command = ["{{caxa}}/a\nb.exe", "Z\u00e9brik \u516c\u53f8"]
        peers.write_caxa(self.write("stub", self.STUB), archive, output, "n/1", command)
        footer, compressed = read_caxa(output.read_bytes())
        self.assertEqual(footer["command"], command)
        self.assertEqual(gzip.decompress(compressed), b"\0" * 1024)

    def test_a_stub_without_the_separator_is_refused(self):
        archive = self.write("empty.tar.gz", gzip.compress(b""))
        with self.assertRaises(ValueError):
            peers.write_caxa(self.write("stub", b"MZ no separator\n"), archive,
                             self.directory / "app.exe", "n/1", ["x"])

    def test_identifiers_are_new_for_every_build(self):
        first, second = peers.caxa_identifier("large"), peers.caxa_identifier("large")
        self.assertRegex(first, r"^large/[a-z0-9]{10}$")
        self.assertNotEqual(first, second)


class Nsis(Scratch):
    def test_paths_go_in_a_quote_they_do_not_hold(self):
        self.assertEqual(peers.nsis_literal("/tmp/$HOME/x"), '"/tmp/$HOME/x"')
        self.assertEqual(peers.nsis_literal('/a "b"'), "'/a \"b\"'")
        self.assertEqual(peers.nsis_literal("""/a "b" 'c'"""), """`/a "b" 'c'`""")
        for text in ("two\nlines", "/a/${NSISDIR}", "/a/$(lang)", """/"'`"""):
            with self.assertRaises(ValueError, msg=text):
                peers.nsis_literal(text)

    def test_run_time_text_keeps_its_dollars(self):
        self.assertEqual(peers.nsis_run_time("a$0.dll"), "a$$0.dll")
        for text in ('a".dll', "it's.dll", "a\n.dll"):
            with self.assertRaises(ValueError, msg=text):
                peers.nsis_run_time(text)
        with self.assertRaises(ValueError):
            peers.nsis_script("bzip2", "/p", "/l.exe", "hello.dll", "/o.exe")

    @unittest.skipUnless(shutil.which("makensis"), "makensis is not installed (scripts/bench installs it)")
    def test_script_compiles_to_a_64_bit_installer(self):
        # Names with a dollar and each kind of quote reach makensis as they are.
        for compressor, folder in zip(peers.NSIS_COMPRESSORS, ("pay $load's", 'pay "$load"')):
            self.write(f"{folder}/hello.dll", b"entry" * 100)
            self.write(f"{folder}/data/notes.txt", b"notes" * 100)
            loader = self.write(f"{folder} bin/plain_loader.exe", b"loader")
            output = self.directory / f"out {compressor}.exe"
            script = self.write(f"{compressor}.nsi", peers.nsis_script(
                compressor, self.directory / folder, loader, "hello.dll", output).encode())
            result = subprocess.run(["makensis", "-V4", str(script)], capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            packed = re.findall(r'^File: "([^"]+)" (?:\[compress\] )?\d+ bytes', result.stdout, re.MULTILINE)
            self.assertEqual(sorted(packed), ["hello.dll", "notes.txt", "plain_loader.exe"])
            image = output.read_bytes()
            pe = int.from_bytes(image[0x3C:0x40], "little")
            self.assertEqual(image[pe:pe + 4], b"PE\0\0")
            self.assertEqual(int.from_bytes(image[pe + 4:pe + 6], "little"), 0x8664)  # x64


class Leftovers(Scratch):
    def test_new_entries_are_the_outermost_new_paths(self):
        before = {"keep", "keep/old.txt"}
        after = before | {"keep/new.txt", "ns1.tmp", "ns1.tmp/app", "ns1.tmp/app/a.dll", "caxa"}
        self.assertEqual(measure.new_entries(before, after), ["caxa", "keep/new.txt", "ns1.tmp"])

    def test_what_a_run_makes_is_counted_then_removed(self):
        self.write("temp/earlier.txt")
        temp = self.directory / "temp"
        left = measure.Leftovers(temp)

        def run():
            self.write("temp/ns1.tmp/app/a.dll", b"1234")
            self.write("temp/ns1.tmp/app/b.dll", b"56")
            self.write("temp/stray.txt", b"7")
            return "status"

        self.assertEqual(left.around(run), "status")
        self.assertEqual(left.around(lambda: None), None)
        self.assertEqual(sorted(left.entries), [("ns1.tmp", 2, 6), ("stray.txt", 1, 1)])
        self.assertEqual((left.runs, left.dirty_runs), (2, 1))
        self.assertEqual(sorted(p.name for p in temp.iterdir()), ["earlier.txt"])
        self.assertIn("1 of 2 runs left 2 entries, 3 files", left.describe())

    def test_a_failing_run_is_counted_too(self):
        temp = self.directory / "temp"
        temp.mkdir()
        left = measure.Leftovers(temp)

        def run():
            self.write("temp/onefile_1/x")
            raise SystemExit("failed")

        with self.assertRaises(SystemExit):
            left.around(run)
        self.assertEqual([e[0] for e in left.entries], ["onefile_1"])
        self.assertEqual(list(temp.iterdir()), [])

    def test_a_cache_stays_until_released(self):
        temp = self.directory / "temp"
        self.write("temp/caxa/applications/other/0/a")
        left = measure.Leftovers(temp, keep=True)
        left.around(lambda: self.write("temp/caxa/applications/mine/0/a.dll", b"abc"))
        left.around(lambda: None)  # the cached run makes nothing new
        self.assertEqual(left.entries, [("caxa/applications/mine", 1, 3)])
        self.assertTrue((temp / "caxa/applications/mine/0/a.dll").exists())
        left.release()
        self.assertFalse((temp / "caxa/applications/mine").exists())
        self.assertTrue((temp / "caxa/applications/other/0/a").exists())
        merged = measure.Leftovers.merged([left, measure.Leftovers(temp)])
        self.assertIn("1 of 2 runs left 1 entry, 1 files", merged.describe())
        self.assertIn("kept from run to run", merged.describe())

    def test_nothing_left_says_so(self):
        self.assertEqual(measure.Leftovers(self.directory).describe(), "nothing, in 0 runs")


class Memory(Scratch):
    # Allocates and touches ANON MiB of its own memory and maps a FILE MiB
    # file, reads it whole, then waits to be sampled.
    CHILD = textwrap.dedent("""
        import mmap, sys, time
        anonymous = bytearray(int(sys.argv[1]) << 20)
        for i in range(0, len(anonymous), 4096):
            anonymous[i] = 1
        with open(sys.argv[2], "rb") as f:
            mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            total = sum(mapped[i] for i in range(0, len(mapped), 4096))
        print("ready", flush=True)
        time.sleep(0.5)
    """)

    def test_status_fields_in_bytes(self):
        text = ("Name:\twine64\nVmHWM:\t  204800 kB\nVmRSS:\t  102400 kB\nRssAnon:\t   51200 kB\n"
                "RssFile:\t   40960 kB\nRssShmem:\t   10240 kB\nThreads:\t3\n")
        self.assertEqual(measure.parse_status(text), {"VmHWM": 200 * MiB, "VmRSS": 100 * MiB,
                                                      "RssAnon": 50 * MiB, "RssFile": 40 * MiB})
        # An ended process (a zombie) shows no memory at all.
        self.assertEqual(measure.parse_status("Name:\tx\nState:\tZ (zombie)\n"), {})

    def test_peaks_of_the_started_process_through_an_exec(self):
        mapped = self.write("mapped.bin", os.urandom(1 << 16) * (24 * 16))  # 24 MiB
        child = self.write("child.py", self.CHILD.encode())
        # The sampled process is the shell's child, which execs Python as
        # wine-run execs Wine; the parent's own memory must not count.
        inner = f"exec '{sys.executable}' '{child}' 64 '{mapped}'"
        parent = subprocess.Popen(["sh", "-c", f'sh -c "{inner}"; true'], stdout=subprocess.PIPE)
        sampler = measure.MemorySampler(parent.pid)
        sampler.start()
        self.assertEqual(parent.stdout.readline().strip(), b"ready")
        parent.wait()
        sampler.stop()
        parent.stdout.close()
        self.assertGreater(sampler.samples, 10)
        self.assertGreaterEqual(sampler.peak["RssAnon"], 64 * MiB)
        self.assertLess(sampler.peak["RssAnon"], 160 * MiB)
        self.assertGreaterEqual(sampler.peak["RssFile"], 24 * MiB)

    @unittest.skipUnless(os.path.exists("/usr/bin/time"), "GNU time is not installed")
    def test_run_once_reports_peaks_and_refuses_an_unexpected_status(self):
        mapped = self.write("mapped.bin", b"\1" * (8 * MiB))
        sample = measure.run_once([sys.executable, "-c", self.CHILD, "48", str(mapped)],
                                  sample_memory=True)
        self.assertEqual(sample.output.strip(), b"ready")
        self.assertGreaterEqual(sample.peak_anon, 48 * MiB)
        self.assertGreaterEqual(sample.peak_rss, 48 * MiB)
        self.assertGreaterEqual(sample.peak_file, 8 * MiB)
        self.assertEqual(measure.run_once(["sh", "-c", "exit 7"], expect=7).status, 7)
        with self.assertRaises(SystemExit) as failure:
            measure.run_once(["sh", "-c", "echo oops; exit 3"], expect=7)
        self.assertIn("status 3, not 7", str(failure.exception))
        self.assertIn("oops", str(failure.exception))


class Options(unittest.TestCase):
    def test_options_of_the_real_packer_are_found(self):
        result = subprocess.run([PACKER, "build", "--help"], capture_output=True, text=True)
        found = bench.options_in_help(result.stdout + result.stderr)
        self.assertLessEqual({"--entry", "--output", "--level", "--threads", "--icon"}, found)

    def test_only_listed_options_count(self):
        text = "usage: x build DIR [options]\n\nPacks; see --cache elsewhere.\n\noptions:\n" \
               "  --window-log N     the window\n  --cache            unpack once\n"
        self.assertEqual(bench.options_in_help(text), {"--window-log", "--cache"})
        self.assertEqual(bench.options_in_help("no options here --cache\n"), set())

    def test_a_missing_option_is_a_row_not_measured(self):
        variant = bench.build_variant(PACKER, {"--level"}, "/nonexistent", "/tmp/x.exe", None,
                                      "--cache", ["--cache"])
        self.assertEqual(variant.missing, "this packer has no --cache")
        table = measure.Table()
        table.section("S")
        table.row("a row", [1.0, 2.0, 3.0], "s")
        table.not_measured("cached start", variant.missing)
        table.target("faster", "0.50 x", True)
        table.target("smaller", "1.20 x", False)
        lines = table.render().splitlines()
        self.assertIn("n/a", next(line for line in lines if "cached start" in line))
        self.assertIn("not measured: this packer has no --cache", table.render())
        self.assertIn("MISSED", next(line for line in lines if "smaller" in line))
        self.assertIn("met", next(line for line in lines if "faster" in line))

    def test_an_option_that_fails_is_a_row_not_measured(self):
        # The packer lists no such option; asked anyway, it refuses, and the
        # row says why instead of ending the benchmark.
        with tempfile.TemporaryDirectory() as directory:
            Path(directory, "hello.dll").write_bytes(b"MZ")
            variant = bench.build_variant(PACKER, {"--no-such-option"}, directory,
                                          Path(directory, "x.exe"), None, "--no-such-option",
                                          ["--no-such-option"])
        self.assertTrue(variant.missing.startswith("onefile-pack build --no-such-option failed:"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
