#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Code that a local user makes the installed window load holds no capability.

The build is installed as root into a temporary prefix. A temporary unprivileged member of the group
flowsentry starts the installed window with QT_PLUGIN_PATH and QT_STYLE_OVERRIDE pointing at a harmless
style plugin that records the capability sets of the process that loaded it. They must be empty. The same
window started by root shows that the probe sees capabilities when the process has them, so that the first
check cannot pass by not looking (no file other than the capture helper is ever given a capability).

    window_caps_test.py CMAKE BUILD_DIR PATH/TO/libcapprobe.so
"""
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

from privsep_util import ContextsTestCase, GROUP, Installation, TestUser, exit_cleanly_on_signals, kill_user_processes, \
    remove_stale_test_users, require_root, run

CAP_NET_RAW = 13
START_TIMEOUT = 90  # seconds; a sanitizer build of the window starts slowly on a busy machine


def read_record(path):
    fields = {}
    with open(path) as record:
        for line in record:
            key, _, value = line.partition(":")
            fields[key] = value.split()
    return fields


class WindowCapabilities(ContextsTestCase):
    cmake = build_dir = plugin = ""

    @classmethod
    def setUpClass(cls):
        remove_stale_test_users()
        cls.stack = []
        try:
            cls.install = cls.enter(Installation(cls.cmake, cls.build_dir))
            cls.user = cls.enter(TestUser("w", [GROUP]))
            styles = os.path.join(cls.install.scratch("plugins"), "styles")
            os.mkdir(styles, 0o755)
            shutil.copyfile(cls.plugin, os.path.join(styles, "libcapprobe.so"))
            os.chmod(os.path.join(styles, "libcapprobe.so"), 0o644)
            cls.home = cls.install.scratch("home", owner=cls.user, mode=0o700)
            cls.records = cls.install.scratch("records", owner=cls.user, mode=0o700)
        except BaseException:
            cls.tearDownClass()
            raise

    def probe(self, window, name, as_root=False):
        """Starts `window` as the test user (or root) with the probe as its style; the recorded status
        fields."""
        record = os.path.join(self.records, name)
        env = {
            "PATH": "/usr/bin:/bin",
            "HOME": self.home,
            "XDG_RUNTIME_DIR": self.home,
            "QT_PLUGIN_PATH": os.path.join(self.install.base, "plugins"),
            "QT_STYLE_OVERRIDE": "capprobe",
            "QT_QPA_PLATFORM": "offscreen",
            "CAPPROBE_RECORD": record,
            **self.install.sanitizer_env(),
        }
        log_path = os.path.join(self.install.base, name + ".log")
        with open(log_path, "w") as log:
            command = (["env", "-i", *("%s=%s" % kv for kv in env.items()), window] if as_root
                       else self.user.command(env, window))
            proc = subprocess.Popen(["timeout", str(START_TIMEOUT + 30), *command],
                                    stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            deadline = time.monotonic() + START_TIMEOUT
            while not os.path.exists(record) and proc.poll() is None and time.monotonic() < deadline:
                time.sleep(0.1)
        finally:
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            kill_user_processes(self.user.uid)
        with open(log_path) as log:
            output = log.read()
        self.assertTrue(os.path.exists(record),
                        "%s never loaded the probe plugin (exit status %s); its output:\n%s"
                        % (window, proc.returncode, output))
        fields = read_record(record)
        uid = 0 if as_root else self.user.uid
        self.assertEqual(fields["Uid"][:2], [str(uid)] * 2, "the window did not run as the expected user")
        return fields

    def test_installed_window_gives_loaded_code_no_capability(self):
        window = self.install.path("bin/flowsentry")
        fields = self.probe(window, "installed")
        for name in ("CapEff", "CapPrm", "CapAmb"):
            with self.subTest(name):
                self.assertEqual(int(fields[name][0], 16), 0,
                                 "code loaded into the installed window holds capabilities: %s %s"
                                 % (name, fields[name][0]))
        self.assertEqual(run(["getcap", window]).stdout.strip(), "")

    def test_probe_sees_a_capability_the_window_has(self):
        fields = self.probe(self.install.path("bin/flowsentry"), "control", as_root=True)
        self.assertTrue(int(fields["CapEff"][0], 16) & (1 << CAP_NET_RAW),
                        "the probe did not see the cap_net_raw of a window that had it: CapEff %s"
                        % fields["CapEff"][0])


if __name__ == "__main__":
    require_root("makes a test user and installs with file capabilities")
    exit_cleanly_on_signals()
    WindowCapabilities.cmake, WindowCapabilities.build_dir, WindowCapabilities.plugin = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0], "-v"])
