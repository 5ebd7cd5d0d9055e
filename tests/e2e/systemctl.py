#!/usr/bin/python3
"""systemctl in the end-to-end tests' private machine (see harness.py): what
systemd does for the commands that the guide and the packages' maintainer
scripts give, carried out with each unit's own settings. A unit is active
while a process that its PID file names lives, enabled while a link in
multi-user.target.wants leads to it."""
import contextlib
import os
import re
import shlex
import signal
import subprocess
import sys
import time

LIMIT = 90
PID_FILES = {"apache2.service": "/run/apache2/apache2.pid"}  # units that name none
WANTS = "/etc/systemd/system/multi-user.target.wants/"
STATES = {"is-active": ("inactive", "active"), "is-enabled": ("disabled", "enabled")}


def settings(name):
    """The unit's settings, each key's values in order, the admin's file before
    the package's, a template's for an instance (%i filled in)."""
    template = re.sub(r"@[^.]*\.", "@.", name)
    for path in ("/etc/systemd/system/" + name, "/lib/systemd/system/" + name,
                 "/etc/systemd/system/" + template, "/lib/systemd/system/" + template):
        if os.path.exists(path):
            found = {"Path": [path]}
            with open(path) as unit:
                for key, _, value in (line.strip().partition("=") for line in unit if "=" in line):
                    found.setdefault(key, []).append(value.replace("%i", name.partition("@")[2][:-len(".service")]))
            return found
    raise SystemExit("Unit %s not found." % name)


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rpartition(")")[2].split()[0] != "Z"
    except FileNotFoundError:
        return False


def processes(name):
    try:
        with open((settings(name).get("PIDFile") or [PID_FILES.get(name, "/nonexistent")])[0]) as pids:
            return [pid for pid in map(int, pids.read().split()) if alive(pid)]
    except FileNotFoundError:
        return []


def fail(name, what):
    with open("/run/e2e/%s.out" % name, errors="replace") as log:
        raise SystemExit("%s: %s\n%s" % (name, what, log.read()[-3000:]))


def wait_until(ready, name, what, process=None):
    deadline = time.monotonic() + LIMIT
    while not ready():
        if time.monotonic() > deadline or process and process.poll() is not None:
            fail(name, "%s: not within %d s" % (what, LIMIT))
        time.sleep(0.05)


def execute(name, key, background=False):
    """Runs the unit's commands under `key` with its environment, in its working
    directory (systemd's default: /), one marked "-" may fail; in the
    background, returns the one started."""
    unit, main_pid = settings(name), "".join(map(str, processes(name)[:1]))
    environment = dict(os.environ, **dict(setting.split("=", 1) for setting in unit.get("Environment", [])))
    with open("/run/e2e/%s.out" % name, "a") as log:
        for command in unit.get(key, []):
            process = subprocess.Popen(shlex.split(command.lstrip("-").replace("$MAINPID", main_pid)),
                                       env=environment, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                       cwd=(unit.get("WorkingDirectory") or ["/"])[0], start_new_session=True)
            if background:
                return process
            if process.wait(LIMIT) != 0 and not command.startswith("-"):
                log.flush()
                fail(name, "%s failed" % command)
    return None


def start(name):
    if not processes(name):
        execute(name, "ExecStartPre")
        server = execute(name, "ExecStart", background=settings(name).get("Type") != ["forking"])
        wait_until(lambda: processes(name), name, "its PID file", server)


def stop(name):
    running = processes(name)
    for pid in running:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGTERM)
    wait_until(lambda: not any(map(alive, running)), name, "its processes stopping")


def main(arguments):
    words = [word for word in arguments if not word.startswith("-")] or ["--version"]
    verb, names = words[0], [name if "." in name else name + ".service" for name in words[1:]]
    if verb in STATES:
        states = [bool(processes(name)) or name.endswith(".target") if verb == "is-active" else
                  os.path.exists(WANTS + name) for name in names]
        print("\n".join(STATES[verb][state] for state in states) * ("--quiet" not in arguments))
        return 0 if all(states) else 3
    if verb in ("enable", "disable"):
        for name in names:
            if os.path.lexists(WANTS + name):
                os.remove(WANTS + name)
            if verb == "enable":
                os.makedirs(WANTS, exist_ok=True)
                os.symlink(settings(name)["Path"][0], WANTS + name)
        verb = ("start" if verb == "enable" else "stop") if "--now" in arguments else ""
    for name in names:
        running = bool(processes(name))
        reloads = running and verb in ("reload", "force-reload", "reload-or-restart", "try-reload-or-restart")
        if reloads and "ExecReload" in settings(name):
            execute(name, "ExecReload")
        elif verb == "reload":
            raise SystemExit("%s: cannot reload" % name)
        elif verb == "stop" or running and (reloads or verb in ("restart", "try-restart")):
            stop(name)
        if verb in ("start", "restart", "force-reload", "reload-or-restart") or verb.startswith("try-") and running:
            start(name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
