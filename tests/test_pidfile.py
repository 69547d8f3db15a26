"""Black-box tests of the PID file and its lock, and of --test-alive and --stop."""
import contextlib
import fcntl
import os
import resource
import shlex
import signal
import stat
import subprocess
import sys
import threading
import time
import unittest

import sentrel_testlib as testlib

PROG = testlib.SENTREL
NOT_HOLDER = "%s: kill(): PID file does not name the process that holds it: `%s'\n"
OPEN_FAILED = "%s: open(): failed to open or create PID file: `%s': %s\n"
WRITE_FAILED = "%s: write(): failed to write PID to the file: `%s': %s\n"
STARTED = "The process was successfully started: pid=%d"
KILLED = "The process was terminated by signal: pid=%d, signal=%d"
EXITED = "The process was successfully terminated: pid=%d, exit_code=%d"
LEFTOVER_STOPPED = "The leftover process was stopped: pid=%d, signal=%d"
STOPPED = "The supervision was stopped by signal: signal=%d"


def refusals(link):
    """What sentrel may print for a PID file that is a symlink (glibc's and musl's texts for
    ELOOP) or a file with a second name (their text for EMLINK)."""
    texts = ["Too many levels of symbolic links", "Symbolic link loop"]
    return [OPEN_FAILED % (PROG, link, text)
            for text in (texts if os.path.islink(link) else ["Too many links"])]

# PROGRAM scripts run as `sh -c SCRIPT MARKER`: each PROGRAM appends its PID to MARKER ($0),
# so the test can count the PROGRAMs that really ran.
SLEEPER = 'echo $$ >> "$0"; exec sleep 30'
RECORDS = 'echo $$ >> "$0"'
IGNORES_TERM = 'trap "" TERM; echo $$ >> "$0"; exec sleep 30'
EXITS_7_ON_TERM = 'trap "exit 7" TERM; echo $$ >> "$0"; while :; do sleep 0.2; done'
# Lists its descriptors on stdout, closes every one above 2, then sleeps. One `ls' while the
# shell holds nothing of its own: a glob of /proc/$$/fd lists the descriptor that reads the
# directory, and a $(readlink) over it could find that number reused by its own pipe.
CLOSES_INHERITED = ('ls -l /proc/$$/fd; for f in /proc/$$/fd/*; do n=${f##*/}; '
                    '[ "$n" -gt 2 ] && eval "exec $n>&-"; done; echo $$ >> "$0"; exec sleep 30')
# First run: starts the script $2 in the background, where it inherits the PID file and
# records its PID in $1, waits until it has, and ends by running $3. Later runs exit 7.
ENDS_LEAVING = ('ulimit -c 0; echo $$ >> "$0"; [ -e "$0.crashed" ] && exit 7; '
                ': > "$0.crashed"; sh -c "$2" "$1" > /dev/null 2>&1 & '
                'while [ ! -s "$1" ]; do sleep 0.01; done; eval "$3"')
LEFTOVER = 'echo $$ >> "$0"; exec sleep 300'
# A start script that runs its service without exec, as a wrapper often does.
WRAPPER = 'echo $$ >> "$0"; sleep 300; exit 0'
# Lets go of the PID file on SIGTERM (closing every inherited descriptor above 2) and runs on.
CLOSES_ON_TERM = ('trap \'for f in /proc/$$/fd/*; do n=${f##*/}; [ "$n" -gt 2 ] && '
                  'eval "exec $n>&-"; done\' TERM; echo $$ >> "$0"; while :; do sleep 0.1; done')
CRASHES = 'kill -SEGV $$'
# Does what a supervisor does to the PID file ($1) around a launch, slowed down: takes the
# lock with the previous PROGRAM's dead PID ($2) still in the file, or an empty file, and waits
# for a reader to read that PID or open the empty file (inotify, through ctypes). It empties the
# file at once, then writes its own PID 30 ms later, as after a fork, and waits to be signalled.
LATE_WRITER = r"""
import ctypes, fcntl, os, select, sys, time
path, previous = sys.argv[1], sys.argv[2]
IN_ACCESS, IN_OPEN = 0x1, 0x20
fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
os.write(fd, previous.encode())
fcntl.flock(fd, fcntl.LOCK_EX)
libc = ctypes.CDLL(None, use_errno=True)
watch = libc.inotify_init1(os.O_CLOEXEC)
if watch < 0 or libc.inotify_add_watch(watch, path.encode(),
                                       IN_ACCESS if previous else IN_OPEN) < 0:
    sys.exit("inotify: %s" % os.strerror(ctypes.get_errno()))
print("locked", flush=True)
if not select.select([watch], [], [], 20)[0]:
    sys.exit("no reader came")
os.ftruncate(fd, 0)
time.sleep(0.03)
os.pwrite(fd, str(os.getpid()).encode(), 0)
time.sleep(30)
"""
# Run as PID 1 of a new PID namespace: a holder of the PID file ($1) that ends 0.3 s after
# SIGTERM, then in its place a process that gets its PID and opens the file, as a relaunched
# PROGRAM would, while the stop command (the rest of argv) waits. Prints whether the PID was
# taken over, the stop's status and whether the new process survived the stop; what is left
# ends with the namespace.
PID_TAKEN_OVER = r"""
import fcntl, os, signal, subprocess, sys, time
pid_file, stop = sys.argv[1], sys.argv[2:]
ready_r, ready_w = os.pipe()
holder = os.fork()
if holder == 0:
    fd = os.open(pid_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    fcntl.flock(fd, fcntl.LOCK_EX)
    os.write(fd, str(os.getpid()).encode())
    signal.signal(signal.SIGTERM, lambda *_: (time.sleep(0.3), os._exit(0)))
    os.write(ready_w, b".")
    time.sleep(30)
    os._exit(1)
os.read(ready_r, 1)
stopper = subprocess.Popen(stop)
os.waitpid(holder, 0)
with open("/proc/sys/kernel/ns_last_pid", "w") as f:
    f.write(str(holder - 1))
successor = os.fork()
if successor == 0:
    os.open(pid_file, os.O_RDONLY)
    time.sleep(30)
    os._exit(0)
status = stopper.wait(20)
print(successor == holder, status, os.waitpid(successor, os.WNOHANG)[0] == 0)
"""


def sh(script, *args):
    return ["sh", "-c", script] + [str(a) for a in args]


def cwd_of(pid):
    try:
        return os.readlink("/proc/%s/cwd" % pid)
    except OSError:
        return None


class PidFileTestCase(testlib.SentrelTestCase):

    def setUp(self):
        super().setUp()
        self.pid_file = self.path("pid")
        self.marker = self.path("marker")

    def marker_pids(self, marker=None):
        return self.read_pids(marker or self.marker)

    def wait_for_marker(self, count, marker=None):
        self.wait_until(lambda: len(self.marker_pids(marker)) >= count, 10,
                        "%d PROGRAM(s) in the marker" % count)
        return self.marker_pids(marker)

    def control(self, *args, timeout=30):
        """Runs a control command and returns (status, seconds taken); it must print nothing."""
        start = time.monotonic()
        result = self.run_sentrel(*args, timeout=timeout)
        elapsed = time.monotonic() - start
        self.assertEqual(result.stdout, b"", args)
        self.assertEqual(result.stderr, b"", args)
        return result.returncode, elapsed

    def alive_status(self):
        return self.control("--test-alive", "--pid-file", self.pid_file)[0]


class PidFileTest(PidFileTestCase):

    def test_program_holds_the_lock_and_the_file_holds_its_pid(self):
        sup = self.start_sentrel("-p", self.pid_file, "-t", "2", *sh(SLEEPER, self.marker),
                                 umask=0)
        pid = self.wait_for_pid_file("pid")
        self.assertEqual(self.wait_for_marker(1), [pid])
        data = self.read("pid", "rb")
        self.assertEqual(data, str(pid).encode())
        # However many digits the PID has (4 on most small systems), the file has that many bytes.
        self.assertEqual(len(data), len(str(pid)))
        self.assertEqual(stat.S_IMODE(os.stat(self.pid_file).st_mode), 0o604)
        self.assertEqual(list(testlib.descriptors(pid).values()).count(self.pid_file), 1,
                         "PROGRAM inherits the lock")
        self.assertNotIn(self.pid_file, testlib.descriptors(sup.pid).values(),
                         "supervisor kept its copy")

        # While the supervisor sleeps its delay, nobody holds the lock: PROGRAM's death freed it.
        os.kill(pid, signal.SIGTERM)
        self.wait_until(lambda: not testlib.is_locked(self.pid_file), 5, "the lock to go")
        self.assertIsNone(sup.poll())
        self.assertEqual(self.alive_status(), 1)
        self.assertEqual(self.read("pid", "rb"), str(pid).encode())

        new_pid = self.wait_for_pid_file("pid", previous=pid)
        self.assertEqual(self.wait_for_marker(2), [pid, new_pid])
        self.assertEqual(self.read("pid", "rb"), str(new_pid).encode())

        os.kill(new_pid, signal.SIGKILL)
        self.assertEqual(self.wait_for_exit(sup), 0)
        self.assertFalse(testlib.is_locked(self.pid_file))
        self.assertEqual(self.read("pid", "rb"), str(new_pid).encode())

    def test_stale_file_is_ignored_then_truncated_and_rewritten(self):
        decoy = self.start_decoy()
        junk = "left over by a dead run " * 4
        for stale_pid in (99999, decoy.pid):
            with self.subTest(stale_pid=stale_pid):
                with open(self.pid_file, "w") as f:
                    f.write("%d\n%s" % (stale_pid, junk))
                self.assertEqual(self.alive_status(), 1)
                status, elapsed = self.control("--stop", "5", "-p", self.pid_file)
                self.assertEqual(status, 0)
                self.assertLess(elapsed, 1, "the stop waited for a process")

                sup = self.start_sentrel("-p", self.pid_file, *sh(SLEEPER, self.marker))
                pid = self.wait_for_pid_file("pid")
                self.assertEqual(self.read("pid", "rb"), str(pid).encode())
                os.kill(pid, signal.SIGKILL)
                self.assertEqual(self.wait_for_exit(sup), 0)
        decoy.kill()
        self.assertEqual(decoy.wait(), -signal.SIGKILL, "a stale PID was signalled")


class TestAliveTest(PidFileTestCase):

    def test_statuses(self):
        with self.subTest("missing file"):
            self.assertEqual(self.alive_status(), 1)
            self.assertFalse(os.path.exists(self.pid_file))
        sup = self.start_sentrel("-p", self.pid_file, "-l", "log", *sh(SLEEPER, self.marker))
        pid = self.wait_for_pid_file("pid")
        with self.subTest("running"):
            self.assertEqual(self.alive_status(), 0)
        with self.subTest("--test-alive wins over --stop"):
            self.assertEqual(self.control("-a", "-K", "5", "-p", self.pid_file)[0], 0)
        os.kill(pid, signal.SIGKILL)
        self.assertEqual(self.wait_for_exit(sup), 0)
        # Had the stop run too, PROGRAM would have died of SIGTERM and been relaunched.
        self.assertEqual(self.log_events("log"), [
            "The process was successfully started: pid=%d" % pid,
            "The process was terminated by signal: pid=%d, signal=9" % pid])
        with self.subTest("stale file of an ended run"):
            self.assertEqual(self.read("pid"), str(pid))
            self.assertEqual(self.alive_status(), 1)

    def test_control_commands_without_pid_file_print_usage(self):
        usage = self.run_sentrel("--help").stdout
        self.assertTrue(usage.startswith(("Usage: %s [OPTIONS]... PROGRAM" % PROG).encode()))
        for args in (["-a"], ["--test-alive"], ["-K", "1"], ["--stop=1"],
                     ["-a", "-K", "1"], ["--stop", "1"] + sh(SLEEPER, self.marker)):
            with self.subTest(args=args):
                result = self.run_sentrel(*args)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.stderr, usage)
        self.assertFalse(os.path.exists(self.marker), "PROGRAM ran")


class DroppedLockTest(PidFileTestCase):

    def test_program_closing_inherited_descriptors_drops_the_lock(self):
        sup = self.start_sentrel("-p", self.pid_file, "-l", "log", "-O", "out",
                                 *sh(CLOSES_INHERITED, self.marker))
        [pid] = self.wait_for_marker(1)
        # The log and the supervisor's redirection copies are not inherited; the lock is.
        # `ls -l' ends each descriptor's line with "N -> TARGET".
        listed = [line.split(" -> ") for line in self.read("out").splitlines() if " -> " in line]
        self.assertEqual([target for name, target in listed if int(name.split()[-1]) > 2],
                         [self.pid_file])
        self.assertFalse(testlib.is_locked(self.pid_file))
        self.assertEqual(self.read("pid"), str(pid))
        self.assertEqual(self.alive_status(), 1)
        status, elapsed = self.control("--stop", "5", "-p", self.pid_file)
        self.assertEqual(status, 0)
        self.assertLess(elapsed, 1)
        self.assertIsNone(sup.poll())
        os.kill(pid, signal.SIGKILL)
        self.assertEqual(self.wait_for_exit(sup), 0)
        # PROGRAM died of the test's SIGKILL, not of a SIGTERM from the stop.
        self.assertEqual(self.log_events("log"), [
            "The process was successfully started: pid=%d" % pid,
            "The process was terminated by signal: pid=%d, signal=9" % pid])


class LeftoverTest(PidFileTestCase):
    """Descendants of a dead PROGRAM that keep the PID file are ended before the relaunch."""

    def crash_leaving(self, directory, leftover, pid_1=False, end="kill -SEGV $$"):
        """Runs ENDS_LEAVING with leftover and end in directory to its end; returns its status
        and stderr, the log and the PIDs the leftovers recorded."""
        # The handler records any leftover it still sees; a process that merely has the PID
        # file open, and is no descendant, must never be signalled.
        with open(os.path.join(directory, "handler"), "w") as f:
            f.write('#!/bin/sh\nfor p in $(cat leftovers); do [ -d /proc/$p ] && echo "$p"; '
                    'done >> handled; echo "$1 $2" >> handled\n')
        os.chmod(os.path.join(directory, "handler"), 0o755)
        with open(os.path.join(directory, "pid"), "w") as opened:
            decoy = self.start_decoy(stdin=opened)
        args = ["-p", "pid", "-l", "log", "-e", "./handler"] + sh(
            ENDS_LEAVING, "marker", "leftovers", leftover, end)
        # As PID 1 the PIDs are the namespace's own, and its processes end with it.
        proc = (self.start_as_pid_1(testlib.command(*args), stderr=subprocess.PIPE,
                                    cwd=directory) if pid_1 else
                self.start_sentrel(*args, stderr=subprocess.PIPE, cwd=directory))
        status, err = self.wait_for_exit(proc, 30), proc.stderr.read().decode()
        holders = self.marker_pids(os.path.join(directory, "leftovers"))
        for pid in holders if not pid_1 else ():
            self.track_pid(pid)
        self.assertIsNone(decoy.poll(), "a process that merely opened the file was signalled")
        return status, err, self.log_events(os.path.join(directory, "log")), holders

    def test_leftovers_are_ended_whenever_program_ends(self):
        ignores = "trap '' TERM; " + LEFTOVER
        crash = ("kill -SEGV $$", 7, [KILLED, 11])
        # (case, leftover, PROGRAM's end, status, PROGRAM's end in the log, the signal that ends
        # the leftover, as PID 1); a crash is followed by the relaunch and an exit 7.
        cases = [("crash", LEFTOVER, *crash, 15, False),
                 ("crash, leftover ignores SIGTERM", ignores, *crash, 9, False),
                 ("crash, supervisor as PID 1", LEFTOVER, *crash, 15, True),
                 ("exit", LEFTOVER, "exit 5", 5, [EXITED, 5], 15, False),
                 ("SIGKILL", LEFTOVER, "kill -KILL $$", 0, [KILLED, 9], 15, False),
                 ("stop", ignores, "kill -TERM $PPID; exec sleep 30", 0,
                  [STOPPED % 15, KILLED, 15], 9, False),
                 ("lock holder in a session of its own", 'exec setsid sh -c %s "$0"'
                  % shlex.quote(LEFTOVER), "exit 0", 0, [EXITED, 0], 15, False)]
        for index, (case, leftover, end, status, lines, number, pid_1) in enumerate(cases):
            with self.subTest(case):
                if not pid_1 and testlib.subreaper_refusal():
                    self.skipTest(testlib.subreaper_refusal())
                directory = self.path("case%d" % index)
                os.mkdir(directory)
                started = time.monotonic()
                result = self.crash_leaving(directory, leftover, pid_1, end)
                elapsed = time.monotonic() - started
                program, *relaunched = self.marker_pids(os.path.join(directory, "marker"))
                [left] = result[3]
                self.assertEqual(result[:3], (status, "", [STARTED % program] + lines[:-2] + [
                    lines[-2] % (program, lines[-1]), LEFTOVER_STOPPED % (left, number)] + sum(
                    ([STARTED % pid, EXITED % (pid, 7)] for pid in relaunched), [])))
                self.assertFalse(testlib.is_locked(os.path.join(directory, "pid")))
                self.assertGreaterEqual(elapsed, 2 if number == signal.SIGKILL else 0)
                self.assertLess(elapsed, 12)
                # As PID 1 the supervisor's exit ends the handler with the namespace.
                if not pid_1:
                    self.assertEqual(self.read_if_exists(os.path.join(directory, "handled")),
                                     "%d 11\n" % program if relaunched else None, "handled")
                    self.wait_until(lambda: not testlib.process_exists(left), 5, "collection")

    def test_service_of_a_stopped_wrapper_is_ended_and_supervision_goes_on(self):
        if testlib.subreaper_refusal():
            self.skipTest(testlib.subreaper_refusal())
        sup = self.start_sentrel("-p", self.pid_file, "-l", "log", *sh(WRAPPER, self.marker))
        pid = self.wait_for_pid_file("pid")
        [service] = self.wait_until(lambda: testlib.children_of(pid), 10, "the service")
        self.track_pid(service)
        # SIGTERM ends the script itself; its service runs on, holding the PID file.
        self.assertEqual(self.control("--stop=5", "-p", self.pid_file)[0], 0)
        self.wait_until(lambda: self.read("log").count("\n") >= 4 or sup.poll() is not None,
                        10, "the relaunch or the end of the supervision")
        events = self.log_events("log")
        self.assertIsNone(sup.poll(), events)
        new_pid = self.wait_for_pid_file("pid", previous=pid)
        self.assertEqual(events, [STARTED % pid, KILLED % (pid, signal.SIGTERM),
                                  LEFTOVER_STOPPED % (service, signal.SIGTERM), STARTED % new_pid])
        self.wait_until(lambda: not testlib.process_exists(service), 5, "the old service to go")
        # The relaunched wrapper records itself only once it runs.
        self.assertEqual(self.wait_for_marker(2), [pid, new_pid])


class PidFileWriteFailureTest(PidFileTestCase):

    def survivors(self):
        """PIDs of the processes working in the test's directory (a supervisor or PROGRAM
        started there) that stay for half a second; they are killed."""
        here = os.path.realpath(self.dir)
        found = []

        def none_left():
            found[:] = [int(e) for e in os.listdir("/proc") if e.isdigit() and cwd_of(e) == here]
            return not found
        testlib.poll(none_left, 0.5, 0.02)
        for pid in found:
            self.track_pid(pid)
            os.kill(pid, signal.SIGKILL)
        return found

    def test_program_never_runs_unrecorded(self):
        full = self.path("full")
        os.mkdir(full)
        # One page, taken: the PID file can be created and emptied but not written.
        fill = "mount -t tmpfs -o size=4k sentrel-test {0}; head -c 4096 /dev/zero > {0}/fill"
        no_files = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.RLIM_INFINITY))
        # PROGRAM, should it ever run, records itself and leaves the supervisor's streams.
        program = 'exec > /dev/null 2>&1; ulimit -f unlimited; echo $$ >> "$0"; exec sleep 30'
        cases = [("full file system", full, "No space left on device",
                  fill.format(shlex.quote(full)), None),
                 ("file size limit 0", self.dir, "File too large", None, no_files)]
        for case, where, text, setup, limit in cases:
            for options in ((), ("-d",)):
                with self.subTest(case, options=options):
                    pid_file = os.path.join(where, "pid" + "".join(options))
                    marker = pid_file + ".marker"
                    args = options + ("-p", pid_file) + tuple(sh(program, marker))
                    if setup:
                        result = testlib.run_in_mount_namespace(self, setup, *args)
                    else:
                        result = self.run_sentrel(*args, preexec_fn=limit)
                    left = self.survivors()
                    self.assertEqual((result.returncode, result.stderr.decode()),
                                     (2, WRITE_FAILED % (PROG, pid_file, text)))
                    self.assertEqual(left, [], "left running")
                    self.assertEqual(self.marker_pids(marker), [], "PROGRAM ran")


class SecondInstanceTest(PidFileTestCase):

    SCRIPT = 'echo $$ >> "$0"; echo OUT; echo ERR >&2; exec sleep 30'

    def test_refused_instance_destroys_nothing(self):
        cases = [("plain", ["-l", "log", "-O", "out", "-E", "err"], ["log", "out", "err"]),
                 ("rotating", ["-l", "log", "-R", "rot~8"], ["log", "rot"])]
        for name, options, files in cases:
            with self.subTest(name):
                pid_file = self.path("pid-" + name)
                marker = self.path("marker-" + name)
                first = self.start_sentrel("-p", pid_file, *options, *sh(self.SCRIPT, marker))
                pid = self.wait_for_pid_file(pid_file)
                # Both lines reached their files (the writer may still be copying them).
                for path in files:
                    self.wait_until(lambda: self.read_if_exists(path), 10, "output in " + path)
                if "rot" in files:
                    self.wait_until(lambda: len(self.read("rot").split()) == 2, 10, "rot")
                before = {path: self.read(path, "rb") for path in files}

                second = self.start_sentrel("-p", pid_file, *options, *sh(self.SCRIPT, marker),
                                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                out, err = second.communicate(timeout=10)
                self.assertEqual(second.returncode, 2)
                self.assertEqual(err.decode(), testlib.ALREADY_LOCKED % (PROG, pid_file))
                self.assertEqual(out, b"")
                self.assertEqual(testlib.group_members(second.pid), [],
                                 "the refused instance left processes behind")
                self.assertEqual({path: self.read(path, "rb") for path in files}, before)
                self.assertEqual(self.marker_pids(marker), [pid])
                self.assertEqual(testlib.locked_content(pid_file), str(pid).encode())
                self.assertIsNone(first.poll())
                os.kill(pid, signal.SIGKILL)
                self.assertEqual(self.wait_for_exit(first), 0)

    def test_simultaneous_supervisors_run_one_program(self):
        for round_number in range(10):
            with self.subTest(round=round_number):
                pid_file = self.path("pid%d" % round_number)
                marker = self.path("marker%d" % round_number)
                args = ["-p", pid_file] + sh(SLEEPER, marker)
                pair = [self.start_sentrel(*args, stderr=subprocess.PIPE) for _ in range(2)]
                self.wait_until(lambda: any(p.poll() is not None for p in pair), 10,
                                "one supervisor to be refused")
                [loser] = [p for p in pair if p.poll() is not None]
                [winner] = [p for p in pair if p is not loser]
                self.assertEqual(loser.returncode, 2)
                self.assertEqual(loser.stderr.read().decode(),
                                 testlib.ALREADY_LOCKED % (PROG, pid_file))
                pid = self.wait_for_pid_file(pid_file)
                self.assertEqual(self.wait_for_marker(1, marker), [pid])
                self.assertIn(pid, testlib.children_of(winner.pid))
                os.kill(pid, signal.SIGKILL)
                self.assertEqual(self.wait_for_exit(winner), 0)
                self.assertEqual(winner.stderr.read(), b"")

    def test_relaunch_waits_for_a_lock_held_by_another_process(self):
        # The test, which is no descendant, takes the lock in both respawn delays: it lets go of
        # the first, and the supervisor is stopped while it waits in the second.
        refused = testlib.ALREADY_LOCKED.rstrip("\n") % (PROG, self.pid_file)
        sup = self.start_sentrel("-t", "3", "-l", "log", "-p", self.pid_file, *sh(
            'echo $$ >> "$0"; kill -SEGV $$', self.marker))
        for crashes in (1, 2):
            pid = self.wait_for_marker(crashes)[-1]
            self.wait_until(lambda: KILLED % (pid, signal.SIGSEGV) in self.read("log"), 10)
            fd = os.open(self.pid_file, os.O_RDONLY)
            self.addCleanup(os.close, fd)
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            self.wait_until(lambda: self.read("log").count(refused) == crashes, 10, "refusal")
            # Refused, it retries without a word more and without giving up.
            self.assertFalse(testlib.poll(lambda: sup.poll() is not None, 2.5))
            since = time.monotonic()
            if crashes == 1:
                fcntl.flock(fd, fcntl.LOCK_UN)
                self.wait_for_marker(2)
            else:
                os.kill(sup.pid, signal.SIGTERM)
                self.assertEqual(self.wait_for_exit(sup), 0)
            self.assertLess(time.monotonic() - since, 2.5)
        pids = self.marker_pids()
        self.assertEqual(self.read("pid"), str(pids[1]), "the relaunch wrote no PID")
        self.assertEqual(self.log_events("log"), [line for pid in pids for line in (
            STARTED % pid, KILLED % (pid, signal.SIGSEGV), refused)] + [STOPPED % signal.SIGTERM])


class StopTest(PidFileTestCase):

    def test_stop_waits_for_the_pid_of_a_fresh_lock(self):
        # Between a supervisor's lock and its write, the locked file still names the previous,
        # dead PROGRAM or is empty. A reader that took either for the answer would signal
        # nothing here; it must read again and stop the process that then holds the file.
        dead = subprocess.Popen(["true"])
        dead.wait()
        for name, initial in (("empty", ""), ("dead PID", str(dead.pid))):
            with self.subTest(name):
                writer = subprocess.Popen([sys.executable, "-c", LATE_WRITER, self.pid_file,
                                           initial], stdout=subprocess.PIPE,
                                          start_new_session=True)
                self.track_pid(writer.pid)
                self.addCleanup(writer.stdout.close)
                self.addCleanup(writer.wait)
                self.assertEqual(writer.stdout.readline(), b"locked\n")
                # Reaped at once, as a supervisor would, so that the stop sees it gone.
                reaper = threading.Thread(target=writer.wait)
                reaper.start()
                status, elapsed = self.control("--stop=5", "-p", self.pid_file)
                reaper.join(10)
                self.assertEqual(writer.returncode, -signal.SIGTERM,
                                 "the stop did not signal the PID written 30 ms late")
                self.assertEqual(status, 0)
                self.assertLess(elapsed, 3)

    def test_program_exiting_on_term_ends_supervision_with_its_status(self):
        sup = self.start_sentrel("-p", self.pid_file, "-l", "log",
                                 *sh(EXITS_7_ON_TERM, self.marker))
        pid = self.wait_for_pid_file("pid")
        self.wait_for_marker(1)
        status, elapsed = self.control("--stop=5", "--pid-file=" + self.pid_file)
        self.assertEqual(status, 0)
        self.assertLess(elapsed, 5)
        self.assertEqual(self.wait_for_exit(sup), 7)
        self.assertEqual(self.log_events("log")[-1],
                         "The process was successfully terminated: pid=%d, exit_code=7" % pid)

    def test_program_killed_by_term_is_relaunched(self):
        sup = self.start_sentrel("-p", self.pid_file, "-l", "log", *sh(SLEEPER, self.marker))
        pid = self.wait_for_pid_file("pid")
        self.wait_for_marker(1)
        status, elapsed = self.control("-K", "5", "-p", self.pid_file)
        self.assertEqual(status, 0)
        self.assertLess(elapsed, 5)
        self.assertFalse(testlib.process_exists(pid))
        new_pid = self.wait_for_pid_file("pid", previous=pid)
        self.assertEqual(self.wait_for_marker(2), [pid, new_pid])
        self.assertIsNone(sup.poll())
        self.assertIn("The process was terminated by signal: pid=%d, signal=15" % pid,
                      self.log_events("log"))

    def test_term_ignoring_program_gets_sigkill(self):
        # Given time, the stop sees PROGRAM gone after SIGKILL once the supervisor reaped it: 1.
        # With a timeout of 0 its one check comes at once, which would race with the reaping;
        # the supervisor is frozen meanwhile, so the killed PROGRAM is still there: 2.
        cases = [(2, False, 1, 2, 8), (0, True, 2, 0, 1)]
        for timeout, freeze, expected, at_least, at_most in cases:
            with self.subTest(timeout=timeout):
                pid_file = self.path("pid%d" % timeout)
                log = self.path("log%d" % timeout)
                marker = self.path("marker%d" % timeout)
                sup = self.start_sentrel("-p", pid_file, "-l", log, *sh(IGNORES_TERM, marker))
                pid = self.wait_for_pid_file(pid_file)
                self.wait_for_marker(1, marker)
                with self.frozen(sup.pid) if freeze else contextlib.nullcontext():
                    status, elapsed = self.control("-K", timeout, "-p", pid_file)
                self.assertEqual(status, expected)
                self.assertGreaterEqual(elapsed, at_least)
                self.assertLess(elapsed, at_most)
                self.assertEqual(self.wait_for_exit(sup), 0)
                self.assertEqual(self.log_events(log)[-1],
                                 "The process was terminated by signal: pid=%d, signal=9" % pid)
                self.assertEqual(self.marker_pids(marker), [pid])

    def test_stop_during_respawn_delay_signals_nothing(self):
        sup = self.start_sentrel("-p", self.pid_file, "-t", "3", *sh(SLEEPER, self.marker))
        pid = self.wait_for_pid_file("pid")
        self.wait_for_marker(1)
        crashed_at = time.monotonic()
        os.kill(pid, signal.SIGSEGV)
        self.wait_until(lambda: not testlib.is_locked(self.pid_file), 5, "the lock to go")
        status, elapsed = self.control("-K", "5", "-p", self.pid_file)
        self.assertEqual(status, 0)
        self.assertLess(elapsed, 1)
        self.assertIsNone(sup.poll())
        new_pid = self.wait_for_pid_file("pid", previous=pid)
        self.assertGreaterEqual(time.monotonic() - crashed_at, 3)
        self.assertEqual(self.wait_for_marker(2), [pid, new_pid])
        self.assertIsNone(sup.poll())

    def test_stop_with_missing_file(self):
        status, elapsed = self.control("-K", "5", "-p", self.pid_file)
        self.assertEqual(status, 0)
        self.assertLess(elapsed, 1)
        self.assertFalse(os.path.exists(self.pid_file), "the stop created the PID file")


class UntrustedPidFileTest(PidFileTestCase):
    """--stop signals only a process that holds the locked file, whatever the file says."""

    def test_locked_file_naming_no_holder_signals_nothing(self):
        decoy = self.start_decoy()
        dead = subprocess.Popen(["true"])
        dead.wait()
        # The lock belongs to a process of its own, which the file never names.
        fd = os.open(self.pid_file, os.O_WRONLY | os.O_CREAT)
        fcntl.flock(fd, fcntl.LOCK_EX)
        holder = self.start_decoy(pass_fds=[fd])
        os.close(fd)
        # (1 << 32) + PID is what a conversion to int wraps to the decoy's PID.
        for text in (decoy.pid, (1 << 32) + decoy.pid, dead.pid, "abc", ""):
            with self.subTest(text=text):
                with open(self.pid_file, "w") as f:
                    f.write(str(text))
                result = self.run_sentrel("-K", "1", "-p", self.pid_file)
                self.assertEqual((result.returncode, result.stderr.decode()),
                                 (2, NOT_HOLDER % (PROG, self.pid_file)))
                self.assertEqual((decoy.poll(), holder.poll()), (None, None), "signalled")

    def test_stop_never_signals_pid_1(self):
        # PID 1 of the namespace is this shell, which records any SIGTERM it gets (a SIGKILL
        # from inside its namespace never reaches it).
        script = ('trap "echo TERM >> got" TERM; for text in 1 +1 4294967297; do '
                  'printf %s "$text" > p.pid; flock p.pid "$@" -K 1 -p p.pid 2>> err; '
                  'echo $? >> statuses; done')
        unshare = self.start_as_pid_1(["sh", "-c", script, "sh"] + testlib.command())
        self.assertEqual(self.wait_for_exit(unshare, 30), 0)
        self.assertEqual(self.read("statuses"), "2\n" * 3)
        self.assertEqual(self.read("err"), NOT_HOLDER % (PROG, "p.pid") * 3)
        self.assertFalse(os.path.exists(self.path("got")), "PID 1 was signalled")

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run the commands as nobody")
    def test_unreadable_file(self):
        # nobody cannot enter the test's directory, so the file exists but cannot be opened.
        with open(self.pid_file, "w") as f:
            f.write(str(self.start_decoy().pid))
        cases = [(["-K", "1"], 3, OPEN_FAILED % (PROG, self.pid_file, "Permission denied")),
                 (["-a"], 1, "")]
        for args, status, message in cases:
            with self.subTest(args=args):
                result = self.run_sentrel("-u", "nobody", *args, "-p", self.pid_file)
                self.assertEqual((result.returncode, result.stderr.decode()), (status, message))

    def test_program_letting_go_of_the_file_after_term_still_gets_sigkill(self):
        sup = self.start_sentrel("-p", self.pid_file, "-l", "log",
                                 *sh(CLOSES_ON_TERM, self.marker))
        pid = self.wait_for_pid_file("pid")
        self.wait_for_marker(1)
        self.assertEqual(self.control("--stop=1", "-p", self.pid_file)[0], 1)
        self.assertEqual(self.wait_for_exit(sup), 0)
        self.assertFalse(testlib.process_exists(pid))
        # What it left in its group is ended after it and logged last.
        self.assertIn(KILLED % (pid, signal.SIGKILL), self.log_events("log"))

    def test_process_that_took_over_the_pid_gets_no_sigkill(self):
        proc = self.start_as_pid_1([sys.executable, "-c", PID_TAKEN_OVER, "p.pid"]
                                   + testlib.command("--stop=2", "-p", "p.pid"),
                                   stdout=subprocess.PIPE)
        out = proc.communicate(timeout=30)[0].split()
        self.assertEqual(proc.returncode, 0)
        if out[0] != b"True":
            self.skipTest("the PID namespace did not hand the holder's PID to the new process")
        self.assertEqual(out[1:], [b"0", b"True"], "--stop status, the new process survived")


class UnusualPidFileTest(PidFileTestCase):

    def test_link_is_refused_and_its_target_untouched(self):
        with open(self.path("target"), "w") as f:
            f.write("root:x:0:0::/root:/bin/sh\n")
        for target, plant in [("target", os.symlink), ("missing", os.symlink), ("target", os.link)]:
            with self.subTest(target=target, plant=plant.__name__):
                link = self.path(plant.__name__ + "-" + target)
                plant(self.path(target), link)
                result = self.run_sentrel("-p", link, *sh(RECORDS, self.marker), timeout=10)
                self.assertEqual(result.returncode, 2)
                self.assertIn(result.stderr.decode(), refusals(link))
        self.assertEqual(self.read("target"), "root:x:0:0::/root:/bin/sh\n")
        self.assertFalse(os.path.exists(self.path("missing")))
        self.assertFalse(os.path.exists(self.marker), "PROGRAM ran")

    @unittest.skipUnless(os.geteuid() == 0, "needs root to plant the link as nobody")
    def test_link_to_another_services_file_is_not_that_service(self):
        # A service account swaps its own PID file for a link to another service's file.
        os.chmod(self.dir, 0o755)
        sup = self.start_sentrel("-p", self.pid_file, *sh(SLEEPER, self.marker))
        pid = self.wait_for_pid_file("pid")
        self.wait_for_marker(1)
        testlib.plant_link(self.path("app/svc.pid"), self.pid_file)
        os.link(self.pid_file, self.path("svc.pid"))
        for link in (self.path("app/svc.pid"), self.path("svc.pid"), self.pid_file):
            for args, status, messages in [(["-a"], 1, [""]), (["--stop=1"], 2, refusals(link))]:
                with self.subTest(args=args, link=link):
                    result = self.run_sentrel(*args, "-p", link)
                    self.assertEqual(result.returncode, status)
                    self.assertIn(result.stderr.decode(), messages)
        self.assertEqual(self.marker_pids(), [pid], "the other service was stopped")
        self.assertEqual(testlib.locked_content(self.pid_file), str(pid).encode())
        self.assertIsNone(sup.poll())

    def test_fifo_never_blocks(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        cases = [
            (["-p", fifo] + sh(RECORDS, self.marker), 2,
             OPEN_FAILED % (PROG, fifo, "No such device or address")),
            (["-a", "-p", fifo], 1, ""),
            (["-K", "1", "-p", fifo], 0, ""),
            # More than a pipe holds: PROGRAM would block behind a writer stuck in open().
            (["-R", fifo + "~4", "sh", "-c", "head -c 200000 /dev/zero; exit 7"], 7, ""),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                result = self.run_sentrel(*args, timeout=10)
                self.assertEqual((result.returncode, result.stderr.decode()), (status, message))
        self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode))
        self.assertFalse(os.path.exists(self.marker), "PROGRAM ran")


class NoRespawnTest(PidFileTestCase):

    def test_file_holds_own_pid_and_stop_works(self):
        with open(self.pid_file, "w") as f:
            f.write("99999\nleft over by a dead run")
        proc = self.start_sentrel("-n", "-p", self.pid_file, *sh(SLEEPER, self.marker))
        pid = self.wait_for_pid_file("pid")
        self.assertEqual(pid, proc.pid)
        self.assertEqual(self.wait_for_marker(1), [proc.pid])
        self.assertEqual(self.read("pid", "rb"), str(proc.pid).encode())
        self.assertEqual(self.alive_status(), 0)
        # The test is PROGRAM's parent here and must reap it, or the stop would wait for a
        # zombie.
        stop = self.start_sentrel("--stop", "5", "-p", self.pid_file,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(self.wait_for_exit(proc), -signal.SIGTERM)
        self.assertEqual(stop.communicate(timeout=10), (b"", b""))
        self.assertEqual(stop.returncode, 0)
        self.assertFalse(testlib.is_locked(self.pid_file))


class ProbeRaceTest(PidFileTestCase):

    def launches(self):
        text = self.read_if_exists("log") or ""
        return text.count("successfully started")

    def test_probes_do_not_kill_a_crash_looping_supervisor(self):
        with open(self.path("sup.err"), "wb") as err:
            sup = self.start_sentrel("-p", self.pid_file, "-l", "log", *sh(CRASHES),
                                     stderr=err)
        probes = self.path("probes")
        hammer = self.start_command(
            ["sh", "-c", 'while :; do %s; echo >> "$0"; done'
             % shlex.join(testlib.command("--test-alive", "-p", self.pid_file)), probes])
        self.wait_until(lambda: os.path.exists(self.pid_file), 10, "the PID file")
        # Besides the hammering, a reader that is slow to let go: it keeps the lock a few
        # milliseconds whenever it gets it, so relaunches keep running into a held lock.
        held = refused = 0
        started = time.monotonic()
        # At least 3 s, and on until the probes have run often enough (an emulated sentrel
        # starts slowly), within a hard limit.
        while sup.poll() is None and time.monotonic() < started + 20 and (
                time.monotonic() < started + 3 or held <= 20
                or len(self.read_if_exists(probes) or "") <= 20):
            fd = os.open(self.pid_file, os.O_RDONLY)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                held += 1
                time.sleep(0.003)
            except BlockingIOError:
                refused += 1
            finally:
                os.close(fd)
            time.sleep(0.003)
        testlib.kill_group(hammer)
        self.assertIsNone(sup.poll(), "the supervisor ended: %r" % self.read("sup.err"))
        count = self.launches()
        self.wait_until(lambda: self.launches() > count + 5, 10, "further relaunches")
        self.assertIsNone(sup.poll())
        testlib.kill_group(sup)
        self.assertEqual(self.read("sup.err"), "")
        events = self.log_events("log")
        self.assertEqual([e for e in events
                          if not e.startswith("The process was successfully started: pid=")
                          and not e.endswith(", signal=11")], [])
        self.assertGreater(len(events), 20)
        self.assertGreater(len(self.read(probes)), 20, "the probes hardly ran")
        self.assertGreater(held, 20)
        self.assertGreater(refused, 0, "never saw PROGRAM hold the lock")

    def test_locked_file_never_names_a_previous_program(self):
        # A frozen supervisor holds every state still: the PROGRAM it has forked cannot be
        # reaped, so the file can be compared with the supervisor's one child at leisure.
        sup = self.start_sentrel("-p", self.pid_file, *sh(CRASHES))
        self.wait_for_pid_file("pid")
        window_seen = named_seen = freezes = 0
        deadline = time.monotonic() + 8
        while time.monotonic() < deadline and (window_seen < 10 or named_seen < 3):
            freezes += 1
            os.kill(sup.pid, signal.SIGSTOP)
            try:
                self.wait_until(lambda: testlib.process_state(sup.pid) == "T", 5,
                                "the supervisor to stop")
                content = testlib.locked_content(self.pid_file)
                children = testlib.children_of(sup.pid)
                # Before the fork the old PID may show for the instant between the lock and
                # the truncation; once the new PROGRAM exists, the file names it or nobody.
                if content is not None and children:
                    self.assertLessEqual(len(children), 1)
                    self.assertIn(content, (b"", str(children[0]).encode()),
                                  "locked file names a previous PROGRAM")
                    window_seen += content == b""
                    named_seen += content != b""
            finally:
                os.kill(sup.pid, signal.SIGCONT)
            # Varied pauses, so the freezes fall at different points of the cycle.
            time.sleep(0.0005 * (freezes % 5))
        self.assertIsNone(sup.poll())
        self.assertGreater(named_seen, 0)
        if window_seen == 0:
            self.skipTest("never caught the supervisor between its fork and writing the PID")


if __name__ == "__main__":
    unittest.main()
