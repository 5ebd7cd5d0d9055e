"""Where the FastCGI workers' time goes, per request: vistrel counting visits
behind nginx (one process), served by 4 workers started by spawn-fcgi as in the
served part, with nginx's upstream keepalive and without it.

- CPU: the workers' user and system time per request under wrk -c16 (from /proc).
- Syscalls: strace -c attached to the workers for one wrk run, per request.
- Kernel and user functions: perf record (cpu-clock samples) of the workers, when perf works.
- User-space instructions: one worker under valgrind --tool=callgrind serving two
  fixed numbers of sequential requests; the difference, divided, is the cost of one.
And (keepalive_check) vistrel's workers with and without nginx's upstream keepalive,
each behind its own nginx with nothing else on it, against the static file.

Every server listens on 127.0.0.1 only; every process is stopped by its own id
and every wait is bounded. Run by bench/run.sh --parts profile."""
import http.client
import os
import re
import shutil
import signal
import statistics
import subprocess
import time

import served

QUERY = "?cid=1&chto=c"
SECONDS = 5
CALLGRIND_REQUESTS = (500, 2500)


class Setup:
    """One nginx and one worker of one build, with or without kept connections."""

    def __init__(self, work, name, program, keepalive, wrapper=(), workers=served.FASTCGI_WORKERS):
        self.root = os.path.join(work, "profile", name)
        shutil.rmtree(self.root, ignore_errors=True)
        self.www = os.path.join(self.root, "www")
        os.makedirs(self.www)
        shutil.copy2(program, os.path.join(self.root, "vistrel"))
        with open(os.path.join(self.root, "1.dat"), "w") as data:
            data.write("0")
        self.token = os.urandom(8).hex().encode()
        with open(os.path.join(self.www, "ready.txt"), "wb") as ready:
            ready.write(self.token)
        self.keepalive = keepalive
        self.socket = os.path.join(self.root, "worker.sock")
        self.workers, self.nginx = [], None
        self.wrapper, self.count_of_workers = list(wrapper), workers

    def path(self, name):
        return os.path.join(self.root, name)

    def start(self):
        pid_file = self.path("worker.pid")
        subprocess.run(["spawn-fcgi", "-s", self.socket, "-F", str(self.count_of_workers), "-P", pid_file,
                        "-d", self.root, "--"] + self.wrapper + [self.path("vistrel")],
                       check=True, capture_output=True, timeout=15)
        with open(pid_file) as pids:
            self.workers = [int(pid) for pid in pids.read().split()]
        deadline = time.monotonic() + 30
        while not served.listens(self.socket):
            if time.monotonic() > deadline:
                raise RuntimeError("the worker did not listen within 30 s")
            time.sleep(0.05)
        upstream = ("upstream worker {\n  server unix:%s;\n  keepalive %d;\n }\n" % (self.socket, served.KEEPALIVE)
                    if self.keepalive else "")
        target = "worker;\n  fastcgi_keep_conn on" if self.keepalive else "unix:" + self.socket
        user = "user root;\n" if os.geteuid() == 0 else ""

        def write_config(port):
            temp = "".join(" %s_temp_path %s;\n" % (kind, self.path("nginx-" + kind))
                           for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
            with open(self.path("nginx.conf"), "w") as config:
                config.write("daemon off;\nworker_processes 1;\n%spid %s;\nerror_log %s;\nevents {}\nhttp {\n"
                             " access_log off;\n types { text/plain txt; }\n%s %s server {\n listen 127.0.0.1:%d;\n"
                             " root %s;\n location = /vistrel {\n  fastcgi_pass %s;\n"
                             "  include /etc/nginx/fastcgi_params;\n }\n }\n}\n"
                             % (user, self.path("nginx.pid"), self.path("nginx.log"), temp, upstream, port,
                                self.www, target))
        process, self.port = served.start_http("nginx", ["nginx", "-c", self.path("nginx.conf"),
                                                         "-e", self.path("nginx.log")],
                                               write_config, self.path("nginx.log"), self.token)
        self.nginx = process.pid

    def url(self):
        return "http://127.0.0.1:%d/vistrel%s" % (self.port, QUERY)

    def count(self):
        return served.read_count(self.root)

    def stop(self, timeout=10):
        for pid in [self.nginx] + self.workers:
            if pid is not None:
                served.stop(pid, timeout)
        self.nginx, self.workers = None, []


def worker_seconds(pids):
    """User and system CPU seconds of the processes."""
    user = system = 0
    for pid in pids:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        user, system = user + int(fields[11]), system + int(fields[12])
    tick = os.sysconf("SC_CLK_TCK")
    return user / tick, system / tick


def loaded(setup, seconds=SECONDS):
    """One wrk run; returns the visits the worker counted and its CPU seconds (user, system)."""
    before, cpu = setup.count(), worker_seconds(setup.workers)
    served.run_wrk(setup.url(), seconds)
    counted = served.settled_count(setup.root) - before
    after = worker_seconds(setup.workers)
    return counted, after[0] - cpu[0], after[1] - cpu[1]


def traced(pid, timeout=10):
    """True once a tracer is attached to the process."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/%d/status" % pid) as status:
            if int(re.search(r"TracerPid:\s+(\d+)", status.read()).group(1)) != 0:
                return True
        time.sleep(0.02)
    return False


def syscalls(setup):
    """Calls per request of each system call, from strace -c during one wrk run."""
    out = setup.path("strace.txt")
    attach = [argument for pid in setup.workers for argument in ("-p", str(pid))]
    tracer = subprocess.Popen(["strace", "-c", "-o", out] + attach, stderr=subprocess.DEVNULL)
    try:
        if not all(traced(pid) for pid in setup.workers):
            raise RuntimeError("strace did not attach")
        counted, _, _ = loaded(setup)
    finally:
        # strace detaches and writes its table at SIGINT.
        os.kill(tracer.pid, signal.SIGINT)
        try:
            tracer.wait(timeout=10)
        except subprocess.TimeoutExpired:
            served.stop(tracer.pid)
    calls = {}
    with open(out) as table:
        for line in table:
            fields = line.split()
            if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
                calls[fields[-1]] = int(fields[3])
    return counted, calls


def perf_profile(setup):
    """perf's cpu-clock samples of the worker during one wrk run, by symbol, or None."""
    if shutil.which("perf") is None:
        return None
    data = setup.path("perf.data")
    recorder = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-F", "4000", "-o", data,
                                 "-p", ",".join(str(pid) for pid in setup.workers), "--", "sleep", str(SECONDS + 1)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        loaded(setup)
        recorder.wait(timeout=SECONDS + 30)
    except subprocess.TimeoutExpired:
        served.stop(recorder.pid)
        return None
    if recorder.returncode != 0:
        return None
    lines = []
    for sort in ("dso", "sym"):
        report = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "--sort", sort,
                                 "--percent-limit", "1.5"], capture_output=True, text=True, timeout=120)
        lines += [line.rstrip() for line in report.stdout.splitlines() if line.strip() and not line.startswith("#")]
    return lines


def function_name(text):
    """callgrind_annotate's name of a function, without its file and the standard library's long names."""
    text = re.sub(r" \[[^\]]*\]$", "", text)
    text = re.sub(r"^\?\?\?:", "", text)
    text = text.replace("std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >",
                        "std::string")
    text = text.replace("std::basic_string_view<char, std::char_traits<char> >", "std::string_view")
    return text.replace("(anonymous namespace)::", "")


def sequential(setup, requests):
    """Sends requests one after the other over one kept HTTP connection."""
    connection = http.client.HTTPConnection("127.0.0.1", setup.port, timeout=30)
    try:
        for _ in range(requests):
            connection.request("GET", "/vistrel" + QUERY)
            response = connection.getresponse()
            response.read()
            if response.status != 200:
                raise RuntimeError("answer %d" % response.status)
    finally:
        connection.close()


def callgrind_totals(path):
    with open(path) as out:
        for line in out:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError("no totals in " + path)


def instructions(work, name, program, keepalive):
    """User-space instructions of one request, and the largest functions' share, by callgrind."""
    if shutil.which("valgrind") is None:
        return None
    totals = {}
    for requests in CALLGRIND_REQUESTS:
        out = os.path.join(work, "profile", "%s-%d.callgrind" % (name, requests))
        setup = Setup(work, "%s-callgrind" % name, program, keepalive,
                      [shutil.which("valgrind"), "--tool=callgrind", "--callgrind-out-file=" + out], workers=1)
        try:
            setup.start()
            sequential(setup, 50)
            sequential(setup, requests)
        finally:
            setup.stop(timeout=30)  # callgrind writes its file on the way out
        if not os.path.exists(out):
            return None  # the worker did not end by itself within the time
        totals[requests] = out
    low, high = CALLGRIND_REQUESTS
    per_request = (callgrind_totals(totals[high]) - callgrind_totals(totals[low])) / (high - low)
    annotate = subprocess.run(["callgrind_annotate", "--inclusive=no", totals[high]], capture_output=True, text=True,
                              timeout=120).stdout
    functions = []
    for line in annotate.splitlines():
        match = re.match(r"\s*([\d,]+) \(\s*([\d.]+)%\)\s+(.*)", line)
        if match and "PROGRAM TOTALS" not in line and float(match.group(2)) >= 2.0:
            functions.append((int(match.group(1).replace(",", "")) / (high + 50), match.group(2),
                              function_name(match.group(3))))
    return per_request, functions


def profile(say, builds, work):
    """builds: responder ("ours", "libfcgi") to its vistrel."""
    served.keep_orphans()
    rows, syscall_tables, perf_tables, instruction_tables = [], {}, {}, {}
    for responder, program in builds.items():
        for keepalive in (True, False):
            name = "%s-%s" % (responder, "keepalive" if keepalive else "new-connection")
            setup = Setup(work, name, program, keepalive)
            try:
                setup.start()
                loaded(setup, 1)
                counted, user, system = loaded(setup)
                rows.append([responder, "keepalive + keep_conn" if keepalive else "new connection per request",
                             "%.0f" % (counted / SECONDS), "%.1f" % (user / counted * 1e6),
                             "%.1f" % (system / counted * 1e6)])
                if shutil.which("strace"):
                    syscall_tables[name] = syscalls(setup)
                if responder == "ours" and keepalive:
                    perf_tables[name] = perf_profile(setup)
            finally:
                setup.stop()
            instruction_tables[name] = instructions(work, name, program, keepalive)

    say("vistrel, %d workers (spawn-fcgi) behind nginx (1 process), wrk -t2 -c%d -d%ds, counted visits; "
        "CPU of the workers per request, from /proc:" % (served.FASTCGI_WORKERS, served.CONNECTIONS, SECONDS))
    say.table(["workers", "upstream", "counted visits/s", "user us/req", "system us/req"], rows, text_columns=2)

    names = list(syscall_tables)
    if not names:
        say("strace is not installed: no system call counts.")
        say()
    every_call = sorted({call for _, calls in syscall_tables.values() for call in calls},
                        key=lambda call: -max(calls.get(call, 0) / max(counted, 1)
                                              for counted, calls in syscall_tables.values()))
    if names:
        say("System calls of the %d workers per counted visit (strace -c attached for one wrk run of %d s; "
            "tracing slows the workers, so the calls that depend on timing, polls and reads that find nothing, "
            "may differ somewhat from an untraced run):" % (served.FASTCGI_WORKERS, SECONDS))
        say.table(["call"] + names,
                  [[call] + ["%.2f" % (syscall_tables[name][1].get(call, 0) / max(syscall_tables[name][0], 1))
                             for name in names] for call in every_call]
                  + [["all"] + ["%.2f" % (sum(syscall_tables[name][1].values()) / max(syscall_tables[name][0], 1))
                                for name in names]])

    for name, lines in perf_tables.items():
        if lines:
            say("Where %s's CPU time goes (perf record -e cpu-clock; by program or kernel, then by function; "
                "at least 1.5 %% of the samples):" % name)
            say("```")
            for line in lines[:25]:
                say(line)
            say("```")
            say()

    for name, found in instruction_tables.items():
        if found is None:
            continue
        per_request, functions = found
        say("%s: %.0f user-space instructions per request (callgrind, %d and %d sequential requests over one kept "
            "HTTP connection; the difference divided). The functions with at least 2 %% of the instructions, per "
            "request:" % (name, per_request, CALLGRIND_REQUESTS[0], CALLGRIND_REQUESTS[1]))
        say.table(["function", "instructions/request", "share %"],
                  [[function[:100], "%.0f" % count, share] for count, share, function in functions])


def keepalive_check(say, builds, work, rounds=6):
    """vistrel's workers with and without nginx's upstream keepalive, each
    set-up its own nginx with nothing else on it, against the static file of
    the first one, in interleaved rounds: the served part's comparison
    without its dozens of other servers and workers."""
    served.keep_orphans()
    setups = {}
    try:
        for responder, program in builds.items():
            for keepalive in (True, False):
                name = "%s, %s" % (responder, "keepalive + keep_conn" if keepalive else "new connection per request")
                setup = Setup(work, "keepalive-check-%d" % len(setups), program, keepalive)
                here = os.path.dirname(os.path.abspath(__file__))
                shutil.copyfile(os.path.join(here, "..", "site", "www", "cgi-bin", "count.gif"),
                                os.path.join(setup.www, "count.gif"))
                setup.start()
                setups[name] = setup
        first = next(iter(setups.values()))
        urls = {"static file": "http://127.0.0.1:%d/count.gif" % first.port}
        urls.update((name, setup.url()) for name, setup in setups.items())
        for url in urls.values():
            served.run_wrk(url, 1)
        names = list(urls)
        results = {name: [] for name in names}
        for round_number in range(rounds):
            for name in served.round_order(names, round_number, rounds):
                setup = setups.get(name)
                before = setup.count() if setup else None
                result = served.run_wrk(urls[name], SECONDS)
                result["counted"] = served.settled_count(setup.root) - before if setup else result["requests"]
                results[name].append(result)
    finally:
        for setup in setups.values():
            setup.stop()
    static = results["static file"]
    say("vistrel, 4 workers, each set-up behind its own nginx (1 process) with nothing else on it, against the "
        "static file (count.gif) of the same nginx build in the same round; wrk -t2 -c%d -d%ds, %d interleaved "
        "rounds; median of the rounds' own ratios (lowest-highest):" % (served.CONNECTIONS, SECONDS, rounds))
    rows = [["static file", "%.0f" % served.median(static, "rps"), "%.2f" % (served.median(static, "p99") * 1000),
             "-", "-", "-"]]
    for name in names[1:]:
        runs = results[name]
        p99 = [run["p99"] / base["p99"] for run, base in zip(runs, static)]
        visits = [run["counted"] * run["rps"] / max(run["requests"], 1) / base["rps"]
                  for run, base in zip(runs, static)]
        met = sum(1 for p, v in zip(p99, visits) if p <= 1.5 and v >= 0.5)
        rows.append([name, "%.0f" % served.median(runs, "rps"), "%.2f" % (served.median(runs, "p99") * 1000),
                     "%.2f (%.2f-%.2f)" % (statistics.median(p99), min(p99), max(p99)),
                     "%.2f (%.2f-%.2f)" % (statistics.median(visits), min(visits), max(visits)),
                     "%d of %d" % (met, rounds)])
    say.table(["workers, upstream", "req/s", "p99 ms", "p99 x static", "counted visits/s x static req/s",
               "rounds with both targets met"], rows)
    say("Each round (req/s / p99 ms):")
    say.table(["configuration"] + ["round %d" % (n + 1) for n in range(rounds)],
              [[name] + ["%.0f / %.2f" % (run["rps"], run["p99"] * 1000) for run in results[name]] for name in names])
