"""Black-box tests of the command line, the start-up order and the fatal error reports."""
import fcntl
import os
import re
import signal
import stat
import subprocess
import time
import unittest

import sentrel_testlib as testlib

PROG = testlib.SENTREL

USAGE = """\
Usage: {0} [OPTIONS]... PROGRAM [PROGRAM OPTIONS]...
       {0} --test-alive --pid-file=FILE
       {0} --stop=TIMEOUT --pid-file=FILE
Run PROGRAM and monitor its status.
If PROGRAM is terminated by a signal -- restart it.

Options:
  -a, --test-alive           check whether the process is alive
  -K, --stop=TIMEOUT         send SIGTERM to the process, wait TIMEOUT seconds
                             for process termination and (if failed) send SIGKILL
  -d, --daemon               run as daemon
  -l, --log-file=FILE        write logs to FILE
  -s, --syslog=IDENT         write logs to syslog
  -p, --pid-file=FILE        write PID of PROGRAM to FILE
  -w, --cwd=DIR              change working directory to DIR
  -e, --error-handler=CMD    execute CMD when PROGRAM crashes
  -k, --respawn-kill         respawn after SIGKILL
  -t, --respawn-delay=SEC    wait SEC seconds before respawn 
  -n, --no-respawn           launch process without monitoring
  -c, --enable-core          enable core dumps
  -F, --max-nofile=N         set maximum number of open descriptors
  -O, --redirect-out=FILE    redirect stdout to FILE
  -E, --redirect-err=FILE    redirect stderr to FILE
  -R, --redirect=FILE        redirect both stdout and stderr to FILE
  -u, --user                 run as user
  -h, --help                 print this message
""".format(PROG).encode()

HINT = ("Try `%s --help' for more information.\n" % PROG).encode()

# PROGRAM for cases where it must never start: it leaves a file behind when it does.
LAUNCH_MARKER = ["sh", "-c", ": > launched"]


def signal_set(status_text, name):
    """The signal set of a /proc/PID/status line (SigBlk, SigIgn) as an integer."""
    return int(re.search(r"^%s:\s*([0-9a-f]+)$" % name, status_text, re.M).group(1), 16)


def bit(signal_number):
    return 1 << (signal_number - 1)


def block_sigterm():
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})


class UsageTest(testlib.SentrelTestCase):

    def test_help_goes_to_stdout_with_status_0(self):
        for args in (["-h"], ["--help"], ["-t", "3", "-h"] + LAUNCH_MARKER,
                     ["-a", "-h"], ["--help", "-K", "5"]):
            with self.subTest(args=args):
                result = self.run_sentrel(*args)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout, USAGE)
                self.assertEqual(result.stderr, b"")
                self.assertFalse(os.path.exists(self.path("launched")))

    def test_usage_goes_to_stderr_with_status_1(self):
        pid_file = self.path("pid")
        for args in ([], ["-t", "3"], ["-p", pid_file, "-l", self.path("log")],
                     ["-K", "5"], ["--stop=5"], ["-a"], ["-a", "-K", "5"]):
            with self.subTest(args=args):
                result = self.run_sentrel(*args)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.stderr, USAGE)
                self.assertFalse(os.path.exists(pid_file))
                self.assertFalse(os.path.exists(self.path("log")))

    def test_program_options_go_to_program(self):
        result = self.run_sentrel("sh", "-c", 'printf "%s|" "$@"', "sh", "-h", "--help", "-x")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"-h|--help|-x|")
        self.assertEqual(result.stderr, b"")


class BadCommandLineTest(testlib.SentrelTestCase):

    def test_parser_diagnostic_then_hint_and_status_1(self):
        # (arguments, the option the library's diagnostic must name)
        cases = [
            (["-x"] + LAUNCH_MARKER, "x"),
            (["-x", "-h"] + LAUNCH_MARKER, "x"),
            (["-h", "-x"] + LAUNCH_MARKER, "x"),
            (["--bogus", "-h"] + LAUNCH_MARKER, "bogus"),
            (["-p", self.path("pid"), "-Z"] + LAUNCH_MARKER, "Z"),
            (["-t"], "t"),
            (["--pid-file"], "pid-file"),
        ]
        for args, option in cases:
            with self.subTest(args=args):
                result = self.run_sentrel(*args)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                lines = result.stderr.splitlines(keepends=True)
                self.assertEqual(len(lines), 2, result.stderr)
                self.assertTrue(lines[0].startswith(PROG.encode() + b": "), lines[0])
                self.assertIn(option.encode(), lines[0])
                self.assertEqual(lines[1], HINT)
                self.assertFalse(os.path.exists(self.path("launched")))
                self.assertFalse(os.path.exists(self.path("pid")))

    def test_non_numeric_respawn_delay_is_zero(self):
        # Three crashes, then exit 7: any delay of a second or more would show up three times.
        script = 'printf x >> runs; [ "$(wc -c < runs)" -ge 4 ] && exit 7; kill -SEGV $$'
        started = time.monotonic()
        result = self.run_sentrel("-t", "abc", "sh", "-c", script)
        elapsed = time.monotonic() - started
        self.assertEqual(result.returncode, 7, result.stderr)
        self.assertEqual(self.read("runs"), "xxxx")
        self.assertLess(elapsed, 2.9)


class ControlDispatchTest(testlib.SentrelTestCase):

    def test_test_alive_wins_over_stop(self):
        victim = self.start_decoy()
        pid_file = self.path("pid")
        with open(pid_file, "w") as f:
            f.write(str(victim.pid))
        for locked, status in ((True, 0), (False, 1)):
            with self.subTest(locked=locked):
                fd = os.open(pid_file, os.O_RDONLY)
                try:
                    if locked:
                        fcntl.flock(fd, fcntl.LOCK_EX)
                    result = self.run_sentrel("-a", "-K", "5", "-p", pid_file)
                finally:
                    os.close(fd)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stderr, b"")
                self.assertIsNone(victim.poll(), "the stop command ran")
                self.assertEqual(self.read("pid"), str(victim.pid))

    def test_non_numeric_stop_timeout_is_zero(self):
        pid_file = self.path("pid")
        supervisor = self.start_sentrel("-p", pid_file, "sh", "-c",
                                        "trap '' TERM; touch ready; exec sleep 30")
        program_pid = self.wait_for_pid_file("pid")
        # The PID is written before PROGRAM runs; SIGTERM must not arrive before the trap.
        self.wait_until(lambda: os.path.exists(self.path("ready")), message="PROGRAM's trap")
        # A timeout of 0 gives up on SIGTERM at once and checks once right after SIGKILL. The
        # supervisor is frozen so that it cannot reap PROGRAM first: the check finds it, 2.
        with self.frozen(supervisor.pid):
            started = time.monotonic()
            result = self.run_sentrel("-K", "abc", "-p", pid_file)
            elapsed = time.monotonic() - started
        self.assertEqual(result.returncode, 2)
        self.assertLess(elapsed, 0.9)
        self.assertEqual(supervisor.wait(timeout=10), 0)
        self.assertFalse(testlib.process_exists(program_pid))


class FatalErrorTest(testlib.SentrelTestCase):

    def test_messages_and_statuses(self):
        missing = self.path("no-such-dir")
        cases = [
            (["--cwd", missing] + LAUNCH_MARKER, 2, "%s: chdir(): No such file or directory\n"),
            (["-w", missing, "-p", "pid"] + LAUNCH_MARKER, 2,
             "%s: chdir(): No such file or directory\n"),
            # The account switch comes before the control commands and their usage check.
            (["-u", "no-such-account-sentrel", "-K", "5"], 2,
             "%s: getpwnam(): failed to find user: `no-such-account-sentrel'\n"),
            (["-p", self.path("no-such-dir/pid")] + LAUNCH_MARKER, 2,
             "%s: open(): failed to open or create PID file: `" + self.path("no-such-dir/pid")
             + "': No such file or directory\n"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                result = self.run_sentrel(*args)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stderr, (message % PROG).encode())
                self.assertEqual(result.stdout, b"")
                self.assertFalse(os.path.exists(self.path("launched")))
                self.assertFalse(os.path.exists(self.path("pid")))

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run the supervisor as nobody")
    def test_unwritable_pid_file_directory_is_a_permission_error(self):
        # nobody may enter the test directory and the directory "ro" but create nothing there.
        os.chmod(self.dir, 0o755)
        os.mkdir(self.path("ro"), 0o755)
        pid_file = self.path("ro/pid")
        result = self.run_sentrel("-p", pid_file, "sh", "-c", "echo launched", cwd="/",
                                  user=65534, group=65534, extra_groups=[])
        self.assertEqual(result.returncode, 3)
        self.assertEqual(result.stderr, ("%s: open(): failed to open or create PID file: `%s': "
                                         "Permission denied\n" % (PROG, pid_file)).encode())
        self.assertEqual(result.stdout, b"")
        self.assertFalse(os.path.exists(pid_file))


class InheritedStateTest(testlib.SentrelTestCase):
    """What the invoker leaves behind must not turn the supervisor's files or children astray."""

    def run_closed(self, fd, *args):
        """Runs sentrel with descriptor fd closed; it must print nothing. Returns the status."""
        result = self.run_sentrel(*args, preexec_fn=lambda: os.close(fd))
        self.assertEqual(result.stderr, b"", args)
        return result.returncode

    def test_closed_standard_descriptors(self):
        with self.subTest("stdout closed: PROGRAM's output would go into the PID file"):
            self.assertEqual(self.run_closed(1, "-p", "pid", "sh", "-c",
                                             "printf $$ > self; echo hello"), 0)
            self.assertEqual(self.read("pid"), self.read("self"))
        with self.subTest("stdout closed: moving -O onto 1 would close PROGRAM's lock"):
            self.assertEqual(self.run_closed(1, "-p", "pid", "-O", "out", "sh", "-c",
                                             "echo OUT; ls -l /proc/$$/fd"), 0)
            self.assertEqual(self.read("out").splitlines()[0], "OUT")
            self.assertIn("-> %s\n" % self.path("pid"), self.read("out"))
        with self.subTest("stderr closed: -R lost stderr"):
            self.assertEqual(self.run_closed(2, "-R", "both", "sh", "-c",
                                             "echo OUT; echo ERR >&2; exit 7"), 7)
            self.assertEqual(self.read("both"), "OUT\nERR\n")
        with self.subTest("stdin closed: the writer would keep the lock and refuse a relaunch"):
            self.assertEqual(self.run_closed(0, "-p", "pid", "-R", "rot~8", "sh", "-c",
                                             "[ -e crashed ] && exit 7; : > crashed; "
                                             "kill -SEGV $$"), 7)

    def test_ignored_sigchld_is_reset_other_dispositions_kept(self):
        def ignore():
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)
            signal.signal(signal.SIGHUP, signal.SIG_IGN)
        # Crashes once, so the supervisor must wait for PROGRAM and relaunch it.
        result = self.run_sentrel("sh", "-c", "if [ -e crashed ]; then grep SigIgn "
                                  "/proc/self/status; exit 7; fi; : > crashed; kill -SEGV $$",
                                  preexec_fn=ignore)
        self.assertEqual((result.returncode, result.stderr), (7, b""))
        ignored = int(result.stdout.split()[1], 16)
        self.assertFalse(ignored & 1 << (signal.SIGCHLD - 1), "SIGCHLD still ignored")
        with self.subTest("an ignored SIGHUP stays ignored"):
            if testlib.WRAPPER:
                self.skipTest("user-mode emulation handles SIGHUP itself, so its exec resets it")
            self.assertTrue(ignored & 1 << (signal.SIGHUP - 1), "the invoker's SIG_IGN undone")

    def test_closed_descriptor_without_dev_null_is_refused(self):
        # Nothing can fill the gap, so the PID file would land there and take PROGRAM's output.
        # Under --daemon the detached side closes all three itself and must refill them.
        message = ("%s: open(): `/dev/null': No such file or directory\n" % PROG).encode()
        for fd, options in ((0, []), (1, []), (None, ["-d"])):
            with self.subTest(fd=fd, options=options):
                result = testlib.run_in_mount_namespace(
                    self, "mount -t tmpfs sentrel-test /dev", *options, "-p", "pid",
                    *LAUNCH_MARKER, preexec_fn=lambda: fd is None or os.close(fd))
                self.assertEqual((result.returncode, result.stderr), (2, message))
                self.assertFalse(os.path.exists(self.path("launched")), "PROGRAM ran")
                self.assertFalse(os.path.exists(self.path("pid")))

    def test_program_gets_an_empty_mask_and_the_invokers_dispositions(self):
        # PROGRAM is cat itself: what it prints is PROGRAM's own state as it starts.
        for ignored in ((), (signal.SIGPIPE, signal.SIGXFSZ)):
            with self.subTest(ignored=[signal.Signals(n).name for n in ignored]):
                def invoker():
                    block_sigterm()
                    for number in ignored:
                        signal.signal(number, signal.SIG_IGN)
                result = self.run_sentrel("cat", "/proc/self/status", preexec_fn=invoker)
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                status = result.stdout.decode()
                self.assertEqual(signal_set(status, "SigBlk"), 0, "the invoker's mask kept")
                for number in (signal.SIGPIPE, signal.SIGXFSZ):
                    self.assertEqual(bool(signal_set(status, "SigIgn") & bit(number)),
                                     number in ignored, signal.Signals(number).name)

    def test_invokers_blocked_sigterm_reaches_neither_program_nor_handler(self):
        handler = self.path("handler")
        with open(handler, "w") as f:
            f.write("#!/bin/sh\nexec cat /proc/self/status > handler.status\n")
        os.chmod(handler, stat.S_IRWXU)
        self.start_sentrel("-p", "pid", "-l", "log", "-e", handler, "sh", "-c",
                           "[ -e crashed ] && { echo $$ > again; exec sleep 30; }; "
                           ": > crashed; kill -SEGV $$", preexec_fn=block_sigterm)
        self.wait_until(lambda: "SigBlk" in (self.read_if_exists("handler.status") or ""), 10,
                        "the handler's status")
        self.assertEqual(signal_set(self.read("handler.status"), "SigBlk"), 0,
                         "the handler has the invoker's mask")
        pid = int(self.wait_until(lambda: (self.read_if_exists("again") or "").strip(), 10,
                                  "the relaunched PROGRAM"))
        started = time.monotonic()
        result = self.run_sentrel("--stop=5", "-p", "pid")
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertLess(time.monotonic() - started, 4)
        self.assertIn("The process was terminated by signal: pid=%d, signal=15" % pid,
                      self.log_events("log"))


if __name__ == "__main__":
    unittest.main()
