"""Black-box tests of the process set-up: account switch, working directory, core and
descriptor limits, and detaching into the background. Run as root."""
import fcntl
import os
import pwd
import resource
import signal
import stat
import subprocess
import sys
import time
import unittest

import sentrel_testlib as testlib

PROG = testlib.SENTREL.encode()
MISSING_USER = "nosuchuser"
# Supplementary groups the test gives sentrel's parent, so that a switch that forgets to drop
# them shows up in PROGRAM.
EXTRA_GROUPS = [0, 4, 27]


def limit_of(limits_text, name):
    """(soft, hard) of one line of a /proc/<pid>/limits text, as the kernel prints them."""
    for line in limits_text.splitlines():
        if line.startswith(name):
            words = line[len(name):].split()
            return words[0], words[1]
    raise AssertionError("no %r line in %r" % (name, limits_text))


def can_set_nofile(soft, hard, start=None):
    """Whether a child of this process, starting from start=(soft, hard), may set the limit."""
    script = ("import resource, sys\n"
              "start = %r\n"
              "if start: resource.setrlimit(resource.RLIMIT_NOFILE, start)\n"
              "try:\n"
              "    resource.setrlimit(resource.RLIMIT_NOFILE, (%d, %d))\n"
              "except (OSError, ValueError):\n"
              "    sys.exit(1)\n" % (start, soft, hard))
    return subprocess.run([sys.executable, "-c", script], timeout=30).returncode == 0


def nofile_limit(soft, hard):
    """A preexec_fn giving the started sentrel the descriptor limit (soft, hard)."""
    return lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def read_nr_open():
    with open("/proc/sys/fs/nr_open") as f:
        return int(f.read())


class SetupTestCase(testlib.SentrelTestCase):
    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("the set-up tests run as root")

    def tearDown(self):
        # A daemon that never wrote its PID file would escape the process-group clean-up; its
        # working directory is still this test's directory, which nothing else uses.
        here = os.path.realpath(self.dir)
        for entry in os.listdir("/proc"):
            if entry.isdigit() and int(entry) != os.getpid():
                try:
                    cwd = os.readlink("/proc/%s/cwd" % entry)
                except OSError:
                    continue
                if cwd == here or cwd.startswith(here + "/"):
                    self.track_pid(int(entry))
        super().tearDown()

    def run_ok(self, *args, **kwargs):
        result = self.run_sentrel(*args, **kwargs)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def start_holder(self, pid_file, cwd=None):
        """A supervised `sleep' holding pid_file's lock; returns PROGRAM's PID."""
        self.start_sentrel("-p", pid_file, "sleep", "20", cwd=cwd or self.dir)
        return self.wait_for_pid_file(os.path.join(cwd or self.dir, pid_file))

    def wait_for_exec(self, pid, name="sleep"):
        """Waits until pid runs name: the PID file is written before the child's exec, and the
        close-on-exec descriptors are still there until then."""
        def running():
            try:
                with open("/proc/%d/comm" % pid) as f:
                    return f.read().strip() == name
            except OSError:
                return False
        self.wait_until(running, 10, "process %d to run %s" % (pid, name))

    def fatal(self, text):
        return PROG + b": " + text.encode() + b"\n"


class AccountSwitchTest(SetupTestCase):
    def program_status(self, *options):
        result = self.run_ok(*options, "cat", "/proc/self/status", extra_groups=EXTRA_GROUPS)
        return testlib.proc_status(result.stdout.decode())

    def test_user_gets_ids_and_only_its_own_groups(self):
        nobody = pwd.getpwnam("nobody")
        status = self.program_status("-u", "nobody")
        self.assertEqual(status["Uid"], [str(nobody.pw_uid)] * 4)
        self.assertEqual(status["Gid"], [str(nobody.pw_gid)] * 4)
        expected = {str(g) for g in os.getgrouplist("nobody", nobody.pw_gid)}
        self.assertEqual(set(status["Groups"]), expected)
        self.assertNotIn("0", status["Groups"])

    def test_user_from_the_account_files(self):
        # Names that start alike, a second line for the same name, and a last line without its
        # newline. The files replace /etc's in a private mount namespace.
        with open(self.path("passwd"), "w") as f:
            f.write("root:x:0:0:root:/root:/bin/sh\nal:x:1001:1001::/:/bin/sh\n"
                    "alice:x:1002:1002:Alice, Room 2:/home/alice:/bin/sh\n"
                    "alice:x:1999:1999::/:/bin/sh\nbob:x:1003:100::/:/bin/sh")
        with open(self.path("group"), "w") as f:
            f.write("root:x:0:\nwheel:x:10:root,alice\naudio:x:29:al,alicex,alice\n"
                    "alice:x:1002:\nvideo:x:44:bob,al\n")
        setup = "mount --bind passwd /etc/passwd; mount --bind group /etc/group"
        for user, uid, gid, groups in (("alice", 1002, 1002, {1002, 10, 29}),
                                       ("al", 1001, 1001, {1001, 29, 44}),
                                       ("bob", 1003, 100, {100, 44})):
            with self.subTest(user=user):
                result = testlib.run_in_mount_namespace(
                    self, setup, "-u", user, "cat", "/proc/self/status", extra_groups=EXTRA_GROUPS)
                self.assertEqual(result.returncode, 0, result.stderr)
                status = testlib.proc_status(result.stdout.decode())
                self.assertEqual((status["Uid"], status["Gid"]), ([str(uid)] * 4, [str(gid)] * 4))
                self.assertEqual(set(status["Groups"]), {str(g) for g in groups})

    def test_empty_user_changes_nothing(self):
        for options in ((), ("-u", ""), ("--user=",)):
            with self.subTest(options=options):
                status = self.program_status(*options)
                self.assertEqual(status["Uid"], ["0"] * 4)
                self.assertEqual(status["Gid"], ["0"] * 4)
                # The parent's extra groups reach PROGRAM untouched.
                self.assertEqual(set(status["Groups"]), {str(g) for g in EXTRA_GROUPS})

    def test_unknown_user_is_fatal_before_control_commands(self):
        try:
            pwd.getpwnam(MISSING_USER)
            self.skipTest("account %s exists" % MISSING_USER)
        except KeyError:
            pass
        holder_pid = self.start_holder("held.pid")
        expected = self.fatal("getpwnam(): failed to find user: `%s'" % MISSING_USER)
        cases = [
            ("-u", MISSING_USER, "touch", "started"),
            ("--user=" + MISSING_USER, "touch", "started"),
            # Without the switch these would answer 0 (locked) or stop the holder.
            ("-u", MISSING_USER, "--test-alive", "-p", "held.pid"),
            ("--test-alive", "-p", "held.pid", "-u", MISSING_USER),
            ("-u", MISSING_USER, "--stop=1", "-p", "held.pid"),
            # The usage for a control command without a PID file comes after the switch.
            ("-u", MISSING_USER, "-K", "5"),
        ]
        for args in cases:
            with self.subTest(args=args):
                result = self.run_sentrel(*args)
                self.assertEqual(result.stderr, expected)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.returncode, 2)
        self.assertFalse(os.path.exists(self.path("started")))
        self.assertTrue(testlib.process_exists(holder_pid))
        self.assertEqual(self.read("held.pid"), str(holder_pid))
        self.assertTrue(testlib.is_locked(self.path("held.pid")))

    def test_test_alive_as_user_needs_read_access(self):
        os.chmod(self.dir, 0o755)
        self.start_holder("held.pid")
        for mode, expected in ((0o644, 0), (0o600, 1)):
            with self.subTest(mode=oct(mode)):
                os.chmod(self.path("held.pid"), mode)
                result = self.run_sentrel("-u", "nobody", "--test-alive", "-p", "held.pid")
                self.assertEqual(result.returncode, expected, result.stderr)
                self.assertEqual(result.stderr, b"")
                self.assertTrue(testlib.is_locked(self.path("held.pid")))


class LimitsTest(SetupTestCase):
    def program_limits(self, *options, **kwargs):
        result = self.run_ok(*options, "cat", "/proc/self/limits", **kwargs)
        return result.stdout.decode()

    def test_enable_core_lifts_both_limits(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_CORE)
        if hard != resource.RLIM_INFINITY:
            self.skipTest("the hard core limit is not unlimited, so -c cannot work here")
        lowered = lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, hard))
        for options, expected in (((), ("0", "unlimited")),
                                  (("-c",), ("unlimited", "unlimited")),
                                  (("--enable-core",), ("unlimited", "unlimited"))):
            with self.subTest(options=options):
                limits = self.program_limits(*options, preexec_fn=lowered)
                self.assertEqual(limit_of(limits, "Max core file size"), expected)

    def test_max_nofile_values(self):
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard < 4096:
            self.skipTest("hard descriptor limit %d is below 4096" % hard)
        cases = [
            ("-F", "4096", (1024, hard), ("4096", "4096")),
            ("--max-nofile=4096", None, (1024, hard), ("4096", "4096")),
            # Lowering needs no privilege.
            ("-F", "512", (1024, 1024), ("512", "512")),
            ("-F", "0", (1000, 1500), ("1000", "1500")),
            ("-F", "abc", (1000, 1500), ("1000", "1500")),
        ]
        for option, value, start, expected in cases:
            with self.subTest(option=option, value=value, start=start):
                options = (option,) if value is None else (option, value)
                limits = self.program_limits(*options, preexec_fn=nofile_limit(*start))
                self.assertEqual(limit_of(limits, "Max open files"), expected)

    def test_raising_hard_limit_without_privilege_fails(self):
        if can_set_nofile(2048, 2048, start=(1024, 1024)):
            self.skipTest("this process may raise its hard descriptor limit")
        result = self.run_sentrel("-F", "2048", "touch", "started",
                                  preexec_fn=nofile_limit(1024, 1024))
        self.assertEqual(result.stderr, self.fatal("setrlimit(RLIMIT_NOFILE): "
                                                   "Operation not permitted"))
        self.assertEqual(result.returncode, 3)
        self.assertFalse(os.path.exists(self.path("started")))

    def test_unlimited_max_nofile_means_kernel_ceiling(self):
        nr_open = read_nr_open()
        if can_set_nofile(nr_open, nr_open):
            limits = self.program_limits("-F", "-1")
            self.assertEqual(limit_of(limits, "Max open files"), (str(nr_open),) * 2)
            return
        result = self.run_sentrel("-F", "-1", "touch", "started")
        self.assertEqual(result.stderr, self.fatal("setrlimit(RLIMIT_NOFILE): "
                                                   "Operation not permitted"))
        self.assertEqual(result.returncode, 3)
        self.assertFalse(os.path.exists(self.path("started")))


class WorkingDirectoryTest(SetupTestCase):
    def test_relative_paths_are_opened_in_cwd(self):
        os.mkdir(self.path("sub"))
        where = os.path.realpath(self.path("sub"))
        script = "pwd -P; echo ERR >&2"
        cases = [
            (("-O", "out.txt", "-E", "err.txt"), {"out.txt": where + "\n", "err.txt": "ERR\n"}),
            (("-R", "rot.txt~8"), {"rot.txt": where + "\nERR\n"}),
        ]
        for redirection, outputs in cases:
            with self.subTest(redirection=redirection):
                self.run_ok("--cwd=sub", "-l", "events.log", "-p", "prog.pid", *redirection,
                            "sh", "-c", script)
                self.assertFalse(os.path.exists(self.path("events.log")))
                self.assertFalse(os.path.exists(self.path("prog.pid")))
                self.assertIn("The process was successfully started: pid=%s"
                              % self.read("sub/prog.pid"), self.log_events("sub/events.log")[0])
                for name, text in outputs.items():
                    self.assertFalse(os.path.exists(self.path(name)))
                    self.assertEqual(self.read("sub/" + name), text)

    def test_control_commands_resolve_against_caller(self):
        sub = self.path("sub")
        os.mkdir(sub)
        # Same name, two meanings: locked in the caller's directory, unlocked in sub.
        top_pid = self.start_holder("svc.pid")
        open(os.path.join(sub, "svc.pid"), "w").close()
        # Locked in sub, absent in the caller's directory.
        sub_pid = self.start_holder("other.pid", cwd=sub)
        for name, expected in (("svc.pid", 0), ("other.pid", 1)):
            with self.subTest(name=name):
                result = self.run_sentrel("--cwd=sub", "--test-alive", "-p", name)
                self.assertEqual(result.returncode, expected, result.stderr)
        result = self.run_sentrel("--cwd=sub", "--stop=5", "-p", "svc.pid")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.wait_until(lambda: not testlib.process_exists(top_pid), 5, "the stopped PROGRAM")
        self.assertTrue(testlib.process_exists(sub_pid))

    def test_missing_cwd_is_fatal(self):
        result = self.run_sentrel("--cwd=missing", "-p", "prog.pid", "touch", "started")
        self.assertEqual(result.stderr, self.fatal("chdir(): No such file or directory"))
        self.assertEqual(result.returncode, 2)
        self.assertEqual(os.listdir(self.dir), [])


class DaemonTest(SetupTestCase):
    def start_daemon(self, pid_file, *args, **kwargs):
        """Runs sentrel --daemon; returns PROGRAM's, the supervisor's and the invoker's PIDs."""
        started = time.monotonic()
        invoker = self.start_sentrel("--daemon", "-p", pid_file, *args, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, **kwargs)
        # The pipes reach end of file only when the detached processes have closed them too.
        out, err = invoker.communicate(timeout=15)
        elapsed = time.monotonic() - started
        self.assertEqual(invoker.returncode, 0, err)
        self.assertEqual((out, err), (b"", b""))
        self.assertLess(elapsed, 5)
        program_pid = self.wait_for_pid_file(pid_file)
        self.track_pid(program_pid)
        self.wait_for_exec(program_pid)
        supervisor_pid = int(testlib.read_proc_status(program_pid)["PPid"][0])
        self.track_pid(supervisor_pid)
        self.assertLess(time.monotonic() - started, 10)
        self.assertNotEqual(supervisor_pid, invoker.pid)
        return program_pid, supervisor_pid, invoker.pid

    def test_detached_session_streams_and_modes(self):
        with open(self.path("handler"), "w") as f:
            f.write("#!/bin/sh\numask > handler.umask\n")
        os.chmod(self.path("handler"), 0o755)
        program_pid, supervisor_pid, invoker = self.start_daemon(
            "prog.pid", "-l", "events.log", "-e", "./handler", "sleep", "20", umask=0o027)
        # The invoker has already left; PROGRAM lives on under a new session leader.
        self.assertTrue(testlib.process_exists(program_pid))
        session = int(testlib.stat_fields(supervisor_pid)[3])
        self.assertEqual(session, supervisor_pid)
        self.assertNotEqual(session, invoker)
        self.assertEqual(int(testlib.stat_fields(program_pid)[3]), program_pid)
        self.assertEqual(testlib.read_proc_status(supervisor_pid)["Umask"], ["0000"])
        fds = testlib.descriptors(program_pid)
        self.assertEqual([fds.get(fd) for fd in (0, 1, 2)], ["/dev/null"] * 3)
        log_path = os.path.realpath(self.path("events.log"))
        self.assertNotIn(log_path, fds.values())
        self.wait_until(lambda: self.read_if_exists("events.log"), 5, "the launch log line")
        # PROGRAM and the handler get the invoker's umask back; the supervisor's own files keep
        # the modes it asks for, and the log is never writable by others.
        self.assertEqual(testlib.read_proc_status(program_pid)["Umask"], ["0027"])
        log_mode = stat.S_IMODE(os.stat(self.path("events.log")).st_mode)
        self.assertEqual((log_mode & 0o600, log_mode & 0o002), (0o600, 0), oct(log_mode))
        self.assertEqual(stat.S_IMODE(os.stat(self.path("prog.pid")).st_mode), 0o604)
        os.kill(program_pid, signal.SIGSEGV)
        self.track_pid(self.wait_for_pid_file("prog.pid", previous=program_pid))
        self.assertEqual(self.wait_until(lambda: self.read_if_exists("handler.umask"), 5,
                                         "the handler"), "0027\n")

    def test_invoker_reports_how_the_start_ended(self):
        # A good start in place (-n): 0 once PROGRAM runs, its PID already in the PID file.
        invoker = self.start_sentrel("-d", "-n", "-p", "inplace.pid", "sleep", "20",
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(invoker.communicate(timeout=15), (b"", b""))
        self.assertEqual(invoker.returncode, 0)
        self.assertTrue(testlib.is_locked(self.path("inplace.pid")), "returned before the start")
        program_pid = int(self.read("inplace.pid"))
        self.track_pid(program_pid)
        self.wait_for_exec(program_pid)
        fds = testlib.descriptors(program_pid)
        self.assertEqual([fds.get(fd) for fd in (0, 1, 2)], ["/dev/null"] * 3)
        # A refused or failed start: the status and message of the same command without -d.
        self.start_holder("held.pid")
        missing = self.path("no-such-program")
        not_found = self.fatal(missing + ": No such file or directory")
        held = (testlib.ALREADY_LOCKED % (testlib.SENTREL, "held.pid")).encode()
        cases = [
            (("-p", "held.pid", "-l", "events.log", "sleep", "20"), held),
            (("-n", "-p", "held.pid", "sleep", "20"), held),
            (("-p", "missing/prog.pid", "sleep", "20"), self.fatal(
                "open(): failed to open or create PID file: `missing/prog.pid': "
                "No such file or directory")),
            (("-p", "/dev/full", "sleep", "20"), self.fatal(
                "truncate(): failed to write PID to the file: `/dev/full': Invalid argument")),
            (("-p", "prog.pid", missing), not_found),
            (("-n", "-p", "prog.pid", missing), not_found),
        ]
        for args, stderr in cases:
            for options in ((), ("-d",)):
                with self.subTest(args=args, options=options):
                    result = self.run_sentrel(*options, *args)
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (2, b"", stderr))
        self.assertFalse(os.path.exists(self.path("events.log")))

    def test_start_without_a_report_pipe_is_refused(self):
        # 0-2 are open, so a limit of 3 descriptors leaves no room for the pipe the invoker
        # would wait on.
        # A sanitized build's leak check needs descriptors of its own at exit; sentrel allocates
        # nothing, so it is off here.
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
        result = self.run_sentrel("-F", "3", "-d", "-p", "prog.pid", "sleep", "20", env=env)
        # glibc's and musl's texts for EMFILE.
        self.assertIn((result.returncode, result.stdout, result.stderr),
                      [(2, b"", self.fatal("pipe2(): " + text))
                       for text in ("Too many open files", "No file descriptors available")])
        self.assertFalse(os.path.exists(self.path("prog.pid")))

    def test_supervisor_killed_before_the_launch_fails_the_start(self):
        # While the test holds the PID file's lock, the detached supervisor spends its lock
        # retries (about 0.1 s) before it could launch or report anything: it is killed then.
        if not os.path.exists("/proc/self/task/%d/children" % os.getpid()):
            self.skipTest("the kernel does not list a process's children in /proc")
        fd = os.open(self.path("prog.pid"), os.O_WRONLY | os.O_CREAT, 0o644)
        self.addCleanup(os.close, fd)
        fcntl.flock(fd, fcntl.LOCK_EX)
        invoker = self.start_sentrel("-d", "-p", "prog.pid", "sleep", "20",
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        children = "/proc/%d/task/%d/children" % (invoker.pid, invoker.pid)
        supervisor = self.wait_until(lambda: open(children).read().split(), 5,
                                     "the detached supervisor", interval=0)
        os.kill(int(supervisor[0]), signal.SIGKILL)
        out, err = invoker.communicate(timeout=15)
        if err:
            self.skipTest("the supervisor reported the lock before it was killed: %r" % err)
        self.assertEqual((invoker.returncode, out), (2, b""))

    def test_redirection_files_mode(self):
        # After the detach the redirections still go to descriptors 1 and 2; the rotating
        # writer's pipe stands for its file.
        cases = [(("-O", "out.txt", "-E", "err.txt"), ("out.txt", "err.txt")),
                 (("-R", "rot.txt~8"), ("rot.txt",))]
        for index, (redirection, names) in enumerate(cases):
            with self.subTest(redirection=redirection):
                pid_file = "prog%d.pid" % index
                program_pid, _, _ = self.start_daemon(pid_file, *redirection, "sleep", "20",
                                                      umask=0o027)
                for name in names:
                    self.wait_until(lambda: os.path.exists(self.path(name)), 5, name)
                    self.assertEqual(stat.S_IMODE(os.stat(self.path(name)).st_mode), 0o660)
                fds = testlib.descriptors(program_pid)
                self.assertEqual(fds.get(0), "/dev/null")
                if len(names) == 2:
                    paths = [os.path.realpath(self.path(n)) for n in names]
                    self.assertEqual([fds.get(1), fds.get(2)], paths)
                else:
                    self.assertRegex(fds.get(1), r"^pipe:")
                    self.assertEqual(fds.get(2), fds.get(1))

    def test_high_limit_closes_inherited_descriptors(self):
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        inherited = os.path.realpath(self.path("inherited"))
        first_fd = os.open(inherited, os.O_WRONLY | os.O_CREAT, 0o600)
        # The highest descriptor this process may hold: a close loop that stops short of the
        # limit leaves it open.
        soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
        fd = fcntl.fcntl(first_fd, fcntl.F_DUPFD, min(soft, 65536) - 1)
        os.close(first_fd)
        self.addCleanup(os.close, fd)
        options = dict(pass_fds=(fd,), preexec_fn=nofile_limit(hard, hard))
        # Without --daemon the descriptor does reach PROGRAM, so its absence below means
        # something.
        self.start_sentrel("-p", "plain.pid", "sleep", "20", **options)
        plain_pid = self.wait_for_pid_file("plain.pid")
        self.wait_for_exec(plain_pid)
        self.assertEqual(testlib.descriptors(plain_pid).get(fd), inherited)
        program_pid, supervisor_pid, _ = self.start_daemon("prog.pid", "sleep", "20", **options)
        for pid in (program_pid, supervisor_pid):
            with self.subTest(pid=pid):
                fds = testlib.descriptors(pid)
                self.assertNotIn(fd, fds)
                self.assertNotIn(inherited, fds.values())


if __name__ == "__main__":
    unittest.main()
