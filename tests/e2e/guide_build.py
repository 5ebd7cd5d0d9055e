#!/usr/bin/env python3
"""Builds the programs as the guide's Build section says, on a private copy of
the checkout, into INTO, which the other end-to-end tests then mount as the
checkout's build/deploy.

    guide_build.py --into DIR
"""
import os
import shutil
import unittest

from harness import OPTIONS, ROOT, Guide, Machine, main, mount


class GuideBuild(unittest.TestCase):
    def test_the_build_section_builds_the_programs(self):
        into = OPTIONS["into"]
        shutil.rmtree(into, ignore_errors=True)
        os.makedirs(into)
        # Opened before the checkout becomes an overlay, which may hide it.
        folder = os.open(into, os.O_RDONLY | os.O_DIRECTORY)
        try:
            with Machine() as machine:
                deploy = os.path.join(ROOT, "build", "deploy")
                os.makedirs(deploy, exist_ok=True)
                mount("--bind", "--no-canonicalize", "/proc/%d/fd/%d" % (os.getpid(), folder), deploy)
                machine.mounts.append(deploy)
                Guide().follow(machine, "Build")
                for program in ("counter/vistrel", "formecho/fieldecho", "probe/envprobe"):
                    self.assertTrue(os.access(os.path.join(deploy, program), os.X_OK), program)
        finally:
            os.close(folder)


if __name__ == "__main__":
    main(needs=("cmake",), options=("into",))
