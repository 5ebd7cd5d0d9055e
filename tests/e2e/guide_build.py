#!/usr/bin/env python3
"""Builds as the guide says, on a private copy of the checkout, what the
other end-to-end tests then mount into it: the programs by its From source
section into INTO (their build/deploy), and the Debian packages by
scripts/package.sh into PACKAGES/1 and, after a release's version raise
(CMake, changelog) with a site's local suffix, into PACKAGES/2 (their
build/packages, and the packages of an upgrade).

    guide_build.py --into DIR --packages-into DIR
"""
import glob
import os
import re
import shutil
import unittest

from harness import OPTIONS, ROOT, Guide, Machine, main, mount

GUIDE = Guide()


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as cmake:
        return re.search(r"project\(vistrel_cgi VERSION (\S+) ", cmake.read()).group(1)


def emptied(folder):
    """An empty folder, opened before the checkout becomes an overlay, which
    hides what lies in it."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return os.open(folder, os.O_RDONLY | os.O_DIRECTORY)


class GuideBuild(unittest.TestCase):
    def build_into(self, machine, name, descriptor, commands, **options):
        """Runs commands with an opened folder as the checkout's build/NAME."""
        path = os.path.join(ROOT, "build", name)
        os.makedirs(path, exist_ok=True)
        mount("--bind", "--no-canonicalize", "/proc/%d/fd/%d" % (os.getpid(), descriptor), path)
        machine.mounts.append(path)
        return machine.run(commands, **options)

    def test_the_from_source_section_builds_the_programs(self):
        into = emptied(OPTIONS["into"])
        self.addCleanup(os.close, into)
        with Machine() as machine:
            self.build_into(machine, "deploy", into, GUIDE.shell("From source")[0])
            for program in ("counter/vistrel", "formecho/fieldecho", "probe/envprobe"):
                self.assertTrue(os.access(os.path.join(OPTIONS["into"], program), os.X_OK), program)

    def test_package_sh_builds_lintian_clean_packages_and_then_a_higher_version(self):
        first, build = version(), GUIDE.shell("Install the package")[0].splitlines()[0]
        self.assertEqual(build, "scripts/package.sh")
        major_minor, _, patch = first.rpartition(".")
        second = "%s.%d" % (major_minor, int(patch) + 1)
        folders = [emptied(os.path.join(OPTIONS["packages-into"], str(number))) for number in (1, 2)]
        for folder in folders:
            self.addCleanup(os.close, folder)
        with Machine() as machine:
            self.build_into(machine, "packages", folders[0], build)
            # A release raises the version in CMake and the changelog; CMake's alone is refused. The
            # higher version is a site's own rebuild of it, as `dch --local +site` writes it.
            machine.run("sed -i 's/ VERSION %s / VERSION %s /' CMakeLists.txt" % (first, second))
            refused = machine.run(build, expect_status=1)
            self.assertIn("CMakeLists.txt has version %s, debian/changelog %s" % (second, first), refused)
            machine.run("sed -i '1s/(%s) unstable/(%s+site1) UNRELEASED/' debian/changelog" % (first, second))
            self.build_into(machine, "packages", folders[1], build)
        for number, name in ((1, first), (2, second + "+site1")):
            for package in ("vistrel", "envprobe"):
                self.assertTrue(glob.glob(os.path.join(OPTIONS["packages-into"], str(number), "%s_%s_*.deb" % (
                    package, name))), (package, name))


if __name__ == "__main__":
    main(needs=("cmake", "dpkg-buildpackage"), options=("into", "packages-into"))
