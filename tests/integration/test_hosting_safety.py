"""Whatever the head unit sends, the daemon's HTTP server hands out nothing but the installation
directory and the personalised description, and never takes in a large body."""
import unittest
from pathlib import Path
from urllib.parse import urlsplit

import testbed

TRAVERSAL = "/../../../../../../../../../../etc/passwd"
PASSWD = Path("/etc/passwd").read_bytes()
TEN_MEGABYTES = 10 * 1024 * 1024
# A 10 MB body read into memory, even once and freed again, would raise the peak well past this.
MEMORY_GROWTH_LIMIT_KIB = 4 * 1024


class HostingSafety(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        INSTALL.restore_template()
        cls.bed = testbed.Testbed("hs", DAEMON)
        try:
            cls.daemon = cls.bed.start_daemon("-i", "usb0")
            cls.port = cls.daemon.wait_listening()
            cls.location = cls.bed.sole_root_device(cls.daemon)
            cls.temporary_description, = cls.daemon.temporary_descriptions()
            cls.big_body = cls.bed.directory / "big-body"
            cls.big_body.write_bytes(b"x" * TEN_MEGABYTES)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.bed.close()
        INSTALL.restore_template()

    def url(self, path):
        return f"http://{testbed.HANDSET_ADDRESS}:{self.port}{path}"

    def requests(self):
        """(what, path, curl options, expected status)"""
        own = f"{testbed.HANDSET_ADDRESS}:{self.port}"
        description_path = urlsplit(self.location).path
        temporary = self.temporary_description
        hosted = "/xml/tmserverdevice.xml"
        chunked = ["-H", "Transfer-Encoding: chunked", "--data-binary", "small body"]
        return [
            ("personalised description", description_path, [], 200),
            ("description template", hosted, [], 200),
            ("absolute path", "/etc/passwd", [], 404),
            ("parent of root", "/../etc/passwd", [], 404),
            ("encoded parents", "/%2e%2e/%2e%2e/etc/passwd", [], 404),
            ("double-encoded parents", "/%252e%252e/%252e%252e/etc/passwd", [], 404),
            ("parents under icons", "/icons/../../../etc/passwd", [], 404),
            ("encoded slashes under icons", "/icons/..%2f..%2f..%2f..%2fetc%2fpasswd", [], 404),
            ("backslashes", "/xml/..%5c..%5c..%5c..%5cetc%5cpasswd", [], 404),
            ("encoded NUL", "/xml/tmserverdevice.xml%00", [], 404),
            ("temporary description by name", f"/{temporary.name}", [], 404),
            ("temporary description by path", str(temporary), [], 404),
            ("temporary description by parents", f"/xml/../../../../../../../..{temporary}", [], 404),
            ("temporary directory", f"{temporary.parent}/", [], 404),
            ("root directory", "/", [], 404),
            ("language traversal on root", "/", ["-H", f"Accept-Language: {TRAVERSAL}"], 404),
            ("language traversal on icons", "/icons/", ["-H", f"Accept-Language: {TRAVERSAL}"], 404),
            ("language traversal among good tokens", "/icons/",
             ["-H", f"Accept-Language: de;q=0.9, {TRAVERSAL}, en;q=0.5"], 404),
            ("language traversal on a file", hosted, ["-H", f"Accept-Language: x{TRAVERSAL}"], 200),
            ("backslash language", hosted, ["-H", "Accept-Language: ..\\..\\etc"], 200),
            ("foreign Host", hosted, ["-H", f"Host: 10.77.0.99:{self.port}"], 412),
            ("Host with another port", hosted, ["-H", f"Host: {testbed.HANDSET_ADDRESS}:{self.port + 1}"], 412),
            ("Host without port", hosted, ["-H", f"Host: {testbed.HANDSET_ADDRESS}"], 412),
            ("HTTP/1.0 without Host", hosted, ["--http1.0", "-H", "Host:"], 412),
            ("own Host spelled out", hosted, ["-H", f"Host: {own}"], 200),
            ("chunked upload", hosted, chunked, 413),
            ("10 MB body", hosted, ["-H", "Expect: 100-continue", "--data-binary", f"@{self.big_body}"], 413),
            ("10 MB body without waiting for 100-continue", hosted,
             ["-H", "Expect:", "--data-binary", f"@{self.big_body}"], 413),
        ]

    def send(self, path, options, expected):
        status, body, uploaded = self.bed.curl(self.url(path), *options)
        self.assertEqual(status, expected, f"{path} {options}")
        self.assertNotIn(PASSWD.splitlines()[0], body)
        self.assertNotIn(b"upnp_root_device_", body)
        if "Expect: 100-continue" in options:
            self.assertEqual(uploaded, 0, "the body was asked for")

    def test_requests_get_their_status_and_never_a_foreign_file(self):
        for what, path, options, expected in self.requests():
            with self.subTest(what):
                self.send(path, options, expected)
        self.assertTrue(self.daemon.running(), self.daemon.log())

    def test_rejected_bodies_leave_memory_flat(self):
        if self.daemon.sanitized():
            self.skipTest("the sanitizer's allocator keeps freed memory in quarantine")
        before = [self.daemon.status_field_kib(field) for field in ("VmRSS", "VmHWM")]
        for what, path, options, expected in self.requests():
            if expected == 413:
                self.send(path, options, expected)
        after = [self.daemon.status_field_kib(field) for field in ("VmRSS", "VmHWM")]
        self.assertLess(max(a - b for a, b in zip(after, before)), MEMORY_GROWTH_LIMIT_KIB)

    def test_served_files_are_the_installed_ones(self):
        for path, installed in (("/xml/tmserverdevice.xml", INSTALL.template),
                                (urlsplit(self.location).path, self.temporary_description)):
            status, body, _ = self.bed.curl(self.url(path), "-H", f"Accept-Language: x{TRAVERSAL}")
            self.assertEqual((status, body), (200, installed.read_bytes()), path)


if __name__ == "__main__":
    DAEMON, INSTALL = testbed.parse_arguments()
    unittest.main()
