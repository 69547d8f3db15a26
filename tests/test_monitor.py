"""Black-box tests of the monitoring loop: exit statuses, relaunch rules, the crash handler."""
import os
import re
import resource
import signal
import stat
import subprocess
import time
import unittest

import sentrel_testlib as testlib

PROG = testlib.SENTREL

# PROGRAM that dies of a signal on its first run and exits 7 on the second.
CRASH_ONCE = 'if [ -e crashed ]; then exit 7; fi; : > crashed; kill -%s $$'

# The handler reports on the supervisor's stdout, which the test reads to end of file; the
# handler holds that pipe while it runs, so its line is there once the stream ends.
HANDLER = '#!/bin/sh\necho "handler $# $*"\n'


class MonitorTestCase(testlib.SentrelTestCase):

    def make_handler(self, name="handler"):
        path = self.path(name)
        with open(path, "w") as f:
            f.write(HANDLER)
        os.chmod(path, stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP | stat.S_IROTH | stat.S_IXOTH)
        return path

    def launches(self, events):
        """PIDs of the launch lines of the event log, in order."""
        found = []
        for event in events:
            match = re.fullmatch(r"The process was successfully started: pid=(\d+)", event)
            if match:
                found.append(int(match.group(1)))
        return found


class ExitStatusTest(MonitorTestCase):

    def test_exit_status_is_passed_through(self):
        handler = self.make_handler()
        for status in (0, 1, 5, 255):
            with self.subTest(status=status):
                result = self.run_sentrel("-l", "log", "-e", handler,
                                          "sh", "-c", "exit %d" % status)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stdout, b"", "handler ran after a normal exit")
                self.assertEqual(result.stderr, b"")
                events = self.log_events("log")
                [pid] = self.launches(events)
                self.assertEqual(events, [
                    "The process was successfully started: pid=%d" % pid,
                    "The process was successfully terminated: pid=%d, exit_code=%d"
                    % (pid, status)])


class RelaunchTest(MonitorTestCase):

    def test_relaunch_after_signal_runs_handler(self):
        handler = self.make_handler()
        for name in ("SEGV", "TERM", "ABRT", "HUP"):
            number = int(getattr(signal, "SIG" + name))
            with self.subTest(signal=name):
                for stale in ("crashed", "log"):
                    if os.path.exists(self.path(stale)):
                        os.remove(self.path(stale))
                result = self.run_sentrel("-l", "log", "-e", handler,
                                          "sh", "-c", CRASH_ONCE % name)
                self.assertEqual(result.returncode, 7, result.stderr)
                events = self.log_events("log")
                first, second = self.launches(events)
                self.assertNotEqual(first, second)
                self.assertEqual(events, [
                    "The process was successfully started: pid=%d" % first,
                    "The process was terminated by signal: pid=%d, signal=%d" % (first, number),
                    "The process was successfully started: pid=%d" % second,
                    "The process was successfully terminated: pid=%d, exit_code=7" % second])
                self.assertEqual(result.stdout, b"handler 2 %d %d\n" % (first, number))

    def test_sigkill_ends_supervision_without_handler(self):
        handler = self.make_handler()
        result = self.run_sentrel("-l", "log", "-e", handler, "sh", "-c", CRASH_ONCE % "KILL")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"")
        events = self.log_events("log")
        [pid] = self.launches(events)
        self.assertEqual(events[1:], ["The process was terminated by signal: pid=%d, signal=9"
                                      % pid])

    def test_respawn_kill_relaunches_after_sigkill(self):
        handler = self.make_handler()
        result = self.run_sentrel("--respawn-kill", "-l", "log", "-e", handler,
                                  "sh", "-c", CRASH_ONCE % "KILL")
        self.assertEqual(result.returncode, 7)
        first, second = self.launches(self.log_events("log"))
        self.assertNotEqual(first, second)
        self.assertEqual(result.stdout, b"handler 2 %d 9\n" % first)

    def test_respawn_delay_bounds(self):
        started = time.monotonic()
        result = self.run_sentrel("--respawn-delay=2", "sh", "-c", CRASH_ONCE % "SEGV")
        elapsed = time.monotonic() - started
        self.assertEqual(result.returncode, 7)
        self.assertGreaterEqual(elapsed, 2.0)
        self.assertLess(elapsed, 10.0)


class HandlerTest(MonitorTestCase):

    def environment(self):
        env = dict(os.environ)
        env["PATH"] = self.dir + ":/usr/bin:/bin"
        return env

    def test_handler_found_through_path(self):
        self.make_handler("crash-report")
        result = self.run_sentrel("-l", "log", "-e", "crash-report", "sh", "-c",
                                  CRASH_ONCE % "SEGV", env=self.environment())
        self.assertEqual(result.returncode, 7, result.stderr)
        first, _ = self.launches(self.log_events("log"))
        self.assertEqual(result.stdout, b"handler 2 %d 11\n" % first)
        self.assertEqual(result.stderr, b"")

    def test_missing_handler_is_reported_and_supervision_goes_on(self):
        result = self.run_sentrel("-l", "log", "-e", "no-such-handler", "sh", "-c",
                                  CRASH_ONCE % "SEGV", env=self.environment())
        self.assertEqual(result.returncode, 7)
        self.assertEqual(result.stderr,
                         b"%s: no-such-handler: No such file or directory\n" % PROG.encode())
        self.assertEqual(len(self.launches(self.log_events("log"))), 2)

    def test_supervision_goes_on_while_the_handler_runs(self):
        # A handler that takes 30 s: a supervisor that waited for it would relaunch only then.
        with open(self.path("slow-handler"), "w") as f:
            f.write('#!/bin/sh\necho $$ > handler.pid\nexec sleep 30\n')
        os.chmod(self.path("slow-handler"), stat.S_IRWXU)
        with open(self.path("sup.err"), "wb") as err:
            # Not pipes: the handler inherits the supervisor's streams and keeps them open.
            result = self.run_sentrel("-l", "log", "-e", "./slow-handler", "sh", "-c",
                                      CRASH_ONCE % "SEGV", stdout=subprocess.DEVNULL,
                                      stderr=err, timeout=20)
        handler = self.wait_until(lambda: (self.read_if_exists("handler.pid") or "").strip(),
                                  10, "the handler's PID")
        self.track_pid(int(handler))
        self.assertEqual(result.returncode, 7, self.read("sup.err"))
        self.assertEqual(len(self.launches(self.log_events("log"))), 2)
        self.assertTrue(testlib.process_exists(int(handler)),
                        "the supervision ended only after the handler")

    def test_one_handler_at_a_time(self):
        # Four crashes in a row while the first one's handler takes 3 s; the handler holds the
        # supervisor's output pipes, so the run ends only after it.
        with open(self.path("slow"), "w") as f:
            f.write('#!/bin/sh\necho "start $$" >> handlers; sleep 3; echo "end $$" >> handlers\n')
        os.chmod(self.path("slow"), stat.S_IRWXU)
        result = self.run_sentrel("-t", "0", "-l", "log", "-e", "./slow", "sh", "-c",
                                  'echo $$ >> runs; [ $(wc -l < runs) = 5 ] && exit 3; '
                                  'kill -SEGV $$')
        self.assertEqual((result.returncode, result.stdout, result.stderr), (3, b"", b""))
        [handler] = re.fullmatch(r"start (\d+)\nend \1\n", self.read("handlers")).groups()
        events = self.log_events("log")
        self.assertEqual(len(self.launches(events)), 5)
        self.assertEqual([e for e in events if "handler" in e],
                         ["The error handler is still running: pid=%s" % handler] * 3)

    def test_crash_storm_leaves_no_zombies(self):
        crashes = 300
        script = ('printf x >> runs; [ "$(wc -c < runs)" -gt %d ] && exit 3; kill -SEGV $$'
                  % crashes)
        supervisor = self.start_sentrel("-e", "true", "sh", "-c", script)

        def runs():
            return len(self.read_if_exists("runs") or "")

        most_zombies = 0

        def storm_over():
            nonlocal most_zombies
            if supervisor.poll() is not None:
                return True
            children = testlib.children_of(supervisor.pid)
            zombies = [pid for pid in children if testlib.process_state(pid) == "Z"]
            most_zombies = max(most_zombies, len(zombies))
            self.assertLess(runs(), crashes + 2)
            return False
        self.wait_until(storm_over, 60, "the crash storm to end", interval=0.02)
        self.assertEqual(supervisor.wait(timeout=60), 3)
        self.assertEqual(runs(), crashes + 1)
        # The handlers are the supervisor's own children and may still run beside the next
        # PROGRAM; whatever has died is collected at PROGRAM's next end at the latest. Unreaped
        # handlers would pile up by hundreds.
        self.assertLessEqual(most_zombies, 4)


class Pid1Test(MonitorTestCase):

    def test_pid_1_collects_handlers_and_adopted_orphans(self):
        # Three crashes, each leaving an orphan that ends a moment later with a status of its
        # own; then PROGRAM stays.
        script = ('printf x >> runs; [ "$(wc -c < runs)" -gt 3 ] && exec sleep 30; '
                  '(sleep 0.2; exit 3) & kill -SEGV $$')
        unshare = self.start_as_pid_1(testlib.command("-e", "true", "sh", "-c", script))
        [init] = self.wait_until(lambda: testlib.children_of(unshare.pid), 10,
                                 "the supervisor as PID 1")

        def only_program_left():
            # The last PROGRAM is among the children once it has counted itself.
            if len(self.read_if_exists("runs") or "") < 4:
                return None
            children = testlib.children_of(init)
            if len(children) == 1 and not testlib.has_ended(children[0]):
                return children
            return None
        [program] = self.wait_until(only_program_left, 10, "no zombie among PID 1's children")
        self.assertIsNone(unshare.poll())
        os.kill(program, signal.SIGKILL)
        self.assertEqual(unshare.wait(timeout=10), 0)


class LaunchTest(MonitorTestCase):

    def test_no_respawn_runs_program_in_place(self):
        supervisor = self.start_sentrel("--no-respawn", "-p", "pid", "-l", "log", "sh", "-c",
                                        'echo $$ > self; exec sleep 30')
        pid = self.wait_for_pid_file("pid")
        self.assertEqual(pid, supervisor.pid)
        self.wait_until(lambda: (self.read_if_exists("self") or "").endswith("\n"),
                        message="PROGRAM's own PID")
        self.assertEqual(int(self.read("self")), supervisor.pid)
        self.assertEqual(self.read("log"), "")
        supervisor.send_signal(signal.SIGTERM)
        # The signal ends the process itself: nobody is left to relaunch PROGRAM.
        self.assertEqual(supervisor.wait(timeout=10), -signal.SIGTERM)
        self.assertFalse(testlib.is_locked(self.path("pid")))

    def test_program_not_found(self):
        message = b"%s: no-such-program: No such file or directory\n" % PROG.encode()
        for options, events in (([], 2), (["--no-respawn"], 0)):
            with self.subTest(options=options):
                result = self.run_sentrel(*options, "-l", "log", "no-such-program", "-x")
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stderr, message)
                log = self.log_events("log")
                self.assertEqual(len(log), events)
                if events:
                    [pid] = self.launches(log)
                    self.assertEqual(log[1], "The process was successfully terminated: "
                                     "pid=%d, exit_code=2" % pid)

    def test_program_leads_a_session_whose_kill_0_misses_the_supervisor(self):
        # The first PROGRAM signals its whole process group; the supervisor, were it in that
        # group, would take the SIGTERM for a stop request and never relaunch.
        sup = self.start_sentrel("sh", "-c", 'echo $$ >> programs; '
                                 '[ -e killed ] && exec sleep 30; : > killed; kill -TERM 0')
        _, second = self.wait_until(lambda: self.read_pids("programs")[1:] and
                                    self.read_pids("programs"), 10, "the relaunch")
        self.assertEqual(testlib.stat_fields(second)[3], str(second), "no session of its own")
        self.assertIsNone(sup.poll())

    def test_program_arguments_passed_untouched(self):
        arguments = ["-p", "pid", "--respawn-kill", "-h", "", "two words", "--", "-t", "5"]
        result = self.run_sentrel("-t", "1", "sh", "-c", 'printf "[%s]" "$@"', "sh", *arguments)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "".join("[%s]" % a for a in arguments).encode())
        self.assertFalse(os.path.exists(self.path("pid")))


STOPPED = "The supervision was stopped by signal: signal=%d"
# PROGRAM's end in the log, its PID as {0}: by a signal, by an exit.
ENDS = ("The process was terminated by signal: pid={0}, signal=%d",
        "The process was successfully terminated: pid={0}, exit_code=%d")


class StopRequestTest(MonitorTestCase):

    def test_stop_request_reaches_program_and_ends_supervision(self):
        T, ran = signal.SIGTERM, "echo $$ >> programs; "
        # Records HUP, USR1, USR2 and TERM, and exits 9 on the second TERM, which the supervisor
        # passes on as it did the first, without a second log line. Each trap records last:
        # dash runs a trap that comes in the middle of another's `&&' with the wrong status.
        traps = "n=0; " + "".join("trap 'n=$((n + 1)); [ $n = 5 ] && exit 9; echo %s >> got' %s; "
                                  % (s, s) for s in ("HUP", "USR1", "USR2", "TERM"))
        # (signals sent, PROGRAM, which records itself once its traps are set, options, status,
        # log lines after the launch and before the first signal, and after it)
        cases = [([T], ran + "exec sleep 30", [], 0, [], [STOPPED % T, ENDS[0] % T]),
                 ([signal.SIGINT], ran + "exec sleep 30", [], 0, [], [STOPPED % 2, ENDS[0] % 2]),
                 ([T], "trap 'exit 7' TERM; %s while :; do sleep 0.1; done" % ran, [], 7, [],
                  [STOPPED % T, ENDS[1] % 7]),
                 ([signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2, T, T],
                  traps + ran + "while :; do sleep 0.1; done", [], 9, [],
                  [STOPPED % T, ENDS[1] % 9]),
                 ([T], ran + "kill -SEGV $$", ["-t", "30"], 0, [ENDS[0] % 11], [STOPPED % T])]
        handler = self.make_handler()
        for signals, script, options, status, before, after in cases:
            with self.subTest(signals=signals, program=script):
                for name in ("log", "programs", "got"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                sup = self.start_sentrel(*options, "-l", "log", "-e", handler, "sh", "-c", script,
                                         stdout=subprocess.PIPE)
                [pid] = self.wait_until(lambda: self.read_pids("programs"), 10, "PROGRAM")
                self.wait_until(lambda: self.read("log").count("\n") > len(before), 10, "log")
                sent = time.monotonic()
                for count, number in enumerate(signals):
                    if count:
                        # PROGRAM has trapped and recorded the ones before, and runs on.
                        got = "".join(signal.Signals(n).name[3:] + "\n" for n in signals[:count])
                        self.wait_until(lambda: self.read_if_exists("got") == got, 5, "the trap")
                        self.assertIsNone(sup.poll())
                    os.kill(sup.pid, number)
                # The handler writes to the supervisor's stdout, which ends when both have ended.
                self.assertEqual(sup.communicate(timeout=10)[0],
                                 b"handler 2 %d 11\n" % pid if before else b"", "handler")
                self.assertEqual(sup.returncode, status)
                self.assertLess(time.monotonic() - sent, 5)
                self.assertEqual(self.log_events("log"), [line.format(pid) for line in [
                    "The process was successfully started: pid={0}"] + before + after])


# An account of the test's own, so that no other process counts against its process limit.
ACCOUNT, ACCOUNT_ID = "sentrel-nproc", 64123
FORK_FAILED = "%s: fork(): Resource temporarily unavailable" % PROG
KILLED = "The process was terminated by signal: pid=%d, signal=%d"


class ProcessLimitTest(MonitorTestCase):

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("needs root to run the supervisor as an account of its own")
        if testlib.WRAPPER:
            self.skipTest("user-mode emulation runs threads of its own, which count too")

    def test_fork_failures_at_the_process_limit_never_end_supervision(self):
        for name, line in (("passwd", "%s:x:%d:%d::/:/bin/sh\n"), ("group", "%s:x:%d:%d\n")):
            with open("/etc/" + name) as f, open(self.path(name), "w") as copy:
                copy.write(f.read() + line % (ACCOUNT, ACCOUNT_ID, ACCOUNT_ID))
        os.chown(self.dir, ACCOUNT_ID, ACCOUNT_ID)
        os.mkfifo(self.path("go"))
        os.chown(self.path("go"), ACCOUNT_ID, ACCOUNT_ID)
        # Each handler records its arguments and stays until the test lets it go.
        with open(self.path("handler"), "w") as f:
            f.write('#!/bin/sh\necho "$1 $2" >> handled\nread line < go\n')
        os.chmod(self.path("handler"), 0o755)
        # The supervisor and one more: a handler still running takes PROGRAM's slot.
        sup = testlib.start_in_mount_namespace(
            self, "mount --bind passwd /etc/passwd; mount --bind group /etc/group",
            "-u", ACCOUNT, "-l", "log", "-p", "pid", "-e", "./handler", "sh", "-c",
            'echo $$ >> pids; exec sleep 30',
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NPROC, (2, 2)))

        def launched(count):
            pids = [int(p) for p in (self.read_if_exists("pids") or "").split()]
            return pids if len(pids) >= count else None

        def fork_fails_after(line):
            """Waits until the log has a failed fork after line, then lets 2.5 s of retries
            pass, while the supervision goes on."""
            def found():
                text = self.read("log")
                return sup.poll() is not None or (line in text and
                                                  FORK_FAILED in text[text.index(line):])
            self.wait_until(found, 10, "a failed fork after %r in the log" % line)
            held_until = time.monotonic() + 2.5
            while time.monotonic() < held_until:
                self.assertIsNone(sup.poll(), self.log_events("log"))
                time.sleep(0.1)
            # Nothing holds the PID file's lock while no PROGRAM runs.
            self.assertEqual(self.run_sentrel("-a", "-p", self.path("pid")).returncode, 1)

        def open_writer():
            try:
                return os.open(self.path("go"), os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                return None

        [first] = self.wait_until(lambda: launched(1), 10, "PROGRAM")
        os.kill(first, signal.SIGTERM)
        fork_fails_after(KILLED % (first, signal.SIGTERM))
        self.assertEqual(len(launched(1)), 1, "PROGRAM ran beside the handler")
        go = self.wait_until(open_writer, 10, "the handler waiting")
        os.write(go, b"go\n")
        os.close(go)
        released = time.monotonic()
        _, second = self.wait_until(lambda: launched(2), 5, "the relaunch")
        self.assertLess(time.monotonic() - released, 2.5)
        self.assertEqual(self.log_events("log"),
                         ["The process was successfully started: pid=%d" % first,
                          KILLED % (first, signal.SIGTERM), FORK_FAILED,
                          "The process was successfully started: pid=%d" % second])

        # A process of the account that the test starts takes the handler's slot.
        other = subprocess.Popen(["sleep", "30"], user=ACCOUNT_ID, group=ACCOUNT_ID,
                                 extra_groups=[])
        self.track_pid(other.pid)
        os.kill(second, signal.SIGTERM)
        fork_fails_after(KILLED % (second, signal.SIGTERM))
        other.kill()
        other.wait()
        _, _, third = self.wait_until(lambda: launched(3), 5, "the relaunch")
        events = self.log_events("log")
        self.assertEqual(events[-1], "The process was successfully started: pid=%d" % third)
        self.assertIn(events[5:-1], ([FORK_FAILED], [FORK_FAILED] * 2))
        self.assertEqual(self.read("handled"), "%d 15\n" % first, "a handler ran")


if __name__ == "__main__":
    unittest.main()
