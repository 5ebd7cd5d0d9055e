#!/usr/bin/env python3
"""The three programs behind a real lighttpd, over HTTP on 127.0.0.1.

    lighttpd_test.py --vistrel PATH --fieldecho PATH --envprobe PATH
"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

from harness import SKIP, demo_site, request, take_options

PROGRAMS = {}


class LighttpdTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.TemporaryDirectory()
        cls.cgi_bin = demo_site.lay_out(PROGRAMS, cls.root.name)
        cls.server = demo_site.Server(cls.root.name, demo_site.free_port())
        cls.host = "127.0.0.1:%d" % cls.server.port

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.root.cleanup()

    def request(self, method, path, body=None, headers=None):
        return request(self.server.port, method, path, body, headers)

    def set_count(self, counter, text):
        with open(os.path.join(self.cgi_bin, counter + ".dat"), "w") as data:
            data.write(text)

    def count_of(self, counter):
        with open(os.path.join(self.cgi_bin, counter + ".dat")) as data:
            return data.read()

    def test_fieldecho_lists_get_and_post_forms(self):
        listing = b"2 successful form elements totally submitted\r\n\r\nListing decoded data:\r\n\r\n"
        cases = [
            ("GET", "/cgi-bin/fieldecho?b=2&a=x+y%21", None, {}),
            ("POST", "/cgi-bin/fieldecho", b"b=2&a=x+y%21", {"Content-Type": "application/x-www-form-urlencoded"}),
            ("PUT", "/cgi-bin/fieldecho?ignored=1", b"b=2&a=x+y%21", {}),
        ]
        for method, path, body, headers in cases:
            status, content_type, answer = self.request(method, path, body, headers)
            self.assertEqual((status, content_type), (200, "text/plain"), method)
            self.assertEqual(answer, listing + b"a=x y!\r\nb=2\r\n", method)

    def test_a_program_that_answers_nothing_gets_a_server_error(self):
        cases = [
            ("POST", "/cgi-bin/fieldecho", b"a=1", {"Content-Type": "multipart/form-data"}),
            ("GET", "/cgi-bin/vistrel?cid=1&chto=x", None, {}),
        ]
        for method, path, body, headers in cases:
            self.assertEqual(self.request(method, path, body, headers)[0], 500, path)

    def test_vistrel_roads(self):
        self.set_count("5", "41\n")
        status, content_type, answer = self.request("GET", "/cgi-bin/vistrel?cid=5&chto=c")
        self.assertEqual((status, content_type), (200, "text/javascript"))
        self.assertIn(("document.write('<a href=\\'http://%s/cgi-bin/vistrel?cid=5&chto=v\\'" % self.host).encode(),
                      answer)
        self.assertIn(b"' title=\\'41 visits counted\\'><img src=\\'http://%s/cgi-bin/count.gif\\'"
                      % self.host.encode(), answer)
        self.assertTrue(answer.endswith(b">41</span></a>');"))
        self.assertEqual(self.count_of("5"), "42\n")

        status, content_type, answer = self.request("GET", "/cgi-bin/vistrel?cid=5&chto=v")
        self.assertEqual((status, content_type), (200, "text/html"))
        self.assertIn(b"<p>42 visits totally registered with this counter</p>", answer)
        self.assertTrue(answer.endswith(b"</body></html>"))

        status, _, answer = self.request("GET", "/cgi-bin/vistrel?cid=2&chto=v")
        self.assertIn(b"<b>0</b> visits so far", answer)

        self.assertEqual(self.request("GET", "/cgi-bin/vistrel?cid=9&chto=c")[2],
                         b"document.write('<span style=\\'background-color:white; color:red; font-size: 12px;\\'>"
                         b"ERROR</span>');")
        status, _, answer = self.request("GET", "/cgi-bin/vistrel?cid=9&chto=v")
        self.assertEqual(status, 200)
        self.assertIn(b"Cannot show statistics for <b>9</b>", answer)
        self.assertFalse(os.path.exists(os.path.join(self.cgi_bin, "9.dat")))

    def test_counter_files_are_not_served_and_the_image_is(self):
        for path in ("/cgi-bin/1.dat", "/cgi-bin/2.report", "/cgi-bin/1%2edat", "/cgi-bin/../cgi-bin/2.report"):
            self.assertEqual(self.request("GET", path)[0], 403, path)
        status, content_type, image = self.request("GET", "/cgi-bin/count.gif")
        self.assertEqual((status, content_type), (200, "image/gif"))
        self.assertTrue(image.startswith(b"GIF89a"))

    def test_envprobe_shows_the_request(self):
        status, content_type, answer = self.request("POST", "/cgi-bin/envprobe?x=1", b"line\r\nend\x1a!",
                                                    {"Content-Type": "text/plain"})
        self.assertEqual((status, content_type), (200, "text/plain"))
        self.assertTrue(answer.startswith(b"Request method: POST\r\n\r\nListing command line:\r\n"
                                          + os.path.realpath(os.path.join(self.cgi_bin, "envprobe")).encode()
                                          + b"\r\n"), answer[:200])
        self.assertIn(b"\r\nQUERY_STRING=x=1\r\n", answer)
        self.assertTrue(answer.endswith(b"\r\n\r\nListing stdin:\r\nline\r\nend"))

    def test_many_overlapping_visits_are_all_counted(self):
        if not demo_site.shutil.which("curl"):
            self.skipTest("curl is missing")
        visits = 300
        self.set_count("6", "1000")
        with tempfile.TemporaryDirectory() as out:
            config = os.path.join(out, "curl.conf")
            with open(config, "w") as listing:
                for i in range(visits):
                    listing.write('url = "http://%s/cgi-bin/vistrel?cid=6&chto=c&n=%d"\noutput = "%s/%d"\n'
                                  % (self.host, i, out, i))
            subprocess.run(["curl", "--silent", "--no-progress-meter", "--fail", "--parallel", "--parallel-max", "30", "--max-time", "60",
                            "--config", config], check=True)
            counts = set()
            for i in range(visits):
                with open(os.path.join(out, str(i)), "rb") as answer:
                    counts.add(int(re.search(rb">(\d+)</span></a>'\);$", answer.read()).group(1)))
        self.assertEqual(counts, set(range(1000, 1000 + visits)))
        self.assertEqual(self.count_of("6"), str(1000 + visits))


def main():
    programs, args = take_options(sys.argv[1:], ("vistrel", "fieldecho", "envprobe"))
    PROGRAMS.update(programs)
    if demo_site.find_lighttpd() is None:
        print("lighttpd is missing: skipped")
        sys.exit(SKIP)
    unittest.main(argv=[sys.argv[0]] + args, verbosity=2)


if __name__ == "__main__":
    main()
