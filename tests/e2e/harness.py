"""What the end-to-end tests share.

Each test script runs as root on a private copy of this machine: main() starts
it again inside new mount, network and process namespaces (unshare). There
127.0.0.1 is the script's own, so servers take their stock ports (80, 443,
8080) and nothing can collide; /etc, /usr, /var, /run and the checkout are
overlays on tmpfs, so the guide's own commands, dpkg and apt change them as on
a real server and every change vanishes with the script; and every process the
script starts dies with it.

    Machine   a fresh copy of the machine with each server's stock
              configuration, booted with systemd as its init, as a
              container; runs the guide's commands there
    Guide     the blocks of docs/deploy.md, by heading
    Chromium  one headless browser, driven over the DevTools pipe
"""
import glob
import http.client
import json
import os
import re
import select
import shutil
import signal
import socket
import ssl
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

COUNTERS = "/var/lib/vistrel"
# Everything that the guide's commands, dpkg, apt and the servers write to.
MACHINE_STATE = ("/etc", "/usr", "/var")
# What this project leaves on a machine: its packages, and an older install's or the demo's files.
PROJECT_PACKAGES = ("vistrel", "envprobe")
PROJECT_STATE = (COUNTERS, "/var/lib/vistrel-demo", "/etc/systemd/system/vistrel-fcgi@.service",
                 "/etc/systemd/system/vistrel-fcgi@.socket",
                 # A container's policy that no package start or reload a service: a server has none.
                 "/usr/sbin/policy-rc.d")
# Each server's configuration folder, and its folders of links that enable parts of it.
SERVER_FOLDERS = {"lighttpd": "/etc/lighttpd", "apache2": "/etc/apache2", "nginx": "/etc/nginx"}
ENABLED_FOLDERS = ("/etc/lighttpd/conf-enabled", "/etc/apache2/mods-enabled", "/etc/apache2/conf-enabled",
                   "/etc/apache2/sites-enabled", "/etc/nginx/sites-enabled")


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


# What a machine's systemd must not start: it would reach the real machine (its clock, devices,
# terminals, kernel modules) through what a container shares with it.
NOT_BOOTED = ("systemd-timesyncd.service", "systemd-udevd.service", "systemd-udevd-control.socket",
              "systemd-udevd-kernel.socket", "systemd-udev-trigger.service", "systemd-modules-load.service",
              "kmod-static-nodes.service", "getty@tty1.service", "console-getty.service", "getty-static.service",
              "systemd-pstore.service", "systemd-hwdb-update.service", "systemd-random-seed.service")
# PID 1 of a machine, in process and mount namespaces of its own: it gives systemd what
# systemd-nspawn gives a container (its own root, read-only /sys and /proc/sys, a /dev of its own
# with the plain devices, its own cgroup tree and /tmp), then becomes systemd.
CONTAINER_INIT = r"""
set -e
# Its root becomes the root of its mount namespace: in a chroot it is not, and the kernel refuses
# a chrooted process a user namespace, which systemd's sandboxing makes.
unset E2E_INIT
[ "$(findmnt -n -o ID -T .)" = "$(findmnt -n -o ID -T /)" ] || { pivot_root . . && umount -l . && cd /; }
mount -t sysfs -o ro,nosuid,nodev,noexec sysfs /sys
mount -t cgroup2 -o nosuid,nodev,noexec cgroup2 /sys/fs/cgroup
mount --bind /proc/sys /proc/sys && mount -o bind,remount,ro /proc/sys
mount -t tmpfs -o mode=755,nosuid tmpfs /dev
for device in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
  IFS=: read -r name major minor <<< "$device"
  mknod -m 666 "/dev/$name" c "$major" "$minor"
done
mkdir /dev/pts /dev/shm
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts /dev/pts && ln -s pts/ptmx /dev/ptmx
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /dev/shm
touch /dev/console && mount --bind /dev/null /dev/console
case "$1" in /tmp/*) ;; *) mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /tmp ;; esac
exec /lib/systemd/systemd --system
"""
# Enters its own mount namespace again, which takes it out of a chroot, into the chroot's folder.
CONTAINER_ROOT = 'exec 3< / && exec nsenter --mount=/proc/self/ns/mnt --wd=/proc/self/fd/3 bash -c "$E2E_INIT" init "$1"'



def loopback_up():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        request = struct.pack("16sH22x", b"lo", 0)
        flags = struct.unpack("16sH22x", ioctl(probe, 0x8913, request))[1]  # SIOCGIFFLAGS
        ioctl(probe, 0x8914, struct.pack("16sH22x", b"lo", flags | 1))  # SIOCSIFFLAGS, IFF_UP


def enter_private_machine(network=False):
    """Runs this script again in namespaces of its own (see the module's
    docstring), unless it runs there already; with network, it keeps the
    machine's network."""
    if os.environ.get("E2E_PRIVATE") == "1":
        if not network:
            loopback_up()
        # Nothing a test creates outside the overlays may outlive it.
        mount("-t", "tmpfs", "tmpfs", "/dev/shm")
        if not any(path.startswith("/tmp/") for path in [ROOT] + list(OPTIONS.values())):
            mount("-t", "tmpfs", "tmpfs", "/tmp")
        return
    os.environ["E2E_PRIVATE"] = "1"
    os.execvp("unshare", ["unshare", "--mount"] + ([] if network else ["--net"]) + [
        "--pid", "--fork", "--kill-child", "--mount-proc", "--propagation", "private", sys.executable] + sys.argv)


def package_files():
    """Every path that an installed package owns, as dpkg lists them."""
    owned = set()
    for listing in glob.glob("/var/lib/dpkg/info/*.list"):
        with open(listing, errors="replace") as paths:
            owned.update(line.rstrip("\n") for line in paths)
    return owned


def changed_server_files(servers=tuple(SERVER_FOLDERS)):
    """The configuration files in the servers' folders that differ from what
    their packages installed, or are gone, as dpkg --verify finds them: a copy
    of this machine would not start from stock with them."""
    folders = tuple(SERVER_FOLDERS[server] for server in servers)
    owners = subprocess.run(["dpkg-query", "-S"] + list(folders), capture_output=True, text=True,
                            timeout=LIMIT).stdout if folders else ""
    packages = {name.strip().split(":")[0] for line in owners.splitlines() for name in line.split(": ")[0].split(",")}
    verified = subprocess.run(["dpkg", "--verify"] + sorted(packages), capture_output=True, text=True,
                              timeout=LIMIT).stdout if packages else ""
    return sorted(words[2] for words in map(str.split, verified.splitlines())
                  if words[1:2] == ["c"] and words[2].startswith(tuple(folder + "/" for folder in folders)))


def stock_links():
    """The links that a fresh install of the servers' packages makes in their
    folders of enabled parts: Apache httpd's as its maintainer scripts record
    them, lighttpd's as other packages' maintainer scripts make them, and
    each server's default site."""
    links = {"/etc/apache2/sites-enabled/000-default.conf": "../sites-available/000-default.conf",
             "/etc/nginx/sites-enabled/default": "/etc/nginx/sites-available/default"}
    for kind, folder in (("module", "mods"), ("conf", "conf"), ("site", "sites")):
        for name in glob.glob("/var/lib/apache2/%s/enabled_by_maint/*" % kind):
            for target in glob.glob("/etc/apache2/%s-available/%s.*" % (folder, os.path.basename(name))):
                links[target.replace("-available/", "-enabled/")] = "../%s-available/%s" % (
                    folder, os.path.basename(target))
    for script in set(glob.glob("/var/lib/dpkg/info/*.postinst")) - {"/var/lib/dpkg/info/lighttpd.postinst"}:
        with open(script, errors="replace") as text:
            for name in re.findall(r"/etc/lighttpd/conf-enabled/([\w.-]+\.conf)", text.read()):
                links["/etc/lighttpd/conf-enabled/" + name] = "../conf-available/" + name
    return links


class Machine:
    """A fresh copy of this machine, booted: an empty /run, /etc, /usr, /var
    and the checkout as overlays, with each server's configuration as its
    packages install it (this project's packages purged, every file that no
    package owns taken out of the servers' folders, only the stock parts
    enabled, no service of the machine's enabled), and the guide's build in
    build/deploy; then systemd boots on it as a container's init. Commands run
    in its process namespace, as from a root shell of that machine. Servers and workers started there stop, and every change
    vanishes, when it closes."""

    def __enter__(self):
        mount("-t", "tmpfs", "-o", "mode=755", "tmpfs", "/run")
        for folder in ("/run/lock", "/run/e2e/overlays", "/run/e2e/tmp"):
            os.makedirs(folder)
        os.environ["TMPDIR"] = "/run/e2e/tmp"
        tempfile.tempdir = None
        self.mounts = ["/run"]
        # The checkout as it lies on its own file system: under /var or /usr its overlay would
        # otherwise stack on that folder's, deeper than the kernel allows.
        self.checkout = "/run/e2e/checkout"
        os.makedirs(self.checkout)
        mount("--bind", ROOT, self.checkout)
        self.mounts.append(self.checkout)
        for path in MACHINE_STATE:
            self.overlay(path)
        self.overlay(ROOT, self.checkout)
        if "guide-build" in OPTIONS:
            self.mount_build("deploy", OPTIONS["guide-build"])
        if "packages" in OPTIONS:
            self.mount_build("packages", os.path.join(OPTIONS["packages"], "1"))
        self.init = self.cgroup = None
        try:
            self.reset_to_stock()
            self.boot()
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
        return self

    def init_pid(self):
        """The container's init, once the unshare that starts it has forked it."""
        with open("/proc/%d/task/%d/children" % (self.container.pid, self.container.pid)) as children:
            return int((children.read().split() or [0])[0])

    def overlay(self, path, lower=None):
        overlay(path, lower)
        self.mounts.append(path)

    def unmount(self, path):
        """Takes off the last mount made on path."""
        subprocess.run(["umount", path], check=True, timeout=LIMIT)
        del self.mounts[len(self.mounts) - 1 - self.mounts[::-1].index(path)]

    def mount_build(self, name, folder):
        """Shows `folder` as the checkout's build/NAME."""
        path = os.path.join(ROOT, "build", name)
        os.makedirs(path, exist_ok=True)
        inside = folder == ROOT or folder.startswith(ROOT + "/")
        self.overlay(path, self.checkout + folder[len(ROOT):] if inside else folder)

    def __exit__(self, *failure):
        if self.init:
            # The end of a container's init ends every process in it.
            os.kill(self.init, signal.SIGKILL)
            stop(self.container)
        if self.cgroup:
            def emptied():
                with open(os.path.join(self.cgroup, "cgroup.events")) as events:
                    return "populated 0" in events.read()
            wait_until(emptied, "the machine's processes gone")
            for parent, _, _ in sorted(os.walk(self.cgroup), reverse=True):
                os.rmdir(parent)
        # Every process of the private machine but this script: what its commands started.
        for pid in sorted(int(pid) for pid in os.listdir("/proc") if pid.isdigit() and int(pid) != os.getpid()):
            stop(pid)
        os.chdir("/")
        for path in reversed(self.mounts):
            subprocess.run(["umount", "--lazy", path], check=True, timeout=LIMIT)

    def reset_to_stock(self):
        # apt knows only what is installed: the guide's apt-get lines find it
        # there and fetch nothing, which the copy could not.
        self.run("dpkg --purge %s\nrm -rf %s /var/lib/apt/lists/*_* /var/cache/apt/*.bin" % (
            " ".join(PROJECT_PACKAGES), " ".join(PROJECT_STATE)))
        owned = package_files()
        for folder in list(SERVER_FOLDERS.values()) + [CGI_BIN]:
            for parent, _, names in os.walk(folder):
                for name in names:
                    path = os.path.join(parent, name)
                    if parent in ENABLED_FOLDERS or path not in owned:
                        os.remove(path)
        for path, target in stock_links().items():
            if os.path.isdir(os.path.dirname(path)):
                os.symlink(target, path)

    def boot(self):
        """Boots systemd, as the init of a container, on this copy of the machine."""
        for wants in glob.glob("/etc/systemd/system/*.wants/*"):
            os.remove(wants)
        for unit in NOT_BOOTED:
            os.symlink("/dev/null", "/etc/systemd/system/" + unit)
        os.makedirs("/run/e2e/cgroup")
        mount("-t", "cgroup2", "cgroup2", "/run/e2e/cgroup")
        self.mounts.append("/run/e2e/cgroup")
        self.cgroup = tempfile.mkdtemp(prefix="e2e-", dir="/run/e2e/cgroup")

        def into_cgroup():
            with open(os.path.join(self.cgroup, "cgroup.procs"), "w") as procs:
                procs.write("0")
        with open("/run/e2e/boot.log", "w") as log:
            self.container = subprocess.Popen(
                ["unshare", "--pid", "--fork", "--mount", "--cgroup", "--mount-proc", "--propagation", "private",
                 "bash", "-c", CONTAINER_ROOT, "init", ROOT], env=dict(os.environ, container="e2e", E2E_INIT=CONTAINER_INIT),
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, preexec_fn=into_cgroup)

        self.init = wait_until(self.init_pid, "the machine's init started")

        def booted():
            if self.container.poll() is not None:
                with open("/run/e2e/boot.log") as log:
                    raise AssertionError("the machine's init ended: " + log.read()[-3000:])
            # systemctl answers once systemd's bus is up; until then it fails.
            return self.run("systemctl is-system-running", expect_status=None).strip() in ("running", "degraded")
        wait_until(booted, "the machine's systemd running")
        failed = self.run("systemctl --failed --no-legend --plain")
        if failed:
            print("units that failed at boot:\n" + failed)

    # --- commands, as a user types them

    def run(self, commands, expect_status=0, serving=()):
        """Runs commands in bash from the checkout, as a user pastes them, then
        waits until something listens on each port of `serving` (a server that
        systemd has started may not listen yet). Returns the output."""
        with tempfile.TemporaryFile() as output:
            # In the machine's process namespace: its systemd answers only processes it can see.
            inside = ["nsenter", "--target", str(self.init), "--pid"] if self.init else []
            shell = subprocess.Popen(inside + ["bash", "-e", "-o", "pipefail", "-c", commands], cwd=ROOT,
                                     stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT)
            try:
                shell.wait(LIMIT * 4)
            except subprocess.TimeoutExpired:
                stop(shell)
                raise AssertionError("commands still running after %d s:\n%s" % (LIMIT * 4, commands))
            output.seek(0)
            text = output.read().decode(errors="replace")
        if expect_status is not None and shell.returncode != expect_status:
            raise AssertionError("status %d, not %d, from:\n%s\noutput:\n%s" % (shell.returncode, expect_status,
                                                                                  commands, text))
        for port in serving:
            wait_until(lambda: listening(port), "a server on port %d after:\n%s" % (port, commands))
        return text

    # --- counters, as the guide has them made

    @staticmethod
    def write_counter(name, count, folder=COUNTERS):
        path = os.path.join(folder, name + ".dat")
        with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as data:
            data.write(str(count))
        shutil.chown(path, "www-data", "www-data")

    @staticmethod
    def read_counter(name, folder=COUNTERS):
        with open(os.path.join(folder, name + ".dat")) as data:
            return data.read()


# ---------------------------------------------------------------- the guide

class Guide:
    """docs/deploy.md as blocks: (heading, language, text, the paragraph before)."""

    def __init__(self, path=GUIDE):
        self.blocks, heading, paragraph, fence, blank = [], None, "", None, True
        with open(path) as guide:
            self.text = guide.read()
            for line in self.text.splitlines(keepends=True):
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


# ---------------------------------------------------------------- requests

def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def request(port, method, path, body=None, headers=None, tls=False):
    """Status, headers (a dict) and body bytes of one request to 127.0.0.1,
    its Host header as a browser sends it; with tls, over HTTPS, trusting any
    certificate."""
    if tls:
        connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=LIMIT,
                                                 context=ssl._create_unverified_context())
    else:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=LIMIT)
    try:
        connection.putrequest(method, path, skip_host=True)
        connection.putheader("Host", "127.0.0.1" if port in (80, 443) else "127.0.0.1:%d" % port)
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
            pass_fds=(3, 4), env=dict(os.environ, HOME=self.profile))  # what it keeps goes with the profile
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


def main(needs=(), options=(), select=None, network=False):
    """Every end-to-end script's entry: takes `--name PATH` options, and with
    `select` a word naming which tests to run (select(word) defines them and
    returns what they need); skips (77) without root, without the programs
    in `needs`, or where the configuration of a server among them differs from
    its packages' own; and runs the tests on a private machine."""
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
    changed = [] if os.environ.get("E2E_PRIVATE") == "1" else changed_server_files(
        [server for server in SERVER_FOLDERS if server in needs])
    if changed:
        print("skipped: these configuration files differ from what their packages installed, so no copy of this "
              "machine starts from the servers' stock configuration: " + " ".join(changed))
        sys.exit(SKIP)
    enter_private_machine(network)
    unittest.main(module="__main__", argv=[sys.argv[0]] + args, verbosity=2)
