#!/usr/bin/env python3
"""Measures and prints the benchmark tables (bench/run.sh prepares its inputs) and
writes them to WORK/report.md, with the served figures drawn in an SVG chart."""
import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile

import chart
import peers
import worker_profile
import served

HERE = os.path.dirname(os.path.abspath(__file__))


def program_paths(build):
    build = os.path.abspath(build)
    return {"vistrel": os.path.join(build, "counter", "vistrel"),
            "fieldecho": os.path.join(build, "formecho", "fieldecho"),
            "envprobe": os.path.join(build, "probe", "envprobe")}


def startup_costs(programs, floor, work):
    """Median wall time per start. hyperfine runs one command after the other,
    so five rounds, each in another order, keep drift from favouring any."""
    counters = tempfile.mkdtemp(dir=work)
    with open(os.path.join(counters, "1.dat"), "w") as data:
        data.write("0")
    env = dict(os.environ, REQUEST_METHOD="GET", QUERY_STRING="cid=1&chto=c", HTTP_HOST="127.0.0.1",
               SCRIPT_NAME="/cgi-bin/vistrel")
    names = ["floor", "vistrel", "fieldecho", "envprobe"]
    commands = dict(zip(names, [floor] + [programs[name] for name in names[1:]]))
    times = {name: [] for name in names}
    report = os.path.join(work, "startup.json")
    for round_number in range(5):
        order = names[round_number % 4:] + names[:round_number % 4]
        subprocess.run(["hyperfine", "-N", "--warmup", "30", "--runs", "300", "--output", "pipe",
                        "--export-json", report] + [commands[name] for name in order],
                       cwd=counters, env=env, check=True, capture_output=True, timeout=600)
        with open(report) as results:
            for name, result in zip(order, json.load(results)["results"]):
                times[name].extend(result["times"])
    shutil.rmtree(counters)
    return {name: statistics.median(times[name]) for name in names}


def decode_run(command, body, work):
    """Seconds and peak resident KiB for one run with the body piped in."""
    timing = os.path.join(work, "decode.time")
    shell = "cat %s | /usr/bin/time -o %s -f '%%e %%M' %s > /dev/null" % (body, timing, command)
    subprocess.run(["sh", "-c", shell], env=dict(os.environ, REQUEST_METHOD="POST"), check=True, timeout=600)
    with open(timing) as result:
        seconds, kib = result.read().split()[-2:]
    os.unlink(timing)
    return float(seconds), int(kib)


def decode_costs(programs, work):
    peers = {"fieldecho": programs["fieldecho"],
             "python parse_qsl": "python3 " + os.path.join(HERE, "peer_parse_qsl.py"),
             "node querystring": "node " + os.path.join(HERE, "peer_querystring.js")}
    results = {}
    for body in ("distinct", "longvalue", "repeated"):
        path = os.path.join(work, "bodies", body + ".body")
        size = os.path.getsize(path)
        for name, command in peers.items():
            runs = [decode_run(command, path, work) for _ in range(3 if name == "fieldecho" else 1)]
            seconds = min(r[0] for r in runs)
            results[(body, name)] = (size / 1e6 / max(seconds, 1e-3), max(r[1] for r in runs) / 1024)
    return results


def start_counts(command, work):
    """User-space instructions (valgrind's callgrind) and minor page faults of
    one CGI request, a counted visit: exact where the time of a start is not."""
    counters = tempfile.mkdtemp(dir=work)
    with open(os.path.join(counters, "1.dat"), "w") as data:
        data.write("0")
    env = {"REQUEST_METHOD": "GET", "QUERY_STRING": "cid=1&chto=c", "HTTP_HOST": "127.0.0.1",
           "SCRIPT_NAME": "/cgi-bin/vistrel"}
    out = os.path.join(counters, "callgrind.out")
    subprocess.run([shutil.which("valgrind"), "--tool=callgrind", "--callgrind-out-file=" + out, command],
                   cwd=counters, env=env, check=True, capture_output=True, timeout=120)
    with open(out) as counts:
        instructions = next(int(line.split()[1]) for line in counts if line.startswith(("summary:", "totals:")))
    timing = subprocess.run(["/usr/bin/time", "-f", "%R", command], cwd=counters, env=env, check=True,
                            capture_output=True, text=True, timeout=60)
    shutil.rmtree(counters)
    return instructions, int(timing.stderr.split()[-1])


TARGET_RATE, TARGET_P99, TARGET_START, TARGET_RSS_KIB = 25.0, 0.05, 1.05, 4096


class Report:
    """Prints each line and keeps it for the report file."""

    def __init__(self):
        self.lines = []

    def __call__(self, line=""):
        print(line, flush=True)
        self.lines.append(line)

    def table(self, header, rows, text_columns=1):
        self("| " + " | ".join(header) + " |")
        self("|" + "|".join(["---"] * text_columns + ["---:"] * (len(header) - text_columns)) + "|")
        for row in rows:
            self("| " + " | ".join(str(cell) for cell in row) + " |")
        self()


def verdict(ok):
    return "PASS" if ok else "FAIL"


def microseconds(value):
    return "-" if value is None else "%.0f" % (value * 1e6)


def served_report(say, configs, results, memory, rounds, seconds):
    floors = {server: results[server + " CGI floor"] for server in ("lighttpd", "nginx")}
    median = served.median
    say("Behind lighttpd and nginx on 127.0.0.1: wrk -t2 -c%d -d%ds --latency, median of %d interleaved rounds "
        "(CPU: microseconds of the web server's and the FastCGI workers' CPU time per request):"
        % (served.CONNECTIONS, seconds, rounds))
    rows = []
    for config in configs:
        runs, floor = results[config.name], floors[config.server]
        worker_cpu = [run["worker cpu"] for run in runs if run["worker cpu"] is not None]
        mode = config.mode + (" (libfcgi)" if config.responder == "libfcgi" else "")
        rows.append([config.server, mode, config.program, "%.0f" % median(runs, "rps"),
                     "%.2f" % (median(runs, "p99") * 1000), "%.2f" % (median(runs, "rps") / median(floor, "rps")),
                     "%.3f" % (median(runs, "p99") / median(floor, "p99")),
                     microseconds(statistics.median(run["server cpu"] for run in runs)),
                     microseconds(statistics.median(worker_cpu) if worker_cpu else None)])
    say.table(["server", "mode", "program", "req/s", "p99 ms", "req/s x floor", "p99 x floor",
               "server CPU us/req", "worker CPU us/req"], rows, text_columns=3)

    say("Each round (req/s / p99 ms):")
    say.table(["configuration"] + ["round %d" % (n + 1) for n in range(rounds)],
              [[config.name] + ["%.0f / %.2f" % (run["rps"], run["p99"] * 1000) for run in results[config.name]]
               for config in configs])
    others = [run["others"] for config in configs for run in results[config.name]]
    say("CPU taken during the runs by processes outside the bench (and by the hypervisor), in cores of the "
        "machine's %d: median %.2f, highest %.2f; runs with more than a quarter of a core: %d of %d."
        % (os.cpu_count(), statistics.median(others), max(others), sum(1 for n in others if n > 0.25), len(others)))
    say()

    say("FastCGI vistrel (4 workers, spawn-fcgi) against the static C floor through fcgiwrap (16 processes), "
        "both behind nginx; targets: req/s >= %gx, p99 <= %gx, no lost visit:" % (TARGET_RATE, TARGET_P99))
    rows = []
    for n, (fast, floor) in enumerate(zip(results["nginx FastCGI vistrel"], floors["nginx"])):
        rate, p99 = fast["rps"] / floor["rps"], fast["p99"] / floor["p99"]
        ok = rate >= TARGET_RATE and p99 <= TARGET_P99 and fast["lost"] == 0 and fast["errors"] == 0
        rows.append([n + 1, "%.0f" % floor["rps"], "%.0f" % fast["rps"], "%.1f" % rate, "%.2f" % (floor["p99"] * 1000),
                     "%.2f" % (fast["p99"] * 1000), "%.3f" % p99, fast["lost"], verdict(ok)])
    say.table(["round", "floor req/s", "FastCGI req/s", "x floor", "floor p99 ms", "FastCGI p99 ms", "x floor",
               "lost visits", "verdict"], rows)

    say("Visits counted against the answers of each run (counted must lie between the answered requests "
        "and %d more, the connections still in flight when wrk stops):" % served.CONNECTIONS)
    for config in configs:
        if config.counter_dir is None:
            continue
        runs = results[config.name]
        lost = sum(run["lost"] for run in runs)
        extra = sum(run["extra"] for run in runs)
        spread = [run["counted"] - run["requests"] + run["non2xx"] for run in runs]
        line = "%s: lost visits: %d (%d runs, counted %d to %d more than answered)" % (
            config.name, lost, len(runs), min(spread), max(spread))
        if extra:
            line += "; %d counted beyond the requests in flight" % extra
        say("- " + line)
    failures = ["%s round %d: %d socket errors, %d answers not 2xx" % (config.name, n + 1, run["errors"], run["non2xx"])
                for config in configs for n, run in enumerate(results[config.name])
                if run["errors"] or run["non2xx"]]
    say("- failed requests: " + ("none" if not failures else "; ".join(failures)))
    say()

    if any(config.responder == "libfcgi" for config in configs):
        against_libfcgi(say, results, rounds)
    keepalive_report(say, configs, results, rounds)

    say("Resident memory of an idle FastCGI worker (VmRSS, the largest of each program's 4 workers, KiB; "
        "target <= %d):" % TARGET_RSS_KIB)
    rows = []
    started = {"lighttpd": "lighttpd bin-path", "nginx": "spawn-fcgi", "keepalive": "spawn-fcgi, keepalive upstream"}
    for key in memory["after warm-up"]:
        largest = max(memory["after warm-up"][key], memory["after the rounds"][key])
        kind, libfcgi = key[0].split("-")[0], key[0].endswith("-libfcgi")
        rows.append(["%s (%s%s)" % (key[1], started[kind], ", libfcgi %s" % served.LIBFCGI_COMMIT if libfcgi else ""),
                     memory["after warm-up"][key], memory["after the rounds"][key], verdict(largest <= TARGET_RSS_KIB)])
    say.table(["worker", "after warm-up", "after the rounds", "verdict"], rows)


TARGET_KEPT_P99, TARGET_KEPT_VISITS = 1.5, 0.5


def ratios(runs, bases, key):
    """The ratio of each round's run to the same round's base run."""
    return [run[key] / base[key] for run, base in zip(runs, bases)]


def ratio_text(median_ratio, per_round):
    return "%.2f (%.2f-%.2f)" % (median_ratio, min(per_round), max(per_round))


def against_libfcgi(say, results, rounds):
    """Our workers against libfcgi's, same program, same server, same round."""
    median = served.median
    say("Our FastCGI workers against libfcgi's (commit %s), a new connection per request, 4 workers each, "
        "side by side in the same rounds; new/libfcgi as the ratio of the medians (lowest-highest of the "
        "%d rounds' own ratios); target: req/s ratio >= 1, p99 ratio <= 1:" % (served.LIBFCGI_COMMIT, rounds))
    rows = []
    for server in ("lighttpd", "nginx"):
        for program in served.PROGRAMS:
            ours = results["%s FastCGI %s" % (server, program)]
            base = results["%s FastCGI %s (libfcgi)" % (server, program)]
            rate, p99 = ratios(ours, base, "rps"), ratios(ours, base, "p99")
            met = sum(1 for r, p in zip(rate, p99) if r >= 1 and p <= 1)
            rows.append([server, program, "%.0f" % median(ours, "rps"), "%.0f" % median(base, "rps"),
                         ratio_text(median(ours, "rps") / median(base, "rps"), rate),
                         "%.2f" % (median(ours, "p99") * 1000), "%.2f" % (median(base, "p99") * 1000),
                         ratio_text(median(ours, "p99") / median(base, "p99"), p99),
                         microseconds(statistics.median(run["worker cpu"] for run in ours)),
                         microseconds(statistics.median(run["worker cpu"] for run in base)),
                         "%d of %d" % (met, len(rate))])
    say.table(["server", "program", "req/s new", "req/s libfcgi", "req/s new/libfcgi", "p99 ms new",
               "p99 ms libfcgi", "p99 new/libfcgi", "worker CPU us/req new", "worker CPU us/req libfcgi",
               "rounds with both targets met"], rows, text_columns=2)


def visit_rate(run):
    """Visits counted per second of the run (wrk's own length of it)."""
    return run["counted"] * run["rps"] / max(run["requests"], 1)


def keepalive_report(say, configs, results, rounds):
    """vistrel behind one nginx with and without upstream keepalive, against
    the same nginx's static file in the same round."""
    median = served.median
    static = results["nginx static file"]
    say("vistrel behind nginx, 4 workers each: upstream keepalive %d with fastcgi_keep_conn on, and a new "
        "connection per request, against the same nginx's static file (count.gif) in the same round; "
        "median of the %d rounds' own ratios (lowest-highest); targets with keepalive: p99 <= %gx the static "
        "file's, counted visits/s >= %gx its req/s:" % (served.KEEPALIVE, rounds, TARGET_KEPT_P99, TARGET_KEPT_VISITS))
    rows = [["static file", "-", "%.0f" % median(static, "rps"), "-", "%.2f" % (median(static, "p99") * 1000),
             "1.00", "-", "-"]]
    names = [("keepalive + keep_conn", "nginx FastCGI+keepalive vistrel"),
             ("new connection per request", "nginx FastCGI vistrel")]
    for upstream, name in names:
        for responder, suffix in (("new", ""), ("libfcgi " + served.LIBFCGI_COMMIT, " (libfcgi)")):
            runs = results.get(name + suffix)
            if runs is None:
                continue
            p99 = ratios(runs, static, "p99")
            visits = [visit_rate(run) / base["rps"] for run, base in zip(runs, static)]
            met = sum(1 for p, v in zip(p99, visits) if p <= TARGET_KEPT_P99 and v >= TARGET_KEPT_VISITS)
            rows.append([upstream, responder, "%.0f" % median(runs, "rps"),
                         "%.0f" % statistics.median(visit_rate(run) for run in runs),
                         "%.2f" % (median(runs, "p99") * 1000), ratio_text(statistics.median(p99), p99),
                         ratio_text(statistics.median(visits), visits), "%d of %d" % (met, len(runs))])
    say.table(["upstream", "workers", "req/s", "counted visits/s", "p99 ms", "p99 x static",
               "counted visits/s x static req/s", "rounds with both targets met"], rows, text_columns=2)


def chart_rows(configs, results):
    labels = {"static": "static file (count.gif)", "CGI": "CGI %s", "FastCGI": "FastCGI %s",
              "FastCGI+keepalive": "FastCGI %s, keepalive"}
    rows = []
    for config in configs:
        label = labels[config.mode].replace("%s", config.program).replace("CGI floor", "CGI floor (static C)")
        mode = config.mode
        if config.responder == "libfcgi":
            label += " (libfcgi)"
            mode += " libfcgi"
        rows.append((config.server, label, mode, served.median(results[config.name], "rps"),
                     served.median(results[config.name], "p99")))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--libfcgi-build", help="build of commit %s, whose workers use libfcgi" % served.LIBFCGI_COMMIT)
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds under the web servers")
    parser.add_argument("--seconds", type=int, default=5, help="length of each wrk run")
    parser.add_argument("--parts", default="startup,decode,served",
                        help="which parts to measure; also (not by default) 'keepalive', vistrel with and without "
                        "nginx's upstream keepalive with nothing else running, 'profile', where the workers' "
                        "time goes, and 'peers', slow and hostile peers against a pool of workers")
    parser.add_argument("--chart", default=os.path.join(HERE, "..", "docs", "speed.svg"))
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    # Stopped by SIGTERM, it still stops its servers and workers.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    programs = program_paths(args.build)
    floor = os.path.join(args.work, "floor")
    parts = args.parts.split(",")
    say = Report()

    if "startup" in parts:
        startup = startup_costs(programs, floor, args.work)
        say("Per request, one process start (median of 1500 in 5 rounds, hyperfine; target <= %.2fx floor):"
            % TARGET_START)
        say.table(["program", "ms", "x floor", "verdict"],
                  [[name, "%.3f" % (seconds * 1000), "%.2f" % (seconds / startup["floor"]),
                    "" if name == "floor" else verdict(seconds / startup["floor"] <= TARGET_START)]
                   for name, seconds in startup.items()])
        if shutil.which("valgrind"):
            builds = [("", programs)]
            if args.libfcgi_build:
                builds.append((" (%s, libfcgi)" % served.LIBFCGI_COMMIT, program_paths(args.libfcgi_build)))
            rows = [["floor"] + list(start_counts(floor, args.work))]
            rows += [[name + label] + list(start_counts(paths[name], args.work))
                     for name in served.PROGRAMS for label, paths in builds]
            say("The same request counted (a visit counted by vistrel; callgrind's instructions, /usr/bin/time's "
                "minor page faults):")
            say.table(["program", "user-space instructions", "minor page faults"], rows)

    if "decode" in parts:
        decode = decode_costs(programs, args.work)
        say("Decoding a 64 MiB body piped in, listing to /dev/null (MB/s, peak MiB):")
        say.table(["body", "fieldecho", "python parse_qsl", "node querystring"],
                  [[body] + ["%.0f MB/s, %.0f MiB" % decode[(body, name)]
                             for name in ("fieldecho", "python parse_qsl", "node querystring")]
                   for body in ("distinct", "longvalue", "repeated")])

    if "served" in parts:
        responders = {"ours": programs}
        if args.libfcgi_build:
            responders["libfcgi"] = program_paths(args.libfcgi_build)
        configs, results, memory = served.served(responders, floor, args.work, args.rounds, args.seconds)
        served_report(say, configs, results, memory, args.rounds, args.seconds)
        with open(os.path.join(args.work, "served.json"), "w") as raw:
            json.dump({name: runs for name, runs in results.items()}, raw, indent=1)
        chart.write_chart(args.chart, chart_rows(configs, results),
                          "vistrel, fieldecho and envprobe behind lighttpd and nginx",
                          "wrk -c%d on 127.0.0.1, median of %d rounds of %d s; FastCGI: 4 workers%s; "
                          "CGI under nginx: fcgiwrap, 16 processes"
                          % (served.CONNECTIONS, args.rounds, args.seconds,
                             " (libfcgi: commit %s)" % served.LIBFCGI_COMMIT if args.libfcgi_build else ""))
        say("Chart: " + os.path.relpath(args.chart))

    builds = {"ours": programs["vistrel"]}
    if args.libfcgi_build:
        builds["libfcgi"] = program_paths(args.libfcgi_build)["vistrel"]
    if "keepalive" in parts:
        worker_profile.keepalive_check(say, builds, args.work)
    if "profile" in parts:
        worker_profile.profile(say, builds, args.work)
    if "peers" in parts:
        peers.peers(say, programs["vistrel"], args.work)

    with open(os.path.join(args.work, "report.md"), "w") as out:
        out.write("\n".join(say.lines) + "\n")
    print("Report: " + os.path.relpath(os.path.join(args.work, "report.md")))


if __name__ == "__main__":
    main()
