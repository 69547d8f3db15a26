"""Black-box tests of the event log and its syslog mirror.

The log is checked line by line against the PIDs that PROGRAM itself recorded; syslog is checked
against a real datagram socket bound at /dev/log inside a private mount namespace, so nothing
outside the test ever sees it.
"""
import datetime
import fcntl
import json
import os
import re
import shlex
import signal
import stat
import subprocess
import sys
import time
import unittest

import sentrel_testlib as testlib

STARTED = "The process was successfully started: pid=%d"
EXITED = "The process was successfully terminated: pid=%d, exit_code=%d"
KILLED = "The process was terminated by signal: pid=%d, signal=%d"

LINE = re.compile(r"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}) (.*)")

# A zone far from UTC with a half-hour offset, so a stamp in UTC or with the minutes of another
# zone cannot pass for the local time.
TZ_SPEC = "IST-5:30"
TZ = datetime.timezone(datetime.timedelta(hours=5, minutes=30))

# Appends its PID to pids, crashes with SIGSEGV on the first launch and exits 5 on the second.
CRASH_ONCE_THEN_EXIT = (
    "ulimit -c 0; echo $$ >> {state}/pids; "
    "if [ -e {state}/crashed ]; then exit {status}; fi; "
    ": > {state}/crashed; kill -SEGV $$")


def crash_once_then_exit(state, status=5):
    return CRASH_ONCE_THEN_EXIT.format(state=shlex.quote(state), status=status)


LEFTOVER_STOPPED = "The leftover process was stopped: pid=%d, signal=%d"

# Crashes once after putting a directory in the PID file's place, which the relaunch cannot open.
CRASHES = ("ulimit -c 0; echo $$ >> {state}/pids; rm -f prog.pid; mkdir prog.pid; "
           "kill -SEGV $$")
# What the relaunch after CRASHES reports, % (sentrel).
NO_PID_FILE = "%s: open(): failed to open or create PID file: `prog.pid': Is a directory"
# First run: leaves a background process holding the PID-file lock, then crashes; the second
# run exits 7.
LEFTOVER_ONCE = ("ulimit -c 0; echo $$ >> {state}/pids; if [ -e {state}/crashed ]; then exit 7; "
                 "fi; : > {state}/crashed; sleep 30 > /dev/null 2>&1 & echo $! > {state}/held; "
                 "kill -SEGV $$")


def open_fifo_writer(path):
    """A write descriptor for the FIFO path once a reader has it open, else None."""
    try:
        return os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    except OSError:
        return None


def read_available(fd):
    """What a non-blocking descriptor has to read now (b"" for nothing yet)."""
    try:
        return os.read(fd, 65536)
    except BlockingIOError:
        return b""


def local_now():
    return datetime.datetime.now(TZ).replace(microsecond=0)


class EventLogCase(testlib.SentrelTestCase):

    def make_dir(self, name):
        path = self.path(name)
        os.mkdir(path)
        return path

    def assert_log(self, name, texts, earliest=None, latest=None):
        """The log holds exactly texts, each as one stamped line, stamps in [earliest, latest]."""
        content = self.read(name)
        self.assertTrue(content.endswith("\n"), "log does not end with a newline: %r" % content)
        lines = content[:-1].split("\n")
        self.assertEqual(len(lines), len(texts), content)
        previous = None
        for line, text in zip(lines, texts):
            match = LINE.fullmatch(line)
            self.assertIsNotNone(match, "malformed log line %r" % line)
            self.assertEqual(match.group(2), text)
            if earliest is None:
                continue
            stamp = datetime.datetime.strptime(match.group(1), "%Y-%m-%d %H:%M:%S")
            stamp = stamp.replace(tzinfo=TZ)
            self.assertGreaterEqual(stamp, earliest - datetime.timedelta(seconds=2), line)
            self.assertLessEqual(stamp, latest + datetime.timedelta(seconds=2), line)
            if previous is not None:
                self.assertGreaterEqual(stamp, previous, "stamps go backwards")
            previous = stamp


class EventLogLinesTest(EventLogCase):
    """The lines written for launches, crashes and exits, with PIDs and local time stamps."""

    def test_crash_relaunch_exit_lines(self):
        state = self.make_dir("state")
        env = dict(os.environ, TZ=TZ_SPEC)
        before = local_now()
        result = self.run_sentrel("--log-file=" + self.path("events.log"), "sh", "-c",
                                  crash_once_then_exit(state, 5), env=env)
        after = local_now()
        self.assertEqual(result.returncode, 5, result.stderr)
        self.assertEqual(result.stderr, b"")
        first, second = self.read_pids(os.path.join(state, "pids"))
        self.assertNotEqual(first, second)
        self.assert_log("events.log", [
            STARTED % first,
            KILLED % (first, signal.SIGSEGV),
            STARTED % second,
            EXITED % (second, 5),
        ], before, after)

    def test_exec_failures_do_not_repeat_lines(self):
        # A child whose exec fails reports and leaves without flushing what it inherited: a log
        # line still buffered at the fork would appear a second time, and a handler's message
        # must come out whole.
        # (label, missing PROGRAM?, missing handler?, crashes before the exit, exit status)
        cases = [
            ("missing PROGRAM", True, False, 0, 2),
            ("missing handler", False, True, 3, 6),
        ]
        for label, no_program, no_handler, crashes, status in cases:
            with self.subTest(label):
                state = self.make_dir("state-%d" % crashes)
                log = self.path("log-%d" % crashes)
                with open(os.path.join(state, "count"), "w") as f:
                    f.write("0\n")
                args = ["--log-file=" + log]
                if no_handler:
                    args.append("--error-handler=" + self.path("no-such-handler"))
                if no_program:
                    args.append(self.path("no-such-program"))
                else:
                    args += ["sh", "-c", (
                        "ulimit -c 0; echo $$ >> {s}/pids; read n < {s}/count; n=$((n+1)); "
                        "echo $n > {s}/count; [ $n -le {c} ] && kill -SEGV $$; exit {status}"
                    ).format(s=shlex.quote(state), c=crashes, status=status)]
                result = self.run_sentrel(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                # A crash while the last handler still runs (a slow emulator) starts none.
                texts = self.log_events(log)
                skipped = [t for t in texts if t.startswith("The error handler is still running")]
                texts = [t for t in texts if t not in skipped]
                self.assertEqual(len(texts), 2 * (crashes + 1), texts)
                if crashes == 0:
                    match = re.fullmatch(r"The process was successfully started: pid=(\d+)",
                                         texts[0])
                    self.assertIsNotNone(match, texts)
                    pid = int(match.group(1))
                    self.assertEqual(texts, [STARTED % pid, EXITED % (pid, 2)])
                else:
                    pids = self.read_pids(os.path.join(state, "pids"))
                    expected = []
                    for pid in pids[:-1]:
                        expected += [STARTED % pid, KILLED % (pid, signal.SIGSEGV)]
                    expected += [STARTED % pids[-1], EXITED % (pids[-1], status)]
                    self.assertEqual(texts, expected)
                    # Each handler process reports its own failure, once.
                    report = "%s: %s: No such file or directory\n" % (
                        testlib.SENTREL, self.path("no-such-handler"))
                    self.assertEqual(result.stderr.decode(), report * (crashes - len(skipped)))

    def test_crash_storm_lines(self):
        launches = 500
        state = self.make_dir("state")
        with open(os.path.join(state, "count"), "w") as f:
            f.write("0\n")
        program = ("ulimit -c 0; echo $$ >> {s}/pids; read n < {s}/count; n=$((n+1)); "
                   "echo $n > {s}/count; [ $n -lt {n} ] && kill -SEGV $$; exit 3").format(
                       s=shlex.quote(state), n=launches)
        started = time.monotonic()
        result = self.run_sentrel("--log-file=" + self.path("storm.log"), "sh", "-c", program,
                                  timeout=45)
        elapsed = time.monotonic() - started
        self.assertEqual(result.returncode, 3, result.stderr)
        pids = self.read_pids(os.path.join(state, "pids"))
        self.assertEqual(len(pids), launches)
        self.assertEqual(len(set(pids)), launches, "a PID was recorded twice")
        expected = []
        for pid in pids[:-1]:
            expected += [STARTED % pid, KILLED % (pid, signal.SIGSEGV)]
        expected += [STARTED % pids[-1], EXITED % (pids[-1], 3)]
        texts = self.log_events("storm.log")
        self.assertEqual(len(texts), 2 * launches)
        self.assertEqual(texts, expected)
        sys.stderr.write("[%d launches in %.2f s] " % (launches, elapsed))


class EventLogFileTest(EventLogCase):
    """Where the log goes: truncation, unusable paths, no log at all, not inherited."""

    def test_restart_truncates_log(self):
        state = self.make_dir("state")
        stale = "1999-01-01 00:00:00 The process was successfully started: pid=1\n" * 200
        with open(self.path("events.log"), "w") as f:
            f.write(stale)
        result = self.run_sentrel("--log-file=" + self.path("events.log"), "sh", "-c",
                                  "echo $$ >> %s/pids; exit 7" % shlex.quote(state))
        self.assertEqual(result.returncode, 7, result.stderr)
        (pid,) = self.read_pids(os.path.join(state, "pids"))
        self.assert_log("events.log", [STARTED % pid, EXITED % (pid, 7)])

    def test_log_truncated_or_shared_while_running_keeps_whole_lines(self):
        # Truncated by hand, then by a second supervision starting with the same log: every
        # later line must follow the file's end, never an offset held from before.
        log = self.path("events.log")
        self.start_sentrel("-l", log, "-p", "a.pid", "sleep", "30")
        first = self.wait_for_pid_file("a.pid")
        self.wait_until(lambda: self.read_if_exists(log), 5, "the first line")
        os.truncate(log, 0)
        os.kill(first, signal.SIGTERM)
        second = self.wait_for_pid_file("a.pid", first)
        self.wait_until(lambda: (STARTED % second) in self.read(log), 5, "the relaunch line")
        self.assert_log(log, [KILLED % (first, signal.SIGTERM), STARTED % second])
        self.start_sentrel("-l", log, "-p", "b.pid", "sleep", "30")
        other = self.wait_for_pid_file("b.pid")
        self.wait_until(lambda: (STARTED % other) in self.read(log), 5, "the other's line")
        for pid in (second, other):
            os.kill(pid, signal.SIGKILL)
            self.wait_until(lambda: (KILLED % (pid, signal.SIGKILL)) in self.read(log), 5,
                            "the end of %d" % pid)
        self.assert_log(log, [STARTED % other, KILLED % (second, signal.SIGKILL),
                              KILLED % (other, signal.SIGKILL)])

    def test_fatal_error_ends_the_log(self):
        # The message is all an operator of a daemon gets to see: its stderr is /dev/null.
        state = self.make_dir("state")
        result = self.run_sentrel("-l", "events.log", "-p", "prog.pid", "sh", "-c",
                                  CRASHES.format(state=shlex.quote(state)))
        text = NO_PID_FILE % testlib.SENTREL
        self.assertEqual((result.returncode, result.stderr.decode()), (2, text + "\n"))
        (pid,) = self.read_pids(os.path.join(state, "pids"))
        self.assert_log("events.log", [STARTED % pid, KILLED % (pid, signal.SIGSEGV), text])

    def test_unusable_log_path_is_silent(self):
        os.mkdir(self.path("a-directory"))
        with open(self.path("a-file"), "w") as f:
            f.write("plain file\n")
        cases = [
            ("missing directory", self.path("missing/sub/events.log")),
            ("path is a directory", self.path("a-directory")),
            ("parent is a file", self.path("a-file/events.log")),
        ]
        for label, log in cases:
            with self.subTest(label):
                state = self.make_dir("state-" + label.replace(" ", "-"))
                before = sorted(os.listdir(self.dir))
                program = ("ulimit -c 0; echo $$ >> {s}/pids; if [ -e {s}/crashed ]; then "
                           "echo OUT; echo ERR >&2; exit 6; fi; : > {s}/crashed; kill -SEGV $$"
                           ).format(s=shlex.quote(state))
                result = self.run_sentrel("--log-file=" + log, "sh", "-c", program)
                self.assertEqual(result.returncode, 6)
                self.assertEqual(result.stdout, b"OUT\n")
                self.assertEqual(result.stderr, b"ERR\n")
                self.assertEqual(len(self.read_pids(os.path.join(state, "pids"))), 2,
                                 "not relaunched after the crash")
                self.assertEqual(sorted(os.listdir(self.dir)), before)
                self.assertEqual(os.listdir(self.path("a-directory")), [])
                self.assertEqual(self.read("a-file"), "plain file\n")

    def test_no_log_file_creates_nothing(self):
        work = self.make_dir("work")
        state = self.make_dir("state")
        os.mkfifo(os.path.join(state, "go"))
        program = ("ulimit -c 0; echo $$ >> {s}/pids; "
                   "if [ -e {s}/crashed ]; then read x < {s}/go; exit 4; fi; "
                   ": > {s}/crashed; kill -SEGV $$").format(s=shlex.quote(state))
        proc = self.start_sentrel("sh", "-c", program, cwd=work, stderr=subprocess.PIPE)
        pids_path = os.path.join(state, "pids")
        self.wait_until(lambda: len(self.read_pids(pids_path)) == 2, message="the relaunch")
        # With no log there must be no stream at all, not even one on /dev/null.
        if not testlib.WRAPPER:
            extra = [target for fd, target in testlib.descriptors(proc.pid).items() if fd > 2]
            self.assertNotIn("/dev/null", extra)
        # Non-blocking, so that a PROGRAM that never opens the FIFO fails the test instead of
        # hanging it.
        go_fd = self.wait_until(lambda: open_fifo_writer(os.path.join(state, "go")),
                                message="PROGRAM waiting on its FIFO")
        os.write(go_fd, b"go\n")
        os.close(go_fd)
        _, err = proc.communicate(timeout=20)
        self.assertEqual(proc.returncode, 4, err)
        self.assertEqual(err, b"")
        self.assertEqual(os.listdir(work), [])

    def test_log_not_inherited(self):
        state = self.make_dir("state")
        handler = self.path("handler")
        listing = 'for f in /proc/$$/fd/*; do readlink "$f"; done'
        with open(handler, "w") as f:
            f.write("#!/bin/sh\n{l} > {s}/handler-fds.tmp; mv {s}/handler-fds.tmp {s}/handler-fds\n"
                    .format(l=listing, s=shlex.quote(state)))
        os.chmod(handler, stat.S_IRWXU)
        program = ("ulimit -c 0; echo $$ >> {s}/pids; {l} > {s}/fds.$$; "
                   "if [ -e {s}/crashed ]; then exit 0; fi; "
                   ": > {s}/crashed; kill -SEGV $$").format(s=shlex.quote(state), l=listing)
        log = self.path("events.log")
        with open(self.path("sentrel.out"), "w") as out:
            result = self.run_sentrel("--log-file=" + log, "--error-handler=" + handler,
                                      "sh", "-c", program, stdout=out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.wait_until(lambda: os.path.exists(os.path.join(state, "handler-fds")),
                        message="the handler's descriptor list")
        pids = self.read_pids(os.path.join(state, "pids"))
        self.assertEqual(len(pids), 2)
        listings = [("PROGRAM pid %d" % pid, "fds.%d" % pid) for pid in pids]
        listings.append(("handler", "handler-fds"))
        for label, name in listings:
            with self.subTest(label):
                targets = self.read(os.path.join(state, name)).split("\n")
                # The listing works: it shows the inherited standard output.
                self.assertIn(self.path("sentrel.out"), targets)
                self.assertNotIn(log, targets)


# Runs inside a private mount namespace: hides /dev behind a tmpfs (keeping /dev/null), binds a
# datagram socket at /dev/log, runs each sentrel command and collects what arrives during it. A
# run with "fill" first fills the socket's queue and reads nothing until sentrel has ended.
RECEIVER = r"""
import json, os, select, socket, subprocess, sys, time
config = json.loads(sys.argv[1])
scratch = config["scratch"]
old_dev = os.path.join(scratch, "old-dev")
os.mkdir(old_dev)
steps = [["mount", "--make-rprivate", "/"],
         ["mount", "--bind", "/dev", old_dev],
         ["mount", "-t", "tmpfs", "-o", "size=64k,mode=755", "sentrel-test", "/dev"]]
for step in steps:
    done = subprocess.run(step, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode != 0:
        sys.stderr.write("%s: %s" % (" ".join(step), done.stderr.decode()))
        sys.exit(77)
open("/dev/null", "w").close()
subprocess.run(["mount", "--bind", os.path.join(old_dev, "null"), "/dev/null"], check=True)
receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
receiver.bind("/dev/log")
results = []
for run in config["runs"]:
    if run.get("fill"):
        filler = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        filler.connect("/dev/log")
        try:
            while True:
                filler.send(b"filler", socket.MSG_DONTWAIT)
        except BlockingIOError:
            filler.close()
    with open(run["stdout"], "wb") as out, open(run["stderr"], "wb") as err:
        proc = subprocess.Popen(run["command"], cwd=run["cwd"], stdout=out, stderr=err,
                                start_new_session=True)
    datagrams = []
    deadline = time.monotonic() + run["timeout"]
    while proc.poll() is None and time.monotonic() < deadline:
        if select.select([] if run.get("fill") else [receiver], [], [], 0.05)[0]:
            datagrams.append(receiver.recv(65536).decode("latin-1"))
    if proc.poll() is None:
        os.killpg(proc.pid, 9)
        proc.wait()
        results.append({"timeout": True})
        break
    # Everything sent before the exit is already queued on the socket.
    receiver.setblocking(False)
    while True:
        try:
            datagrams.append(receiver.recv(65536).decode("latin-1"))
        except BlockingIOError:
            break
    receiver.setblocking(True)
    results.append({"pid": proc.pid, "status": proc.returncode, "datagrams": datagrams})
print(json.dumps(results))
"""

SYSLOG_STAMP = r"[A-Z][a-z]{2} [ \d]\d \d{2}:\d{2}:\d{2} "


def unshare_command(*args):
    return ["unshare", "--mount", "--propagation", "private", "--"] + list(args)


class SyslogTest(EventLogCase):
    """Syslog messages as a real /dev/log receiver sees them."""

    @classmethod
    def setUpClass(cls):
        try:
            probe = subprocess.run(unshare_command("true"), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, timeout=10)
        except (OSError, subprocess.TimeoutExpired) as e:
            raise unittest.SkipTest("unshare --mount cannot run here: %s" % e)
        if probe.returncode != 0:
            raise unittest.SkipTest("unshare --mount is not permitted here: %s" %
                                    probe.stderr.decode().strip())

    def run_in_namespace(self, runs, timeout=45):
        config = {"scratch": self.make_dir("scratch"), "runs": runs}
        # Each sentrel has its own group, killed by the scenario at its own deadline.
        scenario = self.run_command(
            unshare_command(sys.executable, "-c", RECEIVER, json.dumps(config)), timeout)
        if scenario.returncode == 77:
            self.skipTest("cannot mount inside a private mount namespace: %s" %
                          scenario.stderr.decode().strip())
        self.assertEqual(scenario.returncode, 0, scenario.stderr.decode())
        results = json.loads(scenario.stdout)
        for result in results:
            self.assertNotIn("timeout", result, "sentrel did not finish in the namespace")
        self.assertEqual(len(results), len(runs))
        return results

    def assert_datagrams(self, datagrams, ident, pid, expected):
        self.assertEqual(len(datagrams), len(expected), datagrams)
        for datagram, (priority, text) in zip(datagrams, expected):
            pattern = r"<%d>%s%s\[%d\]: %s\n?" % (priority, SYSLOG_STAMP, re.escape(ident), pid,
                                                  re.escape(text))
            self.assertRegex(datagram, "^" + pattern + r"\Z")

    def test_syslog_messages(self):
        work = self.make_dir("work")
        state = self.make_dir("state")
        both = self.make_dir("both")
        fatal = self.make_dir("fatal")
        leftover = self.make_dir("leftover")
        log = os.path.join(both, "events.log")
        runs = [
            {"command": testlib.command("--syslog=sentrel-eventlog-test", "sh", "-c",
                                        crash_once_then_exit(state, 5)),
             "cwd": work, "stdout": self.path("out1"), "stderr": self.path("err1"),
             "timeout": 15},
            {"command": testlib.command("--syslog=second-ident", "--log-file=" + log, "sh", "-c",
                                        "echo $$ > %s/pid; exit 0" % shlex.quote(both)),
             "cwd": both, "stdout": self.path("out2"), "stderr": self.path("err2"),
             "timeout": 15},
            {"command": testlib.command("--syslog=fatal-ident", "-p", "prog.pid",
                                        "sh", "-c", CRASHES.format(state=shlex.quote(fatal))),
             "cwd": fatal, "stdout": self.path("out3"), "stderr": self.path("err3"),
             "timeout": 15},
            {"command": testlib.command("--syslog=leftover-ident", "-p", "prog.pid", "sh", "-c",
                                        LEFTOVER_ONCE.format(state=shlex.quote(leftover))),
             "cwd": leftover, "stdout": self.path("out4"), "stderr": self.path("err4"),
             "timeout": 15},
        ]
        only_syslog, with_log, refused, relaunched = self.run_in_namespace(runs)
        (held,) = self.read_pids(os.path.join(leftover, "held"))
        self.track_pid(held)
        self.assertFalse(os.path.exists("/dev/log"), "/dev/log leaked out of the namespace")

        with self.subTest("syslog only"):
            self.assertEqual(only_syslog["status"], 5)
            self.assertEqual(len(self.read_pids(os.path.join(state, "pids"))), 2)
            self.assert_datagrams(only_syslog["datagrams"], "sentrel-eventlog-test",
                                  only_syslog["pid"], [
                                      (14, "Service is started"),
                                      (11, "Service is terminated by signal (signal=11)"),
                                      (14, "Service is started"),
                                      (14, "Service is stopped (exit_status=5)"),
                                  ])
            # Only syslog: no log file, nothing on the supervisor's own streams.
            self.assertEqual(os.listdir(work), [])
            self.assertEqual(self.read("out1"), "")
            self.assertEqual(self.read("err1"), "")

        with self.subTest("syslog and log file"):
            self.assertEqual(with_log["status"], 0, self.read("err2"))
            self.assert_datagrams(with_log["datagrams"], "second-ident", with_log["pid"], [
                (14, "Service is started"),
                (14, "Service is stopped (exit_status=0)"),
            ])
            (pid,) = self.read_pids(os.path.join(both, "pid"))
            self.assert_log(log, [STARTED % pid, EXITED % (pid, 0)])

        with self.subTest("fatal error"):
            text = NO_PID_FILE % testlib.SENTREL
            self.assertEqual((refused["status"], self.read("err3")), (2, text + "\n"))
            self.assert_datagrams(refused["datagrams"], "fatal-ident", refused["pid"], [
                (14, "Service is started"),
                (11, "Service is terminated by signal (signal=11)"),
                (11, text),
            ])

        with self.subTest("leftover"):
            if testlib.subreaper_refusal():
                self.skipTest(testlib.subreaper_refusal())
            self.assertEqual((relaunched["status"], self.read("err4")), (7, ""))
            self.assert_datagrams(relaunched["datagrams"], "leftover-ident", relaunched["pid"], [
                (14, "Service is started"),
                (11, "Service is terminated by signal (signal=11)"),
                (12, LEFTOVER_STOPPED % (held, signal.SIGTERM)),
                (14, "Service is started"),
                (14, "Service is stopped (exit_status=7)"),
            ])


    def test_unread_syslog_never_holds_up_the_supervision(self):
        # 30 crashes relaunched at once, each worth two messages, into a full queue: a blocking
        # send would stop the supervisor at the first.
        program = "echo $$ >> pids; [ $(wc -l < pids) -le 30 ] && kill -TERM $$; exit 3"
        (run,) = self.run_in_namespace([
            {"command": testlib.command("--syslog=deaf", "-t", "0", "sh", "-c", program),
             "cwd": self.dir, "stdout": self.path("out"), "stderr": self.path("err"),
             "timeout": 20, "fill": True}])
        self.assertEqual((run["status"], self.read("err")), (3, ""))
        self.assertEqual(len(self.read_pids(self.path("pids"))), 31)
        self.assertTrue(run["datagrams"], "the queue was not filled")
        self.assertEqual(set(run["datagrams"]), {"filler"})


class EventLogCapTest(EventLogCase):
    """-l NAME~N: NAME stays under N x 512 bytes, with one backup NAME~."""

    def test_cap_and_backup(self):
        # (-l argument, launches, set-up beside the log, command at launch $n, rotation expected)
        cases = [("ev~1", 1, "echo old > ev~", "", False), ("ev~1", 12, "echo old > ev~", "", True),
                 ("ev~1", 8, "", ": > ev;", False), ("ev~1", 12, "mkdir -p ev~/keep", "", False),
                 ("ev~1", 12, "", '[ "$n" -eq 1 ] && rm ev;', True), ("x~0", 12, "", "", False),
                 ("x~abc", 12, "", "", False), ("~5", 12, "", "", False)]
        for i, (argument, launches, setup, cut, rotates) in enumerate(cases):
            with self.subTest(case=cases[i]):
                logs, pids_file = self.make_dir("logs%d" % i), self.path("pids%d" % i)
                capped, name = argument == "ev~1", os.path.join(logs, argument.replace("~1", ""))
                subprocess.run(["sh", "-c", 'echo stale > "$0"; ' + setup, name], cwd=logs,
                               check=True, timeout=10)

                def backup():
                    path = name + "~"
                    return os.listdir(path) if os.path.isdir(path) else self.read_if_exists(path)
                before = backup()
                program = ('ulimit -c 0; echo $$ >> %s; n=$(wc -l < %s); %s [ "$n" -ge %d ] && '
                           'exit 0; kill -SEGV $$' % (pids_file, pids_file, cut, launches))
                result = self.run_sentrel("-t", "0", "-l", argument, "sh", "-c", program, cwd=logs)
                pids = self.read_pids(pids_file)
                self.assertEqual((result.returncode, result.stderr, len(pids)), (0, b"", launches))
                expected = [s for p in pids for s in (STARTED % p, KILLED % (p, signal.SIGSEGV))]
                expected[-1] = EXITED % (pids[-1], 0)
                lines = (self.log_events(name + "~") if rotates else []) + self.log_events(name)
                self.assertEqual(lines, expected[-len(lines):] if capped else expected)
                text = self.read(name)
                self.assertLessEqual(len(text), 512 if capped else 1 << 20)
                if rotates:
                    # Full, yet rotated only when the next line would not fit.
                    self.assertTrue(512 - text.index("\n") <= len(backup()) <= 512, backup())
                else:
                    self.assertEqual(backup(), before)
                self.assertEqual(len(os.listdir(logs)), 1 if before is None and not rotates else 2)


class EventLogTroubleTest(EventLogCase):
    """A log that cannot take a line costs that line, never the supervision."""

    # Appends its PID to pids; the first run waits for the file go; the first 40 runs die of
    # SIGTERM and the 41st exits 6.
    PROGRAM = ('echo $$ >> pids; n=$(wc -l < pids); '
               '[ "$n" -eq 1 ] && while [ ! -e go ]; do sleep 0.02; done; '
               '[ "$n" -le 40 ] && kill -TERM $$; exit 6')
    # A whole line of the runs above and below.
    EVENT = re.compile(testlib.STAMP + r"The process was (successfully started: pid=\d+|"
                       r"terminated by signal: pid=\d+, signal=15|"
                       r"successfully terminated: pid=\d+, exit_code=\d+)")

    def test_fifo_reader_leaving_or_stalling_costs_only_lines(self):
        # A reader that leaves after the first line (the supervisor would die of SIGPIPE), and
        # one that stays without reading a pipe shrunk to one page, which 40 crashes overfill.
        for leaves in (True, False):
            with self.subTest(reader_leaves=leaves):
                for name in ("pids", "go", "fifo"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                os.mkfifo(self.path("fifo"))
                reader = os.open(self.path("fifo"), os.O_RDONLY | os.O_NONBLOCK)
                fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 4096)
                proc = self.start_sentrel("-l", "fifo", "sh", "-c", self.PROGRAM)
                try:
                    self.wait_until(lambda: read_available(reader), 10, "the first line")
                finally:
                    if leaves:
                        os.close(reader)
                    else:
                        self.addCleanup(os.close, reader)
                with open(self.path("go"), "w"):
                    pass
                try:
                    status = proc.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    status = None
                self.assertEqual(status, 6, "the supervision did not go on")
                self.assertEqual(len(self.read_pids(self.path("pids"))), 41)
                if not leaves:
                    text = read_available(reader).decode()
                    self.assertTrue(text.endswith("\n"), text)
                    for line in text[:-1].split("\n"):
                        self.assertRegex(line, self.EVENT)

    def test_line_written_short_never_fuses_with_the_next(self):
        # One page for the log: the line that reaches its end is written short, the next ones
        # not at all, until the 50th run frees the other page; the line after that must start
        # a line of its own.
        program = ('echo $$ >> pids; n=$(wc -l < pids); [ "$n" -eq 50 ] && rm disk/filler; '
                   '[ "$n" -le 55 ] && kill -TERM $$; exit 0')
        script = "head -c 4096 /dev/zero > disk/filler; %s; echo $? > status; cp disk/log ." % (
            shlex.join(testlib.command("-l", "disk/log", "sh", "-c", program)))
        result = testlib.run_on_small_disk(self, 8192, script)
        self.assertEqual((result.returncode, self.read("status")), (0, "0\n"), result.stderr)
        text = self.read("log")
        self.assertTrue(text.endswith("\n"), text)
        lines = text[:-1].split("\n")
        for line in lines:
            self.assertIsNone(re.search(testlib.STAMP, line[1:]), "lines fused: %r" % line)
        self.assertTrue([line for line in lines if not self.EVENT.fullmatch(line)],
                        "no line was written short")
        self.assertEqual(lines[-1][20:], EXITED % (self.read_pids(self.path("pids"))[-1], 0))


if __name__ == "__main__":
    unittest.main()
