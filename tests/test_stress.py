"""Stress tests: crash storms, 64 MiB through the rotating writer, start-up races, probe storms.

They take minutes rather than seconds; each prints its figures (rates, descriptors, RSS) on
stderr so that a run doubles as a measurement.
"""
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

import sentrel_testlib as testlib

PROG = testlib.SENTREL
STARTED = "The process was successfully started: pid=%d"
SIGNALLED = "The process was terminated by signal: pid=%d, signal=%d"
EXITED = "The process was successfully terminated: pid=%d, exit_code=%d"

# Records its PID, then dies of SIGTERM at once unless the test has created "stop".
STORM_PROGRAM = 'echo $$ >> runs; [ -e stop ] && exit 0; kill $$'
# Launches and the time allowed for them: a relaunch costs a fork and an exec (three processes
# with a handler), which on a loaded two-core virtual machine can take 20 ms or more; the
# whole file must stay within the 300 s CTest gives it.
STORM = (5000, 120)
HANDLER_STORM = (600, 45)
# The supervisor allocates nothing per cycle; this is slack for pages of code or stack touched
# late, far below what leaking a stream or a buffer per relaunch would add over thousands.
RSS_SLACK_KB = 128

# Writes segment k of a numbered-line stream in 64 KiB chunks, alternating between stdout and
# stderr, then dies of SIGTERM, except after the last segment, where it exits 0.
ROTATION_PROGRAM = r'''
import os, signal, sys
line_size, lines_per_segment, segments = (int(a) for a in sys.argv[1:4])
try:
    with open("segment") as f:
        k = int(f.read())
except FileNotFoundError:
    k = 0
with open("segment", "w") as f:
    f.write(str(k + 1))
first = k * lines_per_segment
data = b"".join(b"%0*d\n" % (line_size - 1, i)
                for i in range(first, first + lines_per_segment))
chunk = 65536
for n, start in enumerate(range(0, len(data), chunk)):
    view = memoryview(data)[start:start + chunk]
    while view:
        view = view[os.write(1 + n % 2, view):]
if k + 1 < segments:
    os.kill(os.getpid(), signal.SIGTERM)
'''
LINE_SIZE = 16
SEGMENTS = 4
LINES_PER_SEGMENT = 64 * 1024 * 1024 // LINE_SIZE // SEGMENTS
ROTATION_N = 2048  # a 1 MiB limit: the 64 MiB pass through about 63 rotations

RACE_ROUNDS = 50
RACE_PROGRAM = 'echo $$ >> "$0"; echo OUT-$$; echo ERR-$$ >&2; exec sleep 60'

PROBE_SECONDS = 15


def report(text):
    print("\n  [stress] " + text, file=sys.stderr, flush=True)


class StressTestCase(testlib.SentrelTestCase):

    def line_count(self, name):
        return (self.read_if_exists(name) or "").count("\n")

    def sample(self, pid, pid_file):
        """One look at the supervisor: its descriptors other than the PID file's and pipes, how
        many refer to the PID file and how many to pipes (a launch holds the file and the pipe
        its child waits on for a moment), its RSS, and its children with their states."""
        fds = testlib.descriptors(pid)
        on_pid_file = sum(1 for target in fds.values() if target == pid_file)
        on_pipes = sum(1 for target in fds.values() if target.startswith("pipe:"))
        others = {fd: target for fd, target in fds.items()
                  if target != pid_file and not target.startswith("pipe:")}
        children = [(child, testlib.process_state(child)) for child in testlib.children_of(pid)]
        return others, on_pid_file, on_pipes, int(testlib.read_proc_status(pid)["VmRSS"][0]), children

    def samples(self, pid, pid_file, count=20):
        found = []
        for _ in range(count):
            found.append(self.sample(pid, pid_file))
            time.sleep(0.02)
        return found


class CrashStormTest(StressTestCase):

    def storm(self, launches, seconds, *options):
        """Runs STORM_PROGRAM under the supervisor until it has been launched `launches` times,
        sampling the supervisor early and late; then lets it exit and checks the samples."""
        pid_file = self.path("pid")
        with open(self.path("sup.err"), "wb") as err:
            sup = self.start_sentrel("-l", "log", "-p", pid_file, *options,
                                     "sh", "-c", STORM_PROGRAM, stderr=err)
        started = time.monotonic()
        self.wait_until(lambda: self.line_count("runs") >= launches // 10, 60,
                        "the storm to get going")
        early = self.samples(sup.pid, pid_file)
        early_runs, early_time = self.line_count("runs"), time.monotonic()

        def launched_all():
            if self.line_count("runs") >= launches:
                return True
            self.assertIsNone(sup.poll(), "the supervisor died: %r" % self.read("sup.err"))
            return False
        # A slow machine may not get there in time: the test is then skipped below.
        testlib.poll(launched_all, started + seconds - time.monotonic(), 0.2)
        late_runs, late_time = self.line_count("runs"), time.monotonic()
        late = self.samples(sup.pid, pid_file)
        with open(self.path("stop"), "w"):
            pass
        self.assertEqual(sup.wait(timeout=30), 0)
        elapsed = time.monotonic() - started
        if late_runs < launches:
            self.skipTest("only %d relaunches in %d s on this machine" % (late_runs, elapsed))

        self.assertEqual(self.read("sup.err"), "")
        runs = self.read_pids("runs")
        self.assertGreaterEqual(len(runs), launches)
        # Exactly one launch line and one end line per run, in order, nothing else.
        expected = []
        for pid in runs[:-1]:
            expected += [STARTED % pid, SIGNALLED % (pid, signal.SIGTERM)]
        expected += [STARTED % runs[-1], EXITED % (runs[-1], 0)]
        # A crash that comes while the last handler still runs starts none, and says so.
        events = [e for e in self.log_events("log")
                  if not re.fullmatch(r"The error handler is still running: pid=\d+", e)]
        self.assertEqual(events, expected)

        base_fds = early[0][0]
        for others, on_pid_file, on_pipes, _, children in early + late:
            self.assertEqual(others, base_fds, "the supervisor's descriptors changed")
            self.assertLessEqual(on_pid_file, 1, "PID-file descriptors pile up")
            self.assertLessEqual(on_pipes, 2, "pipes pile up")
            # With -e, handlers are the supervisor's own children and may still run beside the
            # next PROGRAM; whatever has died is collected at PROGRAM's next end at the latest,
            # and a scan of /proc is not atomic. Unreaped children would pile up by thousands.
            self.assertLessEqual(sum(state == "Z" for _, state in children), 4, children)
        early_rss = max(s[3] for s in early)
        late_rss = max(s[3] for s in late)
        self.assertLessEqual(late_rss, early_rss + RSS_SLACK_KB)
        rate = (late_runs - early_runs) / (late_time - early_time)
        report("%s%d launches in %.1f s, %.0f relaunches/s; supervisor descriptors %d -> %d "
               "(plus at most %d on the PID file), VmRSS %d kB -> %d kB" % (
                   " ".join(options) + ": " if options else "", len(runs), elapsed, rate,
                   len(base_fds), len(late[-1][0]), max(s[1] for s in early + late),
                   early_rss, late_rss))

    def test_storm_of_relaunches_leaks_nothing(self):
        self.storm(*STORM)

    def test_storm_with_crash_handler_leaves_no_zombies(self):
        # Every crash starts a handler through a short-lived intermediate process; neither may
        # be left as a zombie of the supervisor.
        self.storm(*HANDLER_STORM, "-e", "/bin/true")


class RotationVolumeTest(StressTestCase):

    def test_64_mib_through_rotation_across_crashes_keeps_the_exact_tail(self):
        start = time.monotonic()
        result = self.run_sentrel(
            "-l", "log", "-R", "out~%d" % ROTATION_N,
            sys.executable, "-c", ROTATION_PROGRAM, LINE_SIZE, LINES_PER_SEGMENT, SEGMENTS,
            timeout=240, cwd=self.dir)
        elapsed = time.monotonic() - start
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
        events = self.log_events("log")
        self.assertEqual(len(events), 2 * SEGMENTS, events)
        self.assertEqual(sum(e.endswith(", signal=15") for e in events), SEGMENTS - 1)
        self.assertTrue(events[-1].endswith(", exit_code=0"), events)

        limit = ROTATION_N * 512
        backup = self.read("out~", "rb")
        current = self.read("out", "rb")
        # The size is checked before each read of at most 1,024 bytes.
        self.assertGreaterEqual(len(backup), limit)
        self.assertLess(len(backup), limit + 1024)
        self.assertLess(len(current), limit + 1024)
        total = LINE_SIZE * LINES_PER_SEGMENT * SEGMENTS
        tail = backup + current
        first_line = (total - len(tail)) // LINE_SIZE
        expected = b"".join(b"%0*d\n" % (LINE_SIZE - 1, i)
                            for i in range(first_line, total // LINE_SIZE))
        expected = expected[len(expected) - len(tail):]
        if tail != expected:
            at = next(i for i in range(len(tail)) if tail[i] != expected[i])
            self.fail("out~ + out differ from the stream's tail at byte %d of %d: %r vs %r" % (
                at, len(tail), tail[at:at + 32], expected[at:at + 32]))
        report("64 MiB through -R out~%d with %d crashes in %.1f s (%.1f MiB/s)" % (
            ROTATION_N, SEGMENTS - 1, elapsed, 64 / elapsed))


class StartRaceTest(StressTestCase):

    def test_two_supervisors_started_at_once_run_one_program(self):
        for round_number in range(RACE_ROUNDS):
            with self.subTest(round=round_number):
                self.race_round(self.path("round%d" % round_number))

    def race_round(self, directory):
        os.mkdir(directory)
        pid_file = os.path.join(directory, "pid")
        marker = os.path.join(directory, "programs")
        args = ["-l", "log", "-R", "out", "-p", pid_file, "sh", "-c", RACE_PROGRAM, marker]
        errs = [open(os.path.join(directory, "err%d" % i), "wb+") for i in range(2)]
        try:
            pair = [self.start_sentrel(*args, cwd=directory, stderr=err) for err in errs]
            try:
                self.wait_until(lambda: any(p.poll() is not None for p in pair), 20,
                                "one of the two supervisors to be refused")
                loser = next(i for i, p in enumerate(pair) if p.poll() is not None)
                winner = pair[1 - loser]
                self.assertEqual(pair[loser].returncode, 2)
                errs[loser].seek(0)
                self.assertEqual(errs[loser].read().decode(),
                                 testlib.ALREADY_LOCKED % (PROG, pid_file))
                self.assertIsNone(winner.poll(), "the winner ended too")

                pid = self.wait_for_pid_file(pid_file)
                out = os.path.join(directory, "out")
                self.wait_until(lambda: self.read_if_exists(out) == "OUT-%d\nERR-%d\n"
                                % (pid, pid), 10, "the winner's output")
                # The refused instance has exited: had it opened the log or the output with
                # truncation, or launched anything, it would show now.
                self.assertEqual(self.read(marker), "%d\n" % pid)
                self.assertEqual(self.log_events(os.path.join(directory, "log")),
                                 [STARTED % pid])
                self.assertIn(pid, testlib.children_of(winner.pid))
            finally:
                for proc in pair:
                    testlib.kill_group(proc)
        finally:
            for err in errs:
                err.close()


class ProbeStormTest(StressTestCase):

    def probe_loop(self, args, results, stop):
        while not stop.is_set():
            result = subprocess.run(testlib.command(*args), stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, timeout=30)
            results.append((result.returncode, result.stdout + result.stderr))

    def reader_loop(self, pid_file, counts, stop):
        """The readers' probe at a rate no process-per-probe loop reaches: open, try the lock,
        close. Each probe that finds the file free holds its lock for a moment, and so may
        meet the supervisor's relock."""
        while not stop.is_set():
            counts[testlib.is_locked(pid_file)] += 1
            time.sleep(0.0005)

    def test_probes_never_kill_the_supervisor(self):
        pid_file = self.path("pid")
        with open(self.path("sup.err"), "wb") as err:
            # -k: a --stop that needs SIGKILL must not end the supervision either.
            sup = self.start_sentrel("-k", "-l", "log", "-p", pid_file,
                                     "sh", "-c", "kill $$", stderr=err)
        self.wait_until(lambda: self.line_count("log") > 0, 10, "the first launch")
        alive, stops, reads = [], [], [0, 0]
        stop = threading.Event()
        threads = [threading.Thread(target=self.probe_loop, args=(a, r, stop)) for a, r in
                   ((("--test-alive", "-p", pid_file), alive),
                    (("--stop", "0", "-p", pid_file), stops))]
        threads.append(threading.Thread(target=self.reader_loop, args=(pid_file, reads, stop)))
        for thread in threads:
            thread.start()
        try:
            testlib.poll(lambda: sup.poll() is not None, PROBE_SECONDS, 0.1)
        finally:
            stop.set()
            for thread in threads:
                thread.join(60)
        launches_during = self.read("log").count("successfully started")
        self.assertIsNone(sup.poll(), "the supervisor died: %r" % self.read("sup.err"))
        self.wait_until(lambda: self.read("log").count("successfully started")
                        > launches_during + 5, 10, "relaunches after the probes")
        self.assertIsNone(sup.poll())
        testlib.kill_group(sup)

        self.assertEqual(self.read("sup.err"), "")
        self.assertEqual({output for _, output in alive + stops}, {b""})
        self.assertLessEqual({status for status, _ in alive}, {0, 1})
        self.assertIn(0, {status for status, _ in alive}, "no probe ever saw PROGRAM alive")
        self.assertLessEqual({status for status, _ in stops}, {0, 1, 2})
        self.assertGreater(len(alive), 50, "too few --test-alive probes ran")
        self.assertGreater(len(stops), 50, "too few --stop probes ran")
        events = self.log_events("log")
        self.assertGreater(launches_during, 100, "too few relaunches under the probes")
        # Every end is a death by a signal: PROGRAM's own SIGTERM or a probe's SIGKILL.
        ends = [e for e in events if not e.startswith("The process was successfully started")]
        self.assertEqual([e for e in ends if not re.search(r", signal=(15|9)$", e)], [])
        report("probes: %d --test-alive, %d --stop -K 0 and %d lock probes over %d launches "
               "in %d s" % (len(alive), len(stops), sum(reads), launches_during, PROBE_SECONDS))


if __name__ == "__main__":
    unittest.main()
