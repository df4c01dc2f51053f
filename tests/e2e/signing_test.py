#!/usr/bin/python3
"""A packed executable signed afterwards keeps working: the archive lives
inside the image, so the Authenticode signature that osslsigncode appends
changes nothing the bootstrap reads. The test makes a throwaway self-signed
certificate with openssl, signs the example, has osslsigncode verify the
signature, runs both under Wine and reads the signed one back with the
packer's info, list, verify and extract.

Environment: ONEFILE_PACK (the packer), ONEFILE_WINE_RUN (the build's
wine-run), ONEFILE_HELLO (the packed example).
"""
import filecmp
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

PACKER = os.environ["ONEFILE_PACK"]
WINE_RUN = os.environ["ONEFILE_WINE_RUN"]
HELLO = os.environ["ONEFILE_HELLO"]


def run(*command, check=True):
    # A run that hangs fails here, naming the command, well before ctest's limit.
    result = subprocess.run(command, capture_output=True, stdin=subprocess.DEVNULL, timeout=90)
    if check and result.returncode != 0:
        raise AssertionError("%s failed with %d: %s%s" % (
            command[0], result.returncode, result.stdout.decode(errors="replace"),
            result.stderr.decode(errors="replace")))
    return result


def run_under_wine(program, *arguments):
    """Exit status and output, read through a file: a Wine helper process that
    the program starts (the desktop) may hold a pipe open long after it ends."""
    with tempfile.TemporaryFile() as out:
        status = subprocess.run([WINE_RUN, program, *arguments], stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, timeout=90).returncode
        out.seek(0)
        return status, out.read().decode(errors="replace").replace("\r\n", "\n")


def trees_equal(left, right):
    comparison = filecmp.dircmp(left, right)
    if comparison.left_only or comparison.right_only or comparison.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(left, right, comparison.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(trees_equal(os.path.join(left, d), os.path.join(right, d))
               for d in comparison.common_dirs)


class SignedExecutable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="onefile-signing-test.")
        cls.unsigned = os.path.join(cls.directory, "hello.exe")
        shutil.copyfile(HELLO, cls.unsigned)
        key = os.path.join(cls.directory, "key.pem")
        cls.certificate = os.path.join(cls.directory, "certificate.pem")
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
            "-out", cls.certificate, "-days", "2", "-subj", "/CN=onefile signing test")
        # The two commands a publisher runs, as the README shows them.
        cls.signed = os.path.join(cls.directory, "signed", "hello.exe")
        os.makedirs(os.path.dirname(cls.signed))
        run("osslsigncode", "sign", "-certs", cls.certificate, "-key", key, "-n", "Hello",
            "-in", cls.unsigned, "-out", cls.signed)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)

    def test_osslsigncode_verifies_the_signature(self):
        result = run("osslsigncode", "verify", "-CAfile", self.certificate, "-in", self.signed)
        self.assertIn(b"Signature verification: ok", result.stdout)
        with open(self.unsigned, "rb") as f:
            unsigned = f.read()
        with open(self.signed, "rb") as f:
            signed = f.read()
        self.assertGreater(len(signed), len(unsigned))

    def test_it_runs_under_wine_as_the_unsigned_one_does(self):
        outputs = []
        for program in (self.unsigned, self.signed):
            status, text = run_under_wine(program, "one", "two words", ":exit=7")
            self.assertEqual(status, 7, text)
            # The per-run directory and the values that name it differ.
            text = re.sub(r"onefile_[0-9]+_[0-9]+_[A-Za-z0-9_-]+", "TARGET", text)
            text = re.sub(r'(ZEBRIK_ONEFILE_[A-Z_]+|argv\[0\])=".*"', r"\1=...", text)
            text = re.sub(r'ZEBRIK_ORIGINAL_ARGV0=".*"', "ZEBRIK_ORIGINAL_ARGV0=...", text)
            outputs.append(text)
        self.assertIn('library="', outputs[1])
        self.assertIn("TARGET", outputs[1])
        self.assertEqual(outputs[0], outputs[1])

    def test_info_sees_the_signature_and_everything_else_unchanged(self):
        unsigned = json.loads(run(PACKER, "info", self.unsigned, "--json").stdout)
        signed = json.loads(run(PACKER, "info", self.signed, "--json").stdout)
        self.assertEqual(unsigned["signature"], {"present": False, "size": None})
        self.assertTrue(signed["signature"]["present"])
        self.assertGreater(signed["signature"]["size"], 0)
        for key in ("attachedData", "frame", "records", "entry", "image", "product",
                    "targetDirectory"):
            self.assertEqual(signed[key], unsigned[key], key)
        self.assertTrue(signed["entry"]["sound"])

    def test_list_verify_and_extract_still_work(self):
        self.assertEqual(run(PACKER, "list", self.signed).stdout,
                         run(PACKER, "list", self.unsigned).stdout)
        self.assertIn(b"is sound", run(PACKER, "verify", self.signed).stdout)
        from_signed = os.path.join(self.directory, "from-signed")
        from_unsigned = os.path.join(self.directory, "from-unsigned")
        run(PACKER, "extract", self.signed, from_signed)
        run(PACKER, "extract", self.unsigned, from_unsigned)
        self.assertEqual(sorted(os.listdir(from_signed)), ["hello.dll", "plugins", "support.dll"])
        self.assertTrue(trees_equal(from_signed, from_unsigned))


if __name__ == "__main__":
    unittest.main(verbosity=2)
