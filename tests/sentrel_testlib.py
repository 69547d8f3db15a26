"""Shared fixtures of the black-box tests: run the built sentrel over real processes.

Every test gets its own directory, every process it starts is in a process group that tearDown
kills, and waiting is done by polling a condition with a deadline, never by a bare sleep.
"""
import contextlib
import fcntl
import os
import re
import shlex
import signal
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SENTREL = os.path.abspath(os.environ.get("SENTREL") or
                          os.path.join(HERE, "..", "build", "dev", "sentrel"))
# A command prefix such as "qemu-arm" when the binary under test is a cross build.
WRAPPER = shlex.split(os.environ.get("SENTREL_WRAPPER", ""))
STAMP = r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} "
# What a second supervisor on a locked PID file prints, % (sentrel, PID file).
ALREADY_LOCKED = ("%s: flock(): PID file is already locked by another process: `%s': "
                  "Resource temporarily unavailable\n")


def command(*args):
    return WRAPPER + [SENTREL] + [str(a) for a in args]


def locked_content(path):
    """The file's first bytes while some other process holds its flock lock, else None (also
    when it is missing or cannot be opened). Probes like a reader: a lock it gets is dropped."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return None
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return None
    except BlockingIOError:
        return os.read(fd, 64)
    finally:
        os.close(fd)


def is_locked(path):
    """True when some other process holds the flock lock of path."""
    return locked_content(path) is not None


def process_exists(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def stat_fields(pid):
    """Fields of /proc/PID/stat after the command name (state, ppid, pgrp, session, ...), or
    None when the process is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None


def process_state(pid):
    """The one-letter state (Z for a zombie, T stopped), or None when the process is gone."""
    fields = stat_fields(pid)
    return fields[0] if fields else None


def parent_of(pid):
    """The parent's PID, or None when the process is gone."""
    fields = stat_fields(pid)
    return int(fields[1]) if fields else None


def has_ended(pid):
    """True when process pid is gone or a zombie."""
    return process_state(pid) in (None, "Z")


def processes_with(field, value):
    """PIDs whose stat field (after the command name: 1 parent, 2 process group) is value."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        fields = stat_fields(int(entry))
        if fields and int(fields[field]) == value:
            found.append(int(entry))
    return found


def children_of(pid):
    """PIDs whose parent is pid, from /proc."""
    return processes_with(1, pid)


def group_members(pgid):
    """PIDs of the processes in process group pgid."""
    return processes_with(2, pgid)


def command_line(pid):
    """The arguments of process pid as bytes ([] when it is gone)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


def proc_status(text):
    """The fields of a /proc/<pid>/status text as a dict of lists of words."""
    fields = {}
    for line in text.splitlines():
        name, _, value = line.partition(":")
        fields[name] = value.split()
    return fields


def read_proc_status(pid):
    with open("/proc/%d/status" % pid) as f:
        return proc_status(f.read())


def descriptors(pid):
    """{descriptor: link target} of process pid; descriptors closed while reading are left out."""
    found = {}
    fd_dir = "/proc/%d/fd" % pid
    for name in os.listdir(fd_dir):
        try:
            found[int(name)] = os.readlink(os.path.join(fd_dir, name))
        except OSError:
            pass
    return found


def holds_open(pid, path):
    """True when process pid has path open: the test --stop makes before it believes a PID."""
    try:
        return os.path.realpath(path) in descriptors(pid).values()
    except OSError:
        return False


def poll(condition, timeout, interval=0.01):
    """Calls condition until it returns a true value or timeout seconds have passed; returns
    its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def living_descendants(pid):
    """PIDs of the processes below pid that have not ended, from /proc."""
    found, todo = [], [pid]
    while todo:
        children = children_of(todo.pop())
        todo += children
        found += [child for child in children if not has_ended(child)]
    return found


def kill_group(proc, timeout=30):
    """SIGKILLs the process group that proc leads, and every process below proc: PROGRAM leads
    a session of its own. The group is stopped first, so that no supervisor relaunches meanwhile;
    as a subreaper it keeps what the killed ones leave below it."""
    try:
        os.killpg(proc.pid, signal.SIGSTOP)
    except OSError:
        pass
    def killed_all():
        below = living_descendants(proc.pid)
        for pid in below:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        return not below
    poll(killed_all, 5)
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass
    return proc.wait(timeout=timeout)


def subreaper_refusal():
    """None where sentrel can make itself a child subreaper, else why not. qemu's user-mode
    emulation refuses PR_SET_CHILD_SUBREAPER, so a PROGRAM's orphans go to init there, as on a
    kernel without it; PID 1 of a namespace adopts them all the same."""
    if any(os.path.basename(word).startswith("qemu-") for word in WRAPPER):
        return "qemu's user-mode emulation refuses PR_SET_CHILD_SUBREAPER"
    return None


# Runs a command as PID 1 of a new PID namespace, with its own /proc, as in a container.
UNSHARE = ["unshare", "--pid", "--fork", "--mount-proc"]


def pid_namespace_refusal():
    """None when a new PID namespace can be made here, else the reason it cannot."""
    try:
        result = subprocess.run(UNSHARE + ["true"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=10)
    except (OSError, subprocess.TimeoutExpired) as e:
        return "no PID namespace: %s" % e
    if result.returncode != 0:
        return "no PID namespace: %s" % result.stderr.decode().strip()
    return None


class SentrelTestCase(unittest.TestCase):
    """Base class: a private directory, tracked processes, polling helpers."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sentrel-test-")
        self._groups = []
        self._pids = []

    def tearDown(self):
        for pid in self._pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        for proc in self._groups:
            try:
                kill_group(proc, 10)
            except subprocess.TimeoutExpired:
                pass
            for stream in (proc.stdout, proc.stderr):
                if stream:
                    stream.close()
        subprocess.run(["rm", "-rf", self.dir], check=False)

    def path(self, name):
        return os.path.join(self.dir, name)

    def track_pid(self, pid):
        """Kill pid at tearDown too (for processes outside the started group, e.g. daemons)."""
        self._pids.append(pid)

    def run_sentrel(self, *args, timeout=30, **kwargs):
        """Runs sentrel to completion in its own process group; returns CompletedProcess."""
        return self.run_command(command(*args), timeout, **kwargs)

    def start_sentrel(self, *args, **kwargs):
        """Starts sentrel in a new process group that tearDown kills; returns the Popen."""
        return self.start_command(command(*args), **kwargs)

    def run_command(self, argv, timeout=30, **kwargs):
        """Runs argv to completion in its own process group, in the test's directory unless
        told otherwise, its output captured; returns CompletedProcess."""
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        proc = self.start_command(argv, **kwargs)
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            kill_group(proc)
            proc.communicate()
            self.fail("%s did not finish within %s s" % (shlex.join(argv)[:300], timeout))
        return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)

    def start_command(self, argv, **kwargs):
        """Starts argv in a new process group that tearDown kills; returns the Popen."""
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        kwargs.setdefault("cwd", self.dir)
        proc = subprocess.Popen(argv, start_new_session=True, **kwargs)
        self._groups.append(proc)
        return proc

    def start_decoy(self, **kwargs):
        """A live `sleep' that is not PROGRAM and that tearDown kills, for a PID file to name."""
        return self.start_command(["sleep", "30"], **kwargs)

    def wait_for_exit(self, proc, timeout=10):
        """Waits for a started process and returns its exit status."""
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.fail("%r still running after %s s" % (proc.args, timeout))

    def start_as_pid_1(self, argv, **kwargs):
        """Starts argv as PID 1 of a new PID namespace in a group that tearDown kills, or skips
        the test where namespaces are refused; returns the Popen of unshare, its parent."""
        reason = pid_namespace_refusal()
        if reason:
            self.skipTest(reason)
        kwargs.setdefault("cwd", self.dir)
        proc = subprocess.Popen(UNSHARE + list(argv), start_new_session=True, **kwargs)
        self._groups.append(proc)
        return proc

    def wait_until(self, condition, timeout=10, message="condition", interval=0.01):
        value = poll(condition, timeout, interval)
        if not value:
            self.fail("timed out after %s s waiting for %s" % (timeout, message))
        return value

    @contextlib.contextmanager
    def frozen(self, pid):
        """Holds process pid stopped (SIGSTOP) for the with block, e.g. a supervisor that must
        not reap its child meanwhile."""
        os.kill(pid, signal.SIGSTOP)
        try:
            self.wait_until(lambda: process_state(pid) == "T", 5, "process %d to stop" % pid)
            yield
        finally:
            os.kill(pid, signal.SIGCONT)

    def read(self, name, mode="r"):
        with open(self.path(name) if not os.path.isabs(name) else name, mode) as f:
            return f.read()

    def read_if_exists(self, name, mode="r"):
        try:
            return self.read(name, mode)
        except FileNotFoundError:
            return None

    def read_pids(self, name):
        """The PIDs a PROGRAM script recorded in a file, one decimal word each ([] for none)."""
        return [int(word) for word in (self.read_if_exists(name) or "").split()]

    def log_events(self, name):
        """The log's lines with their time stamps checked and removed."""
        lines = self.read(name).splitlines()
        for line in lines:
            self.assertRegex(line, "^" + STAMP)
        return [re.sub("^" + STAMP, "", line) for line in lines]

    def wait_for_pid_file(self, name, previous=None, timeout=10):
        """Waits until name is locked and names a PID other than previous that holds it open;
        returns that PID."""
        path = self.path(name)

        def ready():
            # A supervisor taking the lock for its next PROGRAM finds the previous PROGRAM's PID
            # in the file, and the file may be read just before the lock is taken: as --stop
            # does, believe only a PID whose process holds the file.
            text = self.read_if_exists(path)
            if not (text and text.isdigit()) or int(text) == previous:
                return None
            pid = int(text)
            return pid if is_locked(path) and holds_open(pid, path) else None
        return self.wait_until(ready, timeout, "a locked PID file %s" % name)


# The unprivileged account that plants links and owns directories in the tests that need root.
NOBODY = 65534


def plant_link(link, target):
    """Creates link -> target as nobody, as a service account would in a directory of its own;
    link's directory is made first, owned by nobody, when missing. Needs root, and a test
    directory that nobody may enter."""
    directory = os.path.dirname(link)
    if not os.path.isdir(directory):
        os.mkdir(directory, 0o755)
        os.chown(directory, NOBODY, NOBODY)
    subprocess.run(["ln", "-s", target, link], user=NOBODY, group=NOBODY, extra_groups=[],
                   check=True, timeout=10)


def run_on_small_disk(test, size, script, timeout=60):
    """Runs the shell script in test's directory, inside a private mount namespace where a tmpfs
    of size bytes is mounted on ./disk; what the script leaves outside disk/ stays visible.
    Skips the test where namespaces or mounts are refused. Returns the CompletedProcess."""
    os.mkdir(test.path("disk"))
    proc = subprocess.Popen(
        ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
         "mount -t tmpfs -o size=%d sentrel-test disk || exit 77\n%s" % (size, script)],
        cwd=test.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        kill_group(proc)
        proc.communicate()
        test.fail("the small-disk scenario did not finish within %s s" % timeout)
    if proc.returncode == 77 or err.startswith(b"unshare:"):
        test.skipTest("no tmpfs in a private mount namespace: %s" % err.decode().strip())
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


def mount_namespace_refusal():
    """None when a private mount namespace with a mount of its own can be made here, else the
    reason it cannot."""
    probe = ["unshare", "--mount", "--propagation", "private",
             "mount", "-t", "tmpfs", "sentrel-test", "/mnt"]
    try:
        result = subprocess.run(probe, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                timeout=10)
    except (OSError, subprocess.TimeoutExpired) as e:
        return "no mount namespace: %s" % e
    if result.returncode != 0:
        return "no mount namespace: %s" % result.stderr.decode().strip()
    return None


def start_in_mount_namespace(case, setup, *args, **kwargs):
    """Starts sentrel ARGS as case.start_sentrel does, but in a private mount namespace after the
    shell commands setup (as root; nothing they mount is seen outside). Skips the test where such
    a namespace is refused; returns the Popen, whose PID is sentrel's."""
    reason = mount_namespace_refusal()
    if reason:
        case.skipTest(reason)
    kwargs.setdefault("stdout", subprocess.DEVNULL)
    kwargs.setdefault("stderr", subprocess.DEVNULL)
    kwargs.setdefault("cwd", case.dir)
    argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
            'set -e; %s; exec "$@"' % setup, "sh"] + command(*args)
    proc = subprocess.Popen(argv, start_new_session=True, **kwargs)
    case._groups.append(proc)
    return proc


def run_in_mount_namespace(case, setup, *args, timeout=30, **kwargs):
    """Runs sentrel ARGS to completion as start_in_mount_namespace starts it; returns
    CompletedProcess."""
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    proc = start_in_mount_namespace(case, setup, *args, **kwargs)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        kill_group(proc)
        proc.communicate()
        case.fail("sentrel did not finish within %s s: %r" % (timeout, args))
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)
