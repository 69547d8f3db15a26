"""Black-box tests of output redirection: plain files, literal names and the rotating writer."""
import inspect
import os
import resource
import shlex
import signal
import stat
import subprocess
import sys
import time
import unittest

import sentrel_testlib as testlib


# PROGRAM's output for the byte-exact checks: numbered lines of varying length tagged with the
# run that wrote them, so that a lost, doubled or misplaced chunk shows in the comparison.
def pattern(run, size):
    lines = []
    total = 0
    i = 0
    while total < size:
        line = b"run %d line %d %s\n" % (run, i, b"." * (i % 53))
        lines.append(line)
        total += len(line)
        i += 1
    return b"".join(lines)[:size]


# Writes pattern(run, --size) as fast as it can, 4 KiB chunks alternating between stdout and
# stderr, then dies of SIGTERM for the first --crashes runs (counted in --counter), waits for
# the file --wait-for if given, and exits with --exit.
WRITER_PROGRAM = inspect.getsource(pattern) + '''
import argparse, os, signal, sys, time
parser = argparse.ArgumentParser()
parser.add_argument("--size", type=int, required=True)
parser.add_argument("--exit", type=int, default=0)
parser.add_argument("--crashes", type=int, default=0)
parser.add_argument("--counter")
parser.add_argument("--wait-for")
options = parser.parse_args()
run = 1
if options.counter:
    try:
        with open(options.counter) as f:
            run = int(f.read()) + 1
    except FileNotFoundError:
        pass
    with open(options.counter, "w") as f:
        f.write(str(run))
data = memoryview(pattern(run, options.size))
for index, offset in enumerate(range(0, len(data), 4096)):
    chunk = data[offset:offset + 4096]
    while chunk:
        chunk = chunk[os.write(1 + index % 2, chunk):]
if run <= options.crashes:
    os.kill(os.getpid(), signal.SIGTERM)
while options.wait_for and not os.path.exists(options.wait_for):
    time.sleep(0.02)
sys.exit(options.exit)
'''

# Rotation limit of -R NAME~8 in bytes; a file can grow at most one copy buffer past it.
LIMIT = 8 * 512
COPY_SIZE = 1024


def cpu_ticks(pid):
    """User plus system time of pid in clock ticks."""
    fields = testlib.stat_fields(pid)
    return int(fields[11]) + int(fields[12])


def read_available(fd):
    """What a non-blocking descriptor has to read now (b"" for nothing yet)."""
    try:
        return os.read(fd, 65536)
    except BlockingIOError:
        return b""


def python_for_others():
    """A Python interpreter that an unprivileged account can run, or a skip."""
    for candidate in (sys.executable, "/usr/bin/python3", "/usr/local/bin/python3"):
        path = os.path.realpath(candidate)
        parts = [path] + [os.path.dirname(path)]
        while parts[-1] != "/":
            parts.append(os.path.dirname(parts[-1]))
        try:
            if all(os.stat(part).st_mode & stat.S_IXOTH for part in parts):
                return path
        except OSError:
            continue
    raise unittest.SkipTest("no Python interpreter that nobody may run")


class RedirectionTestCase(testlib.SentrelTestCase):

    def write_file(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def writer_program(self, *options):
        """PROGRAM's argument vector for WRITER_PROGRAM with the given options."""
        script = self.path("writer.py")
        if not os.path.exists(script):
            self.write_file("writer.py", WRITER_PROGRAM.encode())
            os.chmod(script, 0o644)
        return [sys.executable, script] + [str(o) for o in options]

    def find_writer(self, sentrel_pid):
        """The rotating writer: sentrel's one child that still runs sentrel's own command."""
        own = testlib.command_line(sentrel_pid)
        writers = [pid for pid in testlib.children_of(sentrel_pid)
                   if testlib.command_line(pid) == own]
        self.assertEqual(len(writers), 1, "expected exactly one writer child")
        return writers[0]

    def wait_for_size(self, name, size, timeout=20):
        self.wait_until(lambda: os.path.exists(name) and os.path.getsize(name) >= size, timeout,
                        "%d bytes in %s" % (size, name))

    def assert_mode(self, name, mode):
        self.assertEqual(stat.S_IMODE(os.stat(self.path(name)).st_mode), mode, name)


class StreamPairingTest(RedirectionTestCase):

    def test_each_option_takes_its_own_stream(self):
        program = ["sh", "-c", "echo OUT; echo ERR >&2"]
        # options, expected file contents, sentrel's own stdout and stderr afterwards
        cases = [
            (["-O", "a", "-E", "b"], {"a": b"OUT\n", "b": b"ERR\n"}, b"", b""),
            (["-O", "a"], {"a": b"OUT\n"}, b"", b"ERR\n"),
            (["-E", "b"], {"b": b"ERR\n"}, b"OUT\n", b""),
            (["--redirect-out=a", "--redirect-err=b"], {"a": b"OUT\n", "b": b"ERR\n"}, b"", b""),
        ]
        for options, files, stdout, stderr in cases:
            with self.subTest(options=options):
                for name in ("a", "b"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                result = self.run_sentrel(*options, *program)
                self.assertEqual(result.returncode, 0)
                for name in ("a", "b"):
                    self.assertEqual(self.read_if_exists(name, "rb"), files.get(name), name)
                self.assertEqual(result.stdout, stdout)
                self.assertEqual(result.stderr, stderr)

    def test_redirect_interleaves_both_streams_in_order(self):
        result = self.run_sentrel("-R", "both", "sh", "-c",
                                  "echo 1; echo 2 >&2; echo 3; echo 4 >&2; echo 5")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(self.read("both", "rb"), b"1\n2\n3\n4\n5\n")
        self.assertEqual((result.stdout, result.stderr), (b"", b""))

    def test_files_truncated_once_and_continued_by_relaunches(self):
        # Two crashes, then an exit: every run's output must follow the previous run's, and
        # the stale content from before the supervision must be gone.
        program = ('n=$(cat count 2>/dev/null || echo 0); n=$((n+1)); echo $n > count; '
                   'echo "out $n"; echo "err $n" >&2; '
                   'if [ $n -lt 3 ]; then kill -TERM $$; fi; exit 4')
        for options, expected in [
                (["-O", "o", "-E", "e"], {"o": b"out 1\nout 2\nout 3\n",
                                          "e": b"err 1\nerr 2\nerr 3\n"}),
                (["-R", "o"], {"o": b"out 1\nerr 1\nout 2\nerr 2\nout 3\nerr 3\n"})]:
            with self.subTest(options=options):
                for name in ("o", "e", "count"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                self.write_file("o", b"STALE " * 100)
                self.write_file("e", b"STALE " * 100)
                result = self.run_sentrel(*options, "sh", "-c", program,
                                          preexec_fn=lambda: os.umask(0))
                self.assertEqual(result.returncode, 4)
                for name, content in expected.items():
                    self.assertEqual(self.read(name, "rb"), content, name)
                os.remove(self.path("o"))
                os.remove(self.path("e"))
                self.run_sentrel(*options, "sh", "-c", "echo x; echo y >&2",
                                 preexec_fn=lambda: os.umask(0))
                for name in expected:
                    self.assert_mode(name, 0o660)

    def test_files_truncated_while_running_continue_at_their_start(self):
        # As after logrotate's copytruncate: the next output must start the file, not follow a
        # run of NUL bytes up to the old offset. Under rotation the lines before and after the
        # truncation together pass the cap of o~2, the lines in the file do not: a writer that
        # misses the truncation rotates.
        pad = "x" * 300
        program = ('echo "out1 $0"; echo "err1 $0" >&2; while [ ! -e go ]; do sleep 0.02; done; '
                   'echo "out2 $0"; echo "err2 $0" >&2')
        out, err = b"out2 %s\n" % pad.encode(), b"err2 %s\n" % pad.encode()
        for options, expected in [(["-O", "o", "-E", "e"], {"o": out, "e": err}),
                                  (["-O", "o", "-E", "o"], {"o": out + err}),
                                  (["-R", "o"], {"o": out + err}),
                                  (["-R", "o~2"], {"o": out + err})]:
            with self.subTest(options=options):
                for name in ("o", "o~", "e", "go"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                proc = self.start_sentrel(*options, "sh", "-c", program, pad)
                for name, content in expected.items():
                    first = content.replace(b"2", b"1")
                    self.wait_until(lambda: self.read_if_exists(name, "rb") == first, 10,
                                    "%r in %s" % (first, name))
                    os.truncate(self.path(name), 0)
                self.write_file("go", b"")
                self.assertEqual(self.wait_for_exit(proc, 20), 0)
                for name, content in expected.items():
                    self.assertEqual(self.read(name, "rb"), content, name)
                self.assertFalse(os.path.exists(self.path("o~")), "rotated")


class LiteralNameTest(RedirectionTestCase):
    """Arguments that are not a -R NAME~N rotation spec name plain files, literally."""

    # PROGRAM writes to both streams, then stays until the test has looked at sentrel's
    # children.
    HOLD = "echo OUT; echo ERR >&2; while [ ! -e go ]; do sleep 0.02; done"

    def run_holding(self, options, name, content):
        """Runs PROGRAM under options, checks that sentrel has no child but PROGRAM once name
        holds content, and returns sentrel's exit status and its captured stderr."""
        if os.path.exists(self.path("go")):
            os.remove(self.path("go"))
        proc = self.start_sentrel(*options, "sh", "-c", self.HOLD, stderr=subprocess.PIPE)
        self.wait_until(lambda: self.read_if_exists(name, "rb") == content, 10,
                        "%r in %s" % (content, name))
        self.assertEqual(len(testlib.children_of(proc.pid)), 1, "a writer process was started")
        self.write_file("go", b"")
        status = self.wait_for_exit(proc, 20)
        return status, proc.stderr.read()

    def test_redirect_arguments_that_are_not_rotation_specs(self):
        for name in ["out~0", "out~x", "~5", "out~-3", "out~"]:
            with self.subTest(name=name):
                self.write_file(name, b"STALE " * 1000)
                status, stderr = self.run_holding(["-R", name], name, b"OUT\nERR\n")
                self.assertEqual(status, 0)
                self.assertEqual(stderr, b"")
                self.assertFalse(os.path.exists(self.path("out")))
                self.assertFalse(os.path.exists(self.path("~")))

    def test_separate_options_never_rotate(self):
        # 10 KB is well past the 2,560 bytes that f~5 would allow a rotating writer. With two
        # options the file is opened twice, and both streams are appended in order.
        big = "head -c 10000 /dev/zero | tr '\\0' x; echo ERR >&2"
        for options, stderr, tail in [(["-O", "f~5"], b"ERR\n", b""),
                                      (["-O", "f~5", "-E", "f~5"], b"", b"ERR\n")]:
            with self.subTest(options=options):
                result = self.run_sentrel(*options, "sh", "-c", big)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, stderr)
                content = self.read_if_exists("f~5", "rb") or b""
                self.assertTrue(content == b"x" * 10000 + tail, "a stream was overwritten")
                self.assertFalse(os.path.exists(self.path("f")))
                self.assertFalse(os.path.exists(self.path("f~")))
                os.remove(self.path("f~5"))
        with self.subTest("no writer process"):
            for options, content in [(["-O", "f~5"], b"OUT\n"),
                                     (["-O", "f~5", "-E", "f~5"], b"OUT\nERR\n")]:
                status, _ = self.run_holding(options, "f~5", content)
                self.assertEqual(status, 0)
                os.remove(self.path("f~5"))


class RotationTest(RedirectionTestCase):

    def assert_tail(self, expected, name="out"):
        """name~ followed by name is exactly the end of expected, and both are in bounds."""
        current = self.read(name, "rb")
        backup = self.read(name + "~", "rb")
        self.assertLess(len(current), LIMIT + COPY_SIZE)
        self.assertGreaterEqual(len(backup), LIMIT)
        self.assertLess(len(backup), LIMIT + COPY_SIZE)
        kept = backup + current
        self.assertTrue(expected.endswith(kept),
                        "%s~ and %s are not the tail of PROGRAM's output" % (name, name))

    def test_keeps_exact_tail_of_the_output(self):
        for size, crashes in [(3000000, 0), (1000000, 2)]:
            with self.subTest(size=size, crashes=crashes):
                for name in ("out", "out~", "count"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                program = self.writer_program("--size", size, "--crashes", crashes,
                                              "--counter", self.path("count"))
                result = self.run_sentrel("-R", "out~8", *program, timeout=60,
                                          preexec_fn=lambda: os.umask(0))
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, b"")
                expected = b"".join(pattern(run, size) for run in range(1, crashes + 2))
                self.assert_tail(expected)
                self.assert_mode("out", 0o660)
                self.assert_mode("out~", 0o660)
                self.assertEqual(sorted(os.listdir(self.dir)), ["count", "out", "out~",
                                                                 "writer.py"])

    def test_file_over_the_limit_is_rotated_before_writing(self):
        for old in [b"o" * (LIMIT - 1), b"o" * LIMIT, (b"OLD" * 3334)[:10000]]:
            with self.subTest(old_size=len(old)):
                self.write_file("out", old)
                self.write_file("out~", b"ANCIENT\n")
                # One write, so that the writer sees it in one read.
                result = self.run_sentrel("-R", "out~8", "printf", "NEW\\n")
                self.assertEqual(result.returncode, 0)
                files = [self.read("out", "rb"), self.read("out~", "rb")]
                if len(old) >= LIMIT:
                    self.assertEqual(files, [b"NEW\n", old])
                else:
                    # Appended to the old content; whether that then rotates is not the point.
                    self.assertIn(old + b"NEW\n", files)
                    self.assertNotIn(old, files)

    def test_limit_does_not_overflow_32_bits(self):
        # N x 512 is 2 GiB and about 1 TiB: negative in 32 bits, so a wrong product would
        # rotate the small existing file at once.
        for n in (4194304, 2147483647):
            with self.subTest(n=n):
                for name in ("out", "out~"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                self.write_file("out", b"OLD\n" * 25)
                result = self.run_sentrel("-R", "out~%d" % n, "sh", "-c", "echo NEW; echo ERR >&2",
                                          timeout=15)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(self.read("out", "rb"), b"OLD\n" * 25 + b"NEW\nERR\n")
                self.assertFalse(os.path.exists(self.path("out~")))

    def test_unshrinkable_file_keeps_its_cap_and_newest_output(self):
        # As nobody, in a directory nobody cannot write: rename and delete both fail, but the
        # file itself stays writable, so it is emptied in place and only the oldest output lost.
        if os.geteuid() != 0:
            self.skipTest("needs root to run sentrel as nobody")
        os.chmod(self.dir, 0o755)
        locked_dir = self.path("locked")
        os.mkdir(locked_dir, 0o755)
        out = os.path.join(locked_dir, "out")
        with open(out, "wb"):
            pass
        os.chown(out, 65534, 65534)
        size = 200000
        expected = pattern(1, size)
        program = self.writer_program("--size", size, "--exit", 7,
                                      "--wait-for", self.path("go"))
        program[0] = python_for_others()
        proc = self.start_sentrel("-R", "out~8", *program, cwd=locked_dir,
                                  user=65534, group=65534, extra_groups=[])
        self.wait_until(lambda: self.read(out, "rb").endswith(expected[-100:]), 20,
                        "PROGRAM's last bytes in the file")
        # PROGRAM now waits with all its output written; the writer must be idle in read.
        writer = self.find_writer(proc.pid)
        before = cpu_ticks(writer)
        time.sleep(1.0)
        self.assertLessEqual(cpu_ticks(writer) - before, 5, "the writer spins")
        self.write_file("go", b"")
        self.assertEqual(self.wait_for_exit(proc, 20), 7)
        kept = self.read(out, "rb")
        self.assertLess(len(kept), LIMIT + COPY_SIZE, "the cap does not hold")
        self.assertTrue(kept and expected.endswith(kept), "not the newest output")
        self.assertEqual(os.listdir(locked_dir), ["out"])

    def test_full_file_costs_the_oldest_output(self):
        # NAME and its backup cannot both be full: once NAME fills the disk, or reaches the
        # file-size limit below the cap (writes past it fail with EFBIG), NAME must become the
        # backup, so that the newest lines replace the oldest.
        pad = "x" * 100
        expected = b"".join(b"%d %s\n" % (i, pad.encode()) for i in range(1, 2001))
        program = 'i=1; while [ $i -le 2000 ]; do printf "%d %s\\n" $i "$0"; i=$((i+1)); done'
        fsize = 4096
        with self.subTest("small disk"):
            script = "%s; echo $? > status; mkdir kept; cp disk/* kept/" % shlex.join(
                testlib.command("-R", "disk/out~80", "sh", "-c", program, pad))
            result = testlib.run_on_small_disk(self, 64 * 1024, script)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(self.read("status"), "0\n")
            self.assert_newest_kept(expected, "kept/out")
        with self.subTest("file-size limit", limit=fsize):
            result = self.run_sentrel("-R", "out~80", "sh", "-c", program, pad, preexec_fn=lambda:
                                      resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize)))
            self.assertEqual(result.returncode, 0)
            self.assertLessEqual(len(self.read("out", "rb")), fsize)
            self.assert_newest_kept(expected, "out")

    def assert_newest_kept(self, expected, name):
        """name ends with the last line of expected, and name~ and name are a tail of it."""
        current = self.read(name, "rb")
        self.assertTrue(current.endswith(b"\n" + expected.rsplit(b"\n", 2)[1] + b"\n"),
                        "the newest line is lost")
        kept = (self.read_if_exists(name + "~", "rb") or b"") + current
        self.assertTrue(expected.endswith(kept), "%s~ and %s are not the tail of the output"
                        % (name, name))

    def test_nothing_lost_when_name_is_removed(self):
        # Lines go on while NAME is removed: those before the writer notices are in the old
        # inode, read through a descriptor opened before the removal; the rest in the new NAME.
        program = ('i=0; while [ ! -e stop ]; do i=$((i+1)); echo $i; echo $i > count; '
                   'sleep 0.01; done')
        proc = self.start_sentrel("-R", "out~10000", "sh", "-c", program)
        self.wait_until(lambda: len((self.read_if_exists("out") or "").split()) >= 20, 10,
                        "20 lines")
        with open(self.path("out"), "rb") as old:
            os.remove(self.path("out"))
            self.wait_until(lambda: len((self.read_if_exists("out") or "").split()) >= 20, 10,
                            "20 lines in a new file")
            self.write_file("stop", b"")
            self.assertEqual(self.wait_for_exit(proc, 20), 0)
            numbers = [int(word) for word in (old.read() + self.read("out", "rb")).split()]
        written = range(1, int(self.read("count")) + 1)
        self.assertEqual(sorted(set(written) - set(numbers)), [], "lines lost")
        self.assertEqual(numbers, list(written))

    def test_long_names_are_never_cut(self):
        # A NAME of 1,023 characters leaves no room in the writer's buffers for the "~" of the
        # backup name, so the whole argument names a plain file; 1,022 still rotates normally.
        size = 200000
        for length in (1023, 1022):
            with self.subTest(length=length):
                parent = os.path.join(*["d%d%s" % (length, "d" * 195)] * 4)
                os.makedirs(self.path(parent), exist_ok=True)
                name = os.path.join(parent, "f" * (length - len(parent) - 1))
                self.assertEqual(len(name), length)
                program = self.writer_program("--size", size, "--exit", 3)
                result = self.run_sentrel("-R", name + "~8", *program)
                self.assertEqual(result.returncode, 3)
                if length == 1023:
                    self.assertEqual(os.listdir(self.path(parent)),
                                     [os.path.basename(name) + "~8"])
                    self.assertTrue(self.read(name + "~8", "rb") == pattern(1, size),
                                    "output lost or reordered")
                else:
                    self.assert_tail(pattern(1, size), name)
        with self.subTest("cut at 1,023 bytes, NAME would be another file"):
            self.write_file("victim", b"VICTIM\n")
            result = self.run_sentrel("-R", "./" * 507 + ".//victim.intended~4",
                                      "sh", "-c", "echo OUT; echo ERR >&2")
            self.assertEqual(result.returncode, 0)
            self.assertEqual(self.read("victim", "rb"), b"VICTIM\n")
            written = [self.read(n, "rb") for n in os.listdir(self.dir) if n.startswith("victim.")]
            self.assertEqual(written, [b"OUT\nERR\n"])


class WindDownTest(RedirectionTestCase):

    def test_output_is_complete_when_sentrel_exits(self):
        # PROGRAM leaves with the pipe full; all of it must be in the file by the time the
        # supervisor's exit status is known.
        size = 1000000
        program = self.writer_program("--size", size, "--exit", 9)
        result = self.run_sentrel("-R", "out~100000", *program)
        self.assertEqual(result.returncode, 9)
        self.assertTrue(self.read("out", "rb") == pattern(1, size), "output lost at the end")
        program = ["sh", "-c", "head -c 300000 /dev/zero; echo LAST >&2"]
        result = self.run_sentrel("-R", "out~16", *program)
        self.assertEqual(result.returncode, 0)
        self.assertTrue(self.read("out", "rb").endswith(b"\0LAST\n"), "last line lost")

    def test_output_left_in_the_pipe_is_drained(self):
        # The writer is held stopped while PROGRAM fills the pipe and exits, and resumed only
        # once PROGRAM is gone: its last lines are then only in the pipe.
        program = ("echo first; while [ ! -e go ]; do sleep 0.02; done; "
                   "head -c 3000 /dev/zero; echo LAST; exit 6")
        proc = self.start_sentrel("-p", "pid", "-R", "out~100000", "sh", "-c", program)
        pid = self.wait_for_pid_file("pid")
        self.wait_until(lambda: self.read_if_exists("out") == "first\n", 10, "the first line")
        writer = self.find_writer(proc.pid)
        os.kill(writer, signal.SIGSTOP)
        self.wait_until(lambda: testlib.process_state(writer) == "T", 5, "the writer to stop")
        self.write_file("go", b"")
        self.wait_until(lambda: pid not in testlib.children_of(proc.pid), 10, "PROGRAM's end")
        os.kill(writer, signal.SIGCONT)
        self.assertEqual(self.wait_for_exit(proc, 20), 6)
        self.assertEqual(self.read("out", "rb"), b"first\n" + b"\0" * 3000 + b"LAST\n")

    def test_writer_is_stopped_when_another_process_holds_the_pipe(self):
        # The other holder has left PROGRAM's session, so it is no leftover of PROGRAM's.
        program = ('echo before; setsid sleep 30 & echo $! > bg.pid; '
                   'while [ ! -e go ]; do sleep 0.02; done; echo after; exit 3')
        proc = self.start_sentrel("-R", "out~8", "sh", "-c", program)
        text = self.wait_until(lambda: (self.read_if_exists("bg.pid") or "").endswith("\n")
                               and self.read("bg.pid"), 10, "the background PID")
        background = int(text)
        self.track_pid(background)
        writer = self.find_writer(proc.pid)
        self.write_file("go", b"")
        started = time.monotonic()
        status = self.wait_for_exit(proc, 20)
        elapsed = time.monotonic() - started
        self.assertEqual(status, 3)
        self.assertGreaterEqual(elapsed, 1.9, "the writer was not given time to drain")
        self.assertLess(elapsed, 10)
        self.assertEqual(self.read("out", "rb"), b"before\nafter\n")
        self.wait_until(lambda: testlib.has_ended(writer), 5, "the writer to end")
        self.assertFalse(testlib.has_ended(background), "the pipe's other holder is gone too")
        os.kill(background, signal.SIGKILL)


class WriterProcessTest(RedirectionTestCase):

    def test_one_writer_across_relaunches(self):
        proc = self.start_sentrel("-p", "pid", "-R", "out~100", "sh", "-c",
                                  'echo "out $$"; echo "err $$" >&2; exec sleep 30')
        pids = []
        writers = set()
        for _ in range(3):
            pid = self.wait_for_pid_file("pid", pids[-1] if pids else None)
            pids.append(pid)
            self.wait_until(lambda: ("err %d\n" % pid) in (self.read_if_exists("out") or ""),
                            10, "the output of run %d" % len(pids))
            writers.update(c for c in testlib.children_of(proc.pid) if c != pid)
            os.kill(pid, signal.SIGTERM if len(pids) < 3 else signal.SIGKILL)
        self.assertEqual(self.wait_for_exit(proc, 20), 0)
        self.assertEqual(len(writers), 1, "writers: %r" % sorted(writers))
        self.assertEqual(self.read("out", "rb"),
                         b"".join(b"out %d\nerr %d\n" % (pid, pid) for pid in pids))

    def test_writer_does_not_hold_the_pid_file_lock(self):
        proc = self.start_sentrel("-p", "pid", "-R", "out~8", "sh", "-c", "echo hi; exec sleep 30")
        pid = self.wait_for_pid_file("pid")
        self.wait_for_size(self.path("out"), 3)
        writer = self.find_writer(proc.pid)
        # Beyond 0, 1 and 2 the writer holds its pipe and its output file, nothing else.
        held = sorted(target for fd, target in testlib.descriptors(writer).items() if fd > 2)
        self.assertEqual(len(held), 2, "writer descriptors: %r" % held)
        self.assertEqual(held[0], os.path.realpath(self.path("out")))
        self.assertTrue(held[1].startswith("pipe:"), held)
        # Told apart from the supervisor in ps and pgrep.
        comms = [self.read("/proc/%d/comm" % p) for p in (writer, proc.pid)]
        self.assertEqual(comms[0], "sentrel-writer\n")
        self.assertNotEqual(comms[1], comms[0])
        # A stopped writer cannot see end of file, so it outlives PROGRAM until the wind-down
        # gives up on it; in that time the file must already be free.
        os.kill(writer, signal.SIGSTOP)
        self.wait_until(lambda: testlib.process_state(writer) == "T", 5, "the writer to stop")
        os.kill(pid, signal.SIGKILL)
        self.wait_until(lambda: not testlib.is_locked(self.path("pid")), 10, "an unlocked file")
        self.assertEqual(testlib.process_state(writer), "T", "the lock went only with the writer")
        self.assertEqual(self.wait_for_exit(proc, 20), 0)
        self.assertFalse(testlib.is_locked(self.path("pid")))


class WriterRecoveryTest(RedirectionTestCase):
    """The writer outlives any trouble with NAME: PROGRAM's output is never a broken pipe."""

    def test_output_resumes_once_the_directory_is_back(self):
        os.mkdir(self.path("logs"))
        program = ('pad=$(printf "%100s" ""); i=0; while :; do i=$((i+1)); echo "$$ $i $pad"; '
                   'echo $i > count; sleep 0.01; done')
        proc = self.start_sentrel("-l", "events.log", "-p", "pid", "-R", "logs/out~1",
                                  "sh", "-c", program)
        pid = self.wait_for_pid_file("pid")
        self.wait_until(lambda: os.path.exists(self.path("logs/out~")), 10, "a rotation")
        writer = self.find_writer(proc.pid)

        def count():
            text = (self.read_if_exists("count") or "").strip()
            return int(text) if text.isdigit() else 0

        subprocess.run(["rm", "-rf", self.path("logs")], check=True)
        # 50 lines are 5 KB, ten times the limit: NAME is tried again meanwhile, and fails.
        removed_at = count()
        self.wait_until(lambda: count() >= removed_at + 50, 10, "PROGRAM's output to go on")
        os.mkdir(self.path("logs"))
        back_at = count()

        def resumed():
            text = "".join(self.read_if_exists(n) or "" for n in ("logs/out~", "logs/out"))
            for line in text.splitlines():
                words = line.split()
                if words[:1] == [str(pid)] and words[1:2] and int(words[1]) > back_at:
                    return True
            return False

        self.wait_until(resumed, 5, "output in the re-created directory")
        self.assertEqual(self.find_writer(proc.pid), writer)
        self.assertEqual(self.log_events("events.log"),
                         ["The process was successfully started: pid=%d" % pid])

    def test_killed_writer_is_replaced_at_once_on_the_same_pipe(self):
        # PROGRAM writes on while its writer is killed twice: it must neither die of SIGPIPE nor
        # lose more than the chunk each killed writer held.
        program = ('i=0; while [ $i -lt 3000 ]; do i=$((i+1)); echo "line $i"; '
                   '[ $((i % 1000)) = 0 ] && while [ ! -e go$i ]; do sleep 0.01; done; done')
        proc = self.start_sentrel("-l", "events.log", "-R", "out~1000", "sh", "-c", program)
        for mark in (1000, 2000):
            self.wait_until(lambda: ("line %d\n" % mark) in (self.read_if_exists("out") or ""),
                            10, "line %d" % mark)
            writer = self.find_writer(proc.pid)
            with open(self.path("go%d" % mark), "w"):
                pass
            os.kill(writer, signal.SIGKILL)
            self.wait_until(lambda: not testlib.process_exists(writer), 5, "the writer collected")
        with open(self.path("go3000"), "w"):
            pass
        self.assertEqual(self.wait_for_exit(proc, 20), 0)
        events = self.log_events("events.log")
        self.assertEqual(len(events), 2, "PROGRAM was relaunched: %r" % events)
        self.assertRegex(events[1], r"successfully terminated: pid=\d+, exit_code=0$")
        # The output with at most one gap per killed writer, each no longer than its chunk.
        expected = b"".join(b"line %d\n" % i for i in range(1, 3001))
        out = self.read("out", "rb")
        gaps, i, j = 0, 0, 0
        while j < len(out):
            if i < len(expected) and expected[i] == out[j]:
                i, j = i + 1, j + 1
                continue
            skip = next((k for k in range(1, 1025) if expected[i + k:i + k + 64] ==
                         out[j:j + 64]), None)
            self.assertIsNotNone(skip, "out differs from the output at byte %d" % j)
            gaps, i = gaps + 1, i + skip
        self.assertEqual(i, len(expected), "the end of the output is missing")
        self.assertLessEqual(gaps, 2)

    def test_unwritable_name_never_stalls_or_kills_program(self):
        # After "go", 300 KB fill the pipe several times over: a writer that blocks or ends
        # would leave PROGRAM stuck or dead of SIGPIPE instead of exiting 7.
        program = ("echo first; while [ ! -e go ]; do sleep 0.02; done; "
                   "head -c 300000 /dev/zero && exit 7")
        # NAME, whether a reader has the FIFO open at the start, whether it leaves after a line
        for name, reader, leaves in [("missing/out", False, False), ("unread", False, False),
                                     ("idle", True, False), ("gone", True, True)]:
            with self.subTest(name=name):
                if os.path.exists(self.path("go")):
                    os.remove(self.path("go"))
                if name != "missing/out":
                    os.mkfifo(self.path(name))
                fd = os.open(self.path(name), os.O_RDONLY | os.O_NONBLOCK) if reader else None
                if reader and not leaves:
                    self.addCleanup(os.close, fd)
                log = name.replace("/", "-") + ".log"
                proc = self.start_sentrel("-l", log, "-R", name + "~8", "sh", "-c", program)
                if leaves:
                    try:
                        self.wait_until(lambda: read_available(fd) == b"first\n", 10, "a line")
                    finally:
                        os.close(fd)
                self.write_file("go", b"")
                self.assertEqual(self.wait_for_exit(proc, 15), 7)
                self.assertEqual(len(self.log_events(log)), 2, "PROGRAM relaunched")
        self.assertFalse(os.path.exists(self.path("missing")))
        for name in ("unread", "idle", "gone"):
            self.assertTrue(stat.S_ISFIFO(os.stat(self.path(name)).st_mode), name)


class LinkTest(RedirectionTestCase):
    """Every file root opens for the supervision follows a final link only when the link's
    directory is root's or its own and writable by nobody else."""

    PROGRAM = ["sh", "-c", "echo OUT; echo ERR >&2; exit 3"]

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to plant links as nobody")
        super().setUp()
        os.chmod(self.dir, 0o755)
        os.mkdir(self.path("etc"), 0o700)
        # Root's directories: root's alone, as /var/log; one that everybody may write, as /tmp;
        # and one that nobody's group may write.
        os.mkdir(self.path("var"), 0o755)
        os.mkdir(self.path("tmp"))
        os.chmod(self.path("tmp"), 0o1777)
        os.mkdir(self.path("grp"))
        os.chown(self.path("grp"), 0, testlib.NOBODY)
        os.chmod(self.path("grp"), 0o775)

    def test_link_followed_only_where_no_one_else_could_plant_it(self):
        keep = b"root:x:0:0\n"
        followed = b"KEEP\n"
        # option, the link (in app/, nobody's, or in one of root's), suffix of the argument,
        # the target's content afterwards (None: the event log), sentrel's stdout and stderr
        cases = [("-l", "app/log", "", keep, b"OUT\n", b"ERR\n"),
                 ("-O", "app/out", "", keep, b"OUT\n", b"ERR\n"),
                 ("-E", "app/err", "", keep, b"OUT\n", b"ERR\n"),
                 ("-R", "app/both", "", keep, b"OUT\n", b"ERR\n"),
                 ("-R", "app/w", "~4", keep, b"", b""),
                 ("-l", "tmp/log", "", keep, b"OUT\n", b"ERR\n"),
                 ("-O", "grp/out", "", keep, b"OUT\n", b"ERR\n"),
                 ("-R", "grp/w", "~4", keep, b"", b""),
                 ("-l", "var/log", "", None, b"OUT\n", b"ERR\n"),
                 ("-R", "var/w", "~4", followed + b"OUT\nERR\n", b"", b"")]
        for index, (option, link, suffix, content, stdout, stderr) in enumerate(cases):
            with self.subTest(option=option, link=link + suffix):
                target = self.path("etc/target%d" % index)
                self.write_file(target, followed if link.startswith("var") else keep)
                if link.startswith("var"):
                    os.symlink(target, self.path(link))
                else:
                    testlib.plant_link(self.path(link), target)
                result = self.run_sentrel(option, link + suffix, *self.PROGRAM)
                if content is None:
                    self.assertEqual(len(self.log_events(target)), 2, "the log is not there")
                else:
                    self.assertEqual(self.read(target, "rb"), content)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (3, stdout, stderr))
        with self.subTest("-l /dev/stdout, as in a container"):
            result = self.run_sentrel("-l", "/dev/stdout", "sh", "-c", "exit 3")
            self.assertEqual(result.returncode, 3)
            self.assertRegex(result.stdout.decode(), "^%s.*started.*\n%s.*exit_code=3\n$"
                             % (testlib.STAMP, testlib.STAMP))

    def test_second_name_or_other_accounts_file_is_not_used(self):
        # Options, the path (in root's var/ or in tmp/, open to all), how the file is there (a
        # hard link to a root-only file, or a file of that uid), whether the file is used.
        cases = [("-l", "var/log", "link", 0), ("-O", "var/out", "link", 0),
                 ("-E", "var/err", "link", 0), ("-R", "var/both", "link", 0),
                 ("-R", "var/w~4", "link", 0), ("-l", "tmp/log", testlib.NOBODY, 0),
                 ("-O", "tmp/out", testlib.NOBODY, 0), ("-R", "tmp/w~4", testlib.NOBODY, 0),
                 ("-l", "tmp/log0", 0, 1), ("-R", "tmp/w0~4", 0, 1),
                 ("-u nobody -O", "tmp/own", testlib.NOBODY, 1)]
        for index, (options, argument, owner, used) in enumerate(cases):
            with self.subTest(options=options, argument=argument, owner=owner):
                name = self.path(argument.split("~")[0])
                victim = self.path("etc/victim%d" % index) if owner == "link" else name
                self.write_file(victim, b"KEEP\n")
                if owner == "link":
                    os.link(victim, name)
                else:
                    os.chown(name, owner, owner)
                result = self.run_sentrel(*options.split(), argument, *self.PROGRAM)
                self.assertEqual(result.returncode, 3)
                self.assertEqual(self.read(victim, "rb") != b"KEEP\n", used)

    def test_name_replaced_by_a_link_while_the_writer_runs(self):
        self.write_file("etc/target", b"root:x:0:0\n")
        program = ('i=0; while [ ! -e stop ]; do i=$((i+1)); echo $i; echo $i > count; '
                   'sleep 0.02; done')
        os.mkdir(self.path("app"), 0o755)
        os.chown(self.path("app"), testlib.NOBODY, testlib.NOBODY)
        proc = self.start_sentrel("-R", "app/w~100", "sh", "-c", program)
        self.wait_until(lambda: len((self.read_if_exists("app/w") or "").split()) >= 5, 10,
                        "5 lines")
        writer = self.find_writer(proc.pid)
        # Swapped in by a rename: between a remove and a new link the writer may create NAME.
        testlib.plant_link(self.path("app/link"), self.path("etc/target"))
        os.rename(self.path("app/link"), self.path("app/w"))

        def let_go():
            return not any(path.endswith(" (deleted)") for path in
                           testlib.descriptors(writer).values())

        self.wait_until(let_go, 10, "the writer to let go of the removed file")

        def count():
            text = (self.read_if_exists("count") or "").strip()
            return int(text) if text.isdigit() else 0

        # Ten lines more, each on its own: the writer has tried NAME again meanwhile.
        now = count()
        self.wait_until(lambda: count() >= now + 10, 10, "ten more lines")
        # NAME comes back as a file, then gives way to a second hard link to the target, which
        # root may make to any file (protected_hardlinks spares it).
        os.remove(self.path("app/w"))
        self.wait_until(lambda: self.read_if_exists("app/w"), 10, "NAME written again")
        os.link(self.path("etc/target"), self.path("app/hard"))
        os.rename(self.path("app/hard"), self.path("app/w"))
        self.wait_until(let_go, 10, "the writer to let go of the removed file")
        now = count()
        self.wait_until(lambda: count() >= now + 10, 10, "ten more lines")
        self.write_file("stop", b"")
        self.assertEqual(self.wait_for_exit(proc, 20), 0)
        self.assertEqual(self.read("etc/target", "rb"), b"root:x:0:0\n")


class FifoTest(RedirectionTestCase):

    def test_fifo_without_reader_blocks_nothing(self):
        # Unopenable, like any other unusable path: the streams stay where they were.
        os.mkfifo(self.path("fifo"))
        program = ["sh", "-c", "echo $$ >> ran; echo OUT; echo ERR >&2; exit 5"]
        # options, sentrel's exit status, its stdout and stderr
        cases = [(["-l", "fifo"], 5, b"OUT\n", b"ERR\n"),
                 (["-O", "fifo"], 5, b"OUT\n", b"ERR\n"),
                 (["-E", "fifo"], 5, b"OUT\n", b"ERR\n"),
                 (["-R", "fifo"], 5, b"OUT\n", b"ERR\n"),
                 (["-d", "-l", "fifo"], 0, b"", b"")]
        for options, status, stdout, stderr in cases:
            with self.subTest(options=options):
                if os.path.exists(self.path("ran")):
                    os.remove(self.path("ran"))
                proc = self.start_sentrel(*options, *program, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE)
                try:
                    out, err = proc.communicate(timeout=10)
                except subprocess.TimeoutExpired:
                    # The detached supervisor of -d has left the process group.
                    for pid in testlib.children_of(proc.pid):
                        self.track_pid(pid)
                    out = err = None
                self.assertIsNotNone(out, "sentrel blocks on the FIFO")
                self.assertEqual((proc.returncode, out, err), (status, stdout, stderr))
                self.wait_until(lambda: self.read_if_exists("ran"), 10, "PROGRAM to run")
        self.assertTrue(stat.S_ISFIFO(os.stat(self.path("fifo")).st_mode))

    def test_sigpipe_ignored_by_the_supervisor_alone_and_streams_blocking(self):
        # PROGRAM and the crash handler get the invoker's SIGPIPE disposition (bit 13 of
        # SigIgn), and a FIFO with a reader as blocking descriptors (O_NONBLOCK is 04000).
        sigpipe = 1 << (signal.SIGPIPE - 1)
        self.write_file("handler", b"#!/bin/sh\ngrep ^SigIgn: /proc/$$/status > handler.ign\n")
        os.chmod(self.path("handler"), 0o755)
        program = ("grep ^SigIgn: /proc/$$/status > program.ign; "
                   "grep ^SigIgn: /proc/$PPID/status > supervisor.ign; "
                   "grep -h ^flags: /proc/$$/fdinfo/1 /proc/$$/fdinfo/2 > flags; "
                   "[ -e crashed ] && exit 4; : > crashed; kill -TERM $$")
        for ignored in (False, True):
            with self.subTest(invoker_ignores=ignored):
                for name in ("crashed", "handler.ign", "fifo"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                os.mkfifo(self.path("fifo"))
                reader = os.open(self.path("fifo"), os.O_RDONLY | os.O_NONBLOCK)
                self.addCleanup(os.close, reader)
                action = signal.SIG_IGN if ignored else signal.SIG_DFL
                result = self.run_sentrel("-O", "fifo", "-E", "fifo", "-e", "./handler",
                                          "sh", "-c", program,
                                          preexec_fn=lambda: signal.signal(signal.SIGPIPE, action))
                self.assertEqual(result.returncode, 4)
                self.wait_until(lambda: (self.read_if_exists("handler.ign") or "").endswith("\n"),
                                10, "the handler's record")
                # Under an emulator PROGRAM's parent is the emulator.
                if not testlib.WRAPPER:
                    mask = int(self.read("supervisor.ign").split()[1], 16)
                    self.assertTrue(mask & sigpipe, "the supervisor does not ignore SIGPIPE")
                for who in ("program", "handler"):
                    mask = int(self.read(who + ".ign").split()[1], 16)
                    self.assertEqual(bool(mask & sigpipe), ignored, who)
                flags = [int(word, 8) for word in self.read("flags").split()[1::2]]
                self.assertEqual(len(flags), 2)
                for fd, value in enumerate(flags, 1):
                    self.assertFalse(value & os.O_NONBLOCK, "descriptor %d is non-blocking" % fd)


if __name__ == "__main__":
    unittest.main()
