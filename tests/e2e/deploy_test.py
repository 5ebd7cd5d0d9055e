#!/usr/bin/env python3
"""The guide followed as a user would: its commands, run on this machine's
stock server configurations (a fresh private copy for each deployment), then
the programs as browsers and the site's administrator meet them.

    deploy_test.py --guide-build DIR lighttpd|apache|nginx|shared

lighttpd, apache and nginx: each of that server's deployments of the guide,
on port 8080. shared: lighttpd with the CGI programs on port 80 and nginx with
FastCGI workers on port 8080 counting the same counters at once.
"""
import concurrent.futures
import http.client
import os
import re
import sys
import unittest
from urllib.parse import urlsplit

from harness import CGI_BIN, ERROR_SNIPPET, LIMIT, Guide, Machine, main, request, snippet, wait_until

INSTALL = ["Install", "Counters"]
WORKERS = "FastCGI workers for nginx"
RESTART_LIGHTTPD, RESTART_APACHE, RESTART_WORKERS = 1, 2, 3  # the Upgrading section's restart blocks
DEPLOYMENTS = [
    # (name, server, the guide's sections in the order a user follows them,
    #  status for an answer of nothing, status without workers, restart block after an upgrade)
    ("lighttpd CGI", "lighttpd", INSTALL + ["lighttpd: CGI programs", "lighttpd on another port"], 500, None, None),
    ("lighttpd FastCGI", "lighttpd", INSTALL + ["lighttpd: FastCGI workers", "lighttpd on another port"],
     500, None, RESTART_LIGHTTPD),
    ("Apache CGI", "apache2", INSTALL + ["Apache httpd: CGI programs", "Apache httpd on another port"],
     500, None, None),
    ("Apache FastCGI", "apache2", INSTALL + ["Apache httpd: FastCGI workers", "Apache httpd on another port"],
     500, None, RESTART_APACHE),
    ("nginx FastCGI", "nginx", INSTALL + [WORKERS, "nginx", "nginx on another port"], 502, 502, RESTART_WORKERS),
]
PORT = 8080
GUIDE = Guide()
FORM = (b"1 successful form elements totally submitted\r\n\r\nListing decoded data:\r\n\r\n"
        b"a=x y!\r\n")


def visits(port, counter, total, in_flight):
    """Counts `total` visits, `in_flight` at a time over kept-alive
    connections; returns the counts the snippets showed."""
    def one_connection(share):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=LIMIT)
        counts = []
        for _ in range(share):
            connection.request("GET", "/cgi-bin/vistrel?cid=%s&chto=c" % counter)
            response = connection.getresponse()
            counts.append(snippet(response.read())[2])
        connection.close()
        return counts
    shares = [total // in_flight + (i < total % in_flight) for i in range(in_flight)]
    with concurrent.futures.ThreadPoolExecutor(in_flight) as pool:
        return [count for counts in pool.map(one_connection, shares) for count in counts]


class Deployment:
    """The checks every deployment passes; subclasses name the deployment."""
    name = sections = nothing_status = no_worker_status = restart = None

    @classmethod
    def setUpClass(cls):
        cls.machine = Machine().__enter__()
        try:
            GUIDE.follow(cls.machine, *cls.sections)
        except BaseException:
            cls.machine.__exit__(*sys.exc_info())
            raise

    @classmethod
    def tearDownClass(cls):
        cls.machine.__exit__(None, None, None)

    def get(self, path, **options):
        return request(PORT, "GET", path, **options)

    def visit(self, counter="7"):
        status, headers, body = self.get("/cgi-bin/vistrel?cid=%s&chto=c" % counter)
        self.assertEqual((status, headers.get("Content-Type")), (200, "text/javascript"), body[:300])
        return body

    def test_a_visit_is_counted_and_its_snippet_points_at_the_page_host_and_port(self):
        self.machine.write_counter("7", 41)
        link, image, count = snippet(self.visit())
        self.assertEqual((link, image, count), ("http://127.0.0.1:%d/cgi-bin/vistrel?cid=7&chto=v" % PORT,
                                                "http://127.0.0.1:%d/cgi-bin/count.gif" % PORT, 41))
        self.assertEqual(self.machine.read_counter("7"), "42")
        # What the browser fetches next: the image, and on a click the statistics.
        status, headers, gif = self.get(urlsplit(image).path)
        self.assertEqual((status, headers.get("Content-Type"), gif[:6]), (200, "image/gif", b"GIF89a"))
        status, _, page = self.get(urlsplit(link).path + "?" + urlsplit(link).query)
        self.assertEqual(status, 200)
        self.assertIn(b"<p>42 visits totally registered with this counter</p>", page)
        # A longer id counts on counter 1.
        self.machine.write_counter("1", 8)
        self.assertEqual(snippet(self.visit("home"))[::2], ("http://127.0.0.1:%d/cgi-bin/vistrel?cid=1&chto=v" % PORT,
                                                            8))

    def test_a_counter_that_is_missing_or_not_www_datas_shows_error_and_fails_the_check(self):
        create, check = GUIDE.shell("Counters")[:2]
        for mistake in ("chown root: 7.dat", "chmod 444 7.dat", "rm 7.dat", "rm 7.dat && mkdir 7.dat", "true"):
            with self.subTest(mistake=mistake):
                self.machine.run("rm -rf /usr/lib/cgi-bin/7.dat\n%s\ncd /usr/lib/cgi-bin && %s" % (create, mistake))
                usable = mistake == "true"
                self.assertEqual(self.machine.run(check, expect_status=0 if usable else 1), "usable\n" * usable)
                self.assertEqual(self.visit() == ERROR_SNIPPET, not usable)
                view = self.get("/cgi-bin/vistrel?cid=7&chto=v")[2]
                self.assertEqual(b"This counter <u>does not exist</u>!" in view, not usable)

    def test_counter_files_are_never_served(self):
        self.machine.write_counter("7", 1234567)
        self.machine.run("echo 'report * secret' > /usr/lib/cgi-bin/7.report")
        for path in ("/cgi-bin/7.dat", "/cgi-bin/7.report", "/cgi-bin/7%2edat", "/cgi-bin/../cgi-bin/7.dat",
                     "/cgi-bin/7.DAT"):
            status, _, body = self.get(path)
            self.assertIn(status, (403, 404), path)
            self.assertNotIn(b"1234567", body, path)
            self.assertNotIn(b"secret", body, path)

    def test_fieldecho_lists_get_and_post_forms(self):
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        for method, path, body, headers in [("GET", "/cgi-bin/fieldecho?a=x+y%21", None, {}),
                                            ("POST", "/cgi-bin/fieldecho", b"a=x+y%21", form)]:
            status, headers, answer = request(PORT, method, path, body, headers)
            self.assertEqual((status, headers.get("Content-Type"), answer), (200, "text/plain", FORM), method)

    def test_an_answer_of_nothing_is_a_server_error(self):
        self.machine.write_counter("7", 5)
        for method, path, body, headers in [("POST", "/cgi-bin/fieldecho", b"a=1",
                                             {"Content-Type": "multipart/form-data"}),
                                            ("GET", "/cgi-bin/vistrel?cid=7&chto=x", None, {})]:
            self.assertEqual(request(PORT, method, path, body, headers)[0], self.nothing_status, path)
        self.assertEqual(self.machine.read_counter("7"), "5")

    def test_overlapping_visits_are_each_counted_once(self):
        self.machine.write_counter("7", 1000)
        counts = visits(PORT, "7", 200, 16)
        self.assertEqual(sorted(counts), list(range(1000, 1200)))
        self.assertEqual(self.machine.read_counter("7"), "1200")

    def test_an_upgrade_serves_the_new_programs(self):
        upgrading = GUIDE.shell("Upgrading")
        self.visit()
        before = self.worker_pids()
        self.machine.run(upgrading[0] + (upgrading[self.restart] if self.restart else ""))
        self.machine.write_counter("7", 3)
        # Workers that start on demand (mod_fcgid) come back with the first visit.
        self.assertEqual(snippet(self.visit())[2], 3)
        wait_until(lambda: bool(self.worker_pids()) == bool(before), "workers running again after the upgrade")
        after = self.worker_pids()
        self.assertFalse(set(before) & set(after), "workers of the old programs still run")
        if after:
            self.assertEqual(self.machine.run(GUIDE.shell("Troubleshooting")[0]), CGI_BIN + "\n")

    def worker_pids(self):
        """vistrel's FastCGI workers, each checked to run as www-data in the
        counter folder."""
        pids = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                program = os.readlink("/proc/%s/exe" % pid)
            except OSError:
                continue
            if program in (CGI_BIN + "/vistrel", CGI_BIN + "/vistrel (deleted)"):
                self.assertEqual(os.readlink("/proc/%s/cwd" % pid), CGI_BIN)
                with open("/proc/%s/status" % pid) as status:
                    self.assertRegex(status.read(), r"\nUid:\t33\t")
                pids.append(int(pid))
        return pids


class SpawnedWorkers:
    """Workers that spawn-fcgi started, not the server."""

    def test_without_workers_the_server_answers_an_error(self):
        self.machine.run("systemctl stop vistrel-fcgi@vistrel")
        try:
            self.assertEqual(self.get("/cgi-bin/vistrel?cid=7&chto=c")[0], self.no_worker_status)
        finally:
            self.machine.run("systemctl start vistrel-fcgi@vistrel")


class OperatingCounters:
    """The guide's Operating counters section, block by block."""

    def test_operating_counters(self):
        report, listing, reset, backup, restore, delete = GUIDE.shell("Operating counters")
        self.machine.write_counter("7", 5)
        self.machine.write_counter("12", 9)
        self.machine.run(report)
        self.assertIn(b"<p>Counter 7: 5 visits.</p>", self.get("/cgi-bin/vistrel?cid=7&chto=v")[2])
        self.assertLessEqual({"/usr/lib/cgi-bin/12.dat:9", "/usr/lib/cgi-bin/7.dat:5"},
                             set(self.machine.run(listing).split()))
        self.machine.run(reset)
        self.assertEqual(snippet(self.visit())[2], 0)
        self.machine.run(backup)
        self.visit()
        self.machine.run(restore)
        self.assertEqual(self.machine.read_counter("7"), "1")
        self.assertEqual(self.machine.run(GUIDE.shell("Counters")[1]), "usable\n")
        self.assertIn(b"<p>Counter 7: 1 visits.</p>", self.get("/cgi-bin/vistrel?cid=7&chto=v")[2])
        self.machine.run(delete)
        self.assertEqual(self.visit(), ERROR_SNIPPET)
        self.assertEqual(snippet(self.visit("12"))[2], 9)

    def test_envprobe_is_installed_on_request_and_removed(self):
        install, remove = GUIDE.shell("envprobe")
        self.assertEqual(self.get("/cgi-bin/envprobe")[0], 404)
        self.machine.run(install)
        status, _, answer = request(PORT, "POST", "/cgi-bin/envprobe?x=1", b"body")
        self.assertEqual(status, 200)
        self.assertTrue(answer.startswith(b"Request method: POST\r\n\r\nListing command line:\r\n"
                                          b"/usr/lib/cgi-bin/envprobe\r\n"), answer[:200])
        self.assertIn(b"\r\nQUERY_STRING=x=1\r\n", answer)
        self.assertTrue(answer.endswith(b"Listing stdin:\r\nbody"), answer[-100:])
        self.machine.run(remove)
        # lighttpd trusts what it learnt of a file for a second.
        wait_until(lambda: self.get("/cgi-bin/envprobe")[0] == 404, "404 for envprobe once removed")


class SharedCounters:
    """lighttpd running the CGI programs and nginx running FastCGI workers, on
    one counter folder."""

    def test_two_servers_count_the_same_counter_at_once(self):
        with Machine() as machine:
            GUIDE.follow(machine, *INSTALL, WORKERS, "nginx", "nginx on another port", "lighttpd: CGI programs")
            machine.write_counter("7", 5000)
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                counts = sum(pool.map(lambda port: visits(port, "7", 1000, 16), (80, PORT)), [])
            self.assertEqual(sorted(counts), list(range(5000, 7000)))
            self.assertEqual(machine.read_counter("7"), "7000")
            # A counter file may be a symbolic link into a shared folder.
            os.makedirs("/run/e2e/shared")
            machine.run("printf 41 > /run/e2e/shared/8.dat && chown www-data: /run/e2e/shared/8.dat && "
                        "ln -s /run/e2e/shared/8.dat /usr/lib/cgi-bin/8.dat")
            self.assertEqual([visits(port, "8", 1, 1) for port in (80, PORT)], [[41], [42]])
            self.assertEqual(machine.read_counter("8"), "43")


def select(server):
    """Defines the test classes of one server's deployments, or of the shared
    folder; returns the programs they need."""
    if server == "shared":
        globals()["SharedCountersTest"] = type("SharedCounters", (SharedCounters, unittest.TestCase), {})
        return ["lighttpd", "nginx", "spawn-fcgi"]
    for name, server_name, sections, nothing, no_worker, restart in DEPLOYMENTS:
        if server_name.startswith(server or "?"):
            bases = (Deployment,) + ((SpawnedWorkers,) if no_worker else ()) + (
                (OperatingCounters,) if name == "lighttpd CGI" else ())
            test = type(name, bases + (unittest.TestCase,), dict(
                name=name, sections=sections, nothing_status=nothing, no_worker_status=no_worker, restart=restart))
            globals()[re.sub(r"\W", "", name) + "Test"] = test
    return {"lighttpd": ["lighttpd"], "apache": ["apache2"],
            "nginx": ["nginx", "spawn-fcgi"]}.get(server, ["a server: lighttpd, apache, nginx or shared"])


if __name__ == "__main__":
    main(options=("guide-build",), select=select)
