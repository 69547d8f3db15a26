"""The deployment recipes in examples/ work as written: the init script drives a real HTTP
server under dash and BusyBox sh, the OpenRC script runs under a stand-in for openrc-run, and
the systemd unit passes systemd's own check. No init system is booted."""
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import time

import sentrel_testlib as testlib

# The shells the scripts are run with: Debian's /bin/sh and BusyBox's.
SHELLS = [shell for shell in (["dash"], ["busybox", "sh"]) if shutil.which(shell[0])]

EXAMPLES = os.path.join(testlib.HERE, "..", "examples")
INIT_SCRIPT = os.path.join(EXAMPLES, "init.d", "S50example")
OPENRC_SCRIPT = os.path.join(EXAMPLES, "openrc", "example")
SYSTEMD_UNIT = os.path.join(EXAMPLES, "systemd", "example.service")

MARKER = b"served by the supervised server\n"

# A small server that, like most daemons, exits with status 0 on SIGTERM.
GRACEFUL_SERVER = """\
import functools, http.server, signal, sys
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[2])
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), handler).serve_forever()
"""

# The stand-in for openrc-run: OpenRC's output functions and helpers, then the service script,
# then the function named by the argument, as openrc-run calls it. Like openrc-run, it keeps
# the service's state (the file $SHIM_STARTED exists while it counts as started): start and
# stop run the script only from the other state, and the script may mark its own service.
OPENRC_SHIM = """\
ebegin() { echo " * $*"; }
eend() { [ "${1:-0}" -eq 0 ] || [ -z "$2" ] || echo " * ERROR: $2" >&2; return "${1:-0}"; }
einfo() { echo " * $*"; }
need() { :; }
use() { :; }
after() { :; }
checkpath() { # only the form -d -m MODE [-o OWNER] DIR...
	[ "$1" = -d ] && [ "$2" = -m ] || return 1
	_mode=$3 _owner=; shift 3
	[ "$1" != -o ] || { _owner=$2; shift 2; }
	mkdir -p "$@" && chmod "$_mode" "$@" && { [ -z "$_owner" ] || chown "$_owner" "$@"; }
}
mark_service_started() { : > "$SHIM_STARTED"; }
mark_service_stopped() { rm -f "$SHIM_STARTED"; }
. "$0"
case $1 in
start)
	[ ! -e "$SHIM_STARTED" ] || { echo " * WARNING: $RC_SVCNAME has already been started"; exit 0; }
	start && mark_service_started ;;
stop)
	[ -e "$SHIM_STARTED" ] || { echo " * WARNING: $RC_SVCNAME is already stopped"; exit 0; }
	stop && mark_service_stopped ;;
*) "$1" ;;
esac
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def answers(port):
    """True when an HTTP GET on the port returns the marker file."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            s.sendall(b"GET /marker HTTP/1.0\r\n\r\n")
            reply = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
    except OSError:
        return False
    return reply.startswith(b"HTTP/1.") and b" 200 " in reply.split(b"\r\n")[0] \
        and reply.endswith(MARKER)


class RecipeTestCase(testlib.SentrelTestCase):
    """Runs recipe scripts with their settings pointed at the test directory, and stops every
    service and supervisor they left, checking who a PID is before it is killed."""

    def setUp(self):
        super().setUp()
        self.pid_file = self.path("example.pid")
        self.port = free_port()
        os.mkdir(self.path("www"))
        with open(self.path("www/marker"), "wb") as f:
            f.write(MARKER)
        self.sentrel = testlib.SENTREL
        if testlib.WRAPPER:
            # The scripts run sentrel by path; this one puts the emulator in front.
            self.sentrel = self.path("sentrel")
            with open(self.sentrel, "w") as f:
                f.write('#!/bin/sh\nexec %s "$@"\n' % " ".join(
                    testlib.WRAPPER + [testlib.SENTREL]))
            os.chmod(self.sentrel, 0o755)
        self.supervisors = set()

    def tearDown(self):
        self.supervisors.update(self.sentrels())
        for pid in self.supervisors:
            if self.supervises(pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

        def service_gone():
            if not testlib.is_locked(self.pid_file):
                return True
            text = self.read_if_exists(self.pid_file)
            if text and text.isdigit():
                try:
                    os.kill(int(text), signal.SIGKILL)
                except OSError:
                    pass
            return False
        testlib.poll(service_gone, 10, 0.05)
        super().tearDown()

    def supervises(self, pid):
        """True when pid is a live sentrel holding our PID file on its command line."""
        return not testlib.has_ended(pid) and any(
            self.pid_file.encode() in word for word in testlib.command_line(pid))

    def sentrels(self):
        """The live sentrel processes with our PID file on their command line."""
        return [int(entry) for entry in os.listdir("/proc")
                if entry.isdigit() and self.supervises(int(entry))]

    def settings(self, daemon):
        """The scripts' settings, by their OpenRC names, pointed at the test directory."""
        return {"sentrel": self.sentrel, "pidfile": self.pid_file, "rundir": self.path("run"),
                "logdir": self.path("log"), "logfile": self.path("events"),
                "output": self.path("output~64"), "daemon": daemon, "respawn_delay": "1",
                "stop_timeout": "3", "start_wait": "0.3", "state": self.path("state")}

    def graceful_server(self):
        with open(self.path("server.py"), "w") as f:
            f.write(GRACEFUL_SERVER)
        return "python3 %s %d %s" % (self.path("server.py"), self.port, self.path("www"))

    def python_http_server(self):
        """A server that SIGTERM kills: sentrel starts it again, and the stop must end that."""
        return "python3 -m http.server --bind 127.0.0.1 --directory %s %d" % (
            self.path("www"), self.port)

    def busybox_httpd(self):
        return "busybox httpd -f -p 127.0.0.1:%d -h %s" % (self.port, self.path("www"))

    def run_script(self, argv, env):
        result = self.run_command(argv, 60, env=dict(os.environ, **env))
        return subprocess.CompletedProcess(argv, result.returncode, result.stdout.decode(),
                                           result.stderr.decode())

    def running_service(self):
        """(service PID, supervisor PID) once the server answers; the supervisor is noted for
        tearDown."""
        self.wait_until(lambda: answers(self.port), 10, "the server on port %d" % self.port)
        pid = self.wait_for_pid_file(self.pid_file)
        supervisor = testlib.parent_of(pid)
        self.supervisors.add(supervisor)
        self.assertTrue(self.supervises(supervisor), "parent %s of the service" % supervisor)
        return pid, supervisor

    def assert_stopped(self, supervisor):
        self.assertFalse(answers(self.port))
        self.assertFalse(testlib.is_locked(self.pid_file))
        self.assertTrue(testlib.has_ended(supervisor), "sentrel %d still runs" % supervisor)

    def assert_nothing_runs(self, result):
        self.assertEqual((self.sentrels(), testlib.is_locked(self.pid_file)), ([], False),
                         result.stdout + result.stderr)

    def check_stop_in_every_state(self, shell):
        """stop ends the supervision from a crash's respawn delay, and never signals what the
        service's account wrote into the files of its directory."""
        settings = self.settings(self.graceful_server())
        settings["respawn_delay"] = "30"
        for state in ("respawn delay", "swapped PID file"):
            with self.subTest(shell=shell, state=state):
                self.assertEqual(self.run_action("start", settings, shell).returncode, 0)
                pid, supervisor = self.running_service()
                decoy = self.start_decoy().pid
                if state == "respawn delay":
                    os.kill(pid, signal.SIGSEGV)
                    self.wait_until(lambda: not testlib.is_locked(self.pid_file), 10,
                                    "the crash")
                else:
                    for name in os.listdir(self.path("run")):
                        with open(os.path.join(self.path("run"), name), "w") as f:
                            f.write(str(decoy))
                began = time.monotonic()
                result = self.run_action("stop", settings, shell)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertLess(time.monotonic() - began, 10)
                self.assert_stopped(supervisor)
                self.assert_nothing_runs(result)
                self.assertFalse(testlib.has_ended(decoy), "the decoy was signalled")

    def check_failed_starts(self, shell):
        """A start that fails says why, returns 1 and leaves nothing running; a start never
        chowns through a link."""
        os.chmod(self.dir, 0o755)  # nobody must reach its directories
        if not os.path.lexists(self.path("link")):
            os.mkdir(self.path("elsewhere"))
            os.symlink(self.path("elsewhere"), self.path("link"))
            with open(self.path("crash"), "w") as f:
                f.write("#!/bin/sh\nkill -SEGV $$\n")
            os.chmod(self.path("crash"), 0o755)
        cases = (  # (what, daemon, settings, text expected on standard error)
            ("not found", self.path("no-such-daemon"), {"output": ""}, "no-such-daemon"),
            ("crashes at once", self.path("crash"), {"respawn_delay": "30"},
             "was not running"),
            ("rundir is a link", "sleep 30", {"rundir": self.path("link"),
                                              "pidfile": self.path("link/x.pid"),
                                              "service_user": "nobody"}, "symbolic link"),
        )
        for what, daemon, changes, text in cases:
            with self.subTest(shell=shell, case=what):
                settings = dict(self.settings(daemon), **changes)
                result = self.run_action("start", settings, shell)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(text, result.stderr)
                self.assert_nothing_runs(result)
                self.assertFalse(testlib.is_locked(settings["pidfile"]))
                self.assertEqual(os.stat(self.path("elsewhere")).st_uid, 0)

    def check_account_and_extra_options(self):
        """sentrel creates the PID file and the logs as the service's account, so the start
        has to make their directories the account's own; the extra options reach sentrel."""
        nobody = pwd.getpwnam("nobody")
        os.chmod(self.dir, 0o755)  # the account must reach its directories and the server
        self.pid_file = self.path("run/example.pid")
        settings = self.settings(self.graceful_server())
        settings.update(pidfile=self.pid_file, logfile=self.path("log/events"),
                        output=self.path("log/output~64"), service_user="nobody",
                        sentrel_opts="--max-nofile=123 --cwd=" + self.path("www"))
        result = self.run_action("start", settings)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        pid, supervisor = self.running_service()
        for name in ("run", "log"):
            self.assertEqual(os.stat(self.path(name)).st_uid, nobody.pw_uid, name)
        self.assertIn("successfully started", self.read("log/events"))
        self.assertIn("\nUid:\t%d\t" % nobody.pw_uid, self.read("/proc/%d/status" % pid))
        self.assertRegex(self.read("/proc/%d/limits" % pid), r"Max open files +123 +123 ")
        self.assertEqual(os.readlink("/proc/%d/cwd" % pid), self.path("www"))
        self.assertEqual(self.run_action("stop", settings).returncode, 0)
        self.assert_stopped(supervisor)

    def check_start_fails_when_the_server_exits_at_once(self):
        """--daemon returns once the server has been executed; one that cannot bind its port
        exits a moment later, and the start has to notice."""
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", self.port))
            taken.listen()
            settings = self.settings(self.graceful_server())
            settings["start_wait"] = "2"  # python has failed by then, even under load
            result = self.run_action("start", settings)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("was not running 2 s after its start", result.stderr)
        self.assertFalse(testlib.is_locked(self.pid_file))


class SharedRecipeTests:
    """The cases both scripts must pass, each through its own run_action or env."""

    def test_account_directories_and_extra_options(self):
        self.check_account_and_extra_options()

    def test_start_fails_when_the_server_exits_at_once(self):
        self.check_start_fails_when_the_server_exits_at_once()

    def test_stop_in_every_state(self):
        for shell in SHELLS:
            self.check_stop_in_every_state(shell)

    def test_failed_starts_leave_nothing(self):
        for shell in SHELLS:
            self.check_failed_starts(shell)


class InitScriptTest(SharedRecipeTests, RecipeTestCase):
    """examples/init.d/S50example through its actions, with the LSB exit codes."""

    def env(self, daemon):
        return self.env_of(self.settings(daemon))

    @staticmethod
    def env_of(settings):
        env = {name.upper(): value for name, value in settings.items()}
        env["NAME"] = "sentrel-example-test"
        return env

    def run_action(self, action, settings, shell=None):
        shell = shell or (["dash"] if shutil.which("dash") else ["sh"])
        return self.run_script(shell + [INIT_SCRIPT, action], self.env_of(settings))

    def drive(self, shell, daemon):
        """start, status, start again, stop, status, stop again, start, restart, stop."""
        env = self.env(daemon)

        def act(action, status):
            result = self.run_script(shell + [INIT_SCRIPT, action], env)
            self.assertEqual(result.returncode, status, "%s: %r" % (action, result))
            return result

        act("start", 0)
        pid, supervisor = self.running_service()
        act("status", 0)
        self.assertIn("already running", act("start", 0).stdout)
        self.assertEqual(self.running_service(), (pid, supervisor))

        act("stop", 0)
        self.assert_stopped(supervisor)
        act("status", 3)
        act("stop", 0)

        act("start", 0)
        pid, supervisor = self.running_service()
        act("restart", 0)
        _, new_supervisor = self.running_service()
        self.assertNotEqual(new_supervisor, supervisor)
        self.assertTrue(testlib.has_ended(supervisor))
        self.assertTrue(testlib.has_ended(pid))
        act("stop", 0)
        self.assert_stopped(new_supervisor)

    def test_dash_with_a_server_that_exits_on_sigterm(self):
        if not shutil.which("dash"):
            self.skipTest("dash is not installed (scripts/install-deps installs it)")
        self.drive(["dash"], self.graceful_server())

    def test_busybox_sh_with_busybox_httpd_that_sigterm_kills(self):
        # sentrel restarts a server that SIGTERM kills, so this also covers the stop that
        # has to end the restarted copy.
        if not shutil.which("busybox"):
            self.skipTest("busybox is not installed (scripts/install-deps installs it)")
        self.drive(["busybox", "sh"], self.busybox_httpd())

    def test_a_second_supervisor_is_refused(self):
        shell = ["dash"] if shutil.which("dash") else ["sh"]
        env = self.env(self.graceful_server())
        self.assertEqual(self.run_script(shell + [INIT_SCRIPT, "start"], env).returncode, 0)
        pid, supervisor = self.running_service()
        events = self.read("events")
        # The script's own start command, given again behind its back, is refused.
        refused = self.run_sentrel("--pid-file=" + self.pid_file,
                                   "--log-file=" + self.path("events"),
                                   "--redirect=" + self.path("output~64"),
                                   "sh", "-c", ": > " + self.path("launched"))
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn(b"locked", refused.stderr)
        self.assertEqual(self.running_service(), (pid, supervisor))
        self.assertEqual(self.read("events"), events)
        self.assertFalse(os.path.exists(self.path("launched")))
        self.assertEqual(self.run_script(shell + [INIT_SCRIPT, "stop"], env).returncode, 0)
        self.assert_stopped(supervisor)



class OpenRCScriptTest(SharedRecipeTests, RecipeTestCase):
    """examples/openrc/example under a stand-in for openrc-run; OpenRC itself is not run."""

    def run_action(self, action, settings, shell=("sh",)):
        env = dict(settings, RC_SVCNAME="sentrel-example-test",
                   SHIM_STARTED=self.path("openrc-started"))
        return self.run_script(list(shell) + ["-c", OPENRC_SHIM, OPENRC_SCRIPT, action], env)

    def test_start_status_stop(self):
        with open(OPENRC_SCRIPT) as f:
            self.assertEqual(f.readline(), "#!/sbin/openrc-run\n")
        settings = self.settings(self.python_http_server())
        for function in ("depend", "start", "status"):
            result = self.run_action(function, settings)
            self.assertEqual(result.returncode, 0, "%s: %r" % (function, result))
        _, supervisor = self.running_service()
        for function, status in (("stop", 0), ("status", 3)):
            result = self.run_action(function, settings)
            self.assertEqual(result.returncode, status, "%s: %r" % (function, result))
        self.assert_stopped(supervisor)

    def test_start_again_after_the_service_ended_on_its_own(self):
        # OpenRC still counts the service started; its status, asked first, must correct that.
        settings = self.settings(self.graceful_server())
        self.assertEqual(self.run_action("start", settings).returncode, 0)
        pid, supervisor = self.running_service()
        os.kill(pid, signal.SIGTERM)  # it exits with status 0: the supervision ends
        self.wait_until(lambda: testlib.has_ended(supervisor), 10, "sentrel %d to end" % supervisor)
        self.assertEqual(self.run_action("status", settings).returncode, 3)
        result = self.run_action("start", settings)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotIn("already", result.stdout)
        self.assertNotEqual(self.running_service()[1], supervisor)
        self.assertEqual(self.run_action("stop", settings).returncode, 0)

    def test_openrc_run_resolves_and_runs_it(self):
        """Debian's own openrc-run, in a private mount namespace whose /etc/init.d holds the
        script alone: its dependencies resolve, and start, status and stop work."""
        if not os.path.exists("/sbin/openrc-run"):
            self.skipTest("OpenRC is not installed (scripts/install-deps installs it)")
        reason = testlib.mount_namespace_refusal()
        if reason:
            self.skipTest(reason)
        os.mkdir(self.path("init.d"))
        service = self.path("init.d/sentrel-example-test")
        settings = "".join('%s="%s"\n' % item
                           for item in self.settings(self.graceful_server()).items())
        with open(OPENRC_SCRIPT) as f:
            shebang = f.readline()
            text = f.read()
        with open(service, "w") as f:
            f.write(shebang + settings + text)
        os.chmod(service, 0o755)
        run = "\n".join(["mount --bind init.d /etc/init.d && mount -t tmpfs tmpfs /run || exit 77",
                          "mkdir /run/openrc && touch /run/openrc/softlevel",
                          "for d in daemons exclusive failed hotplugged inactive options "
                          "scheduled started starting stopping tmp wasinactive; do",
                          "  mkdir /run/openrc/$d; done"]
                         + ["/etc/init.d/sentrel-example-test %s; echo status=$?" % action
                            for action in ("start", "status", "stop", "status")])
        result = self.run_command(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                                   run], 60)
        output = (result.stdout + result.stderr).decode()
        self.assertEqual(re.findall(r"status=(\d+)", output), ["0", "0", "0", "3"], output)
        self.assertNotIn("non existent", output)
        self.assertIn("successfully started", self.read("events"))
        self.assertIn("stopped by signal: signal=15", self.read("events"))
        self.assert_nothing_runs(result)


def unit_keys(path):
    """{(section, key): [values]} of a systemd unit, continuation lines joined."""
    keys = {}
    section = None
    with open(path) as f:
        text = re.sub(r"\\\n\s*", " ", f.read())
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith(("#", ";")):
            continue
        if line.startswith("["):
            section = line.strip("[]")
            continue
        key, _, value = line.partition("=")
        keys.setdefault((section, key.strip()), []).append(value.strip())
    return keys


class SystemdUnitTest(testlib.SentrelTestCase):
    """examples/systemd/example.service; the unit is checked, systemd is not booted."""

    def test_sentrel_is_the_main_process_and_alone_gets_the_stop_signal(self):
        keys = unit_keys(SYSTEMD_UNIT)
        self.assertEqual(keys[("Service", "Type")], ["simple"])
        self.assertEqual(keys[("Service", "KillMode")], ["mixed"])
        self.assertNotIn(("Service", "ExecStop"), keys)
        start = keys[("Service", "ExecStart")][0].split()
        self.assertFalse({"-d", "--daemon"} & set(start))
        self.assertIn("--respawn-kill", start)
        self.assertEqual(len([word for word in start if re.match(r"--log-file=.+~\d+$", word)]), 1)
        pid_file = [word[len("--pid-file=/run/"):] for word in start
                    if word.startswith("--pid-file=/run/")]
        self.assertEqual([name.split("/")[0] for name in pid_file],
                         keys[("Service", "RuntimeDirectory")])

    def test_systemd_analyze_verify_accepts_it(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed")
        # verify wants the commands to exist: point them at the binary under test.
        unit = self.path("example.service")
        with open(SYSTEMD_UNIT) as f:
            text = f.read()
        with open(unit, "w") as f:
            f.write(text.replace("/usr/bin/sentrel", testlib.SENTREL))
        result = subprocess.run(["systemd-analyze", "verify", unit], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=60)
        ours = [line for line in result.stdout.decode().splitlines() if "example" in line]
        self.assertEqual((result.returncode, ours), (0, []), result.stdout.decode())
