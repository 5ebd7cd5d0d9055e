#!/usr/bin/env python3
"""The guide shows the files of deploy/ as they are, and every command it
gives is one that an end-to-end test runs.

    guide_test.py
"""
import os
import re
import unittest

from harness import ROOT, Guide
from deploy_test import DEPLOYMENTS

# Sections whose commands a test runs, besides the deployments' own.
ALSO_RUN = {"Build": "guide_build.py", "envprobe": "deploy_test.py lighttpd", "Upgrading": "deploy_test.py",
            "Operating counters": "deploy_test.py lighttpd", "HTTPS": "browser_test.py",
            "Troubleshooting": "deploy_test.py"}


class GuideTest(unittest.TestCase):
    guide = Guide()

    def test_each_configuration_shown_is_the_file_in_deploy(self):
        shown = set()
        for heading, language, text, paragraph in self.guide.blocks:
            if language in ("sh", "html"):
                continue
            names = re.findall(r"`(deploy/[^`]+)`", paragraph)
            self.assertEqual(len(names), 1, "name the file a %s block under %r shows" % (language, heading))
            with open(os.path.join(ROOT, names[0])) as source:
                self.assertEqual(text, source.read(), names[0])
            shown.add(names[0])
        files = {os.path.relpath(os.path.join(folder, name), ROOT)
                 for folder, _, names in os.walk(os.path.join(ROOT, "deploy")) for name in names}
        self.assertEqual(files, shown)

    def test_every_command_is_run_by_a_test(self):
        followed = {section for deployment in DEPLOYMENTS for section in deployment[2]} | set(ALSO_RUN)
        for heading, language, text, _ in self.guide.blocks:
            if language == "sh":
                self.assertIn(heading, followed, "no test runs:\n" + text)

    def test_the_readme_gives_the_guides_commands(self):
        readme = Guide(os.path.join(ROOT, "README.md"))
        ours = {text for _, language, text, _ in self.guide.blocks if language == "sh"}
        deploying = [text for heading, language, text, _ in readme.blocks
                     if heading == "Deploying on a web server" and language == "sh"]
        self.assertTrue(deploying)
        for text in deploying:
            self.assertIn(text, ours)


if __name__ == "__main__":
    unittest.main(verbosity=2)
