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


def debian_mirror():
    """This release, and the first source from which apt takes its main component."""
    with open("/etc/os-release") as about:
        release = re.search(r"^VERSION_CODENAME=(\S+)", about.read(), re.M).group(1)
    policy = subprocess.run(["apt-cache", "policy"], capture_output=True, text=True, timeout=LIMIT).stdout
    found = re.search(r"^ *\d+ (\S+) %s/main " % release, policy, re.M)
    return release, found and found.group(1)


class Piuparts(unittest.TestCase):
    def test_install_and_purge_leave_a_clean_chroot(self):
        release, mirror = debian_mirror()
        if mirror is None:
            self.skipTest("no debootstrap mirror: apt has no source of %s main" % release)
        try:
            urllib.request.urlopen("%s/dists/%s/Release" % (mirror.rstrip("/"), release), timeout=30).close()
        except OSError as error:
            self.skipTest("no debootstrap mirror reachable (%s), so piuparts cannot start" % error)
        packages = [path for path in sorted(glob.glob(os.path.join(OPTIONS["packages"], "1", "*_*.deb")))
                    if "-dbgsym_" not in path]
        done = subprocess.run(["piuparts", "--distribution", release, "--mirror", mirror, "--no-upgrade-test",
                               "--tmpdir", "/tmp", "--no-eatmydata"] + packages,
                              capture_output=True, text=True, timeout=LIMIT * 12)
        self.assertEqual(done.returncode, 0, done.stdout[-6000:] + done.stderr[-3000:])
        self.assertIn("PASS: Installation and purging test.", done.stdout)


if __name__ == "__main__":
    main(needs=("piuparts",), options=("packages",), network=True)
