#!/usr/bin/env python3
"""The deployment configurations of the guide, under a real Apache httpd and a real
nginx with fcgiwrap, each started here on 127.0.0.1 and stopped by its process id.

    servers_test.py --vistrel PATH --fieldecho PATH --envprobe PATH
"""
import http.client
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from harness import SKIP, demo_site, request, take_options

DEPLOY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "deploy")
PROGRAMS = {}
SERVER_USER = "www-data"


def render(template, **values):
    with open(os.path.join(DEPLOY, template)) as source:
        text = source.read()
    for key, value in values.items():
        text = text.replace("@%s@" % key, value)
    return text


def wait_for(port, process, name):
    deadline = time.time() + 15
    while time.time() < deadline:
        if process.poll() is not None:
            raise RuntimeError("%s exited with status %d" % (name, process.returncode))
        try:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=1)
            connection.request("GET", "/cgi-bin/count.gif")
            connection.getresponse().read()
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("%s did not answer" % name)


def stop(process):
    if process.poll() is None:
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait()


class DeployedSite:
    """The demo's cgi-bin folder, owned by the web server's user as the guide says."""

    def __init__(self):
        self.root = tempfile.mkdtemp()
        os.chmod(self.root, 0o755)
        self.cgi_bin = demo_site.lay_out(PROGRAMS, self.root)
        self.site = os.path.join(self.root, "www")
        user = pwd.getpwnam(SERVER_USER)
        for name in os.listdir(self.cgi_bin):
            if name.endswith(".dat"):
                os.chown(os.path.join(self.cgi_bin, name), user.pw_uid, user.pw_gid)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class ServerChecks:
    """The checks every server must pass; subclasses start the server."""

    def request(self, method, path, body=None, headers=None):
        return request(self.port, method, path, body, headers)

    def test_counter_counts_and_keeps_its_files_private(self):
        with open(os.path.join(self.site_files.cgi_bin, "1.dat")) as data:
            before = int(data.read())
        status, content_type, answer = self.request("GET", "/cgi-bin/vistrel?cid=1&chto=c")
        self.assertEqual((status, content_type), (200, "text/javascript"))
        self.assertIn(b"?cid=1&chto=v", answer)
        self.assertTrue(answer.endswith(b">%d</span></a>');" % before), answer)
        with open(os.path.join(self.site_files.cgi_bin, "1.dat")) as data:
            self.assertEqual(int(data.read()), before + 1)
        self.assertIn(b"<b>0</b> visits so far", self.request("GET", "/cgi-bin/vistrel?cid=2&chto=v")[2])
        for path in ("/cgi-bin/1.dat", "/cgi-bin/2.report"):
            self.assertEqual(self.request("GET", path)[0], 403, path)
        status, content_type, image = self.request("GET", "/cgi-bin/count.gif")
        self.assertEqual((status, content_type), (200, "image/gif"))

    def test_form_echo_by_get_and_post(self):
        expected = b"1 successful form elements totally submitted\r\n\r\nListing decoded data:\r\n\r\na=x y\r\n"
        self.assertEqual(self.request("GET", "/cgi-bin/fieldecho?a=x+y")[2], expected)
        self.assertEqual(self.request("POST", "/cgi-bin/fieldecho", b"a=x+y",
                                      {"Content-Type": "application/x-www-form-urlencoded"})[2], expected)

    def test_a_request_answered_with_nothing_is_a_server_error(self):
        status = self.request("POST", "/cgi-bin/fieldecho", b"a=1", {"Content-Type": "multipart/form-data"})[0]
        self.assertEqual(status, self.empty_answer_status)
        self.assertEqual(self.request("GET", "/cgi-bin/vistrel?cid=1&chto=x")[0], self.empty_answer_status)

    def test_probe_runs_in_its_own_folder(self):
        status, _, answer = self.request("POST", "/cgi-bin/envprobe", b"body")
        self.assertEqual(status, 200)
        self.assertTrue(answer.startswith(b"Request method: POST\r\n"), answer[:100])
        self.assertTrue(answer.endswith(b"Listing stdin:\r\nbody"), answer[-100:])


@unittest.skipUnless(shutil.which("apache2") or os.path.exists("/usr/sbin/apache2"), "apache2 is missing")
class ApacheTest(ServerChecks, unittest.TestCase):
    empty_answer_status = 500

    @classmethod
    def setUpClass(cls):
        cls.site_files = DeployedSite()
        cls.port = demo_site.free_port()
        run = os.path.join(cls.site_files.root, "apache")
        os.makedirs(run)
        config = os.path.join(run, "httpd.conf")
        modules = "/usr/lib/apache2/modules"
        with open(config, "w") as out:
            out.write("\n".join(
                ["LoadModule %s_module %s/mod_%s.so" % (m, modules, m)
                 for m in ("mpm_event", "authz_core", "alias", "mime", "cgid", "dir")] +
                ["ServerRoot %s" % run, "PidFile %s/httpd.pid" % run, "ErrorLog %s/error.log" % run,
                 "ScriptSock %s/cgid.sock" % run, "Listen 127.0.0.1:%d" % cls.port, "ServerName 127.0.0.1",
                 "User %s" % SERVER_USER, "Group %s" % SERVER_USER, "DocumentRoot %s" % cls.site_files.site,
                 "TypesConfig /etc/mime.types", ""]) + render("apache.conf.in", CGI_BIN=cls.site_files.cgi_bin))
        cls.process = subprocess.Popen(["/usr/sbin/apache2", "-DFOREGROUND", "-f", config])
        wait_for(cls.port, cls.process, "apache2")

    @classmethod
    def tearDownClass(cls):
        stop(cls.process)
        cls.site_files.remove()


@unittest.skipUnless(shutil.which("nginx") and shutil.which("fcgiwrap"), "nginx or fcgiwrap is missing")
class NginxTest(ServerChecks, unittest.TestCase):
    empty_answer_status = 502

    @classmethod
    def setUpClass(cls):
        cls.site_files = DeployedSite()
        cls.port = demo_site.free_port()
        run = os.path.join(cls.site_files.root, "nginx")
        os.makedirs(run)
        socket_path = os.path.join(run, "fcgiwrap.sock")
        user = pwd.getpwnam(SERVER_USER)
        os.chown(run, user.pw_uid, user.pw_gid)
        cls.fcgiwrap = subprocess.Popen(["fcgiwrap", "-s", "unix:" + socket_path],
                                        preexec_fn=lambda: (os.setgid(user.pw_gid), os.setuid(user.pw_uid)))
        deadline = time.time() + 10
        while not os.path.exists(socket_path) and time.time() < deadline:
            time.sleep(0.05)
        config = os.path.join(run, "nginx.conf")
        with open(config, "w") as out:
            out.write("daemon off;\npid %s/nginx.pid;\nerror_log %s/error.log;\nuser %s;\n"
                      "events {}\nhttp {\n include /etc/nginx/mime.types;\n access_log off;\n"
                      " client_body_temp_path %s;\n fastcgi_temp_path %s;\n"
                      " server {\n  listen 127.0.0.1:%d;\n%s\n }\n}\n"
                      % (run, run, SERVER_USER, run, run, cls.port,
                         render("nginx.conf.in", SITE=cls.site_files.site, FCGI_SOCKET=socket_path,
                                FASTCGI_PARAMS="/etc/nginx/fastcgi_params")))
        cls.process = subprocess.Popen(["nginx", "-c", config])
        wait_for(cls.port, cls.process, "nginx")

    @classmethod
    def tearDownClass(cls):
        stop(cls.process)
        stop(cls.fcgiwrap)
        cls.site_files.remove()


def main():
    programs, args = take_options(sys.argv[1:], ("vistrel", "fieldecho", "envprobe"))
    PROGRAMS.update(programs)
    if os.geteuid() != 0:
        print("needs root to start the servers as their own user: skipped")
        sys.exit(SKIP)
    unittest.main(argv=[sys.argv[0]] + args, verbosity=2)


if __name__ == "__main__":
    main()
