#!/usr/bin/env python3
"""Measures and prints the benchmark table (bench/run.sh prepares its inputs)."""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "site"))
import demo_site  # noqa: E402

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
                       cwd=counters, env=env, check=True, capture_output=True)
        with open(report) as results:
            for name, result in zip(order, json.load(results)["results"]):
                times[name].extend(result["times"])
    shutil.rmtree(counters)
    return {name: statistics.median(times[name]) for name in names}


def decode_run(command, body):
    """Seconds and peak resident KiB for one run with the body piped in."""
    timing = tempfile.NamedTemporaryFile(delete=False)
    timing.close()
    shell = "cat %s | /usr/bin/time -o %s -f '%%e %%M' %s > /dev/null" % (body, timing.name, command)
    subprocess.run(["sh", "-c", shell], env=dict(os.environ, REQUEST_METHOD="POST"), check=True)
    with open(timing.name) as result:
        seconds, kib = result.read().split()[-2:]
    os.unlink(timing.name)
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
            runs = [decode_run(command, path) for _ in range(3 if name == "fieldecho" else 1)]
            seconds = min(r[0] for r in runs)
            results[(body, name)] = (size / 1e6 / max(seconds, 1e-3), max(r[1] for r in runs) / 1024)
    return results


def served_rates(programs, floor, work):
    """Requests per second under lighttpd, 16 connections, 5 s each."""
    root = tempfile.mkdtemp(dir=work)
    cgi_bin = demo_site.lay_out(programs, root)
    shutil.copy2(floor, os.path.join(cgi_bin, "floor"))
    server = demo_site.Server(root, demo_site.free_port(), demo_site.PROGRAMS + ("floor",))
    paths = {"floor": "/cgi-bin/floor", "vistrel": "/cgi-bin/vistrel?cid=1&chto=c",
             "fieldecho": "/cgi-bin/fieldecho?a=1&b=2", "envprobe": "/cgi-bin/envprobe"}
    rates = {}
    try:
        for name, path in paths.items():
            out = subprocess.run(["wrk", "-t", "2", "-c", "16", "-d", "5s", server.url + path],
                                 capture_output=True, text=True, check=True).stdout
            rates[name] = float(next(line for line in out.splitlines() if "Requests/sec" in line).split()[1])
    finally:
        server.stop()
        shutil.rmtree(root)
    return rates


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    programs = program_paths(args.build)
    floor = os.path.join(args.work, "floor")

    startup = startup_costs(programs, floor, args.work)
    print("Per request, one process start (median of 1500 in 5 rounds, hyperfine):")
    print("| program | ms | x floor |\n|---|---:|---:|")
    for name, seconds in startup.items():
        print("| %s | %.3f | %.2f |" % (name, seconds * 1000, seconds / startup["floor"]))

    decode = decode_costs(programs, args.work)
    print("\nDecoding a 64 MiB body piped in, listing to /dev/null (MB/s, peak MiB):")
    print("| body | fieldecho | python parse_qsl | node querystring |\n|---|---:|---:|---:|")
    for body in ("distinct", "longvalue", "repeated"):
        cells = ["%.0f MB/s, %.0f MiB" % decode[(body, name)]
                 for name in ("fieldecho", "python parse_qsl", "node querystring")]
        print("| %s | %s |" % (body, " | ".join(cells)))

    rates = served_rates(programs, floor, args.work)
    print("\nUnder lighttpd 1.4 on 127.0.0.1, wrk -t2 -c16 -d5s (requests/s):")
    print("| program | req/s | x floor |\n|---|---:|---:|")
    for name, rate in rates.items():
        print("| %s | %.0f | %.2f |" % (name, rate, rate / rates["floor"]))


if __name__ == "__main__":
    main()
