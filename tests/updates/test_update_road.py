#!/usr/bin/python3
"""The road of an update with the real programs, as a venue sees it: an
installation folder (Korvel, Updater/Updater, Updater/Update.conf at version
1), Korvel started, a release made by scripts/make-update served on loopback.
Whatever happens to the release or to the Updater, Korvel answers on port
12380 again soon, and a release that could not be installed is installed by a
later run.

    test_update_road.py KORVEL_BINARY UPDATER_BINARY [--share=K/N]

With --share, only every Nth road (by name, from the Kth) runs, so that N
runs, each in a network namespace of its own, share the roads out.

Runs inside the test harness (it binds the service's fixed ports). Prints,
per road, the time from the package's arrival (or the failure) to Korvel
answering, and how long port 12380 was closed."""

import functools
import http.server
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_UPDATE = os.path.join(HERE, "..", "..", "scripts", "make-update")
KORVEL = UPDATER = None  # from the command line
ANSWER_WITHIN = 10.0     # seconds from the package's arrival to an answering Korvel


class ReleaseServer(http.server.SimpleHTTPRequestHandler):
    """Serves the release folder; notes when the package was sent whole.
    The test may make the package answer 404 or break off mid-way."""

    def log_message(self, *args):
        pass

    def do_GET(self):
        road = self.server.road
        if self.path.startswith("/update.zip"):
            if road.package_mode == "404":
                self.send_error(404)
                road.package_done = time.monotonic()
                return
            if road.package_mode == "cut":
                self.send_response(200)
                self.send_header("Content-Length", str(10 << 20))
                self.end_headers()
                self.wfile.write(b"PK" * 4096)
                self.wfile.flush()
                self.connection.shutdown(socket.SHUT_RDWR)
                road.package_done = time.monotonic()
                return
        try:
            super().do_GET()
        except (BrokenPipeError, ConnectionResetError):
            pass  # the Updater killed or the download stopped on purpose
        if self.path.startswith("/update.zip"):
            road.package_done = time.monotonic()


class Road(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="update-road.")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.addCleanup(self.end_programs)
        self.service = os.path.join(self.folder, "service")
        self.updater = os.path.join(self.service, "Updater")
        os.makedirs(self.updater)
        shutil.copy2(KORVEL, os.path.join(self.service, "Korvel"))
        shutil.copy2(UPDATER, os.path.join(self.updater, "Updater"))
        with open(KORVEL, "rb") as f:
            self.old_korvel = f.read()
        self.new_korvel = self.old_korvel + b"\nrelease 2\n"
        self.package_mode = "serve"
        self.package_done = None
        self.down = []

        served = os.path.join(self.folder, "served")
        os.mkdir(served)
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                                      functools.partial(ReleaseServer, directory=served))
        self.server.road = self
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.addCleanup(self.server.server_close)
        self.addCleanup(self.server.shutdown)
        self.base = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.served = served
        self.output = open(os.path.join(self.folder, "programs.log"), "wb")
        self.addCleanup(self.output.close)

    # --- the installation -------------------------------------------------

    def key(self, name):
        """A publisher's key pair made for the test (no password); returns
        the secret key file and the public key line."""
        public = os.path.join(self.folder, name + ".pub")
        secret = os.path.join(self.folder, name + ".key")
        subprocess.run(["minisign", "-G", "-W", "-p", public, "-s", secret], check=True, capture_output=True)
        with open(public, encoding="ascii") as f:
            return secret, f.read().splitlines()[1]

    def release(self, name="Korvel", filler_mb=0, sign=None, extra=()):
        source = os.path.join(self.folder, "release")
        os.makedirs(source, exist_ok=True)
        files = list(extra)
        path = os.path.join(source, "Korvel")
        with open(path, "wb") as f:
            f.write(self.new_korvel)
        os.chmod(path, 0o755)
        files.append(path)
        if filler_mb:
            path = os.path.join(source, "filler.bin")
            with open(path, "wb") as f:
                f.write(os.urandom(filler_mb << 20))
            files.append(path)
        signing = ["--sign", sign] if sign else []
        made = subprocess.run([sys.executable, MAKE_UPDATE, "--version", "2", "--name", name, "--url", self.base,
                               "--out", self.served, *signing, *files], capture_output=True, text=True)
        self.assertEqual(made.returncode, 0, made.stderr)

    def configure(self, silent, start_time=1000, public_key=None):
        self.conf = {"device": "", "name": "venue", "silent": str(silent), "startTime": str(start_time),
                     "updateTime": "", "url": self.base + "/update.json?", "version": "1"}
        if public_key:
            self.conf["publicKey"] = public_key
        with open(os.path.join(self.updater, "Update.conf"), "w", encoding="ascii") as f:
            json.dump(self.conf, f, indent=4)

    def read_conf(self):
        with open(os.path.join(self.updater, "Update.conf"), encoding="ascii") as f:
            return json.load(f)

    def korvel_file(self):
        with open(os.path.join(self.service, "Korvel"), "rb") as f:
            return f.read()

    def update_log(self):
        try:
            with open(os.path.join(self.updater, "Updatalog.txt"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def programs_said(self):
        with open(os.path.join(self.folder, "programs.log"), encoding="utf-8", errors="replace") as f:
            return f.read()

    # --- programs ---------------------------------------------------------

    def start_korvel(self):
        subprocess.Popen([os.path.join(self.service, "Korvel")], cwd=self.service, stdout=self.output,
                         stderr=subprocess.STDOUT, start_new_session=True)

    def pids(self, program):
        found = []
        for pid in os.listdir("/proc"):
            if pid.isdigit():
                try:
                    if os.readlink(f"/proc/{pid}/exe").startswith(program):
                        found.append(int(pid))
                except OSError:
                    pass
        return found

    def end_programs(self):
        """Until none is seen for a while: a program may be starting another
        at the moment it is killed."""
        quiet_since = time.monotonic()
        deadline = quiet_since + 20
        while time.monotonic() - quiet_since < 1.0 and time.monotonic() < deadline:
            for pid in self.pids(self.service + "/"):
                quiet_since = time.monotonic()
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            time.sleep(0.05)
        # The next test's Korvel must not meet this one's on the port.
        self.wait_for(lambda: not self.answers(), 10, "port 12380 free")

    def updater_runs(self):
        return bool(self.pids(os.path.join(self.updater, "Updater")))

    def answers(self):
        try:
            request = urllib.request.Request("http://127.0.0.1:12380/", data=b'{"Msg":"GetRoomArea"}')
            with urllib.request.urlopen(request, timeout=1) as reply:
                return reply.status == 200
        except OSError:
            return False

    def wait_for(self, condition, seconds, what):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return
            time.sleep(0.05)
        running = {pid: os.readlink(f"/proc/{pid}/exe") for pid in self.pids(self.service + "/")}
        self.fail(f"{what} within {seconds} s\nupdate log:\n{self.update_log()}\nprograms said:\n"
                  f"{self.programs_said()[-4000:]}\nrunning: {running}\nfiles: {sorted(os.listdir(self.updater))}")

    def watch_port(self):
        """Notes every moment port 12380 does not answer, until stopped."""
        self.down = []
        self.watching = True

        def watch():
            while self.watching:
                if not self.answers():
                    self.down.append(time.monotonic())
                time.sleep(0.05)
        thread = threading.Thread(target=watch, daemon=True)
        thread.start()

        def stop():
            self.watching = False
            thread.join()
        self.addCleanup(stop)
        return stop

    def report(self, road, since, watched=True):
        answered = time.monotonic()
        down = (self.down[-1] - self.down[0]) if self.down else 0.0
        closed = f"; port 12380 closed for {down:.2f} s" if watched else ""
        print(f"  {road}: Korvel answered {answered - since:.2f} s after it{closed}", file=sys.stderr)

    def first_run_until_answering(self):
        """Starts Korvel and waits for its Updater's run to end with Korvel
        answering; returns the moment the package arrived."""
        stop = self.watch_port()
        self.start_korvel()
        self.wait_for(self.answers, 30, "Korvel answering at start")
        self.down.clear()
        self.wait_for(lambda: self.package_done is not None, 60, "package fetched")
        arrived = self.package_done
        self.wait_for(lambda: not self.updater_runs() and self.answers(), 60, "run ended with Korvel answering")
        stop()
        return arrived

    # --- roads ------------------------------------------------------------

    def check_installed(self):
        self.assertEqual(self.korvel_file(), self.new_korvel)
        with open(os.path.join(self.updater, "Korvel-old"), "rb") as f:
            self.assertEqual(f.read(), self.old_korvel)
        self.assertEqual(self.read_conf()["version"], "2")
        self.assertTrue(os.access(os.path.join(self.service, "Korvel"), os.X_OK))
        self.assertFalse(os.path.exists(os.path.join(self.updater, "staging")))
        self.assertFalse(os.path.exists(os.path.join(self.updater, "update.zip")))

    def road_installs(self, silent):
        self.release()
        self.configure(silent)
        arrived = self.first_run_until_answering()
        self.assertLess(time.monotonic() - arrived, ANSWER_WITHIN + 5)
        self.report(f"installed, silent {silent}", arrived)
        self.check_installed()
        # The running Korvel is the new one.
        self.assertTrue(self.pids(os.path.join(self.service, "Korvel")))

    def test_installs_silently(self):
        self.road_installs(1)

    def test_installs_with_agreement(self):
        self.road_installs(0)

    def road_refused(self, road, logged, change=None, name="Korvel", public_key=None, **release):
        self.release(name=name, **release)
        if change:
            change()
        self.configure(1, public_key=public_key)
        since = self.first_run_until_answering()
        self.report(road, since)
        self.assertIn(logged, self.update_log())
        self.assertEqual(self.read_conf(), self.conf)
        self.assertEqual(self.korvel_file(), self.old_korvel)
        self.assertFalse(os.path.exists(os.path.join(self.updater, "staging")))

    def test_checksum_error(self):
        def alter():
            with open(os.path.join(self.served, "update.zip"), "ab") as f:
                f.write(b"\0")
        self.road_refused("checksum error", "hash error:", alter)

    def test_unpacking_fails(self):
        def damage():
            path = os.path.join(self.served, "update.zip")
            with open(path, "r+b") as f:
                f.seek(0)
                f.write(b"XX")
            with open(os.path.join(self.served, "update.json")) as f:
                answer = json.load(f)
            import zlib
            with open(path, "rb") as f:
                answer["hash"] = zlib.crc32(f.read()) ^ 0xFFFFFFFF
            with open(os.path.join(self.served, "update.json"), "w") as f:
                json.dump(answer, f)
        self.road_refused("unpacking fails", "unpacking failed", damage)

    def change_answer(self, **fields):
        path = os.path.join(self.served, "update.json")
        with open(path) as f:
            answer = json.load(f)
        answer.update(fields)
        for name, value in fields.items():
            if value is None:
                del answer[name]
        with open(path, "w") as f:
            json.dump(answer, f)

    # --- signed releases --------------------------------------------------

    def test_signed_release_installed(self):
        secret, public = self.key("publisher")
        self.release(sign=secret)
        self.configure(1, public_key=public)
        arrived = self.first_run_until_answering()
        self.report("signed release installed", arrived)
        self.assertIn("signature verified", self.update_log())
        self.check_installed()
        self.assertEqual(self.read_conf()["publicKey"], public)

    def test_altered_package_with_forged_checksum_refused(self):
        secret, public = self.key("publisher")

        def alter():
            path = os.path.join(self.served, "update.zip")
            with open(path, "ab") as f:
                f.write(b"\0")
            import zlib
            with open(path, "rb") as f:
                self.change_answer(hash=zlib.crc32(f.read()) ^ 0xFFFFFFFF)
        self.road_refused("altered, CRC forged", "signature error:", alter, public_key=public, sign=secret)

    def test_unsigned_release_refused_with_a_key(self):
        _, public = self.key("publisher")
        self.road_refused("unsigned with a key", "signature error:", public_key=public)

    def test_release_signed_by_another_key_refused(self):
        _, public = self.key("publisher")
        other, _ = self.key("other")
        self.road_refused("another key", "signature error:", public_key=public, sign=other)

    def test_answer_cannot_set_the_key(self):
        _, public = self.key("publisher")
        other, other_public = self.key("other")
        self.road_refused("answer naming its own key", "signature error:",
                          lambda: self.change_answer(publicKey=other_public), public_key=public, sign=other)
        self.assertEqual(self.read_conf()["publicKey"], public)

    def test_package_cannot_bring_update_conf_with_a_key(self):
        secret, public = self.key("publisher")
        planted = os.path.join(self.folder, "Update.conf")
        with open(planted, "w") as f:
            json.dump({"version": "99", "url": "http://127.0.0.1:1/"}, f)
        self.road_refused("package with Update.conf", "unpacking failed", public_key=public, sign=secret,
                          extra=[planted])

    def test_package_404(self):
        self.package_mode = "404"
        self.road_refused("package 404", "download failed 7 times")

    def test_server_gone_mid_download(self):
        self.package_mode = "cut"
        self.road_refused("server gone mid-download", "download failed 7 times")

    def test_release_for_another_program(self):
        self.release(name="Selvane")
        self.configure(1)
        self.start_korvel()
        self.wait_for(self.answers, 30, "Korvel answering at start")
        stop = self.watch_port()
        self.wait_for(lambda: "not for Korvel" in self.update_log() and not self.updater_runs(), 60,
                      "release refused")
        self.wait_for(self.answers, ANSWER_WITHIN, "Korvel answering")
        stop()
        self.assertEqual(self.read_conf(), self.conf)
        self.assertFalse(self.down)

    # --- killed runs ------------------------------------------------------

    def kill_updater_at(self, line, start_time=1000, filler_mb=0):
        """Kills the Updater with SIGKILL once its output shows line, then
        lets the installation start again as a supervisor would, and a later
        run finish the update."""
        self.release(filler_mb=filler_mb)
        self.configure(1, start_time)
        self.start_korvel()
        self.wait_for(lambda: line in self.programs_said(), 90, f"the Updater saying {line!r}")
        for pid in self.pids(os.path.join(self.updater, "Updater")):
            os.kill(pid, signal.SIGKILL)
        killed = time.monotonic()
        self.wait_for(lambda: not self.updater_runs(), 10, "the Updater gone")

        def supervised():
            # A Korvel asked to end may still answer for a moment: the
            # supervisor starts one whenever none runs, not only now.
            if not self.pids(os.path.join(self.service, "Korvel")) and not self.updater_runs():
                self.start_korvel()
                return False
            return not self.updater_runs() and self.answers()
        # The installation starts and answers: now or after the next run.
        self.wait_for(supervised, 60, "Korvel answering after the kill")
        self.report(f"Updater killed at {line!r}", killed, watched=False)
        if self.read_conf()["version"] != "2":
            # The next start of Korvel runs the Updater again.
            self.restart_and_complete()
        self.check_installed()

    def restart_and_complete(self):
        """Quits Korvel and starts it again: its Updater completes the waiting update."""
        subprocess.run([os.path.join(self.service, "Korvel"), "--quit"], timeout=10)
        self.wait_for(lambda: not self.pids(os.path.join(self.service, "Korvel")), 15, "Korvel ended")
        self.start_korvel()
        self.wait_for(lambda: self.read_conf()["version"] == "2", 60, "the next run completing the update")
        self.wait_for(lambda: not self.updater_runs() and self.answers(), 30, "Korvel answering")

    def test_killed_while_downloading(self):
        self.kill_updater_at("offer found", filler_mb=40)

    def test_killed_while_verifying(self):
        self.kill_updater_at("downloaded ", filler_mb=40)

    def test_killed_while_unpacking(self):
        self.kill_updater_at("dir1:", filler_mb=40)

    def test_killed_while_closing_the_service(self):
        self.kill_updater_at("asking the service to end")

    def test_killed_while_waiting_to_install(self):
        self.kill_updater_at("installing in", start_time=3000)

    def test_killed_while_installing(self):
        self.kill_updater_at("installed: Korvel")

    def test_restart_during_the_wait(self):
        self.release()
        self.configure(1, 3000)
        self.start_korvel()
        self.wait_for(lambda: "installing in" in self.programs_said(), 90, "the wait before installing")
        self.wait_for(lambda: not self.pids(os.path.join(self.service, "Korvel")), 10, "Korvel ended")
        self.start_korvel()  # a supervisor, an impatient cashier
        self.wait_for(lambda: not self.updater_runs() and self.answers(), 60, "Korvel answering")
        # The running program kept its file; the update waits, whole.
        self.assertEqual(self.korvel_file(), self.old_korvel)
        self.assertEqual(self.read_conf()["version"], "1")
        self.assertFalse(os.path.exists(os.path.join(self.updater, "Korvel-old")))
        self.restart_and_complete()
        self.check_installed()


if __name__ == "__main__":
    UPDATER = sys.argv.pop(2)
    KORVEL = sys.argv.pop(1)
    share, shares = 0, 1
    if len(sys.argv) > 1 and sys.argv[1].startswith("--share="):
        share, shares = (int(n) for n in sys.argv.pop(1)[len("--share="):].split("/"))
    if len(sys.argv) > 1:
        sys.exit(f"usage: {sys.argv[0]} KORVEL_BINARY UPDATER_BINARY [--share=K/N]")
    # The installation is a copy without debug information, as a release
    # ships it: every road zips, checks, unpacks and copies the program, and
    # its debug sections are two thirds of it.
    stripped = tempfile.mkdtemp(prefix="update-road-programs.")
    for name in ("KORVEL", "UPDATER"):
        target = os.path.join(stripped, os.path.basename(globals()[name]))
        subprocess.run(["objcopy", "--strip-debug", globals()[name], target], check=True)
        globals()[name] = target
    names = sorted(unittest.TestLoader().getTestCaseNames(Road))
    suite = unittest.TestSuite(Road(name) for i, name in enumerate(names) if i % shares == share)
    # Korvel and its Updater outlive the Popen objects on purpose.
    result = unittest.TextTestRunner(verbosity=2, warnings="ignore").run(suite)
    shutil.rmtree(stripped, True)
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
