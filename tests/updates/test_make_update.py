#!/usr/bin/python3
"""scripts/make-update: the package holds the files under their base names
with their permissions, and the check answer carries what the Updater
compares: the JAMCRC of the package, the version, the package's URL."""

import json
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

MAKE_UPDATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "make-update")


def jamcrc(data):
    # Bit by bit, independently of zlib: reflected 0xEDB88320, start
    # 0xFFFFFFFF, no final complement.
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0xEDB88320 if crc & 1 else 0)
    return crc


class MakeUpdate(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.out = os.path.join(self.folder.name, "out")

    def file(self, path, data, mode):
        path = os.path.join(self.folder.name, path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        return path

    def make(self, *args):
        return subprocess.run([sys.executable, MAKE_UPDATE, "--out", self.out, *args],
                              capture_output=True, text=True)

    def test_release(self):
        program = self.file("build/service/Korvel", b"\x7fELF" + bytes(range(256)) * 40, 0o755)
        config = self.file("conf/PrinterConfig.json", "{\"data\": []}\n".encode(), 0o640)
        done = self.make("--version", "4294967295", "--name", "Korvel", "--url", "http://10.77.0.2:8080/r/",
                         "--device", "12", "--comment", "fix the total line", program, config)
        self.assertEqual(done.returncode, 0, done.stderr)

        package = os.path.join(self.out, "update.zip")
        with zipfile.ZipFile(package) as archive:
            entries = {entry.filename: entry for entry in archive.infolist()}
            self.assertEqual(sorted(entries), ["Korvel", "PrinterConfig.json"])
            self.assertEqual(entries["Korvel"].external_attr >> 16 & 0o777, 0o755)
            self.assertEqual(entries["PrinterConfig.json"].external_attr >> 16 & 0o777, 0o640)
            with open(program, "rb") as f:
                self.assertEqual(archive.read("Korvel"), f.read())

        with open(os.path.join(self.out, "update.json"), encoding="ascii") as f:
            answer = json.load(f)
        with open(package, "rb") as f:
            expected_hash = jamcrc(f.read())
        self.assertEqual(answer, {"name": "Korvel", "version": 4294967295, "hash": expected_hash,
                                  "url": "http://10.77.0.2:8080/r/update.zip",
                                  "comment": "fix the total line", "device": "12"})

    def test_signed_release(self):
        keys = os.path.join(self.folder.name, "keys")
        os.makedirs(keys)
        public, secret = os.path.join(keys, "release.pub"), os.path.join(keys, "release.key")
        subprocess.run(["minisign", "-G", "-W", "-p", public, "-s", secret], check=True, capture_output=True)
        program = self.file("build/service/Korvel", b"\x7fELF signed", 0o755)
        done = self.make("--version", "9", "--name", "Korvel", "--url", "http://127.0.0.1:8080/",
                         "--sign", secret, program)
        self.assertEqual(done.returncode, 0, done.stderr)

        with open(os.path.join(self.out, "update.json"), encoding="ascii") as f:
            answer = json.load(f)
        # What the till receives, not the file beside it, must verify.
        received = os.path.join(self.folder.name, "received.minisig")
        with open(received, "w", encoding="ascii") as f:
            f.write(answer["signature"])
        check = subprocess.run(["minisign", "-V", "-p", public, "-m", os.path.join(self.out, "update.zip"),
                                "-x", received], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertIn("version:9", check.stdout)

        # Made again unsigned, no signature of the earlier package is left.
        done = self.make("--version", "10", "--name", "Korvel", "--url", "http://127.0.0.1:8080/", program)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(self.out, "update.json"), encoding="ascii") as f:
            self.assertNotIn("signature", json.load(f))
        self.assertFalse(os.path.exists(os.path.join(self.out, "update.zip.minisig")))

    def test_refused(self):
        one = self.file("a/Korvel", b"one", 0o755)
        two = self.file("b/Korvel", b"two", 0o755)
        cases = {
            "same base name twice": ["--version", "2", one, two],
            "version with a dot": ["--version", "1.2", one],
            "version past 32 bits": ["--version", "4294967296", one],
            "negative version": ["--version", "-1", one],
            "missing file": ["--version", "2", one + ".gone"],
            "missing signing key": ["--version", "2", "--sign", one + ".key", one],
            "public key given to sign": ["--version", "2", "--sign", one, one],
        }
        for case, args in cases.items():
            with self.subTest(case):
                done = self.make("--name", "Korvel", "--url", "http://127.0.0.1/", *args)
                self.assertNotEqual(done.returncode, 0)
                self.assertFalse(os.path.exists(os.path.join(self.out, "update.json")))


if __name__ == "__main__":
    unittest.main()
