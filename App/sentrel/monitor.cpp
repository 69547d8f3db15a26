// The monitoring loop: launch PROGRAM, wait, log, relaunch after a crash; plus the redirection
// of PROGRAM's output and the rotating writer. Runs in the supervisor, in the launched child
// until exec, in the short-lived process that starts a crash handler, and in the writer.
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "sentrel.h"

// How long the wind-down lets the rotating writer drain the pipe before it is told to stop.
constexpr int kWriterDrainPolls = 200;
constexpr long kWriterPollNanoseconds = 10 * 1000 * 1000;

static void CloseIfOpen(int* fd) {
  if (*fd >= 0) {
    close(*fd);
    *fd = -1;
  }
}

// The dispositions the invoker left for the signals that the supervisor ignores.
static const int kIgnoredSignals[] = {SIGPIPE, SIGXFSZ};
static void (*inherited_dispositions[sizeof(kIgnoredSignals) / sizeof(int)])(int);

void IgnoreSupervisorSignals() {
  for (size_t i = 0; i < sizeof(kIgnoredSignals) / sizeof(int); ++i) {
    inherited_dispositions[i] = signal(kIgnoredSignals[i], SIG_IGN);
  }
}

// In a child before exec: PROGRAM and the handler get the dispositions the supervisor
// inherited, and no blocked signal, whatever the invoker blocked: a blocked SIGTERM would turn
// every graceful stop into a SIGKILL.
static void ResetChildSignals() {
  for (size_t i = 0; i < sizeof(kIgnoredSignals) / sizeof(int); ++i) {
    (void)signal(kIgnoredSignals[i], inherited_dispositions[i]);
  }
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Records a fork that failed in the event log and syslog; only fatal messages go to stderr.
static void LogForkFailure() {
  const char* text = strerror(errno);
  LogEvent(fatal_log, "%s: fork(): %s", program_name, text);
  if (fatal_syslog) {
    syslog(LOG_WARNING, "%s: fork(): %s", program_name, text);
  }
}

// Collects every child that has ended, marking a collected writer gone (-1 in writer_pid).
static void CollectEnded(pid_t* writer_pid) {
  pid_t reaped;
  while ((reaped = waitpid(-1, nullptr, WNOHANG)) > 0) {
    if (reaped == *writer_pid) {
      *writer_pid = -1;
    }
  }
}

// Forks, retrying once a second while the system refuses: a service account at its process
// limit for a moment must not end the supervision. Only the first failure of a run is logged.
// Zombies count against that limit, so whatever has ended is collected meanwhile.
static pid_t ForkRetrying(pid_t* writer_pid) {
  for (int failures = 0;; ++failures) {
    pid_t pid = fork();
    if (pid >= 0) {
      return pid;
    }
    if (failures == 0) {
      LogForkFailure();
    }
    CollectEnded(writer_pid);
    (void)sleep(1);
  }
}

// Writes all of buffer, resuming after short writes. Returns how much was written, which is
// less than length after a write error (errno set).
static ssize_t WriteAll(int fd, const char* buffer, ssize_t length) {
  ssize_t done = 0;
  while (done < length) {
    ssize_t written = write(fd, buffer + done, length - done);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    done += written;
  }
  return done;
}

// In the launched child: puts out_fd on descriptor 1 and err_fd on 2 (-1 leaves a stream).
static void RedirectStdStreams(int out_fd, int err_fd) {
  // A descriptor that sits on 1 but belongs on 2 is moved away before 1 is overwritten.
  if (err_fd == 1 && out_fd >= 0 && out_fd != 1) {
    err_fd = fcntl(err_fd, F_DUPFD_CLOEXEC, 3);
  }
  // The supervisor's copies are close-on-exec; dup2 gives PROGRAM inheritable ones, except
  // when a copy already sits on its target, where only the flag needs clearing.
  if (out_fd >= 0) {
    if (out_fd == 1) {
      (void)fcntl(1, F_SETFD, 0);
    } else {
      (void)dup2(out_fd, 1);
    }
  }
  if (err_fd >= 0) {
    if (err_fd == 2) {
      (void)fcntl(2, F_SETFD, 0);
    } else {
      (void)dup2(err_fd, 2);
    }
  }
}

int ParseRotationSpec(const char* arg, int* n, char* name, char* backup, size_t size) {
  assert(arg);
  const char* tilde = strchr(arg, '~');
  if (!tilde || tilde == arg) {
    return 1;
  }
  int value = atoi(tilde + 1);
  if (value <= 0) {
    return 1;
  }
  // A name cut to fit would be another file: a NAME too long for the buffers, with its "~" and
  // terminator, is no rotation spec at all.
  size_t name_length = static_cast<size_t>(tilde - arg);
  if (name_length + 2 > size) {
    return 1;
  }
  memcpy(name, arg, name_length);
  name[name_length] = '\0';
  memcpy(backup, arg, name_length);
  backup[name_length] = '~';
  backup[name_length + 1] = '\0';
  *n = value;
  return 0;
}

int64_t RotationLimit(int n) {
  // 64 bits: N x 512 overflows 32 bits from N = 4194304 on.
  return static_cast<int64_t>(n) * 512;
}

// The seconds of CLOCK_MONOTONIC: a step of the wall clock (NTP on a board without a clock)
// must not stop the writer's retries and checks for the length of the step.
static time_t MonotonicSeconds() {
  struct timespec now;
  memset(&now, 0, sizeof(now));
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

// Opens the writer's NAME for appending, or gives -1 (the writer discards and retries).
// Non-blocking, so that a FIFO without a reader cannot stall the writer.
static int OpenOutputFile(const char* name) {
  return OpenWithoutPlantedLink(name, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0660);
}

// Moves NAME aside as the backup. Returns 0 when NAME is gone, -1 when it is still there.
static int RotateOutputFile(const char* name, const char* backup) {
  // A rename can fail where a remove works (a directory in the backup's place): losing the
  // older output is better than a file that grows without bound.
  return rename(name, backup) == 0 || remove(name) == 0 ? 0 : -1;
}

// Appends chunk to the file. A full disk costs the oldest output, not the newest: NAME becomes
// the backup, which frees the old backup's space, and the rest goes to a new NAME. Returns 0,
// or -1 when the rest is dropped and the file closed.
static int StoreChunk(const char* name, const char* backup, int* file_fd, const char* chunk,
                      ssize_t length) {
  ssize_t written = WriteAll(*file_fd, chunk, length);
  if (written < length && (errno == ENOSPC || errno == EDQUOT)) {
    CloseIfOpen(file_fd);
    (void)rename(name, backup);
    *file_fd = OpenOutputFile(name);
    if (*file_fd >= 0) {
      written += WriteAll(*file_fd, chunk + written, length - written);
    }
  }
  if (written < length) {
    CloseIfOpen(file_fd);
    return -1;
  }
  return 0;
}

// Copies read_fd into name, rotating name to backup at N x 512 bytes. Returns only at end of
// file or on a read error: while the pipe is open, output that cannot be stored is discarded.
static void RunRotatingWriter(const char* name, const char* backup, int n, int read_fd) {
  const int64_t limit = RotationLimit(n);
  int file_fd = -1;
  int must_truncate = 0;
  time_t retry_at = 0;
  time_t check_at = 0;
  char chunk[kCopySize];
  for (;;) {
    // Retried at most once a second while it fails: a missing directory or a full inode table
    // may come back.
    time_t now = MonotonicSeconds();
    if (file_fd < 0 && now >= retry_at) {
      file_fd = OpenOutputFile(name);
      retry_at = now + 1;
      must_truncate = 0;
    }
    // Once a second, not per chunk, as fstat costs a third of the throughput: a file removed
    // under the writer (its directory cleaned away) is created anew before more is read,
    // instead of filling an inode that nobody can read any more.
    struct stat file;
    if (file_fd >= 0 && now >= check_at) {
      check_at = now + 1;
      if (fstat(file_fd, &file) != 0 || file.st_nlink == 0) {
        CloseIfOpen(&file_fd);
        retry_at = 0;
        continue;
      }
    }
    // A FIFO has no size (lseek fails) and no cap: whoever reads it gets the output.
    if (file_fd >= 0 && !must_truncate && lseek(file_fd, 0, SEEK_END) >= limit) {
      if (RotateOutputFile(name, backup) == 0) {
        CloseIfOpen(&file_fd);
        retry_at = 0;
        continue;
      }
      // Neither renamed nor removed (the directory is not writable): the file is emptied in
      // place instead, but only once the next chunk is there to take the place of what is lost.
      must_truncate = 1;
    }
    ssize_t count = read(read_fd, chunk, sizeof(chunk));
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    if (must_truncate && ftruncate(file_fd, 0) != 0) {
      // The cap is lost for now; the next rotation tries again.
    }
    must_truncate = 0;
    // Without a file the chunk is dropped: PROGRAM must neither block on a full pipe nor die
    // of SIGPIPE because the disk is gone for a while. A file that refuses a write (a FIFO
    // whose reader left) is opened again later.
    if (file_fd >= 0 && StoreChunk(name, backup, &file_fd, chunk, count) != 0) {
      retry_at = MonotonicSeconds() + 1;
    }
  }
  CloseIfOpen(&file_fd);
}

// Returns 1 when the settings are not one NAME~N argument, 0 when it dealt with them (the
// writer started, or nothing is redirected because there is no pipe).
static int StartRotatingWriter(const char* redirect_out, const char* redirect_err, int* out_fd,
                               int* err_fd, pid_t* writer_pid) {
  if (!redirect_out || redirect_out != redirect_err) {
    return 1;
  }
  char name[kPathSize];
  char backup[kPathSize];
  memset(name, 0, sizeof(name));
  memset(backup, 0, sizeof(backup));
  int n = 0;
  if (ParseRotationSpec(redirect_out, &n, name, backup, sizeof(name)) != 0) {
    return 1;
  }
  int pipe_fds[2];
  // Without a pipe or a writer PROGRAM's output is simply not redirected; that is silent.
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    return 0;
  }
  pid_t pid = ForkRetrying(writer_pid);
  if (pid == 0) {
    // The writer must hold nothing but its pipe: above all not the PID-file lock of the first
    // cycle, which would otherwise outlive PROGRAM.
    close(pipe_fds[1]);
    CloseDescriptorsFrom(3, pipe_fds[0]);
    // Told apart from the supervisor in ps and pgrep. Like the supervisor it ignores SIGPIPE:
    // a FIFO as NAME whose reader leaves must cost a write error, not the writer.
    (void)prctl(PR_SET_NAME, "sentrel-writer", 0, 0, 0);
    RunRotatingWriter(name, backup, n, pipe_fds[0]);
    _exit(0);
  }
  close(pipe_fds[0]);
  *out_fd = pipe_fds[1];
  *err_fd = pipe_fds[1];
  *writer_pid = pid;
  return 0;
}

// Opens a plain redirection file, or gives -1. Appending keeps both streams when -O and -E name
// one file, and leaves no hole when the file is truncated from outside. Opened non-blocking, so
// that a FIFO without a reader counts as unopenable, but handed to PROGRAM blocking, as
// programs expect of their output.
static int OpenRedirectionFile(const char* path) {
  int fd = OpenWithoutPlantedLink(
      path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0660);
  if (fd >= 0) {
    (void)fcntl(fd, F_SETFL, O_APPEND);
  }
  return fd;
}

// Opens the redirection files or starts the rotating writer. Never fails visibly: a
// descriptor or writer that could not be set up stays -1.
static void SetupRedirection(const char* redirect_out, const char* redirect_err, int* out_fd,
                             int* err_fd, pid_t* writer_pid) {
  *out_fd = -1;
  *err_fd = -1;
  *writer_pid = -1;
  if (!redirect_out && !redirect_err) {
    return;
  }
  if (StartRotatingWriter(redirect_out, redirect_err, out_fd, err_fd, writer_pid) == 0) {
    return;
  }
  // Opened once per supervision, so that a relaunched PROGRAM continues where the last one
  // stopped. A file that cannot be opened leaves its stream unredirected, silently.
  if (redirect_out) {
    *out_fd = OpenRedirectionFile(redirect_out);
  }
  if (redirect_err) {
    *err_fd = redirect_err == redirect_out ? *out_fd : OpenRedirectionFile(redirect_err);
  }
}

// Lets the writer drain what PROGRAM left in the pipe and exit at end of file; only a writer
// that some other holder of the pipe keeps waiting is told to stop.
static void AwaitRotatingWriter(pid_t writer_pid) {
  for (int poll = 0; poll < kWriterDrainPolls; ++poll) {
    pid_t reaped = waitpid(writer_pid, nullptr, WNOHANG);
    if (reaped == writer_pid || (reaped < 0 && errno != EINTR)) {
      return;
    }
    struct timespec delay = {0, kWriterPollNanoseconds};
    (void)nanosleep(&delay, nullptr);
  }
  (void)kill(writer_pid, SIGTERM);
}

// Forgets the supervisor's log and syslog in a forked child: only the supervisor records.
static void LeaveSupervisor() {
  fatal_log = -1;
  fatal_syslog = 0;
}

// Starts the crash handler with PROGRAM's PID and the signal as arguments. It is never waited
// for here: the monitoring loop collects it whenever it ends.
static void RunErrorHandler(const char* error_handler, pid_t pid, int signal_number) {
  if (!error_handler) {
    return;
  }
  char pid_text[kHandlerArgSize];
  char signal_text[kHandlerArgSize];
  memset(pid_text, 0, sizeof(pid_text));
  memset(signal_text, 0, sizeof(signal_text));
  snprintf(pid_text, kHandlerArgSize - 1, "%d", static_cast<int>(pid));
  snprintf(signal_text, kHandlerArgSize - 1, "%d", signal_number);
  char* handler_argv[] = {const_cast<char*>(error_handler), pid_text, signal_text, nullptr};
  pid_t handler_pid = fork();
  // A handler that cannot start is skipped for this crash: relaunching PROGRAM matters more.
  if (handler_pid < 0) {
    LogForkFailure();
    return;
  }
  if (handler_pid == 0) {
    LeaveSupervisor();
    ResetChildSignals();
    execvp(error_handler, handler_argv);
    ErrorExit(error_handler);
  }
}

// In the launched child, or in the supervisor itself under --no-respawn, where a failed exec is
// PROGRAM's failure as much as in a child, and as little the log's business. A gate_fd that is
// not -1 is read first: PROGRAM runs only once the supervisor has recorded its PID, and a gate
// closed without its byte means the record failed. Does not return.
[[noreturn]] static void LaunchProgram(char* const* argv, int out_fd, int err_fd, int gate_fd) {
  LeaveSupervisor();
  char go = 0;
  if (gate_fd >= 0 && read(gate_fd, &go, 1) != 1) {
    _exit(2);
  }
  ResetChildSignals();
  RedirectStdStreams(out_fd, err_fd);
  execvp(argv[0], argv);
  ErrorExit(argv[0]);
}

// Waits for PROGRAM and returns its wait status. Every other child that ends meanwhile is
// collected too: crash handlers, the writer, and the orphans adopted when the supervisor is
// PID 1 or a subreaper. A writer collected here is marked gone by setting writer_pid to -1.
static int WaitForProgram(pid_t child_pid, pid_t* writer_pid) {
  int status = 0;
  int program_status = 0;
  int options = 0;
  // Blocks until PROGRAM has ended, then only collects what has ended as well.
  for (;;) {
    pid_t reaped = waitpid(-1, &status, options);
    if (reaped == 0 || (reaped < 0 && options != 0)) {
      return program_status;
    }
    if (reaped < 0 && errno != EINTR) {
      ErrorExit("waitpid()");
    }
    if (reaped == child_pid) {
      program_status = status;
      options = WNOHANG;
    }
    if (reaped == *writer_pid) {
      *writer_pid = -1;
    }
  }
}

// Ends the supervisor when pid could not be recorded in the PID file. A launched child still
// waiting at the gate (gate_fd not -1) is let go without exec and collected first, so that no
// PROGRAM runs unrecorded. Does nothing when the PID was written.
static void WritePidOrEnd(const char* pid_file, int pid_fd, pid_t pid, int* gate_fd) {
  if (WritePidFile(pid_file, pid_fd, pid) == 0) {
    return;
  }
  int saved_errno = errno;
  if (*gate_fd >= 0) {
    CloseIfOpen(gate_fd);
    (void)waitpid(pid, nullptr, 0);
  }
  errno = saved_errno;
  ErrorWithArgExit("write(): failed to write PID to the file", pid_file);
}

// Tells an invoker waiting under --daemon that PROGRAM was launched: a zero byte, which no
// message holds. A failed exec may still send its message after it.
static void ReportLaunch() {
  if (start_report_fd >= 0 && write(start_report_fd, "", 1) < 0) {
    // The invoker is gone; nobody is left to tell.
  }
}

// Forks PROGRAM's child, records its PID, and lets it exec. Closes pid_fd (PROGRAM keeps the
// lock) and returns the child's PID. Does not return when the PID cannot be recorded.
static pid_t Launch(char* const* argv, const Settings* settings, int* pid_fd, int out_fd,
                    int err_fd, pid_t* writer_pid) {
  // With a PID file the child waits at this gate until its PID is in the file.
  int gate_fds[2] = {-1, -1};
  if (*pid_fd >= 0 && pipe2(gate_fds, O_CLOEXEC) != 0) {
    ErrorExit("pipe2()");
  }
  pid_t child_pid = ForkRetrying(writer_pid);
  if (child_pid == 0) {
    // The PID-file descriptor stays open across exec: PROGRAM holds the lock from here on.
    CloseIfOpen(&gate_fds[1]);
    LaunchProgram(argv, out_fd, err_fd, gate_fds[0]);
  }
  CloseIfOpen(&gate_fds[0]);
  WritePidOrEnd(settings->pid_file, *pid_fd, child_pid, &gate_fds[1]);
  if (gate_fds[1] >= 0 && write(gate_fds[1], "", 1) < 0) {
    // The child is gone already; the loop collects it like any other end.
  }
  CloseIfOpen(&gate_fds[1]);
  CloseIfOpen(pid_fd);
  LogEvent(fatal_log, "The process was successfully started: pid=%d", static_cast<int>(child_pid));
  if (settings->syslog_ident) {
    syslog(LOG_INFO, "Service is started");
  }
  // The start is complete: an invoker waiting under --daemon sees end of file once PROGRAM's
  // exec has closed the child's copy too.
  ReportLaunch();
  CloseIfOpen(&start_report_fd);
  return child_pid;
}

int StartMonitoring(char* const* argv, const Settings* settings) {
  assert(argv);
  assert(settings);
  // The first cycle's lock comes before the set-up: a second instance refused here must not
  // have truncated the running instance's log or output files first.
  int pid_fd = LockPidFile(settings->pid_file, 0);
  int log_fd = OpenEventLog(settings->log_file);
  if (settings->syslog_ident) {
    openlog(settings->syslog_ident, LOG_PID, LOG_USER);
  }
  fatal_log = log_fd;
  fatal_syslog = settings->syslog_ident != nullptr;
  int out_fd = -1;
  int err_fd = -1;
  pid_t writer_pid = -1;
  SetupRedirection(settings->redirect_out, settings->redirect_err, &out_fd, &err_fd, &writer_pid);
  const int rotating = writer_pid >= 0;
  // PROGRAM's orphans are adopted here rather than by init, so that what a dead PROGRAM left
  // holding the PID file can be found and ended before the relaunch. Older kernels refuse.
  if (!settings->no_respawn) {
    (void)prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  }
  int result = 0;
  for (;;) {
    if (settings->no_respawn) {
      // PROGRAM keeps this process's PID across the exec, so that is the PID to record.
      int no_gate = -1;
      WritePidOrEnd(settings->pid_file, pid_fd, getpid(), &no_gate);
      ReportLaunch();
      LaunchProgram(argv, out_fd, err_fd, -1);
    }
    // A writer that has ended would leave PROGRAM writing into a pipe nobody reads: it is
    // started again, on a new pipe, before the launch.
    if (rotating && writer_pid >= 0 && waitpid(writer_pid, nullptr, WNOHANG) == writer_pid) {
      writer_pid = -1;
    }
    if (rotating && writer_pid < 0) {
      CloseIfOpen(&out_fd);
      err_fd = -1;
      StartRotatingWriter(settings->redirect_out, settings->redirect_err, &out_fd, &err_fd,
                          &writer_pid);
    }
    pid_t child_pid = Launch(argv, settings, &pid_fd, out_fd, err_fd, &writer_pid);
    int status = WaitForProgram(child_pid, &writer_pid);
    if (!WIFSIGNALED(status)) {
      result = WEXITSTATUS(status);
      LogEvent(log_fd, "The process was successfully terminated: pid=%d, exit_code=%d",
               static_cast<int>(child_pid), result);
      if (settings->syslog_ident) {
        syslog(LOG_INFO, "Service is stopped (exit_status=%d)", result);
      }
      break;
    }
    int signal_number = WTERMSIG(status);
    LogEvent(log_fd, "The process was terminated by signal: pid=%d, signal=%d",
             static_cast<int>(child_pid), signal_number);
    if (settings->syslog_ident) {
      syslog(LOG_ERR, "Service is terminated by signal (signal=%d)", signal_number);
    }
    if (signal_number == SIGKILL && !settings->respawn_kill) {
      break;
    }
    RunErrorHandler(settings->error_handler, child_pid, signal_number);
    if (settings->respawn_delay > 0) {
      (void)sleep(settings->respawn_delay);
    }
    pid_fd = LockPidFile(settings->pid_file, 1);
  }
  // Closing the supervisor's write end first lets the writer see end of file once PROGRAM's
  // last bytes are drained.
  if (err_fd != out_fd) {
    CloseIfOpen(&err_fd);
  }
  CloseIfOpen(&out_fd);
  fatal_log = -1;
  if (log_fd >= 0) {
    close(log_fd);
  }
  if (writer_pid >= 0) {
    AwaitRotatingWriter(writer_pid);
  }
  return result;
}
