# SPDX-License-Identifier: GPL-3.0-or-later
"""Shared by the privilege-separation tests: an installation of the build into a temporary prefix that an
unprivileged user can reach and where file capabilities work, temporary test users, and a pair of network
namespaces. Everything made here is removed again, also when a test fails or is interrupted."""
import fcntl
import grp
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

SKIP = 77  # the tests' SKIP_RETURN_CODE
GROUP = "flowsentry"
HELPER = "libexec/flowsentry/flowsentry-capture"
# Serialises the tests that may create and remove the group, also across concurrent CTest runs.
GROUP_LOCK = "/tmp/flowsentry-group-test.lock"
USER_PREFIX = "fsprv-"
LOCAL, PEER = "10.250.0.1", "10.250.0.2"
SANITIZER_OPTIONS = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS")


def require_root(what):
    if os.geteuid() != 0:
        print("skipped: needs root (%s)" % what)
        sys.exit(SKIP)


def exit_cleanly_on_signals():
    """Turns SIGTERM and SIGHUP into SystemExit, so that `finally` blocks remove users and namespaces."""
    def stop(signum, _frame):
        raise SystemExit("stopped by signal %d" % signum)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)


def run(args, **kw):
    kw.setdefault("timeout", 300)
    return subprocess.run(args, capture_output=True, text=True, **kw)


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def _why_unusable(path):
    """Why `path` cannot hold a prefix for these tests, or None: file capabilities are ignored on nosuid
    mounts, and the test users must be able to pass through every directory above the prefix."""
    mount = run(["findmnt", "-n", "-o", "OPTIONS", "-T", path])
    if mount.returncode != 0:
        return "findmnt failed: " + mount.stderr.strip()
    if "nosuid" in mount.stdout.strip().split(","):
        return "mounted nosuid"
    at = os.path.realpath(path)
    while True:
        if not os.stat(at).st_mode & 0o001:
            return "%s is not searchable by other users" % at
        if at == "/":
            return None
        at = os.path.dirname(at)


def pick_base(build_dir):
    reasons = []
    for candidate in (os.environ.get("FLOWSENTRY_PRIVSEP_TMPDIR"), build_dir, "/var/tmp", "/tmp"):
        if not candidate or not os.path.isdir(candidate):
            continue
        why = _why_unusable(candidate)
        if why is None:
            return candidate
        reasons.append("%s: %s" % (candidate, why))
    raise RuntimeError("no directory for the temporary prefix (set FLOWSENTRY_PRIVSEP_TMPDIR): " + "; ".join(reasons))


def remove_stale_test_users():
    """Users of an earlier run that was killed before it could clean up (their name ends in its pid)."""
    for entry in pwd.getpwall():
        name = entry.pw_name
        if name.startswith(USER_PREFIX) and name.rsplit("-", 1)[-1].isdigit():
            if not _pid_alive(int(name.rsplit("-", 1)[-1])):
                delete_user(name)


def delete_user(name):
    run(["userdel", name])
    # useradd made a group of the same name when the system uses user private groups.
    try:
        grp.getgrnam(name)
        run(["groupdel", name])
    except KeyError:
        pass


def kill_user_processes(uid):
    """Whatever a test user still runs (only the test runs programs as that user)."""
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.stat("/proc/" + entry).st_uid == uid:
                    os.kill(int(entry), signal.SIGKILL)
            except (FileNotFoundError, ProcessLookupError):
                pass


def group_exists(name):
    try:
        grp.getgrnam(name)
        return True
    except KeyError:
        return False


class TestUser:
    """A system user without a home, a member of `groups`, removed on exit."""

    def __init__(self, role, groups=()):
        self.name = "%s%s-%d" % (USER_PREFIX, role, os.getpid())
        self.groups = list(groups)

    def __enter__(self):
        args = ["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin"]
        if self.groups:
            args += ["-G", ",".join(self.groups)]
        made = run(args + [self.name])
        if made.returncode != 0:
            raise RuntimeError("useradd %s failed: %s" % (self.name, made.stderr))
        entry = pwd.getpwnam(self.name)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        return self

    def __exit__(self, *_):
        kill_user_processes(self.uid)
        delete_user(self.name)

    def command(self, env, *args):
        """`args` run as this user with exactly the variables in `env` (runuser sets the supplementary
        groups, as a login would)."""
        return ["runuser", "-u", self.name, "--", "env", "-i", *("%s=%s" % kv for kv in env.items()), *args]


class Installation:
    """`cmake --install` of the build tree into a fresh prefix, as root, as an administrator would; the
    installation creates the group flowsentry when it is missing, and this removes it again afterwards if
    it did not exist before."""

    def __init__(self, cmake, build_dir):
        self.cmake, self.build_dir = cmake, build_dir

    def __enter__(self):
        self._lock = open(GROUP_LOCK, "a")
        fcntl.flock(self._lock, fcntl.LOCK_EX)
        self._group_existed = group_exists(GROUP)
        try:
            self.base = tempfile.mkdtemp(prefix="flowsentry-privsep-", dir=pick_base(self.build_dir))
            os.chmod(self.base, 0o755)
            self.prefix = os.path.join(self.base, "prefix")
            done = run([self.cmake, "--install", self.build_dir, "--prefix", self.prefix])
            self.log = done.stdout + done.stderr
            if done.returncode != 0:
                raise RuntimeError("cmake --install failed:\n" + self.log)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *_):
        if getattr(self, "base", None):
            shutil.rmtree(self.base, ignore_errors=True)
        if not self._group_existed and group_exists(GROUP):
            run(["groupdel", GROUP])
        fcntl.flock(self._lock, fcntl.LOCK_UN)
        self._lock.close()

    def path(self, relative):
        return os.path.join(self.prefix, relative)

    def scratch(self, name, owner=None, mode=0o755):
        """A directory beside the prefix, e.g. a home for a test user."""
        path = os.path.join(self.base, name)
        os.mkdir(path)
        if owner is not None:
            os.chown(path, owner.uid, owner.gid)
        os.chmod(path, mode)
        return path

    def sanitizer_env(self):
        """The sanitizer options of this run, for programs run as a test user; a suppressions file is
        copied beside the prefix, since the test user may not reach the source tree."""
        env = {}
        for var in SANITIZER_OPTIONS:
            value = os.environ.get(var)
            if not value:
                continue
            parts = []
            for part in value.split(":"):
                key, _, file = part.partition("=")
                if key == "suppressions" and os.path.isfile(file):
                    copy = os.path.join(self.base, var.lower() + ".supp")
                    shutil.copyfile(file, copy)
                    os.chmod(copy, 0o644)
                    part = "suppressions=" + copy
                parts.append(part)
            env[var] = ":".join(parts)
        return env


class Namespaces:
    """Two network namespaces joined by a veth pair: LOCAL in `a`, PEER in `b`."""

    def __enter__(self):
        pid = os.getpid()
        self.a, self.b = "fs-prv-a-%d" % pid, "fs-prv-b-%d" % pid
        device, peer = "fpa%d" % pid, "fpb%d" % pid
        try:
            for args in (["netns", "add", self.a], ["netns", "add", self.b],
                         ["link", "add", device, "netns", self.a, "type", "veth", "peer", "name", peer,
                          "netns", self.b],
                         ["-n", self.a, "addr", "add", LOCAL + "/24", "dev", device],
                         ["-n", self.b, "addr", "add", PEER + "/24", "dev", peer],
                         # No IPv6 on the pair: a link coming up would send the kernels' own IPv6
                         # (router and listener messages), which the tests' traffic does not include.
                         ["netns", "exec", self.a, "sysctl", "-qw", "net.ipv6.conf.%s.disable_ipv6=1" % device],
                         ["netns", "exec", self.b, "sysctl", "-qw", "net.ipv6.conf.%s.disable_ipv6=1" % peer],
                         ["-n", self.a, "link", "set", device, "up"],
                         ["-n", self.b, "link", "set", peer, "up"]):
                done = run(["ip", *args])
                if done.returncode != 0:
                    raise RuntimeError("ip %s: %s" % (" ".join(args), done.stderr.strip()))
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *_):
        run(["ip", "netns", "del", self.a])
        run(["ip", "netns", "del", self.b])

    @staticmethod
    def remove_stale():
        listed = run(["ip", "netns", "list"]).stdout.split()
        for name in listed:
            if name.startswith("fs-prv-") and name.rsplit("-", 1)[-1].isdigit():
                if not _pid_alive(int(name.rsplit("-", 1)[-1])):
                    run(["ip", "netns", "del", name])

    def exec(self, namespace, *args):
        return ["ip", "netns", "exec", namespace, *args]


class ContextsTestCase(unittest.TestCase):
    """A test class whose set-up enters contexts (installation, users, namespaces) that its tear-down leaves
    in the reverse order, also when the set-up fails half-way."""
    stack = []

    @classmethod
    def enter(cls, context):
        value = context.__enter__()
        cls.stack.append(context)
        return value

    @classmethod
    def tearDownClass(cls):
        while cls.stack:
            cls.stack.pop().__exit__()
