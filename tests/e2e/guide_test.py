#!/usr/bin/env python3
"""The guide names files that exist and that the package installs, follows
the project's one version number, and every command it gives is one that an
end-to-end test runs.

    guide_test.py
"""
import os
import re
import unittest

from harness import ROOT, Guide
from deploy_test import DEPLOYMENTS, HTTPS

# Sections whose commands a test runs, besides the deployments' own.
ALSO_RUN = {"Install the package": "guide_build.py, deploy_test.py", "Create a counter": "deploy_test.py",
            "Upgrading the package": "deploy_test.py", "Uninstalling the package": "deploy_test.py",
            "Operating counters": "deploy_test.py lighttpd", "Backing up counters": "deploy_test.py lighttpd",
            "From source": "guide_build.py, deploy_test.py", "Upgrading from source": "deploy_test.py",
            "Uninstalling from source": "deploy_test.py",
            "Moving counters of an older install": "deploy_test.py lighttpd"}


def read(path):
    with open(os.path.join(ROOT, path)) as text:
        return text.read()


class GuideTest(unittest.TestCase):
    guide = Guide()

    def test_each_file_of_deploy_is_in_the_package_and_each_named_one_exists(self):
        files = {os.path.relpath(os.path.join(folder, name), ROOT)
                 for folder, _, names in os.walk(os.path.join(ROOT, "deploy")) for name in names}
        packaged = {line.split()[0] for line in read("debian/vistrel.install").splitlines()}
        self.assertLessEqual(files, packaged)
        self.assertLessEqual(set(re.findall(r"\bdeploy/[\w/@.-]+\w", self.guide.text)), files)

    def test_the_changelog_follows_cmakes_version_and_the_guide_names_none(self):
        version = re.search(r"project\(vistrel_cgi VERSION (\S+) ", read("CMakeLists.txt")).group(1)
        self.assertEqual(re.match(r"vistrel \(([^)]+)\)", read("debian/changelog")).group(1), version)
        # Its install lines take whatever version scripts/package.sh built.
        self.assertEqual(set(re.findall(r"(?:vistrel|envprobe)_(\S*?)\.deb", self.guide.text)), {"*"})

    def test_every_command_is_run_by_a_test(self):
        followed = {deployment[3] for deployment in DEPLOYMENTS} | set(HTTPS.values()) | set(ALSO_RUN)
        for heading, language, text, _ in self.guide.blocks:
            if language == "sh":
                self.assertIn(heading, followed, "no test runs:\n" + text)

    def test_the_readme_gives_the_guides_commands(self):
        readme = Guide(os.path.join(ROOT, "README.md"))
        ours = {line for _, language, text, _ in self.guide.blocks if language == "sh" for line in text.splitlines()}
        deploying = [text for heading, language, text, _ in readme.blocks
                     if heading == "Deploying on a web server" and language == "sh"]
        self.assertTrue(deploying)
        for text in deploying:
            self.assertLessEqual(set(text.splitlines()), ours)


if __name__ == "__main__":
    unittest.main(verbosity=2)
