#!/usr/bin/env python3
"""The demo server as scripts/demo.sh starts it, after its build:
site/demo_site.py serve, as root, with the CGI programs and with FastCGI
workers; and the problems it reports in one line.

    demo_test.py --vistrel PATH --fieldecho PATH --envprobe PATH
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import unittest

from harness import LIMIT, OPTIONS, ROOT, Machine, main, request, snippet, stop, wait_until

PROGRAMS = ("vistrel", "fieldecho", "envprobe")


def uid_of(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Uid:"))


def children(pid):
    with open("/proc/%d/task/%d/children" % (pid, pid)) as listing:
        return [int(child) for child in listing.read().split()]


def running_programs(parent):
    """The programs that a process's children run, once each has started it."""
    names = []
    for pid in children(parent):
        try:
            names.append(os.path.basename(os.readlink("/proc/%d/exe" % pid)))
        except OSError:
            pass
    return sorted(names)


class DemoTest(unittest.TestCase):
    def setUp(self):
        self.machine = Machine().__enter__()
        self.addCleanup(self.machine.__exit__, None, None, None)
        self.programs = "/run/e2e/programs"
        os.makedirs(self.programs)
        for name in PROGRAMS:
            shutil.copy2(OPTIONS[name], self.programs)

    def serve(self, root, mode="cgi", port=8080):
        """demo_site.py started as demo.sh starts it; returns the process."""
        demo = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "site", "demo_site.py"), "serve", "--programs", self.programs,
             "--root", root, "--port", str(port), "--mode", mode],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(demo.stderr.close)
        self.addCleanup(demo.stdout.close)
        self.addCleanup(stop, demo)
        return demo

    def test_serves_the_demo_as_www_data_with_cgi_programs_and_with_fastcgi_workers(self):
        for mode in ("cgi", "fastcgi"):
            with self.subTest(mode):
                root = "/run/e2e/demo-" + mode
                demo = self.serve(root, mode)
                self.assertEqual(demo.stdout.readline(),
                                 "Serving the demo (%s) at http://127.0.0.1:8080/ (Ctrl-C stops it)\n" % mode)
                lighttpd = children(demo.pid)[0]
                self.assertEqual(uid_of(lighttpd), 33)
                if mode == "fastcgi":
                    workers = wait_until(lambda: running_programs(lighttpd) == sorted(PROGRAMS) and children(lighttpd),
                                         "lighttpd's FastCGI workers")
                    self.assertEqual({uid_of(pid) for pid in workers}, {33})
                    self.assertEqual({os.readlink("/proc/%d/cwd" % pid) for pid in workers}, {root + "/www/cgi-bin"})
                self.assertEqual(request(8080, "GET", "/")[0], 200)
                counts = [snippet(request(8080, "GET", "/cgi-bin/vistrel?cid=1&chto=c")[2])[2] for _ in range(2)]
                self.assertEqual(counts, [0, 1])
                self.assertIn(b"\r\na=1\r\n", request(8080, "GET", "/cgi-bin/fieldecho?a=1")[2])
                self.assertEqual(request(8080, "GET", "/cgi-bin/count.gif")[2][:6], b"GIF89a")
                self.assertEqual(request(8080, "GET", "/cgi-bin/1.dat")[0], 403)
                # Ctrl-C or SIGTERM stops the demo, lighttpd and its workers with it.
                demo.send_signal(signal.SIGTERM)
                self.assertEqual(demo.wait(LIMIT), 0)
                wait_until(lambda: not os.path.exists("/proc/%d/exe" % lighttpd), "lighttpd gone with the demo")

    def test_a_folder_that_www_data_cannot_reach_moves_the_site(self):
        private = "/run/e2e/private"
        os.makedirs(private, 0o700)
        demo = self.serve(private + "/demo")
        self.assertEqual(demo.stderr.readline(), "demo: www-data, lighttpd's user, cannot reach /run/e2e/private/demo "
                                                 "(a folder on the way, such as /root, is private): the site goes "
                                                 "to /var/lib/vistrel-demo (rm -rf /var/lib/vistrel-demo removes it)\n")
        self.assertEqual(demo.stdout.readline(), "Serving the demo (cgi) at http://127.0.0.1:8080/ (Ctrl-C stops it)\n")
        self.assertEqual(snippet(request(8080, "GET", "/cgi-bin/vistrel?cid=1&chto=c")[2])[2], 0)
        with open("/var/lib/vistrel-demo/www/cgi-bin/1.dat") as count:
            self.assertEqual((count.read(), os.fstat(count.fileno()).st_mode & 0o777), ("1", 0o600))

    def test_a_busy_port_is_one_line(self):
        busy = socket.socket()
        self.addCleanup(busy.close)
        busy.bind(("127.0.0.1", 8080))
        busy.listen()
        demo = self.serve("/run/e2e/demo")
        output, errors = demo.communicate(timeout=LIMIT)
        self.assertEqual((demo.returncode, output, errors),
                         (1, "", "demo: port 8080 on 127.0.0.1 is in use: stop what serves there, or pick another "
                                 "port: PORT=9000 scripts/demo.sh\n"))


if __name__ == "__main__":
    main(needs=("lighttpd",), options=PROGRAMS)
