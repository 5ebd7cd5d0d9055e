#!/usr/bin/env python3
"""The guide followed as a user would: its commands, run on a private copy of
this machine with each server's stock configuration (a fresh copy for each
deployment), then the programs as browsers and the site's administrator meet
them, through an upgrade under traffic, a removal and a purge.

    deploy_test.py --guide-build DIR --packages DIR lighttpd|apache|nginx|shared

lighttpd, apache and nginx: each of that server's deployments of the guide,
from the package and from source, on port 8080. shared: lighttpd with the CGI
programs on port 80 and nginx with FastCGI workers on port 8080 counting the
same counters at once.
"""
import collections
import glob
import itertools
import os
import re
import sys
import threading
import time
import unittest
from urllib.parse import urlsplit

from harness import (CGI_BIN, COUNTERS, ERROR_SNIPPET, LIMIT, OPTIONS, ROOT, Guide, Machine, changed_server_files,
                     listening, main, request, snippet, wait_until)

PACKAGE, SOURCE = "the package", "from source"
# The order of the servers' own blocks in the sections From source and Uninstalling.
SERVERS = ("lighttpd", "apache2", "nginx")
DEPLOYMENTS = [
    # (name, server, route, the guide's section that enables it)
    ("lighttpd CGI", "lighttpd", PACKAGE, "lighttpd: CGI programs"),
    ("lighttpd FastCGI", "lighttpd", PACKAGE, "lighttpd: FastCGI workers"),
    ("Apache CGI", "apache2", PACKAGE, "Apache httpd: CGI programs"),
    ("Apache FastCGI", "apache2", PACKAGE, "Apache httpd: FastCGI workers"),
    ("nginx FastCGI", "nginx", PACKAGE, "nginx: FastCGI workers"),
    ("lighttpd CGI from source", "lighttpd", SOURCE, "lighttpd: CGI programs"),
    ("Apache FastCGI from source", "apache2", SOURCE, "Apache httpd: FastCGI workers"),
    ("nginx FastCGI from source", "nginx", SOURCE, "nginx: FastCGI workers"),
]
HTTPS = {"lighttpd": "lighttpd over HTTPS", "apache2": "Apache httpd over HTTPS", "nginx": "nginx over HTTPS"}
PORT = 8080
# Not the guide's: each deployment serves on port 8080, where the snippet must name the port.
ON_PORT_8080 = {
    "lighttpd": "sed -i 's/^server.port .*/server.port = 8080/' /etc/lighttpd/lighttpd.conf",
    "apache2": "sed -i 's/^Listen 80$/Listen 8080/' /etc/apache2/ports.conf && "
               "sed -i 's/^<VirtualHost \\*:80>$/<VirtualHost *:8080>/' /etc/apache2/sites-available/000-default.conf",
    "nginx": "sed -i 's/80 default_server/8080 default_server/' /etc/nginx/sites-available/vistrel",
}
GUIDE = Guide()
FORM = (b"1 successful form elements totally submitted\r\n\r\nListing decoded data:\r\n\r\n"
        b"a=x y!\r\n")


class Traffic:
    """`clients` visitors counting on a counter, each a new connection per
    visit, until stopped or until they made `total` visits: the counts they
    were shown and the failures. With https, every other one visits over
    HTTPS on port 443."""

    def __init__(self, port, counter, clients=16, total=None, https=False):
        self.counter, self.counts, self.failures = counter, [], []
        self.left = itertools.count() if total is None else iter(range(total))
        self.done = threading.Event()
        self.threads = [threading.Thread(target=self.visit, args=(443, True) if https and number % 2 else (port, False))
                        for number in range(clients)]
        for thread in self.threads:
            thread.start()

    def visit(self, port, tls):
        deadline = time.monotonic() + LIMIT * 4
        while not self.done.is_set() and time.monotonic() < deadline and next(self.left, None) is not None:
            try:
                status, _, body = request(port, "GET", "/cgi-bin/vistrel?cid=%s&chto=c" % self.counter, tls=tls)
                if status == 200:
                    self.counts.append(snippet(body)[2])
                else:
                    self.failures.append(status)
            except (OSError, AssertionError) as error:  # no answer, or no counter snippet
                self.failures.append(type(error).__name__)

    def stop(self, now=True):
        if now:
            self.done.set()
        for thread in self.threads:
            thread.join(LIMIT * 4)
        return self


class Deployment:
    """The checks every deployment passes; subclasses name the deployment."""
    name = server = route = section = None

    @classmethod
    def setUpClass(cls):
        cls.machine = Machine().__enter__()
        try:
            cls.deploy()
        except BaseException:
            cls.machine.__exit__(*sys.exc_info())
            raise

    @classmethod
    def tearDownClass(cls):
        cls.machine.__exit__(None, None, None)

    @classmethod
    def deploy(cls):
        """The guide's install, for this route, and its blocks for this server,
        run twice, as by a user who pastes them again."""
        if cls.route == PACKAGE:
            install = GUIDE.shell("Install the package")[0].split("\n", 1)[1]  # the fixture has built them
        else:
            steps = GUIDE.shell("From source")  # the fixture has built the programs
            install = steps[1] + steps[2 + SERVERS.index(cls.server)]
        cls.machine.run(install + "".join(GUIDE.shell(cls.section)) * 2)
        cls.machine.run(ON_PORT_8080[cls.server] + "\nsystemctl restart " + cls.server, serving=(PORT,))

    def get(self, path, **options):
        return request(PORT, "GET", path, **options)

    def counting(self):
        """Whether a visit is answered with a counter snippet; where nothing listens, no."""
        try:
            return self.get("/cgi-bin/vistrel?cid=7&chto=c")[0] == 200
        except ConnectionRefusedError:
            return False

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
        create, check = GUIDE.shell("Create a counter")
        for mistake in ("chown root: 7.dat", "chmod 444 7.dat", "rm 7.dat", "rm 7.dat && mkdir 7.dat", "true"):
            with self.subTest(mistake=mistake):
                self.machine.run("rm -rf %s/7.dat\n%s\ncd %s && %s" % (COUNTERS, create, COUNTERS, mistake))
                usable = mistake == "true"
                said = self.machine.run(check, expect_status=0 if usable else 1)
                self.assertEqual(said.endswith("\nok: a visit would count\n"), usable, said)
                self.assertEqual(self.visit() == ERROR_SNIPPET, not usable)
                view = self.get("/cgi-bin/vistrel?cid=7&chto=v")[2]
                self.assertEqual(b"This counter <u>does not exist</u>!" in view, not usable)
        # Made for www-data alone; made again, it is refused and keeps its count.
        self.assertEqual(os.stat(COUNTERS + "/7.dat").st_mode & 0o777, 0o600)
        self.machine.run(create, expect_status=1)
        self.assertEqual(self.machine.read_counter("7"), "1")

    def test_counter_files_an_older_install_left_beside_the_programs_are_never_served(self):
        self.machine.write_counter("7", 1234567, CGI_BIN)
        self.machine.run("echo 'report * secret' > /usr/lib/cgi-bin/7.report")
        for path in ("/cgi-bin/7.dat", "/cgi-bin/7.report", "/cgi-bin/7%2edat", "/cgi-bin/../cgi-bin/7.dat",
                     "/cgi-bin/7.DAT"):
            status, _, body = self.get(path)
            self.assertIn(status, (403, 404), path)
            self.assertNotIn(b"1234567", body, path)
            self.assertNotIn(b"secret", body, path)

    def test_forms_are_listed_and_an_answer_of_nothing_is_a_server_error(self):
        self.machine.write_counter("7", 5)
        form, listed = {"Content-Type": "application/x-www-form-urlencoded"}, (200, "text/plain", FORM)
        for method, path, body, headers, answer in [
                ("GET", "/cgi-bin/fieldecho?a=x+y%21", None, {}, listed),
                ("POST", "/cgi-bin/fieldecho", b"a=x+y%21", form, listed),
                ("POST", "/cgi-bin/fieldecho", b"a=1", {"Content-Type": "multipart/form-data"}, None),
                ("GET", "/cgi-bin/vistrel?cid=7&chto=x", None, {}, None)]:
            status, headers, text = request(PORT, method, path, body, headers)
            self.assertEqual((status, headers.get("Content-Type"), text) if answer else status,
                             answer or (502 if self.server == "nginx" else 500), path)
        self.assertEqual(self.machine.read_counter("7"), "5")

    def test_overlapping_visits_are_each_counted_once(self):
        self.machine.write_counter("7", 1000)
        counts = Traffic(PORT, "7", total=200).stop(now=False).counts
        self.assertEqual(sorted(counts), list(range(1000, 1200)))
        self.assertEqual(self.machine.read_counter("7"), "1200")

    def test_lifecycle_upgrade_under_traffic_then_uninstall(self):
        self.machine.write_counter("7", 99)
        self.visit()  # mod_fcgid starts its workers on demand
        before = self.workers()
        https = listening(443)
        traffic = Traffic(PORT, "7", https=https)
        self.addCleanup(traffic.stop)  # also when the test fails before it stops them
        time.sleep(1)
        started = time.monotonic()
        self.upgrade()
        took = time.monotonic() - started
        time.sleep(1)
        traffic.stop()
        counted = int(self.machine.read_counter("7")) - 100
        print("%s%s: upgrade in %.1f s under 16 clients: %d visits answered, %d failed %s"
              % (self.name, " with HTTPS" * https, took, len(traffic.counts), len(traffic.failures),
                 sorted(set(map(str, traffic.failures)))))
        # Each answered visit counted once; a failed one at most once.
        self.assertEqual(len(set(traffic.counts)), len(traffic.counts))
        self.assertLessEqual(len(traffic.counts), counted)
        self.assertLessEqual(counted, len(traffic.counts) + len(traffic.failures))
        self.assertEqual(traffic.failures, [])
        # lighttpd's reload and the restart of systemd's workers end the old workers, each after the
        # request in hand; mod_fcgid serves the new program from the first request on, the old one idles.
        if self.server != "apache2":
            wait_until(lambda: not set(before) & set(self.workers()), "the old programs' workers gone")
        self.visit()
        self.assertEqual(bool(before) and CGI_BIN + "/vistrel" in self.workers().values(), "FastCGI" in self.section)
        self.uninstall()

    def upgrade(self):
        if self.route == PACKAGE:
            # The fixture has built the higher version; its guide names it.
            self.machine.mount_build("packages", os.path.join(OPTIONS["packages"], "2"))
            second = os.path.basename(glob.glob(OPTIONS["packages"] + "/2/vistrel_*.deb")[0]).split("_")[1]
            self.install_again = GUIDE.shell("Upgrading the package")[0].split("\n", 1)[1]
            self.machine.run(self.install_again, serving=(PORT,))
            self.assertIn("Version: " + second, self.machine.run("dpkg -s vistrel"))
        else:
            install, restart = GUIDE.shell("Upgrading from source")
            self.machine.run(install + (restart if "FastCGI" in self.section and self.server != "apache2" else ""))

    def uninstall(self):
        server = "systemctl restart " + self.server
        if self.route == SOURCE:
            self.machine.run(GUIDE.shell("Uninstalling the package")[SERVERS.index(self.server)] +
                             GUIDE.shell("Uninstalling from source")[0] + server, serving=self.restarted())
            self.assertFalse(self.counting())
            self.assertTrue(os.path.exists(COUNTERS + "/7.dat"))
            self.deploy()
            return
        conffiles = self.machine.run("dpkg-query -W -f '${Conffiles}' vistrel").split()[::2]
        # Removed while enabled, by the guide's line (envprobe is not installed): every server still
        # starts; counts and configuration stay.
        self.machine.run(GUIDE.shell("Uninstalling the package")[-1] + server, serving=self.restarted())
        self.assertFalse(self.counting())
        count = self.machine.read_counter("7")
        self.assertTrue(all(map(os.path.exists, conffiles)), conffiles)
        # Installed again, it counts on where it was, once lighttpd tries its workers again (a second
        # after they failed it).
        self.machine.run(self.install_again, serving=(PORT,))
        wait_until(lambda: self.get("/cgi-bin/vistrel?cid=7&chto=v")[0] == 200, "a view answered")
        self.assertEqual(snippet(self.visit())[2], int(count))
        # Purged while enabled: every server still starts; the counters and configuration are gone.
        self.machine.run("apt-get purge -y vistrel\n" + server, serving=self.restarted())
        self.assertFalse(os.path.exists(COUNTERS), "purge keeps the counters")
        self.assertEqual([path for path in conffiles if os.path.exists(path)], [])
        self.assertFalse(self.counting())
        # And after a purge, the first version installs and serves as on a fresh machine.
        self.machine.unmount(os.path.join(ROOT, "build", "packages"))
        self.deploy()
        self.machine.write_counter("7", 1)
        self.assertEqual(snippet(self.visit())[2], 1)

    def restarted(self):
        """The port to wait for after the server restarts without the programs: lighttpd's unit is
        started before lighttpd listens; nginx's once it does, and without the programs' site, on
        a port of its default site's."""
        return () if self.server == "nginx" else (PORT,)

    def workers(self):
        """vistrel's FastCGI workers, each checked to run as www-data: process id, program file."""
        found = {}
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                program = os.readlink("/proc/%s/exe" % pid)
            except OSError:
                continue
            if program in (CGI_BIN + "/vistrel", CGI_BIN + "/vistrel (deleted)"):
                with open("/proc/%s/status" % pid) as status:
                    self.assertRegex(status.read(), r"\nUid:\t33\t")
                found[int(pid)] = program
        return found


class SocketWorkers:
    """Workers on the socket that systemd holds for them."""

    def test_the_socket_is_www_datas_alone_and_starts_a_worker_for_a_request_that_finds_none(self):
        status = os.stat("/run/vistrel-fcgi.socket")
        self.assertEqual((status.st_uid, status.st_mode & 0o777), (33, 0o600))
        units = " ".join("$(realpath /lib/systemd/system/%s-worker%s)" % (program, unit)
                         for program in ("vistrel", "fieldecho") for unit in (".socket", "@.service"))
        self.assertEqual(self.machine.run("systemd-analyze verify %s 2>&1" % units.replace("@.", "@1.")), "")
        print("%s: %s" % (self.name, self.machine.run(
            "systemd-analyze security --no-pager vistrel-worker@1.service | tail -1").strip()))
        self.machine.write_counter("7", 1)
        self.machine.run("systemctl stop 'vistrel-worker@*'")
        self.assertEqual(snippet(self.visit())[2], 1)
        self.machine.run("systemctl start vistrel-worker@{1..4}")
        self.assertEqual(len(self.workers()), 4)


class ServedOverHttps:
    """The guide's HTTPS section for the server, on port 443."""

    def test_https_serves_a_snippet_that_points_at_https(self):
        self.machine.write_counter("7", 3)
        self.machine.run("".join(GUIDE.shell(HTTPS[self.server])) * 2, serving=(PORT, 443))
        status, _, body = request(443, "GET", "/cgi-bin/vistrel?cid=7&chto=c", tls=True)
        self.assertEqual((status, snippet(body)), (200, ("https://127.0.0.1/cgi-bin/vistrel?cid=7&chto=v",
                                                         "https://127.0.0.1/cgi-bin/count.gif", 3)))
        self.assertEqual(request(443, "GET", "/cgi-bin/count.gif", tls=True)[2][:6], b"GIF89a")


class OperatingCounters:
    """The guide's Operating counters section, block by block."""

    def test_operating_counters(self):
        report, listing, set_count, delete = GUIDE.shell("Operating counters")
        backup, restore_one, restore_all = GUIDE.shell("Backing up counters")
        self.machine.write_counter("7", 10 ** 6)
        self.machine.write_counter("12", 9)
        self.machine.run(report * 2 + backup * 2)
        self.assertIn(b"<p>Counter 7: 1000000 visits.</p>", self.get("/cgi-bin/vistrel?cid=7&chto=v")[2])
        self.assertEqual(os.stat(COUNTERS + "/7.report").st_mode & 0o777, 0o600)
        self.assertLessEqual({"12 9", "7 1000000"}, set(self.machine.run(listing).splitlines()))
        # Set to 0, then restored from the backup, while 16 clients visit: the counts shown run
        # from 1,000,000, from 0 and from 1,000,000 again, each visit counted once.
        traffic = Traffic(PORT, "7")
        self.addCleanup(traffic.stop)
        for commands in (set_count, restore_one):
            wait_until(lambda seen=len(traffic.counts): len(traffic.counts) > seen + 20, "visits counted")
            self.machine.run(commands)
        wait_until(lambda seen=len(traffic.counts): len(traffic.counts) > seen + 20, "visits counted")
        shown = collections.Counter(traffic.stop().counts)
        from_zero = sum(times for count, times in shown.items() if count < 10 ** 6)
        restored = int(self.machine.read_counter("7")) - 10 ** 6
        runs = [range(10 ** 6, 10 ** 6 + len(traffic.counts) - from_zero - restored), range(from_zero),
                range(10 ** 6, 10 ** 6 + restored)]
        print("%s: vistrelctl set and restore under 16 clients: %d visits, %d before the set, %d from 0, %d after "
              "the restore, %d failed" % (self.name, len(traffic.counts), len(runs[0]), from_zero, restored,
                                          len(traffic.failures)))
        self.assertEqual((traffic.failures, shown), ([], sum(map(collections.Counter, runs), collections.Counter())))
        self.machine.run(restore_all)
        self.assertTrue(self.machine.run(GUIDE.shell("Create a counter")[1]).endswith("\nok: a visit would count\n"))
        self.assertIn(b"<p>Counter 7: 1000000 visits.</p>", self.get("/cgi-bin/vistrel?cid=7&chto=v")[2])
        self.machine.run(delete)
        self.machine.run(delete, expect_status=1)
        self.assertEqual(self.visit(), ERROR_SNIPPET)
        self.assertEqual(snippet(self.visit("12"))[2], 9)

    def test_envprobe_is_installed_on_request_and_removed(self):
        install = re.search(r"`(apt-get install \S*envprobe\S*)`", GUIDE.text).group(1)
        self.assertEqual(self.get("/cgi-bin/envprobe")[0], 404)
        self.machine.run(install)
        status, _, answer = request(PORT, "POST", "/cgi-bin/envprobe?x=1", b"body")
        self.assertEqual(status, 200)
        self.assertTrue(answer.startswith(b"Request method: POST\r\n\r\nListing command line:\r\n"
                                          b"/usr/lib/cgi-bin/envprobe\r\n"), answer[:200])
        self.assertIn(b"\r\nQUERY_STRING=x=1\r\n", answer)
        self.assertTrue(answer.endswith(b"Listing stdin:\r\nbody"), answer[-100:])
        self.machine.run("apt-get remove -y envprobe")
        # lighttpd trusts what it learnt of a file for a second.
        wait_until(lambda: self.get("/cgi-bin/envprobe")[0] == 404, "404 for envprobe once removed")

    def test_counters_of_an_older_install_move_to_the_counter_folder(self):
        self.machine.write_counter("21", 77, CGI_BIN)
        self.machine.write_counter("22", 5, CGI_BIN)
        self.machine.write_counter("22", 6)
        self.machine.run("".join(GUIDE.shell("Moving counters of an older install")) * 2)
        self.assertEqual(snippet(self.visit("21"))[2], 77)
        self.assertEqual((os.stat(COUNTERS + "/21.dat").st_mode & 0o777, self.machine.read_counter("22")),
                         (0o600, "6"))
        self.assertEqual(self.machine.read_counter("22", CGI_BIN), "5")  # never overwritten: left to compare


class SharedCounters:
    """lighttpd running the CGI programs and nginx running FastCGI workers, on
    one counter folder."""

    def test_two_servers_count_the_same_counter_at_once(self):
        with Machine() as machine:
            machine.run(GUIDE.shell("Install the package")[0].split("\n", 1)[1] +
                        "".join(GUIDE.shell("nginx: FastCGI workers")) + ON_PORT_8080["nginx"] +
                        "\nsystemctl restart nginx\n" + "".join(GUIDE.shell("lighttpd: CGI programs")),
                        serving=(80, PORT))
            machine.write_counter("7", 5000)
            both = [Traffic(port, "7", total=1000) for port in (80, PORT)]
            counts = sum((traffic.stop(now=False).counts for traffic in both), [])
            self.assertEqual(sorted(counts), list(range(5000, 7000)))
            self.assertEqual(machine.read_counter("7"), "7000")
            # A counter file may be a symbolic link into a shared folder, which the workers may then write.
            os.makedirs("/run/e2e/shared")
            machine.run("printf 41 > /run/e2e/shared/8.dat && chown www-data: /run/e2e/shared/8.dat && "
                        "ln -s /run/e2e/shared/8.dat %s/8.dat" % COUNTERS)
            machine.run("mkdir -p /etc/systemd/system/vistrel-worker@.service.d && printf '[Service]\\n"
                        "ReadWritePaths=/run/e2e/shared\\n' > /etc/systemd/system/vistrel-worker@.service.d/shared.conf"
                        " && systemctl daemon-reload && systemctl restart vistrel-worker@{1..4}")
            self.assertEqual([Traffic(port, "8", 1, 1).stop(now=False).counts for port in (80, PORT)], [[41], [42]])
            self.assertEqual(machine.read_counter("8"), "43")


    def test_a_copy_starts_from_stock_and_changed_configuration_files_are_named(self):
        with Machine() as machine:
            self.assertEqual(changed_server_files(["lighttpd", "nginx"]), [])
            machine.run("echo '# changed' >> /etc/nginx/nginx.conf && rm /etc/lighttpd/lighttpd.conf")
            self.assertEqual(changed_server_files(["lighttpd", "nginx"]),
                             ["/etc/lighttpd/lighttpd.conf", "/etc/nginx/nginx.conf"])


def select(server):
    """Defines the test classes of one server's deployments, or of the shared
    folder; returns the programs they need."""
    if server == "shared":
        globals()["SharedCountersTest"] = type("SharedCounters", (SharedCounters, unittest.TestCase), {})
        return ["lighttpd", "nginx"]
    for name, server_name, route, section in DEPLOYMENTS:
        if server_name.startswith(server or "?"):
            https = route == PACKAGE
            bases = (Deployment,) + ((SocketWorkers,) if "FastCGI" in name and server_name != "apache2" else ()) + (
                (OperatingCounters,) if name == "lighttpd CGI" else ()) + ((ServedOverHttps,) if https else ())
            test = type(name, bases + (unittest.TestCase,), dict(
                name=name, server=server_name, route=route, section=section))
            globals()[re.sub(r"\W", "", name) + "Test"] = test
    return {"lighttpd": ["lighttpd"], "apache": ["apache2"],
            "nginx": ["nginx"]}.get(server, ["a server: lighttpd, apache, nginx or shared"])


if __name__ == "__main__":
    main(options=("guide-build", "packages"), select=select)
