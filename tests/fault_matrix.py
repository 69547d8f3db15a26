#!/usr/bin/env python3
"""Fault-injection matrix: every system call sentrel's processes really make in a few scenarios
is failed, one call number at a time, with the errors the kernel can give there (strace
--inject), and every run is checked against the invariants below. strace follows sentrel's
processes and lets go of each at its exec (-b execve), so PROGRAM's shell is never hit.

  fault_matrix.py [--sample] [--jobs N] [--report FILE] [--only SCENARIO] [SENTREL]

--sample runs one call number per call and error (the CTest case); without it every call
number up to 8 (1, 2, 3, 5, 8 when a call is frequent). Exit 0 when no invariant was violated,
1 otherwise, 77 when strace or a private mount namespace is missing (the reason on stderr).
"""
import argparse
import concurrent.futures
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import zlib

import sentrel_testlib as testlib

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77
EXIT_DEADLINE = 15  # seconds until a run that keeps supervising is told to stop
STOP_DEADLINE = 5  # seconds it then has to end

# The table of faults: call, errors, target, why. Target "any" counts every call of that name in
# a process, "files" only those on the run's own files (strace -P), "create" the same but is run
# only at a call number where every process's call creates the file, "program" only the exec of
# PROGRAM or the handler. strace counts call numbers per process.
FAULTS = [
    ("openat", "EMFILE ENFILE ENOMEM EACCES EIO", "any", "every open, loader and libc included"),
    ("openat", "ENOSPC EDQUOT", "create", "creating one of the run's files"),
    ("read", "EINTR", "any", "pipes block; a signal may end the wait"),
    ("read", "EIO", "files", ""),
    ("write", "ENOSPC EDQUOT EFBIG EIO", "files", "PID file, event log, output files"),
    ("write", "EINTR", "files", "a network or FUSE file"),
    ("newfstatat", "ENOMEM", "any", ""),
    ("flock", "EAGAIN ENOLCK", "files", "EAGAIN: a probe holds the lock for a moment"),
    ("ftruncate", "EIO EINTR EPERM", "files", "EPERM: an append-only file"),
    ("pipe2", "EMFILE ENFILE", "any", ""),
    ("clone", "EAGAIN ENOMEM", "any", "fork"),
    ("close_range", "ENOSYS delay", "any", "ENOSYS: kernels before 5.9; delay: a slow writer"),
    ("prctl", "EINVAL", "any", "kernels without the option"),
    ("wait4", "EINTR", "any", ""),
    ("rt_sigtimedwait", "EINTR", "any", ""),
    ("clock_nanosleep", "EINTR", "any", ""),
    ("rename", "EIO ENOSPC EACCES EBUSY EISDIR", "files", "EISDIR: a directory as the backup"),
    ("execve", "ENOMEM EACCES EIO", "program", "PROGRAM's or the handler's exec"),
    ("kill", "EPERM", "any", "another account's process"),
    ("getdents64", "ENOENT ENOMEM", "any", "ENOENT: the listed process ended"),
    ("setgroups", "EPERM ENOMEM", "any", ""),
    ("setgid", "EPERM", "any", ""),
    ("setuid", "EPERM EAGAIN", "any", "EAGAIN: the account's process limit"),
    ("socket", "EMFILE ENFILE ENOBUFS ENOMEM EACCES", "any", "syslog and NSS"),
    ("connect", "ENOENT ECONNREFUSED EAGAIN EACCES", "any", "no syslog daemon, or a busy one"),
    ("sendto", "EAGAIN ENOBUFS ECONNREFUSED ENOTCONN EINTR", "any", "syslog"),
    ("mmap", "ENOMEM", "any", "the C library's own allocations"),
    ("mprotect", "ENOMEM", "any", "the dynamic loader"),
    ("pread64", "EIO", "any", "the dynamic loader"),
    ("access", "ENOMEM", "any", ""),
    ("getrandom", "ENOSYS EAGAIN", "any", "kernels before 3.17; entropy not ready"),
    ("rseq", "ENOSYS", "any", "kernels before 4.18"),
    ("set_robust_list", "ENOSYS", "any", "kernels without robust futexes"),
]
# Calls never failed, and why: a skipped call would model a state the kernel cannot produce.
NEVER = {
    "brk": "the kernel refuses by returning the old break, never an error, so an injected "
           "error would make the C library take -1 for the new break",
    "dup2": "in a single-threaded child, onto 1 or 2, it cannot fail: EBUSY needs an open "
            "racing in another thread, and Linux's dup2 never returns EINTR",
    "write EPIPE, EINTR and EAGAIN on pipes": "each pipe sentrel writes has a reader that is "
        "alive and waiting (the child at its gate, the invoker under --daemon), and a byte "
        "into an empty blocking pipe neither blocks nor is refused: the error would model a "
        "reader that is gone and yet reads",
    "close": "strace's injection skips the call, leaving the descriptor open; Linux frees it "
             "even when close reports an error, so no injection models a real close",
    "exit_group": "cannot fail",
    "restart_syscall": "the kernel's own resumption of an interrupted sleep",
    "lseek": "SEEK_END on a regular file cannot fail with 64-bit offsets (a FIFO's ESPIPE is "
             "a file type, not a fault)",
    "fcntl": "F_GETFD, F_SETFD and F_SETFL cannot fail on an open descriptor",
    "setsid": "cannot fail in a forked child, which never leads a group",
    "rt_sigaction": "cannot fail with valid arguments",
    "rt_sigprocmask": "cannot fail with valid arguments",
    "umask": "cannot fail", "getpid": "cannot fail", "geteuid": "cannot fail",
    "getuid": "cannot fail", "getppid": "cannot fail", "gettid": "cannot fail",
    "munmap": "only the C library unmaps, and ignores the result",
    "arch_prctl": "the loader's thread pointer: no kernel refuses it",
    "set_tid_address": "cannot fail", "prlimit64": "only the C library's start-up reads a limit",
    "statfs": "only the C library's start-up", "sysinfo": "cannot fail",
}
# Violations found in sentrel itself: each stays in the sample (and so in CTest), expected to
# hold once mended, and in the whole matrix. (scenario, call, error, call number, where 0 fails
# every call): what was found.
KNOWN = {
    ("stop", "openat", "EMFILE", 4): "--stop answers 0, nothing running, when the PID file "
                                     "cannot be opened the second time",
    ("stop", "flock", "ENOLCK", 1): "--stop answers 0, nothing running, when the lock cannot "
                                    "be tried",
    ("supervise", "rename", "EISDIR", 0): "a rotation that cannot rename removes NAME, the "
                                          "newest output, before anything replaces it",
    ("supervise", "close_range", "delay", 1): "the writer, until it has closed what it "
                                              "inherited, holds the first cycle's lock: a "
                                              "PROGRAM that crashes meanwhile gets it stopped "
                                              "as a leftover, behind the loop's back",
    ("supervise", "write", "ENOSPC", 2): "a full disk refusing the empty NAME right after a "
                                         "rotation drops the newest output, the backup kept",
    ("supervise", "write", "EINTR", 2): "an interrupted write to NAME drops the chunk",
    ("supervise", "write", "EFBIG", 2): "a file at its size limit drops the output instead of "
                                        "rotating as on a full disk",
}

# PROGRAM: records its PID, writes 16 numbered 64-byte lines per run (a 1 KiB chunk then holds
# whole lines, and each run fills the writer's file to its cap of 2 x 512 bytes exactly, so that
# a rotation falls on each run's last line), crashes the first time and exits 5 the second.
LINES = 16
SUPERVISED = r"""echo $$ >> "$D/pids"; r=0; while read x; do r=$((r+1)); done < "$D/pids"
i=1; while [ $i -le 16 ]; do printf '%-63s\n' "run $r line $i"; i=$((i+1)); done
if [ ! -e "$D/crashed" ]; then : > "$D/crashed"; kill -USR1 $$; fi; exit 5"""
LONG_RUNNING = r"""echo $$ >> "$D/pids"; exec sleep 60"""
AS_USER = r"""echo $$ >> "$D/pids"; id -u > "$D/ids"; id -G >> "$D/ids"; exit 7"""
DAEMONIZED = r"""echo $$ >> "$D/pids"; echo ran > "$D/ran"; exit 0"""

SCENARIOS = {
    # name: (sentrel arguments after the binary, PROGRAM script or None, files, expected status)
    "supervise": (["-p", "{d}/pid", "-l", "{d}/log", "-R", "{d}/out~2", "-s", "{ident}", "-e",
                   "/bin/true"], SUPERVISED, ["pid", "log", "out", "out~"], 5),
    "alive": (["--test-alive", "-p", "{d}/pid"], None, ["pid"], 0),
    "stop": (["--stop=2", "-p", "{d}/pid"], None, ["pid"], 0),
    "daemon": (["--daemon", "-p", "{d}/pid", "-l", "{d}/log"], DAEMONIZED, ["pid", "log"], 0),
    "user": (["-u", "nobody", "-p", "{d}/pid", "-l", "{d}/log"], AS_USER, ["pid", "log"], 7),
    "sigterm": (["-p", "{d}/pid", "-l", "{d}/log", "-s", "{ident}"], LONG_RUNNING,
                ["pid", "log"], 0),
}
LINE = re.compile(r"^(\d+) +(?:<\.\.\. )?([a-z0-9_]+)(\(| resumed>)(.*)$")
RUN_LINE = re.compile(r"^run (\d+) line (\d+) *$")


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def poll(condition, timeout, interval=0.02):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


def read(path, mode="r"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return None


def pids_in(path):
    return [int(w) for w in (read(path) or "").split()]


def tracees(tracer):
    """The processes traced by tracer, from /proc: the run's sentrel processes."""
    found = []
    for entry in os.listdir("/proc"):
        status = read("/proc/%s/status" % entry) if entry.isdigit() else None
        if status and re.search(r"^TracerPid:\s*%d$" % tracer, status, re.M):
            found.append(int(entry))
    return found


def kill_all(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def fd_kind(text):
    """What a call's first descriptor is (strace -y): pipe, socket, file or a path argument."""
    m = re.match(r"-?\d+<([^>]*)>", text)
    if not m:
        return "path"
    target = m.group(1)
    return "pipe" if target.startswith("pipe:") else \
        "socket" if target.startswith(("socket:", "UNIX")) else "file"


class Syslog:
    """The datagram socket at /dev/log of the namespace, shared by the workers: messages are
    sorted by their ident, which is unique per run."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("/dev/log")
        self.sock.setblocking(False)
        self.lock = threading.Lock()
        self.by_ident = {}

    def take(self, ident):
        with self.lock:
            while True:
                try:
                    text = self.sock.recv(65536).decode("latin-1")
                except BlockingIOError:
                    break
                m = re.match(r"<\d+>.{15} ([^\[:]+)\[\d+\]: (.*)", text, re.S)
                if m:
                    self.by_ident.setdefault(m.group(1), []).append(m.group(2).rstrip("\n"))
            return self.by_ident.pop(ident, [])


class Runner:
    def __init__(self, sentrel, base, syslog):
        self.sentrel, self.base, self.syslog = sentrel, base, syslog
        self.count = 0
        self.lock = threading.Lock()

    def start_instance(self, d):
        """A running instance for the control commands: PROGRAM holds the locked PID file."""
        proc = subprocess.Popen([self.sentrel, "-n", "-p", d + "/pid", "sh", "-c", LONG_RUNNING],
                                env=dict(os.environ, D=d), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        if not poll(lambda: pids_in(d + "/pids") and testlib.is_locked(d + "/pid"), 10):
            kill_all([proc.pid] + pids_in(d + "/pids"))
            raise RuntimeError("the instance for the control commands did not start")
        # Reaped at once, as its parent would: a zombie still answers kill(pid, 0).
        threading.Thread(target=proc.wait, daemon=True).start()
        return proc

    def run(self, scenario, fault=None):
        """Runs scenario under strace with fault (call, error, number, target) or none; returns
        the run's record with the violations found."""
        with self.lock:
            self.count += 1
            ident = "fm%d-%d" % (os.getpid(), self.count)
        d = tempfile.mkdtemp(prefix=scenario + "-", dir=self.base)
        os.chmod(d, 0o777)
        args, script, files, expected = SCENARIOS[scenario]
        instance = self.start_instance(d) if scenario in ("alive", "stop") else None
        held = pids_in(d + "/pids")
        cmd = ["strace", "-f", "-b", "execve", "-qq", "-y", "-o", d + "/trace"]
        if fault:
            call, error, number, target = fault
            if target in ("files", "create"):
                cmd += sum((["-P", d + "/" + name] for name in files), [])
            elif target == "program":
                cmd += ["-P", "/bin/sh", "-P", "/bin/true"]
            # "delay" holds the call back 0.3 s instead: a process slower than its siblings.
            effect = "delay_enter=300000" if error == "delay" else "error=" + error
            cmd += ["--inject=%s:%s:when=%s" % (call, effect, number or "1+")]
        cmd += [self.sentrel] + [a.format(d=d, ident=ident) for a in args]
        if script:
            cmd += ["/bin/sh", "-c", script]
        started = time.monotonic()
        with open(d + "/stdout", "wb") as out, open(d + "/stderr", "wb") as err:
            proc = subprocess.Popen(cmd, cwd=d, stdout=out, stderr=err, start_new_session=True,
                                    env=dict(os.environ, D=d, PATH="/usr/bin:/bin"))
        record = {"scenario": scenario, "fault": fault, "dir": d, "violations": [], "hung": 0}
        bad = record["violations"]
        if scenario == "sigterm":
            # Stopped once PROGRAM runs, or at once when the fault ended that chance.
            poll(lambda: pids_in(d + "/pids") or proc.poll() is not None, 5)
            self.stop(proc)
        try:
            proc.wait(EXIT_DEADLINE)
        except subprocess.TimeoutExpired:
            record["hung"] = 1
            self.stop(proc)
            try:
                proc.wait(STOP_DEADLINE)
            except subprocess.TimeoutExpired:
                bad.append("did not end within %d s of SIGTERM" % STOP_DEADLINE)
                kill_all(tracees(proc.pid))
                proc.kill()
                proc.wait()
        record["seconds"] = time.monotonic() - started
        record["status"] = proc.returncode
        programs = [p for p in pids_in(d + "/pids") if p not in held]
        if not poll(lambda: not any(alive(p) for p in programs), 3):
            bad.append("PROGRAM left running: %s" % [p for p in programs if alive(p)])
        kill_all(programs)
        record.update(programs=programs, syslog=self.syslog.take(ident),
                      stderr=read(d + "/stderr", "rb").decode("latin-1"),
                      trace=read(d + "/trace") or "")
        self.check(record, scenario, expected, instance, held)
        if instance:
            kill_all([instance.pid] + held)
        if not bad:
            shutil.rmtree(d, ignore_errors=True)
        return record

    @staticmethod
    def stop(proc):
        """SIGTERM to the supervisor, strace's child."""
        children = read("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) or ""
        for pid in children.split()[:1]:
            try:
                os.kill(int(pid), signal.SIGTERM)
            except OSError:
                pass

    def check(self, record, scenario, expected, instance, held):
        d, bad, status = record["dir"], record["violations"], record["status"]
        # -P names a link's target on strace's stderr, before sentrel runs.
        stderr = re.sub(r"(?m)^strace: Requested path .*\n", "", record["stderr"])
        trace = record["trace"]
        record["stderr"] = stderr
        injected = [line for line in whole_calls(trace) if line.endswith("(INJECTED)")]
        record["injected"] = len(injected)
        writers = set(re.findall(r"^(\d+) .*(?:sentrel-writer|/out~?>)", trace, re.M))
        loader = "error while loading shared libraries" in stderr
        fatal = re.compile(r"^%s: (?:[a-z0-9_]+\([A-Z_]*\)(?:: [^:`\n]+)?|/bin/sh|/bin/true)"
                           r"(?:: `[^'\n]*')?(?:: [^\n]+)?\n\Z" % re.escape(self.sentrel))
        record["outcome"] = "status %s" % status + (": " + stderr.strip()[:90] if stderr else "")
        # The dynamic loader's own calls come before main's first one, fcntl(0, F_GETFD): a
        # failure there that ends the process is the loader's, not sentrel's.
        first = trace.split(" ", 1)[0]
        main = re.search(r"^%s +fcntl\(0" % first, trace, re.M)
        if any(trace.find(line) < (main.start() if main else len(trace)) and
               line.startswith(first + " ") for line in injected) and status in (-11, 127):
            record["outcome"] = "the dynamic loader failed before main: " + record["outcome"]
            return
        if status < 0 or status >= 128:
            bad.append("died of a signal or was killed: status %s" % status)
        if "Assertion" in stderr:
            bad.append("assertion: %s" % stderr.strip())
        if status in (2, 3) and stderr and not loader:
            if not fatal.match(stderr):
                bad.append("fatal report not one documented line: %r" % stderr)
            elif (status == 3) != stderr.rstrip().endswith(("Operation not permitted",
                                                              "Permission denied")):
                bad.append("status %d does not match the error text" % status)
        elif stderr and not loader:
            bad.append("stderr without a fatal status: %r" % stderr)
        if record["fault"] and not injected and status != expected:
            bad.append("no call was failed, yet status %s" % status)
        if not record["fault"] and status != expected:
            bad.append("clean run: status %s, expected %s" % (status, expected))
        getattr(self, "check_" + scenario)(record, d, status, trace, injected, writers,
                                           instance, held)

    def check_supervise(self, record, d, status, trace, injected, writers, instance, held):
        bad, runs = record["violations"], record["programs"]
        if status == 5 and len(runs) != 2:
            bad.append("status 5 after %d runs of PROGRAM" % len(runs))
        if status not in (2, 3, 5):
            bad.append("status %s: neither PROGRAM's 5 nor a fatal status" % status)
        self.check_log(record, d, trace, injected, runs)
        if runs and not any(re.search(r"socket|connect|sendto", line) for line in injected):
            started = record["syslog"].count("Service is started")
            if started != len(runs):
                bad.append("%d runs, %d syslog start messages" % (len(runs), started))
        # The output: whole lines of the runs, in order, each file a contiguous run of them
        # (a rotation may lose older output), and the newest kept unless the writer itself or
        # its pipe was failed, a silent loss by design.
        files = []
        for name in ("out~", "out"):
            numbers = []
            for line in (read(d + "/" + name, "rb") or b"").decode("latin-1").split("\n")[:-1]:
                m = RUN_LINE.match(line)
                if line.startswith(self.sentrel + ": "):
                    continue
                if not m or len(line) != 63:
                    bad.append("%s: line cut or foreign: %r" % (name, line[:80]))
                    return
                numbers.append((int(m.group(1)) - 1) * LINES + int(m.group(2)))
            if numbers and numbers != list(range(numbers[0], numbers[-1] + 1)):
                bad.append("%s: lines missing, repeated or out of order" % name)
            files.append(numbers)
        kept = files[0] + files[1]
        if files[0] and files[1] and files[0][-1] >= files[1][0]:
            bad.append("the backup holds newer output than NAME")
        # The writer must keep the newest output through a full disk, a failed rotation and an
        # interrupted call; any other failure of its own costs output silently, by design.
        strict = r"^\d+ +(write\(.*(ENOSPC|EDQUOT|EFBIG)|rename\(|(read|write)\(.*EINTR)"
        excused = any(line.split()[0] in writers and not re.search(strict, line)
                      for line in injected) or any(" pipe2(" in line for line in injected)
        last = LINES * len(runs) if status == 5 else None
        if last and not excused and kept[-1:] != [last]:
            bad.append("the newest output is lost: kept %s of lines 1-%d" %
                       (" and ".join("%d-%d" % (f[0], f[-1]) for f in files if f) or "nothing",
                        last))

    def check_log(self, record, d, trace, injected, runs):
        log = read(d + "/log")
        if log is None or any("/log>" in line for line in injected):
            return
        for pid in runs:
            if "The process was successfully started: pid=%d\n" % pid not in log:
                record["violations"].append("PROGRAM %d ran unrecorded in the log" % pid)

    def check_alive(self, record, d, status, trace, injected, *_):
        if status not in (0, 1) or status == 1 and not injected:
            record["violations"].append("--test-alive on a live instance: status %s" % status)

    def check_stop(self, record, d, status, trace, injected, writers, instance, held):
        bad = record["violations"]
        if status in (0, 1) and not poll(lambda: not any(alive(p) for p in held), 2):
            bad.append("--stop said %d, PROGRAM %s still runs" % (status, held))
        if status == 2 and not record["stderr"] and not any(alive(p) for p in held):
            bad.append("--stop said still there, PROGRAM is gone")

    def check_daemon(self, record, d, status, trace, injected, *_):
        runs = record["programs"]
        if status == 0 and read(d + "/ran") is None:
            record["violations"].append("--daemon said started, PROGRAM never ran")
        self.check_log(record, d, trace, injected, runs)

    def check_user(self, record, d, status, trace, injected, *_):
        ids = (read(d + "/ids") or "").split()
        if status == 7 and ids[:1] != ["65534"] or "0" in ids:
            record["violations"].append("PROGRAM ran with ids %s (status %s)" % (ids, status))
        if status not in (2, 3, 7):
            record["violations"].append("status %s: neither 7 nor a fatal status" % status)
        self.check_log(record, d, trace, injected, record["programs"])

    def check_sigterm(self, record, d, status, trace, injected, writers, instance, held):
        runs = record["programs"]
        if status not in (0, 2, 3):
            record["violations"].append("stopped by SIGTERM: status %s" % status)
        if status == 0 and not runs:
            record["violations"].append("status 0, PROGRAM never ran")
        self.check_log(record, d, trace, injected, runs)


def whole_calls(trace):
    """The trace's lines with each call interrupted by another process's joined again."""
    pending, whole = {}, []
    for line in trace.splitlines():
        pid = line.split(" ", 1)[0]
        if line.endswith(" <unfinished ...>"):
            pending[pid] = line[:-len(" <unfinished ...>")]
        elif " resumed>" in line and pid in pending:
            whole.append(pending.pop(pid) + line.split(" resumed>", 1)[1])
        else:
            whole.append(line)
    return whole


def call_numbers(trace, files, target):
    """{call: {number: set of what the call of that number is on, per process}} of a clean
    trace, counting as strace does per process, for the calls the target selects."""
    numbers, seen = {}, {}
    for line in trace.splitlines():
        m = LINE.match(line)
        if not m or m.group(3) != "(":
            continue
        pid, call, rest = m.group(1), m.group(2), m.group(4)
        if target == "files" and not any("/%s>" % f in rest or '/%s"' % f in rest
                                         for f in files):
            continue
        if target == "program" and not re.match(r'"/bin/(sh|true)"', rest):
            continue
        n = seen[(pid, call)] = seen.get((pid, call), 0) + 1
        kind = "create" if call == "openat" and "O_CREAT" in rest else fd_kind(rest)
        numbers.setdefault(call, {}).setdefault(n, set()).add(kind)
    return numbers


def plan(clean, sample):
    """The injections: (scenario, call, error, number, target) from the clean traces."""
    runs = []
    for call, errors, target, _ in FAULTS:
        for error in errors.split():
            pair = []
            for scenario, (trace, files) in sorted(clean.items()):
                found = call_numbers(trace, files, "files" if target == "create" else target)
                counts = found.get(call, {})
                top = max(counts, default=0)
                chosen = range(1, top + 1) if top <= 8 else (1, 2, 3, 5, 8)
                if target == "create":
                    chosen = [n for n in chosen if counts[n] == {"create"}]
                pair += [(scenario, call, error, n, target) for n in chosen]
            if sample and pair:
                pair = [pair[zlib.crc32(("%s:%s" % (call, error)).encode()) % len(pair)]]
            runs += pair
    runs += [(s, c, e, n, t) for (s, c, e, n) in KNOWN for call, errors, t, _ in FAULTS
             if call == c and e in errors.split() and s in clean and (s, c, e, n, t) not in runs]
    return runs


def enter_namespace(argv):
    """Re-runs this script in a private mount namespace with a syslog socket at /dev/log."""
    if shutil.which("strace") is None:
        print("fault_matrix: skipped: strace is not installed (scripts/install-deps)",
              file=sys.stderr)
        sys.exit(SKIP)
    env = dict(os.environ, FAULT_MATRIX_NAMESPACE="1")
    try:
        done = subprocess.run(["unshare", "--mount", "--propagation", "private", "--",
                               sys.executable] + argv, env=env)
    except OSError as e:
        print("fault_matrix: skipped: unshare: %s" % e, file=sys.stderr)
        sys.exit(SKIP)
    sys.exit(done.returncode)


def private_dev(base):
    """/dev as a tmpfs holding only the real /dev/null, so that /dev/log can be bound."""
    old = os.path.join(base, "dev")
    os.mkdir(old)
    for step in (["mount", "--bind", "/dev", old],
                 ["mount", "-t", "tmpfs", "-o", "size=64k,mode=755", "fault-matrix", "/dev"]):
        if subprocess.run(step, stderr=subprocess.PIPE).returncode != 0:
            print("fault_matrix: skipped: cannot %s" % " ".join(step), file=sys.stderr)
            sys.exit(SKIP)
    open("/dev/null", "w").close()
    subprocess.run(["mount", "--bind", old + "/null", "/dev/null"], check=True)
    # The real /dev must not stay reachable under the scratch directory that is removed later.
    subprocess.run(["umount", old], check=True)
    os.rmdir(old)


def markdown(records, summary, sample):
    out = ["# sentrel under injected system-call failures", "",
           "Produced by `scripts/fault-matrix` (`tests/fault_matrix.py%s`). Each row fails call "
           "number n of one system call, in every sentrel process that reaches it, with one "
           "error; `failed` counts the calls that were failed, the outcome is sentrel's exit "
           "status and message, the verdict lists the invariants violated." %
           (" --sample" if sample else ""), "", "- " + summary, "",
           "| scenario | call | error | n | target | failed | outcome | verdict |",
           "|---|---|---|---|---|---|---|---|"]
    for r in records:
        s, c, e, n, t = r["key"]
        text = lambda x: x.replace(r["dir"], "D").replace("|", "/").replace("\n", " ")
        verdict = "; ".join(r["violations"]) or "ok"
        if (s, c, e, n) in KNOWN:
            verdict += " (expected to hold: %s)" % KNOWN[(s, c, e, n)]
        out.append("| %s | %s | %s | %d | %s | %d | %s | %s |" %
                   (s, c, e, n, t, r["injected"], text(r["outcome"])[:120], text(verdict)[:300]))
    out += ["", "Never failed:", ""] + ["- `%s`: %s." % kv for kv in sorted(NEVER.items())]
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sentrel", nargs="?", default=os.path.join(HERE, "..", "build", "dev",
                                                                   "sentrel"))
    parser.add_argument("--sample", action="store_true")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--report", help="markdown file for the summary and the table")
    parser.add_argument("--only", help="run only this scenario")
    options = parser.parse_args()
    if os.environ.get("FAULT_MATRIX_NAMESPACE") != "1":
        enter_namespace(sys.argv)
    sentrel = os.path.abspath(options.sentrel)
    base = tempfile.mkdtemp(prefix="fault-matrix-")
    os.chmod(base, 0o755)
    private_dev(base)
    runner = Runner(sentrel, base, Syslog())
    started = time.monotonic()
    scenarios = [options.only] if options.only else sorted(SCENARIOS)
    clean, records = {}, []
    with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
        for scenario, record in zip(scenarios, pool.map(runner.run, scenarios)):
            record["key"] = (scenario, "(none)", "-", 0, "-")
            records.append(record)
            clean[scenario] = (record["trace"], SCENARIOS[scenario][2])
        runs = plan(clean, options.sample)
        futures = [(key, pool.submit(runner.run, key[0], key[1:])) for key in runs]
        for key, future in futures:
            record = future.result()
            record["key"] = key
            records.append(record)
            if record["violations"]:
                print("VIOLATION %s: %s" % (" ".join(map(str, key)),
                                             "; ".join(record["violations"])), flush=True)
    violated = sum(1 for r in records if r["violations"])
    calls = sorted({key[1] for key in runs})
    summary = ("%d injections run, %d invariants violated (%d distinct calls, %d s%s)" %
               (len(runs), violated, len(calls), time.monotonic() - started,
                ", sample" if options.sample else ""))
    if options.report:
        with open(options.report, "w") as f:
            f.write(markdown(records, summary, options.sample))
    if violated:
        print("fault_matrix: the runs that violated an invariant are kept in %s" % base)
    else:
        shutil.rmtree(base, ignore_errors=True)
    print(summary)
    return 1 if violated else 0


if __name__ == "__main__":
    sys.exit(main())
