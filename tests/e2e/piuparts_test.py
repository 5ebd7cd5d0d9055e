#!/usr/bin/env python3
"""piuparts, Debian's tester of installing and purging packages, on the
packages that guide_build.py made, in a fresh Debian chroot of its own that
debootstrap makes from the mirror apt uses here. Without a mirror it can
reach, it skips saying so.

    piuparts_test.py --packages DIR
"""
import glob
import os
import re
import subprocess
import unittest
import urllib.request

from harness import LIMIT, OPTIONS, main


def codename():
    with open("/etc/os-release") as release:
        return re.search(r"^VERSION_CODENAME=(\S+)", release.read(), re.M).group(1)


def debian_mirror():
    """The first source of apt's that serves this release's main component."""
    sources = []
    for path in glob.glob("/etc/apt/sources.list.d/*.sources"):
        with open(path) as text:
            for stanza in text.read().split("\n\n"):
                fields = dict(re.findall(r"^(\w[\w-]*):\s*(.*)$", stanza, re.M))
                sources += [(uri, fields.get("Suites", "").split(), fields.get("Components", "").split())
                            for uri in fields.get("URIs", "").split() if "deb" in fields.get("Types", "").split()]
    for path in ["/etc/apt/sources.list"] + glob.glob("/etc/apt/sources.list.d/*.list"):
        if os.path.exists(path):
            with open(path) as text:
                sources += [(words[1], [words[2]], words[3:]) for words in map(str.split, text)
                            if len(words) > 3 and words[0] == "deb" and not words[1].startswith("[")]
    return next((uri for uri, suites, components in sources if codename() in suites and "main" in components), None)


class Piuparts(unittest.TestCase):
    def test_install_and_purge_leave_a_clean_chroot(self):
        mirror = debian_mirror()
        if mirror is None:
            self.skipTest("no debootstrap mirror: apt has no source of %s main" % codename())
        try:
            urllib.request.urlopen("%s/dists/%s/Release" % (mirror.rstrip("/"), codename()), timeout=30).close()
        except OSError as error:
            self.skipTest("no debootstrap mirror reachable (%s), so piuparts cannot start" % error)
        packages = sorted(glob.glob(os.path.join(OPTIONS["packages"], "1", "*_*.deb")))
        packages = [path for path in packages if "-dbgsym_" not in path]
        done = subprocess.run(["piuparts", "--distribution", codename(), "--mirror", mirror, "--no-upgrade-test",
                               "--tmpdir", "/tmp", "--no-eatmydata"] + packages,
                              capture_output=True, text=True, timeout=LIMIT * 12)
        self.assertEqual(done.returncode, 0, done.stdout[-6000:] + done.stderr[-3000:])
        self.assertIn("PASS: Installation and purging test.", done.stdout)


if __name__ == "__main__":
    main(needs=("piuparts",), options=("packages",), network=True)
