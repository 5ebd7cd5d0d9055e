#!/usr/bin/env python3
"""The demo in headless Chromium, served by a real lighttpd on 127.0.0.1.

    browser_test.py --vistrel PATH --fieldecho PATH --envprobe PATH [--artefacts DIR]
"""
import html
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from harness import SKIP, demo_site, take_options

PROGRAMS = {}
ARTEFACTS = [None]

HOSTILE_HOST = "h.example'\"><b id=pwn>x</b><img src=x onerror=\"document.title='pwned'\">\\'+alert(1)+'"

FORM_PAGE = """<!DOCTYPE html><html><head><meta charset="utf-8"><title>form</title></head>
<body onload="document.forms[0].submit()">
<form method="%s" action="/cgi-bin/fieldecho">
<input name="text" value="a b&amp;c=d%%e">
<input name="letter" value="é">
%s
</form></body></html>
"""
# lighttpd refuses a URL holding an encoded control byte (400), so only POST carries a line break.
TEXTAREA = """<textarea name="note">one
two</textarea>"""

HOSTILE_PAGE = """<!DOCTYPE html><html><head><meta charset="utf-8"><title>safe</title></head>
<body><div id="box"><script src="/hostile.js"></script></div></body></html>
"""


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return shutil.which(name)
    return None


class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.TemporaryDirectory()
        cls.cgi_bin = demo_site.lay_out(PROGRAMS, cls.root.name)
        www = os.path.join(cls.root.name, "www")
        for method in ("get", "post"):
            with open(os.path.join(www, "form-%s.html" % method), "w") as page:
                page.write(FORM_PAGE % (method, TEXTAREA if method == "post" else '<input name="note" value="one">'))
        with open(os.path.join(www, "hostile.html"), "w") as page:
            page.write(HOSTILE_PAGE)
        cls.write_hostile_snippet(os.path.join(www, "hostile.js"))
        cls.server = demo_site.Server(cls.root.name, demo_site.free_port())

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.root.cleanup()

    @classmethod
    def write_hostile_snippet(cls, path):
        """A counted visit answered for a request whose Host header is hostile."""
        with tempfile.TemporaryDirectory() as counters:
            with open(os.path.join(counters, "1.dat"), "w") as data:
                data.write("7")
            answer = subprocess.run(
                [PROGRAMS["vistrel"]], cwd=counters, stdin=subprocess.DEVNULL, capture_output=True, check=True,
                env={"REQUEST_METHOD": "GET", "QUERY_STRING": "cid=1&chto=c", "HTTP_HOST": HOSTILE_HOST,
                     "SCRIPT_NAME": "/cgi-bin/vistrel"}).stdout
        with open(path, "wb") as script:
            script.write(answer.split(b"\r\n\r\n", 1)[1])

    def chromium(self, *arguments):
        with tempfile.TemporaryDirectory() as profile:
            result = subprocess.run(
                [find_chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile, "--virtual-time-budget=5000"] + list(arguments),
                capture_output=True, timeout=120)
        return result.stdout.decode("utf-8", "replace")

    def dom(self, path):
        return self.chromium("--dump-dom", self.server.url + path)

    def counter_link(self, dom, counter):
        """The link the counter snippet wrote, and the count it shows."""
        match = re.search(r'<a href="(http://[^"]*\?cid=%s&amp;chto=v)" target="_blank" '
                          r'style="text-decoration:none" title="(\d+) visits counted">'
                          r'<img src="([^"]*)" border="0"><span style="[^"]*">(\d+)</span></a>' % counter, dom)
        self.assertIsNotNone(match, dom)
        self.assertEqual(match.group(2), match.group(4))
        return html.unescape(match.group(1)), match.group(3), int(match.group(4))

    def test_demo_page_counts_each_load_and_links_to_the_statistics(self):
        link, image, first = self.counter_link(self.dom("/"), 1)
        self.assertEqual(image, self.server.url + "/cgi-bin/count.gif")
        self.assertEqual(link, self.server.url + "/cgi-bin/vistrel?cid=1&chto=v")
        _, _, second = self.counter_link(self.dom("/"), 1)
        self.assertEqual(second, first + 1)

        statistics = self.dom(link[len(self.server.url):])
        self.assertIn("<h1>\"1\" counter: Statistics</h1>", statistics)
        self.assertIn("<p>%d visits totally registered with this counter</p>" % (second + 1), statistics)

        report = self.dom("/cgi-bin/vistrel?cid=2&chto=v")
        self.assertIn("<b>2</b> visits so far", report)

    def test_forms_submitted_by_the_browser_are_listed_as_encoded(self):
        for method in ("get", "post"):
            text = self.dom("/form-%s.html" % method)
            self.assertIn("3 successful form elements totally submitted", text, method)
            self.assertIn("letter=é", text.replace("Ã©", "é"), method)  # shown as windows-1252 without a charset
            self.assertIn("note=one\ntwo\n" if method == "post" else "note=one\n", text.replace("\r\n", "\n"), method)
            self.assertIn("text=a b&amp;c=d%e", text, method)

    def test_a_snippet_made_for_a_hostile_host_stays_inert(self):
        dom = self.dom("/hostile.html")
        self.assertIn("<title>safe</title>", dom)
        self.assertNotIn('id="pwn"', dom)
        box = re.search(r'<div id="box">(.*)</div>', dom, re.S).group(1)
        tags = re.findall(r"<([a-z]+)", box)
        self.assertEqual(tags, ["script", "a", "img", "span"], box)
        href = html.unescape(box.split('href="', 1)[1].split('"')[0])
        self.assertEqual(href, "http://" + HOSTILE_HOST + "/cgi-bin/vistrel?cid=1&chto=v")

    def test_screenshot_of_the_demo_page(self):
        if ARTEFACTS[0] is None:
            self.skipTest("no artefact folder given")
        os.makedirs(ARTEFACTS[0], exist_ok=True)
        path = os.path.join(ARTEFACTS[0], "demo.png")
        self.chromium("--screenshot=" + path, "--window-size=900,1000", "--hide-scrollbars", self.server.url + "/")
        with open(path, "rb") as picture:
            self.assertEqual(picture.read(8), b"\x89PNG\r\n\x1a\n")


def main():
    options, args = take_options(sys.argv[1:], ("vistrel", "fieldecho", "envprobe", "artefacts"))
    ARTEFACTS[0] = options.pop("artefacts", None)
    PROGRAMS.update(options)
    if demo_site.find_lighttpd() is None or find_chromium() is None:
        print("lighttpd or chromium is missing: skipped")
        sys.exit(SKIP)
    unittest.main(argv=[sys.argv[0]] + args, verbosity=2)


if __name__ == "__main__":
    main()
