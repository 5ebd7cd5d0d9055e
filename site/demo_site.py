#!/usr/bin/env python3
"""Lays out the demo site and serves it with lighttpd.

    demo_site.py serve --programs DIR --root DIR [--port 8080]

The site goes to ROOT/www: the pages of site/www, and in cgi-bin the three
programs from the programs folder beside the counter image and the counter
files. Counters 1 and 2 are created at 0 when absent (the programs never
create a counter); existing counts are kept.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
import socket
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAMS = ("vistrel", "fieldecho", "envprobe")


def lay_out(programs, root):
    """programs: a folder holding the three programs, or a mapping from name to path."""
    if isinstance(programs, str):
        programs = {name: os.path.join(programs, name) for name in PROGRAMS}
    www = os.path.join(root, "www")
    cgi_bin = os.path.join(www, "cgi-bin")
    os.makedirs(cgi_bin, exist_ok=True)
    os.makedirs(os.path.join(root, "log"), exist_ok=True)
    for name in ("index.html",):
        shutil.copyfile(os.path.join(HERE, "www", name), os.path.join(www, name))
    for name in ("count.gif", "2.report"):
        shutil.copyfile(os.path.join(HERE, "www", "cgi-bin", name), os.path.join(cgi_bin, name))
    for name in PROGRAMS:
        shutil.copy2(programs[name], os.path.join(cgi_bin, name))
    for counter in ("1.dat", "2.dat"):
        path = os.path.join(cgi_bin, counter)
        if not os.path.exists(path):
            with open(path, "w") as data:
                data.write("0")
    # The web server's user must be able to rewrite the counters.
    os.chmod(cgi_bin, 0o755)
    return cgi_bin


def write_config(root, port, programs=PROGRAMS, bind="127.0.0.1"):
    with open(os.path.join(HERE, "lighttpd.conf.in")) as template:
        text = template.read()
    assign = ", ".join('"/%s" => ""' % name for name in programs)
    text = (text.replace("@ROOT@", os.path.abspath(root)).replace("@PORT@", str(port)).replace("@BIND@", bind)
            .replace("@CGI_ASSIGN@", assign))
    path = os.path.join(root, "lighttpd.conf")
    with open(path, "w") as config:
        config.write(text)
    return path


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def find_lighttpd():
    for candidate in (shutil.which("lighttpd"), "/usr/sbin/lighttpd"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


class Server:
    """lighttpd in the foreground on 127.0.0.1, stopped by its own process id."""

    def __init__(self, root, port, programs=PROGRAMS):
        self.root, self.port = root, port
        self.url = "http://127.0.0.1:%d" % port
        config = write_config(root, port, programs)
        self.process = subprocess.Popen([find_lighttpd(), "-D", "-f", config])
        deadline = time.time() + 10
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("lighttpd exited with status %d" % self.process.returncode)
            try:
                urllib.request.urlopen(self.url + "/", timeout=1).read()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("lighttpd did not answer on " + self.url)

    def stop(self):
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            self.process.wait(timeout=10)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["serve"])
    parser.add_argument("--programs", required=True, help="folder with vistrel, fieldecho and envprobe")
    parser.add_argument("--root", required=True, help="folder for the site, its configuration and logs")
    parser.add_argument("--port", type=int, default=int(os.environ.get("PORT", "8080")))
    args = parser.parse_args()
    if find_lighttpd() is None:
        sys.exit("lighttpd is missing: apt-get install -y lighttpd")
    lay_out(args.programs, args.root)
    # Stopped by a signal, as by Ctrl-C, it stops lighttpd too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    server = Server(args.root, args.port)
    print("Serving the demo at http://127.0.0.1:%d/ (Ctrl-C stops it)" % args.port, flush=True)
    try:
        server.process.wait()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        server.stop()


if __name__ == "__main__":
    main()
