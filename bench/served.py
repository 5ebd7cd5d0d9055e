"""The programs served by lighttpd and nginx, as CGI and as FastCGI workers, under wrk.
The FastCGI workers are this tree's and, when a baseline build is given, those of the
last commit that served FastCGI through libfcgi, side by side in the same rounds.

Every server listens on 127.0.0.1 only and every process is stopped by its own
process id; every wait is bounded."""
import ctypes
import http.client
import os
import re
import secrets
import shutil
import signal
import socket
import statistics
import subprocess
import time

CONNECTIONS = 16
FASTCGI_WORKERS = 4
FCGIWRAP_PROCESSES = 16
# One nginx process, as lighttpd has: on two cores wrk and the workers need the other.
NGINX_WORKERS = 1
PROGRAMS = ("vistrel", "fieldecho", "envprobe")
QUERIES = {"vistrel": "?cid=1&chto=c", "fieldecho": "?a=1&b=2", "envprobe": ""}
# nginx's own example of an upstream connection cache for FastCGI.
KEEPALIVE = 8
# The commit whose workers serve FastCGI through libfcgi: the baseline.
LIBFCGI_COMMIT = "1108cf9"


class Config:
    """One thing measured: a server, a way to run the program, a URL. For
    FastCGI, responder tells whose workers answer: "ours" or "libfcgi"."""

    def __init__(self, server, mode, program, path, counter_dir=None, workers=None, responder=None):
        self.server, self.mode, self.program, self.path = server, mode, program, path
        self.counter_dir = counter_dir
        self.workers = workers  # key of Site.workers, for FastCGI
        self.responder = responder
        self.name = "%s %s %s" % (server, mode, program) + (" (libfcgi)" if responder == "libfcgi" else "")


def worker_folder(kind, responder):
    """The folder (and key of Site.fcgi) of one set of FastCGI workers:
    kind is the server that starts them, or "keepalive"."""
    return kind if responder == "ours" else kind + "-libfcgi"


# Processes ------------------------------------------------------------------

def gone(pid):
    """True once the process has ended (reaped here when it is ours)."""
    try:
        if os.waitpid(pid, os.WNOHANG)[0] == pid:
            return True
    except ChildProcessError:
        pass
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] in "ZX"
    except (FileNotFoundError, ProcessLookupError):
        return True


def stop(pid, timeout=10):
    """Stops one process by its id: SIGTERM, then SIGKILL after the timeout."""
    for stop_signal in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.kill(pid, stop_signal)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if gone(pid):
                return
            time.sleep(0.02)
    raise RuntimeError("process %d did not stop" % pid)


class Exited(Exception):
    pass


def start(argv, ready, timeout=15, **popen):
    """Starts a server and waits, at most timeout seconds, until ready() holds."""
    process = subprocess.Popen(argv, **popen)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise Exited("%s exited with status %d" % (argv[0], process.returncode))
        if ready():
            return process
        time.sleep(0.05)
    stop(process.pid)
    raise RuntimeError("%s was not ready within %d s" % (argv[0], timeout))


def children(pid):
    """Process ids whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (ValueError, OSError):
            pass
    return found


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def busy_seconds():
    """CPU time of all processes on the machine, all cores, and what the
    hypervisor took (steal). Interrupts are left out: most of them here are
    the loopback traffic of the run itself."""
    with open("/proc/stat") as stat:
        user, nice, system, _, _, _, _, steal = [int(n) for n in stat.readline().split()[1:9]]
    return (user + nice + system + steal) / os.sysconf("SC_CLK_TCK")


def own_seconds(pids):
    """CPU time of the processes, with that of their children they have reaped."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError):
            continue
        total += sum(int(n) for n in fields[11:15])
    times = os.times()
    return total / os.sysconf("SC_CLK_TCK") + sum(times[:4])


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))


# Servers --------------------------------------------------------------------

def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def answers(port, path, token):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=1)
    try:
        connection.request("GET", path)
        return connection.getresponse().read() == token
    except OSError:
        return False
    finally:
        connection.close()


def start_http(name, argv, write_config, log, token):
    """Starts a web server on a free port of 127.0.0.1. A port taken between
    choosing it and binding it is met by choosing another. The server is
    ready when it serves this run's token, so it is ours."""
    for _ in range(5):
        port = free_port()
        write_config(port)
        try:
            with open(log, "ab") as errors:
                return start(argv, lambda: answers(port, "/ready.txt", token), stderr=errors), port
        except Exited:
            with open(log, errors="replace") as text:
                if "in use" not in text.read():
                    raise
    raise RuntimeError("%s found no free port" % name)


def listens(path):
    with socket.socket(socket.AF_UNIX) as probe:
        try:
            probe.connect(path)
            return True
        except OSError:
            return False


def url_folder(base, responder):
    return base if responder == "ours" else base + "-libfcgi"


def upstream_name(responder):
    return "keepalive_workers" if responder == "ours" else "keepalive_libfcgi_workers"


class Site:
    """The files, the servers and the workers of one benchmark run.
    responders: "ours" and optionally "libfcgi", each to its programs' paths."""

    def __init__(self, responders, floor, work):
        self.root = os.path.join(os.path.abspath(work), "served")
        shutil.rmtree(self.root, ignore_errors=True)
        self.www = os.path.join(self.root, "www")
        self.run = os.path.join(self.root, "run")
        self.cgi_bin = os.path.join(self.www, "cgi-bin")
        self.responders = list(responders)
        self.fcgi = {worker_folder(kind, responder): os.path.join(self.root, worker_folder(kind, responder))
                     for kind in ("lighttpd", "nginx", "keepalive") for responder in self.responders}
        for folder in [self.run, self.cgi_bin] + list(self.fcgi.values()):
            os.makedirs(folder)
        self.token = secrets.token_hex(8).encode()
        with open(os.path.join(self.www, "ready.txt"), "wb") as ready:
            ready.write(self.token)
        here = os.path.dirname(os.path.abspath(__file__))
        shutil.copyfile(os.path.join(here, "..", "site", "www", "cgi-bin", "count.gif"),
                        os.path.join(self.cgi_bin, "count.gif"))
        shutil.copy2(floor, os.path.join(self.cgi_bin, "floor"))
        folders = [(self.cgi_bin, "ours")] + [(self.fcgi[worker_folder(kind, responder)], responder)
                                              for kind in ("lighttpd", "nginx", "keepalive")
                                              for responder in self.responders]
        for folder, responder in folders:
            for name in PROGRAMS:
                shutil.copy2(responders[responder][name], os.path.join(folder, name))
            with open(os.path.join(folder, "1.dat"), "w") as data:
                data.write("0")
        self.servers = []   # (name, pid), stopped in reverse order
        self.workers = {}   # (server, program) -> worker pids
        self.ports = {}
        self.server_pids = {}  # the web server's own processes, for their CPU time

    def path(self, *parts):
        return os.path.join(self.run, *parts)

    # Server processes.

    def start_lighttpd(self):
        def write_config(port):
            fastcgi = ",\n".join(
                '  "/%s/%s" => (( "socket" => "%s", "bin-path" => "%s", "max-procs" => %d, '
                '"check-local" => "disable" ))'
                % (url_folder("fcgi", responder), name, self.path(worker_folder("lighttpd", responder) + "-" + name),
                   os.path.join(self.fcgi[worker_folder("lighttpd", responder)], name), FASTCGI_WORKERS)
                for responder in self.responders for name in PROGRAMS)
            with open(self.path("lighttpd.conf"), "w") as config:
                config.write(
                    'server.modules = ("mod_access", "mod_cgi", "mod_fastcgi")\n'
                    'server.document-root = "%s"\nserver.bind = "127.0.0.1"\nserver.port = %d\n'
                    'server.errorlog = "%s"\nmimetype.assign = (".gif" => "image/gif", ".txt" => "text/plain")\n'
                    'url.access-deny = (".dat")\n'
                    '$HTTP["url"] =~ "^/cgi-bin/" {\n  cgi.assign = (%s)\n}\nfastcgi.server = (\n%s\n)\n'
                    % (self.www, port, self.path("lighttpd.log"),
                       ", ".join('"/%s" => ""' % name for name in ("floor",) + PROGRAMS), fastcgi))
        lighttpd = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
        process, self.ports["lighttpd"] = start_http(
            "lighttpd", [lighttpd, "-D", "-f", self.path("lighttpd.conf")], write_config,
            self.path("lighttpd.log"), self.token)
        self.servers.append(("lighttpd", process.pid))
        self.server_pids["lighttpd"] = [process.pid]
        # lighttpd starts its FastCGI workers (bin-path) itself, in the folder of the program.
        kinds = {self.fcgi[kind]: kind for kind in self.fcgi}
        for pid in children(process.pid):
            with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
                path = cmdline.read().split(b"\0")[0].decode()
            folder, program = os.path.split(path)
            if program in PROGRAMS and folder in kinds:
                self.workers.setdefault((kinds[folder], program), []).append(pid)

    def spawn_workers(self, kind, program):
        """FASTCGI_WORKERS workers started by spawn-fcgi on a unix socket."""
        socket_path = self.path("%s-%s.sock" % (kind, program))
        pid_file = self.path("%s-%s.pid" % (kind, program))
        subprocess.run(["spawn-fcgi", "-s", socket_path, "-F", str(FASTCGI_WORKERS), "-P", pid_file,
                        "-d", self.fcgi[kind], "--", os.path.join(self.fcgi[kind], program)],
                       check=True, capture_output=True, timeout=15)
        with open(pid_file) as pids:
            self.workers[(kind, program)] = [int(line) for line in pids.read().split()]
        return socket_path

    def start_nginx(self):
        sockets = {(responder, program): self.spawn_workers(worker_folder("nginx", responder), program)
                   for responder in self.responders for program in PROGRAMS}
        keepalive_sockets = {responder: self.spawn_workers(worker_folder("keepalive", responder), "vistrel")
                             for responder in self.responders}
        wrap_socket = self.path("fcgiwrap.sock")
        with open(self.path("fcgiwrap.log"), "ab") as errors:
            wrap = start(["fcgiwrap", "-c", str(FCGIWRAP_PROCESSES), "-s", "unix:" + wrap_socket],
                         lambda: listens(wrap_socket), stderr=errors)
        self.servers.append(("fcgiwrap", wrap.pid))
        params = "include /etc/nginx/fastcgi_params;"
        locations = ["location ~ ^/cgi-bin/(floor|vistrel|fieldecho|envprobe)$ {\n  fastcgi_pass unix:%s;\n  %s\n"
                     "  fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;\n }" % (wrap_socket, params)]
        locations += ["location = /%s/%s {\n  fastcgi_pass unix:%s;\n  %s\n }"
                      % (url_folder("fcgi", responder), program, sockets[(responder, program)], params)
                      for responder in self.responders for program in PROGRAMS]
        locations += ["location = /%s/vistrel {\n  fastcgi_pass %s;\n  fastcgi_keep_conn on;\n  %s\n }"
                      % (url_folder("fcgi-keepalive", responder), upstream_name(responder), params)
                      for responder in self.responders]
        upstreams = "".join(" upstream %s {\n  server unix:%s;\n  keepalive %d;\n }\n"
                            % (upstream_name(responder), keepalive_sockets[responder], KEEPALIVE)
                            for responder in self.responders)
        user = "user root;\n" if os.geteuid() == 0 else ""

        def write_config(port):
            temp = "".join(" %s_temp_path %s;\n" % (kind, self.path("nginx-" + kind))
                           for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
            with open(self.path("nginx.conf"), "w") as config:
                config.write(
                    "daemon off;\nworker_processes %s;\n%spid %s;\nerror_log %s;\nevents {}\nhttp {\n"
                    " access_log off;\n types { image/gif gif; text/plain txt; }\n%s%s"
                    " server {\n listen 127.0.0.1:%d;\n root %s;\n location ~ \\.dat$ { deny all; }\n %s\n }\n}\n"
                    % (NGINX_WORKERS, user, self.path("nginx.pid"), self.path("nginx.log"), temp, upstreams,
                       port, self.www, "\n ".join(locations)))
        process, self.ports["nginx"] = start_http(
            "nginx", ["nginx", "-c", self.path("nginx.conf"), "-e", self.path("nginx.log")], write_config,
            self.path("nginx.log"), self.token)
        self.servers.append(("nginx", process.pid))
        self.server_pids["nginx"] = [process.pid] + children(process.pid)

    def stop(self):
        """Each server, then each worker, by its own process id. fcgiwrap's and
        lighttpd's children are looked up first, so none is left behind."""
        leftovers = [pid for _, pid in self.servers for pid in children(pid)]
        for _, pid in reversed(self.servers):
            stop(pid)
        for pid in leftovers + [pid for pids in self.workers.values() for pid in pids]:
            stop(pid)
        self.servers, self.workers = [], {}

    def worker_memory(self):
        """Largest resident KiB of a worker, per server and program."""
        return {key: max(resident_kib(pid) for pid in pids) for key, pids in self.workers.items()}

    def fastcgi_config(self, server, kind, mode, responder, program):
        folder = worker_folder(kind, responder)
        counters = self.fcgi[folder] if program == "vistrel" else None
        url = "/%s/%s%s" % (url_folder("fcgi" if kind == server else "fcgi-" + kind, responder), program,
                            QUERIES[program])
        return Config(server, mode, program, url, counters, (folder, program), responder)

    def configs(self):
        """Runs that are compared sit next to each other, so that they meet the
        same state of the machine: each responder's run of a program next to
        the other's, and the kept connections next to nginx's static file."""
        found = []
        for server in ("lighttpd", "nginx"):
            found.append(Config(server, "static", "file", "/cgi-bin/count.gif"))
            if server == "nginx":
                for responder in self.responders:
                    found.append(self.fastcgi_config("nginx", "keepalive", "FastCGI+keepalive", responder, "vistrel"))
            found.append(Config(server, "CGI", "floor", "/cgi-bin/floor"))
            for program in PROGRAMS:
                counters = self.cgi_bin if program == "vistrel" else None
                found.append(Config(server, "CGI", program, "/cgi-bin/" + program + QUERIES[program], counters))
            for program in PROGRAMS:
                for responder in self.responders:
                    found.append(self.fastcgi_config(server, server, "FastCGI", responder, program))
        return found


# Measuring ------------------------------------------------------------------

def seconds_of(text):
    number, unit = re.fullmatch(r"([\d.]+)(us|ms|s|m)", text).groups()
    return float(number) * {"us": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0}[unit]


def run_wrk(url, seconds):
    """Requests/s, p99 (s), completed requests and failures of one wrk run."""
    out = subprocess.run(["wrk", "-t2", "-c%d" % CONNECTIONS, "-d%ds" % seconds, "--latency", "--timeout", "10s", url],
                         capture_output=True, text=True, check=True, timeout=seconds + 60).stdout
    errors = sum(int(n) for n in re.findall(r"(?:connect|read|write|timeout) (\d+)", out))
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return {"rps": float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)),
            "p99": seconds_of(re.search(r"^\s+99%\s+(\S+)", out, re.M).group(1)),
            "requests": int(re.search(r"(\d+) requests in", out).group(1)),
            "errors": errors, "non2xx": int(non2xx.group(1)) if non2xx else 0}


def read_count(folder):
    with open(os.path.join(folder, "1.dat")) as data:
        return int(data.read().split()[0])


def settled_count(folder, timeout=10):
    """The count once it has stopped moving: requests still in flight when wrk
    stopped are finished by the server."""
    last, steady_since = read_count(folder), time.monotonic()
    deadline = steady_since + timeout
    while time.monotonic() < deadline and time.monotonic() - steady_since < 0.5:
        time.sleep(0.1)
        now = read_count(folder)
        if now != last:
            last, steady_since = now, time.monotonic()
    return last


def measure(site, config, seconds):
    """One wrk run, with the CPU time that the server and the workers spent on
    it, and the visits counted against the answers."""
    before = read_count(config.counter_dir) if config.counter_dir else None
    server_pids, worker_pids = site.server_pids[config.server], site.workers.get(config.workers, [])
    cpu = cpu_seconds(server_pids), cpu_seconds(worker_pids)
    url = "http://127.0.0.1:%d%s" % (site.ports[config.server], config.path)
    ours = [pid for _, pid in site.servers] + [pid for pids in site.workers.values() for pid in pids]
    ours += [pid for pids in site.server_pids.values() for pid in pids if pid not in ours]
    ours += [child for _, pid in site.servers for child in children(pid) if child not in ours]
    machine, own, started = busy_seconds(), own_seconds(ours), time.monotonic()
    result = run_wrk(url, seconds)
    # What the rest of the machine took meanwhile, in cores: other users' load, not the bench's.
    result["others"] = max(0.0, (busy_seconds() - machine) - (own_seconds(ours) - own)) / (time.monotonic() - started)
    requests = max(result["requests"], 1)
    result["server cpu"] = (cpu_seconds(server_pids) - cpu[0]) / requests
    result["worker cpu"] = (cpu_seconds(worker_pids) - cpu[1]) / requests if worker_pids else None
    if before is not None:
        result["counted"] = settled_count(config.counter_dir) - before
        answered = result["requests"] - result["non2xx"]
        result["lost"] = max(0, answered - result["counted"])
        result["extra"] = max(0, result["counted"] - result["requests"] - CONNECTIONS)
    return result


def keep_orphans():
    """Workers that spawn-fcgi leaves behind become this process's children,
    so that stopping them also reaps them."""
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def round_order(configs, round_number, rounds):
    """The order of one round: rotated by a step each round, and every other
    round reversed, so that no configuration always runs first, last, or
    right after the same neighbour."""
    step = max(1, len(configs) // max(rounds, 1))
    shift = round_number * step % len(configs)
    order = configs[shift:] + configs[:shift]
    return order[::-1] if round_number % 2 else order


def served(responders, floor, work, rounds, seconds, warmup=1):
    """Runs every configuration once per round, each round in another order.
    Returns the configurations, their results per round and worker memory."""
    keep_orphans()
    site = Site(responders, floor, work)
    try:
        site.start_lighttpd()
        site.start_nginx()
        configs = site.configs()
        for config in configs:
            measure(site, config, warmup)
        memory = {"after warm-up": site.worker_memory()}
        results = {config.name: [] for config in configs}
        for round_number in range(rounds):
            for config in round_order(configs, round_number, rounds):
                results[config.name].append(measure(site, config, seconds))
        time.sleep(1)
        memory["after the rounds"] = site.worker_memory()
        return configs, results, memory
    finally:
        site.stop()


def median(results, key):
    return statistics.median(result[key] for result in results)
