#!/usr/bin/env python3
"""Lays out the demo site and serves it with lighttpd.

    demo_site.py serve --programs DIR --root DIR [--port 8080] [--mode cgi|fastcgi]

The site goes to ROOT/www: the pages of site/www, and in cgi-bin the three
programs from the programs folder beside the counter image and the counter
files. Counters 1 and 2 are created at 0 when absent (the programs never
create a counter); existing counts are kept. In fastcgi mode lighttpd starts
each program once as a FastCGI worker instead of once per request.

Started as root, lighttpd drops its privileges to www-data, which then owns
the counters; root is needed only to install packages. Where www-data cannot
reach ROOT (a checkout in /root, say), the site goes to /var/lib/vistrel-demo
instead.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAMS = ("vistrel", "fieldecho", "envprobe")
SERVER_USER = "www-data"
AS_ROOT = os.geteuid() == 0
# Where the demo goes when lighttpd's user cannot reach the folder asked for.
REACHABLE_ROOT = "/var/lib/vistrel-demo"


class DemoError(Exception):
    """A problem the demo reports in one line."""


def lay_out(programs, root):
    """programs: a folder holding the three programs, or a mapping from name to path."""
    if isinstance(programs, str):
        programs = {name: os.path.join(programs, name) for name in PROGRAMS}
    www = os.path.join(root, "www")
    cgi_bin = os.path.join(www, "cgi-bin")
    os.makedirs(cgi_bin, exist_ok=True)
    os.makedirs(os.path.join(root, "log"), exist_ok=True)
    shutil.copyfile(os.path.join(HERE, "www", "index.html"), os.path.join(www, "index.html"))
    for name in ("count.gif", "2.report"):
        shutil.copyfile(os.path.join(HERE, "www", "cgi-bin", name), os.path.join(cgi_bin, name))
    for name in PROGRAMS:
        shutil.copy2(programs[name], os.path.join(cgi_bin, name))
    for counter in ("1.dat", "2.dat"):
        path = os.path.join(cgi_bin, counter)
        if not os.path.exists(path):
            # Readable by its owner only: whoever can open a counter file can
            # take a lock on it, and every visit would wait for that lock.
            with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as data:
                data.write("0")
        os.chmod(path, 0o600)
    for folder in (root, www, cgi_bin):
        os.chmod(folder, 0o755)
    if AS_ROOT:
        # lighttpd's user rewrites the counters and writes the logs.
        for path in [os.path.join(cgi_bin, c) for c in ("1.dat", "2.dat")] + [os.path.join(root, "log")]:
            shutil.chown(path, SERVER_USER, SERVER_USER)
    return cgi_bin


def server_can_enter(folder):
    """Whether lighttpd's user, once root has handed it the server, can enter `folder`."""
    os.makedirs(folder, exist_ok=True)
    return subprocess.run(["test", "-x", folder], user=SERVER_USER, group=SERVER_USER, extra_groups=[],
                          timeout=30).returncode == 0


def write_config(root, port, mode, sockets):
    with open(os.path.join(HERE, "lighttpd.conf.in")) as template:
        text = template.read()
    if mode == "cgi":
        programs = '$HTTP["url"] =~ "^/cgi-bin/" {\n  cgi.assign = (%s)\n}' % ", ".join(
            '"/%s" => ""' % name for name in PROGRAMS)
    else:
        programs = "fastcgi.server = (\n%s)" % "".join(
            '  "/cgi-bin/%s" => (("bin-path" => "%s/www/cgi-bin/%s", "socket" => "%s/%s.socket",\n'
            '    "max-procs" => 1, "check-local" => "disable")),\n' % (name, root, name, sockets, name)
            for name in PROGRAMS)
    user = 'server.username = "%s"\nserver.groupname = "%s"' % (SERVER_USER, SERVER_USER) if AS_ROOT else ""
    text = (text.replace("@ROOT@", root).replace("@PORT@", str(port)).replace("@PROGRAMS@", programs)
            .replace("@SERVER_USER@", user))
    path = os.path.join(root, "lighttpd.conf")
    with open(path, "w") as config:
        config.write(text)
    return path


def find_lighttpd():
    for candidate in (shutil.which("lighttpd"), "/usr/sbin/lighttpd"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


class Server:
    """lighttpd in the foreground on 127.0.0.1, stopped by its own process id."""

    def __init__(self, root, port, mode="cgi"):
        self.root, self.port = os.path.abspath(root), port
        self.url = "http://127.0.0.1:%d" % port
        # Short: a socket's path has at most 107 bytes.
        self.sockets = tempfile.mkdtemp(prefix="vistrel-demo-")
        if AS_ROOT:
            shutil.chown(self.sockets, SERVER_USER, SERVER_USER)
        config = write_config(self.root, port, mode, self.sockets)
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen([find_lighttpd(), "-D", "-f", config], stdin=subprocess.DEVNULL,
                                        stderr=self.errors)
        try:
            self.wait_until_it_answers()
        except BaseException:
            self.stop()
            raise

    def wait_until_it_answers(self):
        deadline = time.monotonic() + 60
        while True:
            if self.process.poll() is not None:
                raise DemoError(self.startup_error())
            try:
                urllib.request.urlopen(self.url + "/", timeout=5).read()
                return
            except OSError:
                if time.monotonic() > deadline:
                    raise DemoError("lighttpd did not answer on %s within 60 s" % self.url)
                time.sleep(0.05)

    def startup_error(self):
        self.errors.seek(0)
        text = self.errors.read().decode(errors="replace")
        if "Address already in use" in text:
            return ("port %d on 127.0.0.1 is in use: stop what serves there, or pick another port: "
                    "PORT=9000 scripts/demo.sh" % self.port)
        last = text.strip().splitlines()[-1:] or ["(nothing on standard error)"]
        return "lighttpd did not start: " + last[0]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.errors.close()
        shutil.rmtree(self.sockets, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["serve"])
    parser.add_argument("--programs", required=True, help="folder with vistrel, fieldecho and envprobe")
    parser.add_argument("--root", required=True, help="folder for the site, its configuration and logs")
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--mode", choices=["cgi", "fastcgi"], default="cgi")
    args = parser.parse_args()
    if find_lighttpd() is None:
        sys.exit("lighttpd is missing: apt-get install -y lighttpd")
    # Stopped by a signal, as by Ctrl-C, it stops lighttpd too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    server = None
    root = os.path.abspath(args.root)
    try:
        if AS_ROOT and not server_can_enter(root):
            print("demo: %s, lighttpd's user, cannot reach %s (a folder on the way, such as /root, is private): "
                  "the site goes to %s (rm -rf %s removes it)" % (SERVER_USER, root, REACHABLE_ROOT, REACHABLE_ROOT),
                  file=sys.stderr, flush=True)
            root = REACHABLE_ROOT
        lay_out(args.programs, root)
        server = Server(root, args.port, args.mode)
        print("Serving the demo (%s) at http://127.0.0.1:%d/ (Ctrl-C stops it)" % (args.mode, args.port), flush=True)
        server.process.wait()
    except DemoError as error:
        sys.exit("demo: %s" % error)
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        if server is not None:
            server.stop()


if __name__ == "__main__":
    main()
