#!/usr/bin/python3
"""A release made by scripts/make-update, served by a static web server on
loopback, through the real Updater: it downloads the package, accepts its
JAMCRC, records the version and unpacks the files as name-new files; a
package changed after it was made is refused.

    test_release_updater.py UPDATER_BINARY

The release names a program other than the service, so the Updater unpacks
it without asking a service to close, and ends."""

import datetime
import functools
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_UPDATE = os.path.join(HERE, "..", "..", "scripts", "make-update")
UPDATER = None  # from the command line


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class ReleaseThroughUpdater(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="release-updater.")
        self.addCleanup(shutil.rmtree, self.folder)
        served = os.path.join(self.folder, "served")
        os.mkdir(served)
        handler = functools.partial(QuietHandler, directory=served)
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.addCleanup(self.server.server_close)
        self.addCleanup(self.server.shutdown)
        base = f"http://127.0.0.1:{self.server.server_address[1]}/release-2"

        # A program and a settings file, as a release carries them.
        self.files = {"Korvel": (bytes(range(256)) * 64, 0o755), "subtitle.conf": (b'{"data": []}\n', 0o644)}
        sources = os.path.join(self.folder, "sources")
        os.mkdir(sources)
        paths = []
        for name, (data, mode) in self.files.items():
            path = os.path.join(sources, name)
            with open(path, "wb") as f:
                f.write(data)
            os.chmod(path, mode)
            paths.append(path)
        made = subprocess.run([sys.executable, MAKE_UPDATE, "--version", "2", "--name", "Tamrow", "--url", base,
                               "--out", os.path.join(served, "release-2"), *paths], capture_output=True, text=True)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.package = os.path.join(served, "release-2", "update.zip")
        self.check_url = base + "/update.json?"

    def run_updater(self):
        """Runs a copy of the Updater in a fresh service folder; returns
        its Updater folder once the run has ended."""
        updater_folder = os.path.join(tempfile.mkdtemp(dir=self.folder), "Updater")
        os.mkdir(updater_folder)
        shutil.copy2(UPDATER, os.path.join(updater_folder, "Updater"))
        self.conf = {"device": "7", "name": "Korvel", "silent": "1", "startTime": "1000", "updateTime": "",
                     "url": self.check_url, "version": "1"}
        with open(os.path.join(updater_folder, "Update.conf"), "w", encoding="ascii") as f:
            json.dump(self.conf, f, indent=4)
        # Its own temporary folder holds its single-instance lock.
        private_tmp = tempfile.mkdtemp(dir=self.folder)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TMPDIR=private_tmp)
        done = subprocess.run([os.path.join(updater_folder, "Updater")], cwd=private_tmp, env=env,
                              capture_output=True, text=True, timeout=90)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.output = done.stderr
        return updater_folder

    def read_conf(self, updater_folder):
        with open(os.path.join(updater_folder, "Update.conf"), encoding="ascii") as f:
            return json.load(f)

    def test_release_is_unpacked(self):
        updater_folder = self.run_updater()
        for name, (data, mode) in self.files.items():
            path = os.path.join(updater_folder, name + "-new")
            self.assertTrue(os.path.isfile(path), f"{name}-new missing; Updater said:\n{self.output}")
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data, name)
            self.assertEqual(os.stat(path).st_mode & 0o111, mode & 0o111, name)
        self.assertEqual(self.read_conf(updater_folder),
                         dict(self.conf, version="2", updateTime=datetime.date.today().isoformat()))

    def test_changed_package_is_refused(self):
        # Bytes after the end of a zip keep it readable: only the hash tells.
        with open(self.package, "ab") as f:
            f.write(b"\0")
        updater_folder = self.run_updater()
        self.assertEqual(sorted(n for n in os.listdir(updater_folder) if n.endswith("-new")), [])
        self.assertEqual(self.read_conf(updater_folder), self.conf)
        with open(os.path.join(updater_folder, "Updatalog.txt"), encoding="utf-8", errors="replace") as f:
            self.assertIn("hash error", f.read())


if __name__ == "__main__":
    UPDATER = sys.argv.pop(1)
    unittest.main()
