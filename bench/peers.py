"""Hostile and slow peers against a pool of 4 vistrel workers on a unix socket:
how long a normal visit waits beside slow connections, how fast visits to one
counter go while another process holds a second counter's lock, and how much
memory an idle worker keeps after large requests."""
import fcntl
import os
import shutil
import signal
import socket
import struct
import tempfile
import threading
import time

import served

POOL = 4


def record(kind, content):
    return struct.pack(">BBHHBB", 1, kind, 1, len(content), 0, 0) + content


def records(kind, content):
    return b"".join(record(kind, content[at:at + 65535]) for at in range(0, len(content), 65535))


def pair_length(length):
    return bytes([length]) if length < 128 else struct.pack(">I", length | 0x80000000)


def begin(environment):
    pairs = b"".join(pair_length(len(name)) + pair_length(len(value)) + name + value for name, value in environment)
    return record(1, struct.pack(">HB5x", 1, 0)) + records(4, pairs) + record(4, b"")


def get(query):
    return [(b"REQUEST_METHOD", b"GET"), (b"QUERY_STRING", query)]


class Pool:
    """Workers started as spawn-fcgi starts them: the listening socket as descriptor 0."""

    def __init__(self, vistrel, work, processes=POOL):
        self.folder = tempfile.mkdtemp(prefix="peers-", dir=work)
        for name, text in (("7.dat", "0"), ("8.dat", "0"), ("9.dat", "0"), ("9.report", "r" * (4 << 20))):
            with open(os.path.join(self.folder, name), "w") as out:
                out.write(text)
        self.path = os.path.join(self.folder, "socket")
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(self.path)
        listener.listen(1024)
        self.pids = [served.start([vistrel], lambda: True, stdin=listener.fileno(), cwd=self.folder).pid
                     for _ in range(processes)]
        listener.close()

    def connect(self):
        connection = socket.socket(socket.AF_UNIX)
        connection.settimeout(60)
        connection.connect(self.path)
        return connection

    def request(self, environment, body=b""):
        """Sends a whole request and reads its answer to the end; returns the seconds it took."""
        started = time.monotonic()
        with self.connect() as connection:
            connection.sendall(begin(environment) + records(5, body) + record(5, b""))
            while connection.recv(1 << 20):
                pass
        return time.monotonic() - started

    def close(self):
        for pid in self.pids:
            served.stop(pid)
        shutil.rmtree(self.folder)


def slow_connection(pool, kind):
    connection = pool.connect()
    if kind == "parameters, then no body":
        connection.sendall(begin([(b"REQUEST_METHOD", b"POST")]))
    elif kind == "one byte of body":
        connection.sendall(begin([(b"REQUEST_METHOD", b"POST")]) + record(5, b"c"))
    else:  # a 4 MiB view that is never read
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        connection.sendall(begin(get(b"cid=9&chto=v")) + record(5, b""))
    return connection


def slow_peers(say, vistrel, work):
    rows = []
    for kind in ("parameters, then no body", "one byte of body", "a 4 MiB answer never read"):
        for count in (4, 40):
            pool = Pool(vistrel, work)
            try:
                slow = [slow_connection(pool, kind) for _ in range(count)]
                # Time for the workers to take them all (and make the 4 MiB answers).
                time.sleep(1)
                waits = [pool.request(get(b"cid=8&chto=c")) for _ in range(20)]
                rows.append([kind, count, "%.1f" % (max(waits) * 1000)])
                for connection in slow:
                    connection.close()
            finally:
                pool.close()
    say("A normal visit beside slow connections, %d workers (slowest of 20 visits made one after another):" % POOL)
    say.table(["slow connections", "how many", "slowest visit ms"], rows, text_columns=1)


def held_counter(say, vistrel, work, seconds=5):
    pool = Pool(vistrel, work)
    counts = {b"7": 0, b"8": 0}
    stopping = threading.Event()

    def visit(counter):
        while not stopping.is_set():
            pool.request(get(b"cid=" + counter + b"&chto=c"))
            counts[counter] += 1

    try:
        with open(os.path.join(pool.folder, "7.dat")) as held:
            fcntl.lockf(held, fcntl.LOCK_SH)
            threads = [threading.Thread(target=visit, args=(b"7",)) for _ in range(8)]
            threads += [threading.Thread(target=visit, args=(b"8",)) for _ in range(2)]
            for thread in threads:
                thread.start()
            time.sleep(seconds)
            stopping.set()
            for thread in threads:
                thread.join()
    finally:
        pool.close()
    say("Another process holds a read lock on 7.dat for %d s while 8 clients visit counter 7 and 2 clients "
        "counter 8, %d workers: %.0f visits/s to counter 8; %d visits to counter 7 answered (as missing, "
        "each after 3 s)." % (seconds, POOL, counts[b"8"] / seconds, counts[b"7"]))
    say()


def idle_memory(say, vistrel, work):
    pool = Pool(vistrel, work, processes=1)
    worker = pool.pids[0]

    def idle():
        time.sleep(0.3)
        return "%.2f" % (served.resident_kib(worker) / 1024)

    try:
        rows = []
        pool.request(get(b"cid=7&chto=c"))
        rows.append(["after one visit", idle()])
        large = get(b"cid=7&chto=c") + [(b"HTTP_X", b"x" * 1000000)]
        for _ in range(40):
            pool.request(large)
        rows.append(["after 40 visits with 1 MB of parameters", idle()])
        pool.request([(b"REQUEST_METHOD", b"POST")], b"cid=7&chto=c&v=" + b"x" * (64 << 20))
        rows.append(["after a visit with a 64 MiB body", idle()])
        held = [pool.connect() for _ in range(128)]
        for connection in held:
            try:
                connection.sendall(begin(large)[:-8])
            except OSError:
                pass  # a worker holds 32 connections: it closes the oldest for a new one
        rows.append(["while 128 connections send 1 MB of parameters and stop", idle()])
        for connection in held:
            connection.close()
        pool.request(get(b"cid=7&chto=c"))
        rows.append(["after they went away", idle()])
    finally:
        pool.close()
    say("One vistrel worker's resident memory (VmRSS, MiB):")
    say.table(["when", "MiB"], rows)


def peers(say, vistrel, work):
    slow_peers(say, vistrel, work)
    held_counter(say, vistrel, work)
    idle_memory(say, vistrel, work)
