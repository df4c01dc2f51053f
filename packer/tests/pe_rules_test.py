#!/usr/bin/python3
"""Executables that onefile-pack writes, held against the rules that Windows'
loader enforces, as LLVM's llvm-readobj and GNU objdump read them (not the
packer's own reader): GUI, console and cached builds, one with its own
version texts, and builds whose read-only data ends just before, on and just
after a page and a file block, where the sections after it must move.

Usage: pe_rules_test.py [TestCase ...]   with ONEFILE_PACK naming the packer.
"""
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import pefile

PACKER = os.environ.get("ONEFILE_PACK", "onefile-pack")
OBJDUMP = "x86_64-w64-mingw32-objdump"
SECTION_INITIALISED_DATA = 0x40
SECTION_READABLE = 0x40000000


def align_up(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def read_image(path):
    """Headers, data directories and sections as llvm-readobj prints them."""
    result = subprocess.run(["llvm-readobj", "--file-headers", "--sections", path],
                            capture_output=True, text=True, check=True)
    assert result.stderr == "", result.stderr
    text = result.stdout

    def number(name, within=text):
        return int(re.search(r"^\s*%s: (0x[0-9A-F]+|\d+)" % name, within, re.M).group(1), 0)

    image = {name: number(name) for name in (
        "SectionAlignment", "FileAlignment", "SizeOfImage", "SizeOfHeaders", "OptionalHeaderSize",
        "SectionCount", "AddressOfNewExeHeader", "SizeOfInitializedData")}
    block = re.search(r"DataDirectory \{(.*?)\}", text, re.S).group(1)
    image["directories"] = {name: (int(rva, 16), int(size, 16)) for name, rva, size in re.findall(
        r"(\w+)RVA: (0x[0-9A-F]+)\s+\1Size: (0x[0-9A-F]+)", block)}
    image["sections"] = [{
        "name": re.search(r"Name: (\S+)", section).group(1),
        "address": number("VirtualAddress", section),
        "virtual": number("VirtualSize", section),
        "raw": number("RawDataSize", section),
        "offset": number("PointerToRawData", section),
        "flags": int(re.search(r"Characteristics \[ \((0x[0-9A-F]+)\)", section).group(1), 16),
    } for section in re.findall(r"Section \{(.*?)\n  \}", text, re.S)]
    return image


def objdump_sections(path):
    """(name, size, address, file offset) of each section, as objdump -h has them."""
    dump = subprocess.run([OBJDUMP, "-h", path], capture_output=True, text=True,
                          check=True).stdout
    return [(name, int(size, 16), int(vma, 16), int(offset, 16)) for name, size, vma, offset in
            re.findall(r"^\s+\d+ (\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+)",
                       dump, re.M)]


class Builds:
    """A scratch folder, an entry and a file of noise, and builds of them."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="onefile-pe-rules.")
        self.input = os.path.join(self.directory, "in")
        os.makedirs(self.input)
        # Noise packs into raw blocks, so the attached data grows byte for
        # byte with it; the entry need not be a library for these rules.
        with open(os.path.join(self.input, "app.dll"), "wb") as f:
            f.write(os.urandom(100))

    def remove(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def build(self, name, noise, *options):
        with open(os.path.join(self.input, "noise.bin"), "wb") as f:
            f.write(os.urandom(noise))
        path = os.path.join(self.directory, name)
        subprocess.run([PACKER, "build", self.input, "--entry", "app.dll", "--output", path,
                        "--quiet", "--no-entry-check", "--level", "1", "--window-log", "17",
                        *options], check=True)
        return path


def attached(path):
    info = json.loads(subprocess.run([PACKER, "info", "--json", path], capture_output=True,
                                     text=True, check=True).stdout)
    return info["attachedData"]["offset"], info["attachedData"]["size"]


class PeRules(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.builds = Builds()
        cls.executables = {
            "GUI": cls.builds.build("gui.exe", 5000),
            "console": cls.builds.build("console.exe", 5000, "--console"),
            "cached": cls.builds.build("cached.exe", 5000, "--cache", "--product", "Cached",
                                       "--target-dir", "{TEMP}\\cache"),
            "named": cls.builds.build("named.exe", 5000, "--console", "--company", "A Company",
                                      "--product", "A Product", "--version", "1.2.3.4"),
        }
        # Where the read-only data ends for 5000 bytes of noise, and the
        # noise that makes it end at each place around the next page.
        probe = cls.executables["GUI"]
        offset, length = attached(probe)
        rdata = next(s for s in read_image(probe)["sections"] if s["name"] == ".rdata")
        start = rdata["address"] + offset - rdata["offset"]
        page = align_up(start + length, 0x1000) + 0x1000
        cls.ends = {"page-1": page - 1, "page": page, "page+1": page + 1,
                    "block": page + 0x200, "block+1": page + 0x201}
        for name, end in cls.ends.items():
            cls.executables[name] = cls.builds.build(name + ".exe", 5000 + end - (start + length))

    @classmethod
    def tearDownClass(cls):
        cls.builds.remove()

    def for_each(self, check):
        """check(name, path, image) for every executable, as a subtest."""
        for name, path in self.executables.items():
            with self.subTest(name):
                check(name, path, read_image(path))

    def test_the_attached_data_ends_the_read_only_data_whole(self):
        def check(name, path, image):
            offset, length = attached(path)
            rdata = next(s for s in image["sections"] if s["name"] == ".rdata")
            end = rdata["address"] + offset - rdata["offset"] + length
            self.assertEqual(end, rdata["address"] + rdata["virtual"])
            # In the file, not left to the zeros that the loader adds.
            self.assertLessEqual(offset + length, rdata["offset"] + rdata["raw"])
            if name in self.ends:
                self.assertEqual(end, self.ends[name])  # so the builds cover those places
            subprocess.run([PACKER, "list", path], capture_output=True, check=True)
        self.for_each(check)

    def test_sections_are_aligned_ascending_and_apart_in_memory_and_in_the_file(self):
        def check(name, path, image):
            section_alignment, file_alignment = image["SectionAlignment"], image["FileAlignment"]
            self.assertEqual(file_alignment & (file_alignment - 1), 0)
            self.assertEqual(section_alignment % file_alignment, 0)
            sections = image["sections"]
            self.assertEqual(len(sections), image["SectionCount"])
            self.assertEqual([s["name"] for s in sections][-3:], [".rdata", ".rsrc", ".reloc"])
            memory_end = align_up(image["SizeOfHeaders"], section_alignment)
            file_end = image["SizeOfHeaders"]
            for section in sections:
                self.assertEqual(section["address"] % section_alignment, 0, section)
                self.assertGreaterEqual(section["address"], memory_end, section)
                memory_end = section["address"] + align_up(section["virtual"], section_alignment)
                self.assertEqual(section["raw"] % file_alignment, 0, section)
                if section["raw"]:
                    self.assertEqual(section["offset"] % file_alignment, 0, section)
                    self.assertGreaterEqual(section["offset"], file_end, section)
                    file_end = section["offset"] + section["raw"]
            self.assertEqual(file_end, os.path.getsize(path))
            self.assertEqual(image["SizeOfImage"], memory_end)
            self.assertEqual(image["SizeOfImage"] % section_alignment, 0)
        self.for_each(check)

    def test_the_read_only_data_starts_on_a_page_in_the_file_right_after_the_section_before(self):
        # Only then can a loader map the attached data from the file (Wine
        # reads a section that starts elsewhere into memory whole); the
        # padding before it belongs to the section before, within its last
        # page, where a signature's hash covers it and the loader maps nothing
        # more.
        def check(name, path, image):
            page = image["SectionAlignment"]
            sections = [s for s in image["sections"] if s["raw"]]
            index = [s["name"] for s in sections].index(".rdata")
            rdata, before = sections[index], sections[index - 1]
            self.assertEqual(rdata["offset"] % page, 0)
            self.assertEqual(before["offset"] + before["raw"], rdata["offset"])
            self.assertLessEqual(before["raw"], align_up(before["virtual"], page))
        self.for_each(check)

    def test_the_headers_size_holds_the_headers_rounded_to_a_file_block(self):
        def check(name, path, image):
            headers = (image["AddressOfNewExeHeader"] + 4 + 20 + image["OptionalHeaderSize"] +
                       40 * image["SectionCount"])
            self.assertEqual(image["SizeOfHeaders"], align_up(headers, image["FileAlignment"]))
            self.assertLessEqual(image["SizeOfHeaders"],
                                 min(s["offset"] for s in image["sections"] if s["raw"]))
        self.for_each(check)

    def test_every_section_is_readable_and_the_initialised_data_counts_the_resources(self):
        def check(name, path, image):
            sections = image["sections"]
            for section in sections:
                self.assertTrue(section["flags"] & SECTION_READABLE, section)
            rsrc = next(s for s in sections if s["name"] == ".rsrc")
            self.assertTrue(rsrc["flags"] & SECTION_INITIALISED_DATA, rsrc)
            # As the linker counts it: the file's bytes of every section
            # flagged as holding initialised data.
            self.assertEqual(image["SizeOfInitializedData"], sum(
                s["raw"] for s in sections if s["flags"] & SECTION_INITIALISED_DATA))
        self.for_each(check)

    def test_every_data_directory_lies_inside_one_section(self):
        def check(name, path, image):
            sections = image["sections"]
            for directory, (address, size) in image["directories"].items():
                if address == 0 and size == 0 or directory == "CertificateTable":
                    continue
                holders = [s["name"] for s in sections
                           if s["address"] <= address and address + size <=
                           s["address"] + s["virtual"]]
                self.assertEqual(len(holders), 1, directory)
                if directory == "ResourceTable":
                    self.assertEqual(holders, [".rsrc"])
                if directory == "BaseRelocationTable":
                    self.assertEqual(holders, [".reloc"])
        self.for_each(check)

    def test_objdump_reads_the_same_sections_and_pefile_the_same_checksum(self):
        def check(name, path, image):
            self.assertEqual(objdump_sections(path), [
                (s["name"], min(s["virtual"], s["raw"]) if s["raw"] else s["virtual"],
                 0x140000000 + s["address"], s["offset"]) for s in image["sections"]])
            pe = pefile.PE(path, fast_load=True)
            self.assertNotEqual(pe.OPTIONAL_HEADER.CheckSum, 0)
            self.assertTrue(pe.verify_checksum())
            pe.close()
        self.for_each(check)

    def test_the_resources_and_relocations_read_back_whole(self):
        def check(name, path, image):
            result = subprocess.run(["llvm-readobj", "--coff-resources", "--coff-basereloc", path],
                                    capture_output=True, text=True, check=True)
            self.assertEqual(result.stderr, "")
            self.assertIn("Total Number of Resources: 10\n", result.stdout)
            # Each icon's data, found through its address, is a PNG image.
            self.assertEqual(result.stdout.count("0000: 89504E47 0D0A1A0A"), 7)
            self.assertIn("Type: DIR64", result.stdout)
        self.for_each(check)


if __name__ == "__main__":
    unittest.main(verbosity=2)
