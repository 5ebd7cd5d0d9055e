"""What the end-to-end tests share.

Each test script runs as root on a private copy of this machine: main() starts
it again inside new mount, network and process namespaces (unshare). There
127.0.0.1 is the script's own, so servers take their stock ports (80, 443,
8080) and nothing can collide; the server folders (/etc/lighttpd,
/usr/lib/cgi-bin, ...), /run and the checkout are overlays on tmpfs, so the
guide's own commands change them as on a real server and every change
vanishes with the script; and every process the script starts dies with it.

    Machine   a fresh copy of the server state; runs the guide's commands, its
              `systemctl` lines starting and stopping servers and workers
    Guide     the blocks of docs/deploy.md, by heading
    Chromium  one headless browser, driven over the DevTools pipe
"""
import http.client
import json
import os
import re
import select
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from fcntl import ioctl

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
GUIDE = os.path.join(ROOT, "docs", "deploy.md")
CGI_BIN = "/usr/lib/cgi-bin"
SKIP = 77
# The longest any single wait may take: a server start, a request, a page
# load, on 2 cores that other tests keep busy.
LIMIT = 90
OPTIONS = {}  # the script's --name VALUE options
os.environ["PATH"] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# Folders that the guide's commands and the servers write to.
SERVER_STATE = ("/etc/lighttpd", "/etc/apache2", "/etc/nginx", "/etc/systemd/system", CGI_BIN, "/var/www",
                "/var/log/lighttpd", "/var/log/apache2", "/var/log/nginx", "/var/cache/lighttpd", "/var/lib/nginx",
                "/var/lib/apache2", "/var/cache/apache2", "/var/backups")


def wait_until(ready, what, limit=LIMIT):
    """Polls ready() until it returns something true; fails naming `what`."""
    deadline = time.monotonic() + limit
    while True:
        result = ready()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("%s: not within %d s" % (what, limit))
        time.sleep(0.05)


def stop(process, limit=LIMIT):
    """Stops one process by its id (a Popen or a pid of a child, adopted ones
    included): SIGTERM, then SIGKILL when it is still there after `limit`
    seconds. Returns its exit status, or None when it was gone already."""
    if isinstance(process, subprocess.Popen) and process.returncode is not None:
        return process.returncode
    pid = process.pid if isinstance(process, subprocess.Popen) else process

    def reaped():
        try:
            done, status = os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            return True, None
        return done == pid, status

    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return None
    deadline = time.monotonic() + limit
    while True:
        done, status = reaped()
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            status = os.waitpid(pid, 0)[1]
            break
        time.sleep(0.02)
    if isinstance(process, subprocess.Popen):
        process.returncode = None if status is None else os.waitstatus_to_exitcode(status)
    return None if status is None else os.waitstatus_to_exitcode(status)


def tail(path, lines=15):
    try:
        with open(path, errors="replace") as log:
            return "".join(log.readlines()[-lines:])
    except OSError:
        return ""


# ---------------------------------------------------------------- the machine

def mount(*arguments):
    subprocess.run(["mount"] + list(arguments), check=True, timeout=LIMIT)


def overlay(path, lower=None):
    """Mounts a writable copy of `lower` (default: `path` itself) over `path`;
    what is written there goes to tmpfs."""
    lower = lower or path
    top = tempfile.mkdtemp(dir="/run/e2e/overlays")
    upper, work = os.path.join(top, "upper"), os.path.join(top, "work")
    os.mkdir(upper)
    os.mkdir(work)
    status = os.stat(lower)
    os.chown(upper, status.st_uid, status.st_gid)
    os.chmod(upper, status.st_mode & 0o7777)
    mount("-t", "overlay", "overlay", "-o", "lowerdir=%s,upperdir=%s,workdir=%s" % (lower, upper, work), path)


def loopback_up():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        request = struct.pack("16sH22x", b"lo", 0)
        flags = struct.unpack("16sH22x", ioctl(probe, 0x8913, request))[1]  # SIOCGIFFLAGS
        ioctl(probe, 0x8914, struct.pack("16sH22x", b"lo", flags | 1))  # SIOCSIFFLAGS, IFF_UP


def enter_private_machine():
    """Runs this script again in namespaces of its own (see the module's
    docstring), unless it runs there already."""
    if os.environ.get("E2E_PRIVATE") == "1":
        loopback_up()
        # Nothing a test creates outside the overlays may outlive it.
        mount("-t", "tmpfs", "tmpfs", "/dev/shm")
        if not any(path.startswith("/tmp/") for path in [ROOT] + list(OPTIONS.values())):
            mount("-t", "tmpfs", "tmpfs", "/tmp")
        return
    os.environ["E2E_PRIVATE"] = "1"
    os.execvp("unshare", ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", "--mount-proc",
                          "--propagation", "private", sys.executable] + sys.argv)


class Machine:
    """A fresh copy of this machine's server state, from boot: an empty /run,
    the folders of SERVER_STATE and the checkout as overlays, and the guide's
    build in build/deploy. Servers and workers started through it stop, and
    every change vanishes, when it closes."""

    def __enter__(self):
        mount("-t", "tmpfs", "-o", "mode=755", "tmpfs", "/run")
        for folder in ("/run/lock", "/run/e2e/overlays", "/run/e2e/tmp"):
            os.makedirs(folder)
        os.environ["TMPDIR"] = "/run/e2e/tmp"
        tempfile.tempdir = None
        self.mounts = ["/run"]
        for path in SERVER_STATE + (ROOT,):
            while not os.path.isdir(path):
                path = os.path.dirname(path)
            self.overlay(path)
        if "guide-build" in OPTIONS:
            os.makedirs(os.path.join(ROOT, "build", "deploy"), exist_ok=True)
            self.overlay(os.path.join(ROOT, "build", "deploy"), OPTIONS["guide-build"])
        self.boot_folders()
        self.running = {}  # name: its processes (Popen) or process ids
        return self

    def overlay(self, path, lower=None):
        overlay(path, lower)
        self.mounts.append(path)

    def __exit__(self, *failure):
        for name in list(self.running):
            self.stop(name)
        os.chdir("/")
        for path in reversed(self.mounts):
            subprocess.run(["umount", "--lazy", path], check=True, timeout=LIMIT)

    @staticmethod
    def boot_folders():
        """The folders that systemd-tmpfiles creates at boot for lighttpd."""
        try:
            with open("/usr/lib/tmpfiles.d/lighttpd.tmpfile.conf") as lines:
                entries = [line.split() for line in lines if line.startswith("d ")]
        except FileNotFoundError:
            return
        for _, path, mode, user, group, *_ in entries:
            os.makedirs(path, exist_ok=True)
            os.chmod(path, int(mode, 8))
            shutil.chown(path, user, group)

    # --- commands, as a user types them

    def run(self, commands, expect_status=0):
        """Runs commands in bash from the checkout, as a user pastes them: each
        `systemctl` command goes to systemctl() below. Returns the output."""
        requests_in, requests_out = os.pipe()
        replies_in, replies_out = os.pipe()
        shim = 'systemctl() { echo "$*" >&%d; read -r status <&%d; return "$status"; }\n' % (requests_out, replies_in)
        with tempfile.TemporaryFile() as output:
            shell = subprocess.Popen(["bash", "-e", "-o", "pipefail", "-c", shim + commands], cwd=ROOT,
                                     stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                     pass_fds=(requests_out, replies_in))
            os.close(requests_out)
            os.close(replies_in)
            try:
                failures = self.answer_systemctl(shell, requests_in, replies_out, commands)
            finally:
                os.close(requests_in)
                os.close(replies_out)
            output.seek(0)
            text = output.read().decode(errors="replace")
        if failures or expect_status is not None and shell.returncode != expect_status:
            raise AssertionError("status %d, not %d, from:\n%s\noutput:\n%s%s"
                                 % (shell.returncode, expect_status, commands, text, "\n".join(failures)))
        return text

    def answer_systemctl(self, shell, requests, replies, commands):
        """Carries out the shell's systemctl commands until it ends; returns
        what failed."""
        deadline, pending, failures = time.monotonic() + LIMIT, b"", []
        while shell.poll() is None:
            if time.monotonic() > deadline:
                stop(shell)
                raise AssertionError("commands still running after %d s:\n%s" % (LIMIT, commands))
            if select.select([requests], [], [], 0.05)[0]:
                pending += os.read(requests, 4096)
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    try:
                        status = self.systemctl(line.decode().split())
                    except (AssertionError, OSError, subprocess.SubprocessError) as error:
                        failures.append("systemctl %s: %s" % (line.decode(), error))
                        status = 1
                    os.write(replies, b"%d\n" % status)
        return failures

    def systemctl(self, arguments):
        """What systemd does for the guide's systemctl commands: the servers as
        Debian's units start them, the workers as vistrel-fcgi@.service does."""
        verb, names = arguments[0], [name.removesuffix(".service") for name in arguments[1:] if name[0] != "-"]
        if verb == "enable" and "--now" not in arguments or verb == "daemon-reload":
            return 0
        for name in names:
            if verb in ("stop", "restart", "reload", "force-reload"):
                self.stop(name)
            if verb in ("start", "restart", "reload", "force-reload", "enable"):
                self.start(name)
        return 0

    # --- servers and workers

    SERVERS = {  # name: config check, start in the foreground, pid file, error log
        "lighttpd": (["lighttpd", "-tt", "-f", "/etc/lighttpd/lighttpd.conf"],
                     ["lighttpd", "-D", "-f", "/etc/lighttpd/lighttpd.conf"],
                     "/run/lighttpd.pid", "/var/log/lighttpd/error.log"),
        "nginx": (["nginx", "-t", "-q"], ["nginx", "-g", "daemon off; master_process on;"],
                  "/run/nginx.pid", "/var/log/nginx/error.log"),
        "apache2": (["apache2ctl", "configtest"],
                    ["sh", "-c", ". /etc/apache2/envvars && exec apache2 -DFOREGROUND"],
                    "/run/apache2/apache2.pid", "/var/log/apache2/error.log"),
    }

    def start(self, name):
        if name in self.SERVERS:
            self.start_server(name)
        else:
            self.start_workers(name)

    def stop(self, name):
        for process in self.running.pop(name, []):
            stop(process)

    def start_server(self, name):
        check, command, pid_file, error_log = self.SERVERS[name]
        checked = subprocess.run(check, capture_output=True, text=True, timeout=LIMIT)
        if checked.returncode != 0:
            raise AssertionError("%s refuses its configuration:\n%s%s" % (name, checked.stdout, checked.stderr))
        log = open(os.path.join("/run/e2e", name + ".out"), "w")
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        log.close()
        self.running[name] = [process]

        def written():
            if process.poll() is not None:
                raise AssertionError("%s exited with status %d:\n%s%s" % (
                    name, process.returncode, tail(log.name), tail(error_log)))
            try:
                with open(pid_file) as pid:
                    return pid.read().strip() == str(process.pid)
            except FileNotFoundError:
                return False
        wait_until(written, "%s writing its pid to %s" % (name, pid_file))

    def start_workers(self, name):
        """An instance of a systemd template unit of the guide: its ExecStart
        forks the workers and writes their ids into its PIDFile."""
        template, _, instance = name.partition("@")
        with open("/etc/systemd/system/%s@.service" % template) as unit:
            settings = dict(line.rstrip("\n").split("=", 1) for line in unit if re.match(r"^\w+=", line))
        started = subprocess.run(shlex.split(settings["ExecStart"].replace("%i", instance)), capture_output=True,
                                 text=True, timeout=LIMIT)
        if started.returncode != 0:
            raise AssertionError("%s did not start:\n%s%s" % (name, started.stdout, started.stderr))
        with open(settings["PIDFile"].replace("%i", instance)) as pids:
            self.running[name] = [int(pid) for pid in pids.read().split()]

    # --- counters, as the guide has them made

    @staticmethod
    def write_counter(name, count):
        path = os.path.join(CGI_BIN, name + ".dat")
        with open(path, "w") as data:
            data.write(str(count))
        shutil.chown(path, "www-data", "www-data")

    @staticmethod
    def read_counter(name):
        with open(os.path.join(CGI_BIN, name + ".dat")) as data:
            return data.read()


# ---------------------------------------------------------------- the guide

class Guide:
    """docs/deploy.md as blocks: (heading, language, text, the paragraph before)."""

    def __init__(self, path=GUIDE):
        self.blocks, heading, paragraph, fence, blank = [], None, "", None, True
        with open(path) as guide:
            for line in guide:
                if fence is not None:
                    if line.rstrip("\n") == "```":
                        self.blocks.append((heading, language, "".join(fence), paragraph))
                        fence = None
                    else:
                        fence.append(line)
                elif line.startswith("```"):
                    language, fence = line[3:].strip(), []
                elif line.startswith("#"):
                    heading, paragraph = line.lstrip("#").strip(), ""
                elif line.strip():
                    paragraph = (paragraph + " " if not blank else "") + line.strip()
                blank = not line.strip()

    def shell(self, heading):
        found = [text for section, language, text, _ in self.blocks if section == heading and language == "sh"]
        if not found:
            raise AssertionError("the guide has no commands under the heading %r" % heading)
        return found

    def follow(self, machine, *headings):
        """Runs the commands of these sections in one shell, in order, as a
        user pastes them."""
        return machine.run("\n".join(text for heading in headings for text in self.shell(heading)))


# ---------------------------------------------------------------- requests

def request(port, method, path, body=None, headers=None):
    """Status, headers (a dict) and body bytes of one request to 127.0.0.1,
    its Host header as a browser sends it."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=LIMIT)
    try:
        connection.putrequest(method, path, skip_host=True)
        connection.putheader("Host", "127.0.0.1" if port == 80 else "127.0.0.1:%d" % port)
        for name, value in (headers or {}).items():
            connection.putheader(name, value)
        if body is not None:
            connection.putheader("Content-Length", str(len(body)))
        connection.endheaders(body)
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        connection.close()


SNIPPET = re.compile(
    rb"^document\.write\('<a href=\\'(?P<link>[^\\]*)\\' target=_blank style=\\'text-decoration:none\\''\+\r\n"
    rb"' title=\\'(?P<title>-?\d+) visits counted\\'><img src=\\'(?P<image>[^\\]*)\\' border=0><span'\+\r\n"
    rb"' style=\\'[^\\]*\\'>(?P<count>-?\d+)</span></a>'\);$")
ERROR_SNIPPET = (b"document.write('<span style=\\'background-color:white; color:red; font-size: 12px;\\'>"
                 b"ERROR</span>');")


def snippet(body):
    """The link, the image address and the count of a counter snippet."""
    match = SNIPPET.match(body)
    if match is None or match.group("title") != match.group("count"):
        raise AssertionError("not a counter snippet: %r" % body[:400])
    return match.group("link").decode(), match.group("image").decode(), int(match.group("count"))


# ---------------------------------------------------------------- the browser

def find_chromium():
    return next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))), None)


class Chromium:
    """Headless Chromium driven over --remote-debugging-pipe: one page, its
    console and security messages."""

    def __init__(self):
        self.profile = tempfile.mkdtemp()
        commands_in, self.commands = os.pipe()
        self.answers, answers_out = os.pipe()

        def descriptors():
            os.dup2(commands_in, 3)
            os.dup2(answers_out, 4)
        self.process = subprocess.Popen(
            [find_chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--ignore-certificate-errors", "--remote-debugging-pipe", "--user-data-dir=" + self.profile,
             "--window-size=900,1000", "--hide-scrollbars", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=descriptors,
            pass_fds=(3, 4))
        os.close(commands_in)
        os.close(answers_out)
        self.next_id, self.pending, self.messages = 0, b"", []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.call(domain + ".enable", session=self.session)

    def close(self):
        stop(self.process)
        os.close(self.commands)
        os.close(self.answers)
        shutil.rmtree(self.profile, ignore_errors=True)

    def receive(self, wanted, what):
        deadline = time.monotonic() + LIMIT
        while True:
            while b"\0" in self.pending:
                text, self.pending = self.pending.split(b"\0", 1)
                message = json.loads(text)
                self.messages.append(message)
                if wanted(message):
                    return message
            if not select.select([self.answers], [], [], max(0, deadline - time.monotonic()))[0]:
                raise AssertionError("Chromium: no %s within %d s" % (what, LIMIT))
            chunk = os.read(self.answers, 1 << 16)
            if not chunk:
                raise AssertionError("Chromium exited while waiting for " + what)
            self.pending += chunk

    def call(self, method, session=None, **parameters):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": parameters}
        if session:
            message["sessionId"] = session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        answer = self.receive(lambda m: m.get("id") == message["id"], "answer to " + method)
        if "error" in answer:
            raise AssertionError("Chromium: %s: %s" % (method, answer["error"]))
        return answer["result"]

    def open(self, url):
        """Loads a page and waits for its load event. Returns the messages
        (console, log, exceptions) that came while it loaded."""
        first = len(self.messages)
        self.call("Page.navigate", session=self.session, url=url)
        self.receive(lambda m: m.get("method") == "Page.loadEventFired", "load event of " + url)
        return [m for m in self.messages[first:]
                if m.get("method") in ("Log.entryAdded", "Runtime.consoleAPICalled", "Runtime.exceptionThrown")]

    def submit(self):
        """Submits the page's form and waits for the answer to load."""
        self.call("Runtime.evaluate", session=self.session, expression="document.forms[0].submit()")
        self.receive(lambda m: m.get("method") == "Page.loadEventFired", "load event after submitting")

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", session=self.session, expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise AssertionError("Chromium: %s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def screenshot(self, path):
        import base64
        with open(path, "wb") as picture:
            picture.write(base64.b64decode(self.call("Page.captureScreenshot", session=self.session)["data"]))


# ---------------------------------------------------------------- entry

def root_is_a_mount_point():
    """False in a chroot made in a plain folder: there the tests could not keep
    their mounts from reaching the rest of the machine."""
    with open("/proc/self/mountinfo") as mounts:
        return any(line.split()[4] == "/" for line in mounts)


def main(needs=(), options=(), select=None):
    """Every end-to-end script's entry: takes `--name PATH` options, and with
    `select` a word naming which tests to run (select(word) defines them and
    returns what they need); skips (77) without root or without the programs
    in `needs`, and runs the tests on a private machine."""
    args = sys.argv[1:]
    while len(args) >= 2 and args[0][2:] in options:
        OPTIONS[args[0][2:]] = os.path.abspath(args[1])
        args = args[2:]
    if select:
        needs = select(args.pop(0) if args else "")
    missing = [name for name in needs if not (find_chromium() if name == "chromium" else shutil.which(name))]
    if os.geteuid() != 0 or missing:
        print("skipped: needs root" if os.geteuid() != 0 else "skipped: missing " + ", ".join(missing))
        sys.exit(SKIP)
    if os.environ.get("E2E_PRIVATE") != "1" and not root_is_a_mount_point():
        print("skipped: / is no mount point (a chroot in a plain folder?), so the test's mounts could reach the "
              "machine; make the folder a mount point first: mount --bind DIR DIR")
        sys.exit(SKIP)
    enter_private_machine()
    unittest.main(module="__main__", argv=[sys.argv[0]] + args, verbosity=2)
