#!/usr/bin/env python3
"""The demo, and a site deployed by the guide over HTTP on port 8080 and over
HTTPS, in headless Chromium.

    browser_test.py --vistrel PATH --fieldecho PATH --envprobe PATH --guide-build DIR --packages DIR
                    [--artefacts DIR]
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

import harness
from deploy_test import ON_PORT_8080
from harness import LIMIT, OPTIONS, Chromium, Guide, Machine, main

sys.path.insert(0, os.path.join(harness.ROOT, "site"))
import demo_site  # noqa: E402

HOSTILE_HOST = "h.example'\"><b id=pwn>x</b><img src=x onerror=\"document.title='pwned'\">\\'+alert(1)+'"
FORM_PAGE = """<!DOCTYPE html><html><head><meta charset="utf-8"><title>form</title></head><body>
<form method="%s" action="/cgi-bin/fieldecho">
<input name="text" value="a b&amp;c=d%%e"><input name="letter" value="é">%s
</form></body></html>
"""
# lighttpd refuses a URL holding an encoded control byte (400), so only POST carries a line break.
NOTES = {"get": '<input name="note" value="one">', "post": '<textarea name="note">one\ntwo</textarea>'}
HOSTILE_PAGE = """<!DOCTYPE html><html><head><meta charset="utf-8"><title>safe</title></head>
<body><div id="box"><script src="/hostile.js"></script></div></body></html>
"""
# What the page shows of its first counter: link, image, its width once loaded, the count.
COUNTER = """(() => { const link = document.querySelector('%s a');
  return [link.href, link.querySelector('img').src, link.querySelector('img').naturalWidth,
          link.querySelector('span').textContent]; })()"""


class Browser:
    @classmethod
    def setUpClass(cls):
        cls.machine = Machine().__enter__()
        try:
            cls.serve()
            cls.browser = Chromium()
        except BaseException:
            cls.machine.__exit__(*sys.exc_info())
            raise

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()
        cls.tear_down()
        cls.machine.__exit__(None, None, None)

    def counter(self, url, section="body"):
        """Loads a page; returns its messages and what its counter shows."""
        messages = self.browser.open(url)
        link, image, width, count = self.browser.evaluate(COUNTER % section)
        return messages, link, image, width, int(count)


class DemoTest(Browser, unittest.TestCase):
    @classmethod
    def serve(cls):
        root = "/run/e2e/demo"
        demo_site.lay_out({name: OPTIONS[name] for name in demo_site.PROGRAMS}, root)
        www = os.path.join(root, "www")
        for method in ("get", "post"):
            with open(os.path.join(www, "form-%s.html" % method), "w") as page:
                page.write(FORM_PAGE % (method, NOTES[method]))
        with open(os.path.join(www, "hostile.html"), "w") as page:
            page.write(HOSTILE_PAGE)
        with open(os.path.join(www, "hostile.js"), "wb") as script:
            script.write(cls.hostile_snippet())
        cls.server = demo_site.Server(root, 8080)
        cls.url = cls.server.url

    @classmethod
    def tear_down(cls):
        cls.server.stop()

    @staticmethod
    def hostile_snippet():
        """A counted visit answered for a request whose Host header is hostile."""
        with tempfile.TemporaryDirectory() as counters:
            with open(os.path.join(counters, "1.dat"), "w") as data:
                data.write("7")
            answer = subprocess.run(
                [OPTIONS["vistrel"]], cwd=counters, stdin=subprocess.DEVNULL, capture_output=True, check=True,
                timeout=LIMIT, env={"REQUEST_METHOD": "GET", "QUERY_STRING": "cid=1&chto=c",
                                    "HTTP_HOST": HOSTILE_HOST, "SCRIPT_NAME": "/cgi-bin/vistrel"}).stdout
        return answer.split(b"\r\n\r\n", 1)[1]

    def test_demo_page_counts_each_load_and_links_to_the_statistics(self):
        _, link, image, width, first = self.counter(self.url + "/", "#counter-1")
        self.assertEqual((link, image, width), (self.url + "/cgi-bin/vistrel?cid=1&chto=v",
                                                self.url + "/cgi-bin/count.gif", 88))
        self.assertEqual(self.counter(self.url + "/", "#counter-1")[4], first + 1)
        self.browser.open(link)
        self.assertEqual(self.browser.evaluate("document.querySelector('p').textContent"),
                         "%d visits totally registered with this counter" % (first + 2))
        self.browser.open(self.url + "/cgi-bin/vistrel?cid=2&chto=v")
        self.assertIn("visits so far", self.browser.evaluate("document.body.textContent"))

    def test_forms_submitted_by_the_browser_are_listed_as_encoded(self):
        for method, note in (("get", "note=one\n"), ("post", "note=one\ntwo\n")):
            self.browser.open(self.url + "/form-%s.html" % method)
            self.browser.submit()
            text = self.browser.evaluate("document.body.innerText").replace("\r\n", "\n")
            self.assertIn("3 successful form elements totally submitted", text, method)
            self.assertIn("letter=Ã©", text, method)  # UTF-8 shown as windows-1252, as without a charset
            self.assertIn(note, text, method)
            self.assertIn("text=a b&c=d%e", text, method)

    def test_a_snippet_made_for_a_hostile_host_stays_inert(self):
        self.browser.open(self.url + "/hostile.html")
        self.assertEqual(self.browser.evaluate(
            "[document.title, document.getElementById('pwn'),"
            " [...document.querySelectorAll('#box *')].map(e => e.tagName).join(),"
            " document.querySelector('#box a').getAttribute('href')]"),
            ["safe", None, "SCRIPT,A,IMG,SPAN", "http://" + HOSTILE_HOST + "/cgi-bin/vistrel?cid=1&chto=v"])

    def test_screenshot_of_the_demo_page(self):
        if "artefacts" not in OPTIONS:
            self.skipTest("no artefact folder given")
        os.makedirs(OPTIONS["artefacts"], exist_ok=True)
        self.browser.open(self.url + "/")
        path = os.path.join(OPTIONS["artefacts"], "demo.png")
        self.browser.screenshot(path)
        with open(path, "rb") as picture:
            self.assertEqual(picture.read(8), b"\x89PNG\r\n\x1a\n")


class GuideOverHttpsTest(Browser, unittest.TestCase):
    """lighttpd as the guide sets it up, on port 8080 and with TLS on 443,
    serving a page that embeds counter 7 as the guide says."""

    @classmethod
    def serve(cls):
        if "packages" not in OPTIONS:
            raise unittest.SkipTest("no packages given (a sanitized build tests its own programs only)")
        guide = Guide()
        cls.machine.run(guide.shell("Install the package")[0].split("\n", 1)[1] +  # the fixture has built it
                        "".join(guide.shell("lighttpd: CGI programs") + guide.shell("Create a counter")[:1]) +
                        ON_PORT_8080["lighttpd"] + "\n" + "".join(guide.shell("lighttpd over HTTPS")),
                        serving=(8080, 443))
        embed = next(text for heading, language, text, _ in guide.blocks if language == "html")
        with open("/var/www/html/counter.html", "w") as page:
            page.write("<!DOCTYPE html><html><head><title>counter</title></head><body>%s</body></html>" % embed)

    @classmethod
    def tear_down(cls):
        pass

    def test_the_counter_loads_whole_over_http_and_https(self):
        for origin, count in (("http://127.0.0.1:8080", 0), ("https://127.0.0.1", 1)):
            messages, link, image, width, shown = self.counter(origin + "/counter.html")
            self.assertEqual((link, image, width, shown), (origin + "/cgi-bin/vistrel?cid=7&chto=v",
                                                           origin + "/cgi-bin/count.gif", 88, count))
            # No mixed content, nothing of the counter that failed to load or run.
            texts = [json.dumps(message["params"]) for message in messages]
            self.assertEqual([text for text in texts if re.search(r"Mixed Content|count\.gif|vistrel|exceptionDetails",
                                                                  text)], [], origin)


if __name__ == "__main__":
    main(needs=("lighttpd", "chromium", "openssl"),
         options=("vistrel", "fieldecho", "envprobe", "guide-build", "packages", "artefacts"))
