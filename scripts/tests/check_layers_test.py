#!/usr/bin/env python3
"""The include check, run on small trees whose includes are known."""

import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "check-layers")


class CheckLayersTest(unittest.TestCase):
    def run_on(self, files):
        """Runs the check on a tree of `files` (path: its includes); returns
        the exit status and what it wrote to standard error."""
        with tempfile.TemporaryDirectory() as root:
            for path, included in files.items():
                os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as file:
                    file.write("#pragma once\n")
                    for target in included:
                        file.write(f'#include "{target}"\n')
            result = subprocess.run([sys.executable, SCRIPT, "--root", root, "--quiet"],
                                    capture_output=True, text=True)
            return result.returncode, result.stderr

    # A small bootstrap whose includes all run downward.
    GOOD = {
        "formats/archive_layout.h": [],
        "base/state.h": ["formats/archive_layout.h"],
        "base/state.cpp": ["base/state.h"],
        "errors/errors.cpp": ["base/state.h", "errors/errors.h"],
        "errors/errors.h": [],
        "cleanup/testing.h": [],
        "cleanup/cleanup.cpp": ["cleanup/testing.h", "errors/errors.h", "base/state.h"],
        "bootstrap/driver.cpp": ["cleanup/cleanup.h", "base/state.h", "stdio.h"],
        "cleanup/cleanup.h": [],
        "packer/error.h": [],
        "packer/cli/commands.cpp": ["packer/image/writer.h", "formats/archive_layout.h"],
        "packer/image/writer.h": ["packer/error.h"],
    }

    def test_includes_that_run_downward_pass(self):
        status, errors = self.run_on(self.GOOD)
        self.assertEqual(status, 0, errors)
        self.assertEqual(errors, "")

    def test_includes_against_the_floors_fail_naming_file_and_include(self):
        cases = {
            # upward: the ground includes a room above it
            "base/seams.h": ("errors/errors.h", "base (floor 1) includes errors, on a floor above"),
            # sideways: two rooms on one floor
            "extract/extract.cpp": ("launch/child.h", "on the same floor as"),
            # another room's own state
            "bootstrap/main.cpp": ("cleanup/testing.h", "cleanup and its tests alone"),
            # a folder on no floor
            "paths/path_spec.cpp": ("walk/walk.h", "walk is on no floor"),
            # a format that includes a room stops being one
            "formats/record_name.h": ("base/state.h", "includes base, on a floor above"),
            # the packer's sub-folders
            "packer/platform/files.cpp": ("packer/cli/commands.h", "on a floor above"),
            # the packer and the bootstrap share the formats alone
            "packer/image/writer.h": ("paths/path_spec.h", "only those of formats and include"),
        }
        for path, (target, expected) in cases.items():
            with self.subTest(path=path):
                files = dict(self.GOOD)
                files[path] = [target]
                files[target] = []
                status, errors = self.run_on(files)
                self.assertEqual(status, 1)
                self.assertIn(f'{path}:2: #include "{target}"', errors)
                self.assertIn(expected, errors)

    def test_tests_may_include_any_room(self):
        files = dict(self.GOOD)
        files["base/tests/state_test.cpp"] = ["bootstrap/driver.h", "cleanup/testing.h"]
        status, errors = self.run_on(files)
        self.assertEqual(status, 0, errors)


if __name__ == "__main__":
    unittest.main()
