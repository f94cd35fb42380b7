"""The Debian packages as a handset's user meets them: installed, the daemon run twice by an
unprivileged user who cannot write the installed template keeps one UDN, and nothing is served
but the published files."""
import argparse
import os
import subprocess
import sys
import unittest
from pathlib import Path
from urllib.parse import urljoin

import testbed

INSTALLED = Path("/opt/drivenook")
PUBLISHED = ["share/icons/tmserverd-120.png", "share/icons/tmserverd-48.png", "xml/TmApplicationServer.xml",
             "xml/TmClientProfile.xml", "xml/tmserverdevice.xml"]
LEFTOVER = "xml/tmserverdevice.xml.a1B2c3"
USER = f"tmpkg{os.getpid()}"


def run(*command):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=120).stdout


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if subprocess.run(["dpkg", "-s", "tmserverd"], capture_output=True).returncode == 0:
            raise unittest.SkipTest("tmserverd is installed already; this test would remove it")
        run("dpkg", "-i", *(str(p) for p in Path(PACKAGE_DIR).glob("*.deb") if "-dbgsym_" not in p.name))
        cls.addClassCleanup(run, "dpkg", "--purge", "tmserverd", "tmdemobackend")
        run("useradd", "--system", "--user-group", "--no-create-home", "--shell", "/usr/sbin/nologin", USER)
        cls.addClassCleanup(run, "userdel", USER)
        cls.bed = testbed.Testbed("pk", "/usr/bin/tmserverd")
        cls.addClassCleanup(cls.bed.close)

    def test_installs_only_the_published_files_and_a_valid_unit(self):
        files = [f for f in run("dpkg", "-L", "tmserverd").split() if Path(f).is_relative_to(INSTALLED)]
        self.assertEqual(sorted(str(Path(f).relative_to(INSTALLED)) for f in files if not Path(f).is_dir()), PUBLISHED)
        self.assertFalse([f for f in files if Path(f).is_symlink()])
        self.assertEqual(run("systemd-analyze", "verify", "--man=no", "/usr/lib/systemd/user/tmserverd.service"), "")

    def starts(self, home):
        """UDN and warnings of two starts of the daemon as the user, checking what each serves."""
        (home / "tmp").mkdir(parents=True)
        run("chown", "-R", f"{USER}:{USER}", str(home))
        env = {"HOME": str(home), "TMPDIR": str(home / "tmp"), "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent",
               "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent"}
        udns, warnings = [], []
        for start in range(2):
            daemon = self.bed.start_daemon("-i", "usb0", env=env, wrapper=["setpriv", f"--reuid={USER}",
                                                                           f"--regid={USER}", "--clear-groups"])
            daemon.wait_listening()
            location = self.bed.sole_root_device(daemon)
            udns.append(testbed.element(self.bed.curl(location)[1], "UDN"))
            for path, expected in [(p, 200) for p in PUBLISHED] + [(LEFTOVER, 404), ("xml/", 404)]:
                self.assertEqual(self.bed.curl(urljoin(location, "/" + path))[0], expected, path)
            self.assertEqual(daemon.stop(), 0, daemon.log())
            warnings.append([line for line in daemon.log().splitlines() if line.startswith("<4>tmserver.device")])
        print(f"UDN on both starts: {udns}", file=sys.stderr)
        self.assertRegex(udns[0], r"^uuid:[0-9a-f-]{36}$")
        self.assertEqual(udns[1], udns[0])
        return udns[0], warnings

    def test_user_keeps_one_identity_and_sees_only_published_files(self):
        self.bed.directory.chmod(0o711)
        template, state = INSTALLED / PUBLISHED[-1], ".local/state/tmserverd/identity"
        (INSTALLED / LEFTOVER).write_text("left by an interrupted write-back")
        self.addCleanup((INSTALLED / LEFTOVER).unlink)
        pristine = template.read_bytes()
        with self.subTest("template of root's: the identity goes to the state file"):
            udn, warnings = self.starts(self.bed.directory / "home-state")
            self.assertEqual(template.read_bytes(), pristine)
            self.assertIn(udn, (self.bed.directory / "home-state" / state).read_text())
            self.assertEqual([len(w) for w in warnings], [1, 0], warnings)
            self.assertIn(f"{template}: Permission denied", warnings[0][0])
        with self.subTest("template of the user's in root's directory: written over in place"):
            run("chown", USER, str(template))
            udn, warnings = self.starts(self.bed.directory / "home-in-place")
            self.assertEqual(testbed.element(template.read_bytes(), "UDN"), udn)
            self.assertEqual((warnings, (self.bed.directory / "home-in-place" / state).exists()), ([[], []], False))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--package-dir", required=True)
    options, sys.argv[1:] = parser.parse_known_args()
    PACKAGE_DIR = options.package_dir
    unittest.main()
