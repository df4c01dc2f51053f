#!/usr/bin/python3
"""The executable image that onefile-pack build makes, read back with tools
of others: pefile for the headers and the resource directory, icoutils for
the icon group, Pillow for the PNG images and ElementTree for the manifest.

Usage: image_test.py [TestCase ...]   with ONEFILE_PACK naming the packer,
ONEFILE_RESOURCES the source tree's resources/ folder and ONEFILE_TEST_ENTRY
an entry library.
"""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

import pefile
from PIL import Image

PACKER = os.environ.get("ONEFILE_PACK", "onefile-pack")
RESOURCES = os.environ.get("ONEFILE_RESOURCES", "")
ENTRY = os.environ.get("ONEFILE_TEST_ENTRY", "")  # a DLL that exports run_code

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
ICON_SIZES = [16, 24, 32, 48, 64, 128, 256]

COMPANY = "Z\u00e9brik \u00dcn\u00efcode \u516c\u53f8 \U0001F600"
PRODUCT = "Mini \u0108e\u0125o \u88fd\u54c1"


class Build:
    """A scratch directory with a small input tree, and builds made from it."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="onefile-image-test.")
        self.input = os.path.join(self.directory, "in")
        os.makedirs(os.path.join(self.input, "data"))
        shutil.copyfile(ENTRY, os.path.join(self.input, "app.dll"))
        with open(os.path.join(self.input, "data", "notes.txt"), "wb") as f:
            f.write(b"packed beside the entry\n" * 40)

    def remove(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def pack(self, command, output, *options):
        path = os.path.join(self.directory, output)
        result = subprocess.run(
            [PACKER, command, self.input, "--entry", "app.dll", "--output", path, "--quiet",
             "--level", "3", *options],
            capture_output=True)
        if result.returncode != 0:
            raise AssertionError("onefile-pack %s failed: %s" % (command, result.stderr.decode()))
        return path


def resources_of(pe):
    """{type: {id: [(language, bytes)]}} from the image's resource directory."""
    tree = {}
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        ids = tree.setdefault(type_entry.id, {})
        for id_entry in type_entry.directory.entries:
            for language in id_entry.directory.entries:
                data = pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
                ids.setdefault(id_entry.id, []).append((language.id, data))
    return tree


def only_resource(tree, resource_type):
    entries = tree[resource_type]
    assert list(entries) == [1], entries
    assert len(entries[1]) == 1, entries[1]
    return entries[1][0][1]


class ImageSettings(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.build = Build()
        cls.exe = cls.build.pack("build", "app.exe")
        cls.pe = pefile.PE(cls.exe)

    @classmethod
    def tearDownClass(cls):
        cls.pe.close()
        cls.build.remove()

    def test_is_pe32_plus_for_x86_64(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x8664)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, 0x20B)

    def test_is_a_gui_program_for_subsystem_5_2(self):
        header = self.pe.OPTIONAL_HEADER
        self.assertEqual(header.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])
        self.assertEqual((header.MajorSubsystemVersion, header.MinorSubsystemVersion), (5, 2))

    def test_reserves_and_commits_stack_and_heap(self):
        header = self.pe.OPTIONAL_HEADER
        self.assertEqual(header.SizeOfStackReserve, 0x968000)
        self.assertEqual(header.SizeOfStackCommit, 0x1000)
        self.assertEqual(header.SizeOfHeapReserve, 0x100000)
        self.assertEqual(header.SizeOfHeapCommit, 0x1000)

    def test_asks_for_high_entropy_aslr_and_nx_only(self):
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        self.assertEqual(flags, 0x160)
        self.assertTrue(self.pe.OPTIONAL_HEADER.IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA)
        self.assertTrue(self.pe.OPTIONAL_HEADER.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE)
        self.assertTrue(self.pe.OPTIONAL_HEADER.IMAGE_DLLCHARACTERISTICS_NX_COMPAT)

    def test_carries_the_archive_in_read_only_data(self):
        with open(self.build.pack("archive", "data.bin"), "rb") as f:
            archive = f.read()
        with open(self.exe, "rb") as f:
            image = f.read()
        at = image.find(archive)
        self.assertGreaterEqual(at, 0)
        self.assertEqual(image.find(archive, at + 1), -1)
        holders = [s for s in self.pe.sections
                   if s.PointerToRawData <= at and at + len(archive) <= s.PointerToRawData + s.SizeOfRawData]
        self.assertEqual([s.Name.rstrip(b"\0") for s in holders], [b".rdata"])
        self.assertTrue(holders[0].IMAGE_SCN_MEM_READ)
        self.assertFalse(holders[0].IMAGE_SCN_MEM_WRITE)
        self.assertFalse(holders[0].IMAGE_SCN_MEM_EXECUTE)

    def test_has_exactly_the_four_kinds_of_resources_language_neutral(self):
        tree = resources_of(self.pe)
        self.assertEqual(sorted(tree), [RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST])
        self.assertEqual(sorted(tree[RT_ICON]), list(range(1, 8)))
        for resource_type in (RT_GROUP_ICON, RT_VERSION, RT_MANIFEST):
            self.assertEqual(sorted(tree[resource_type]), [1])
        for ids in tree.values():
            for languages in ids.values():
                self.assertEqual([language for language, _ in languages], [0])


class ConsoleBuild(unittest.TestCase):
    """--console against the default build of the same tree: the subsystem
    field differs, and the runtime's start-up code that it selects."""

    @classmethod
    def setUpClass(cls):
        cls.build = Build()
        # The same output name, as the product name comes from it.
        for kind in ("gui", "console"):
            os.makedirs(os.path.join(cls.build.directory, kind))
        cls.gui = pefile.PE(cls.build.pack("build", "gui/app.exe"))
        cls.console = pefile.PE(cls.build.pack("build", "console/app.exe", "--console"))

    @classmethod
    def tearDownClass(cls):
        cls.gui.close()
        cls.console.close()
        cls.build.remove()

    def test_is_a_console_program_for_subsystem_5_2(self):
        header = self.console.OPTIONAL_HEADER
        self.assertEqual(header.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])
        self.assertEqual((header.MajorSubsystemVersion, header.MinorSubsystemVersion), (5, 2))

    def test_every_other_header_field_and_section_equals_the_gui_builds(self):
        # The start-up code's address, and the checksum over the whole image.
        differ = {"Subsystem", "AddressOfEntryPoint", "CheckSum"}
        for header in ("FILE_HEADER", "OPTIONAL_HEADER"):
            gui, console = getattr(self.gui, header), getattr(self.console, header)
            for (name, *_) in gui.__keys__:
                if name not in differ:
                    self.assertEqual(getattr(console, name), getattr(gui, name), name)
        def sections(pe):
            return [(s.Name, s.VirtualAddress, s.Misc_VirtualSize, s.SizeOfRawData,
                     s.Characteristics) for s in pe.sections]
        self.assertEqual(sections(self.console), sections(self.gui))

    def test_imports_and_resources_equal_the_gui_builds(self):
        def imports(pe):
            return [(entry.dll, sorted(i.name for i in entry.imports))
                    for entry in pe.DIRECTORY_ENTRY_IMPORT]
        self.assertEqual(imports(self.console), imports(self.gui))
        self.assertEqual([dll for dll, _ in imports(self.console)], [b"KERNEL32.dll", b"msvcrt.dll"])
        self.assertEqual(resources_of(self.console), resources_of(self.gui))


class Manifest(unittest.TestCase):
    ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
    ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
    COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
    SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"

    @classmethod
    def setUpClass(cls):
        build = Build()
        try:
            pe = pefile.PE(build.pack("build", "app.exe"))
            cls.text = only_resource(resources_of(pe), RT_MANIFEST)
            pe.close()
        finally:
            build.remove()
        cls.root = ElementTree.fromstring(cls.text)

    def one(self, parent, path):
        found = parent.findall(path)
        self.assertEqual(len(found), 1, path)
        return found[0]

    def test_is_an_assembly_named_mini(self):
        self.assertEqual(self.root.tag, self.ASM_V1 + "assembly")
        self.assertEqual(self.root.get("manifestVersion"), "1.0")
        identity = self.one(self.root, self.ASM_V1 + "assemblyIdentity")
        self.assertEqual(identity.attrib, {"type": "win32", "name": "Mini", "version": "1.0.0.0"})

    def test_supports_vista_7_8_8_1_and_10(self):
        application = self.one(self.root, self.COMPATIBILITY + "compatibility/" +
                               self.COMPATIBILITY + "application")
        identifiers = [e.get("Id") for e in application.findall(self.COMPATIBILITY + "supportedOS")]
        self.assertEqual(identifiers, [
            "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
            "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10
        ])

    def test_is_long_path_aware(self):
        aware = self.one(self.root, self.ASM_V3 + "application/" + self.ASM_V3 + "windowsSettings/" +
                         self.SETTINGS_2016 + "longPathAware")
        self.assertEqual(aware.text, "true")

    def test_depends_on_common_controls_6(self):
        identity = self.one(self.root, self.ASM_V1 + "dependency/" + self.ASM_V1 +
                            "dependentAssembly/" + self.ASM_V1 + "assemblyIdentity")
        self.assertEqual(identity.attrib, {
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"})

    def test_runs_as_invoker_without_ui_access(self):
        level = self.one(self.root, self.ASM_V3 + "trustInfo/" + self.ASM_V3 + "security/" +
                         self.ASM_V3 + "requestedPrivileges/" + self.ASM_V3 +
                         "requestedExecutionLevel")
        self.assertEqual(level.attrib, {"level": "asInvoker", "uiAccess": "false"})


def version_info(pe):
    """The fixed part, the string tables as [(name, [(key, value)])] in file
    order, and the translations, as pefile reads them."""
    fixed = pe.VS_FIXEDFILEINFO[0]
    tables, translations = [], []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                keys = sorted(table.entries_offsets, key=lambda k: table.entries_offsets[k][0])
                tables.append((table.LangID, [(k.decode(), table.entries[k].decode()) for k in keys]))
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                translations.append(var.entry)
    return fixed, tables, translations


class VersionResource(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.build = Build()
        exe = cls.build.pack("build", "app.exe", "--company", COMPANY, "--product", PRODUCT,
                             "--version", "1.20.300.65535")
        pe = pefile.PE(exe)
        cls.raw = only_resource(resources_of(pe), RT_VERSION)
        cls.fixed, cls.tables, cls.translations = version_info(pe)
        pe.close()

    @classmethod
    def tearDownClass(cls):
        cls.build.remove()

    def test_fixed_part(self):
        f = self.fixed
        self.assertEqual(f.Signature, 0xFEEF04BD)
        self.assertEqual(f.StrucVersion, 0)
        self.assertEqual((f.FileVersionMS, f.FileVersionLS), (1 << 16 | 20, 300 << 16 | 65535))
        self.assertEqual((f.ProductVersionMS, f.ProductVersionLS), (1 << 16 | 20, 300 << 16 | 65535))
        self.assertEqual(f.FileFlagsMask, 0x3F)
        self.assertEqual(f.FileFlags, 0)
        self.assertEqual(f.FileOS, 4)
        self.assertEqual(f.FileType, 1)
        self.assertEqual(f.FileSubtype, 0)
        self.assertEqual((f.FileDateMS, f.FileDateLS), (0, 0))

    def test_one_neutral_utf16_string_table_with_the_keys_in_order(self):
        self.assertEqual([name for name, _ in self.tables], [b"000004b0"])
        # pefile turns a surrogate pair into two escapes; the company name is
        # checked in its UTF-16 form below.
        entries = [(key, value) for key, value in self.tables[0][1] if key != "CompanyName"]
        self.assertEqual([key for key, _ in self.tables[0][1]], [
            "CompanyName", "ProductName", "FileDescription", "ProductVersion", "FileVersion",
            "OriginalFilename", "InternalName"])
        self.assertEqual(entries, [
            ("ProductName", PRODUCT),
            ("FileDescription", PRODUCT + " (onefile executable)"),
            ("ProductVersion", "1.20.300.65535"),
            ("FileVersion", "1.20.300.65535"),
            ("OriginalFilename", PRODUCT + ".exe"),
            ("InternalName", PRODUCT),
        ])

    def test_company_name_survives_as_utf16_with_its_surrogate_pair(self):
        key = "CompanyName\0".encode("utf-16-le")
        value = (COMPANY + "\0").encode("utf-16-le")
        at = self.raw.find(key)
        self.assertGreater(at, 6)
        # The value starts at the next 32-bit boundary of the resource.
        start = (at + len(key) + 3) // 4 * 4
        self.assertEqual(self.raw[start:start + len(value)], value)
        # The value length, just before the type and the key, counts UTF-16
        # units with the terminator.
        value_length, value_type = struct.unpack_from("<HH", self.raw, at - 4)
        self.assertEqual((value_length, value_type), (len(value) // 2, 1))

    def test_translation_is_language_0_code_page_1200(self):
        self.assertEqual(self.translations, [{b"Translation": "0x0000 0x04b0"}])


def quadrant_icon(path, side):
    """A square image: red, green and blue quadrants and a transparent one."""
    image = Image.new("RGBA", (side, side), (0, 0, 0, 0))
    half = side // 2
    image.paste((255, 0, 0, 255), (0, 0, half, half))
    image.paste((0, 255, 0, 255), (half, 0, side, half))
    image.paste((0, 0, 255, 255), (0, half, half, side))
    image.save(path)


class Icons(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.build = Build()
        icon = os.path.join(cls.build.directory, "quadrants.png")
        quadrant_icon(icon, 512)
        cls.exe = cls.build.pack("build", "app.exe", "--icon", icon)
        pe = pefile.PE(cls.exe)
        cls.tree = resources_of(pe)
        pe.close()

    @classmethod
    def tearDownClass(cls):
        cls.build.remove()

    def test_icotool_lists_seven_32_bit_images_from_16_to_256_in_order(self):
        ico = os.path.join(self.build.directory, "group.ico")
        subprocess.run(["wrestool", "-x", "--type=14", "--name=1", "-o", ico, self.exe], check=True)
        listing = subprocess.run(["icotool", "-l", ico], check=True, capture_output=True,
                                 text=True).stdout.splitlines()
        self.assertEqual(listing, [
            "--icon --index=%d --width=%d --height=%d --bit-depth=32 --palette-size=0" % (i + 1, s, s)
            for i, s in enumerate(ICON_SIZES)])

    def test_group_names_icons_1_to_7_with_their_sizes_and_256_as_0(self):
        group = only_resource(self.tree, RT_GROUP_ICON)
        self.assertEqual(struct.unpack_from("<HHH", group), (0, 1, 7))
        self.assertEqual(len(group), 6 + 7 * 14)
        for index, side in enumerate(ICON_SIZES):
            width, height, colours, reserved, planes, bits, size, identifier = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * index)
            self.assertEqual((width, height), (side % 256, side % 256))
            self.assertEqual((colours, reserved, planes, bits), (0, 0, 1, 32))
            self.assertEqual(identifier, index + 1)
            self.assertEqual(size, len(self.tree[RT_ICON][identifier][0][1]))

    def test_each_image_is_an_rgba_png_of_its_size_showing_the_given_icon(self):
        for identifier, side in enumerate(ICON_SIZES, start=1):
            data = self.tree[RT_ICON][identifier][0][1]
            self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
            path = os.path.join(self.build.directory, "icon%d.png" % identifier)
            with open(path, "wb") as f:
                f.write(data)
            with Image.open(path) as image:
                self.assertEqual(image.format, "PNG")
                self.assertEqual(image.mode, "RGBA")
                self.assertEqual(image.size, (side, side))
                quarter = side // 4
                self.assertEqual(image.getpixel((quarter, quarter)), (255, 0, 0, 255), side)
                self.assertEqual(image.getpixel((side - quarter, quarter)), (0, 255, 0, 255), side)
                self.assertEqual(image.getpixel((quarter, side - quarter)), (0, 0, 255, 255), side)
                self.assertEqual(image.getpixel((side - quarter, side - quarter))[3], 0, side)


class Defaults(unittest.TestCase):
    """Without --company, --product, --version and --icon."""

    @classmethod
    def setUpClass(cls):
        cls.build = Build()
        pe = pefile.PE(cls.build.pack("build", "Default Tool.exe"))
        cls.tree = resources_of(pe)
        cls.fixed, cls.tables, _ = version_info(pe)
        pe.close()

    @classmethod
    def tearDownClass(cls):
        cls.build.remove()

    def test_product_from_the_output_name_no_company_version_0(self):
        self.assertEqual(self.tables, [(b"000004b0", [
            ("CompanyName", ""),
            ("ProductName", "Default Tool"),
            ("FileDescription", "Default Tool (onefile executable)"),
            ("ProductVersion", "0.0.0.0"),
            ("FileVersion", "0.0.0.0"),
            ("OriginalFilename", "Default Tool.exe"),
            ("InternalName", "Default Tool"),
        ])])
        self.assertEqual((self.fixed.FileVersionMS, self.fixed.FileVersionLS), (0, 0))
        self.assertEqual((self.fixed.ProductVersionMS, self.fixed.ProductVersionLS), (0, 0))

    def test_icon_is_the_projects_own(self):
        largest = os.path.join(self.build.directory, "largest.png")
        with open(largest, "wb") as f:
            f.write(self.tree[RT_ICON][7][0][1])
        with Image.open(largest) as image, \
                Image.open(os.path.join(RESOURCES, "icon.png")) as original:
            self.assertEqual(image.size, (256, 256))
            # The 256-pixel image is the committed one, pixel for pixel.
            self.assertEqual(list(image.getdata()), list(original.convert("RGBA").getdata()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
