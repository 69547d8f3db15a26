// The monitoring loop: launch PROGRAM, wait, record how it ended, relaunch after a crash; plus
// the redirection of PROGRAM's output and the rotating writer. Runs in the supervisor, in the
// launched child until exec, in a crash handler's child until exec, and in the writer.
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

static const char kWriteFailed[] = "write(): failed to write PID to the file";

// The supervisor's copies of PROGRAM's output descriptors (-1 leaves a stream alone), both the
// pipe's write end under rotation, and the writer at its other end (-1 when there is none).
// Kept for the whole supervision, close-on-exec; each launched child puts them on 1 and 2.
static int out_fd = -1;
static int err_fd = -1;
static pid_t writer_pid = -1;
// Set when the redirection is one NAME~N argument: a writer that is gone is then restarted.
static int rotating = 0;

// Collects every child that has ended, noting when the writer was one of them.
static void CollectEnded() {
  pid_t reaped;
  while ((reaped = waitpid(-1, nullptr, WNOHANG)) > 0) {
    if (reaped == writer_pid) {
      writer_pid = -1;
    }
  }
}

// Records a fork that failed; it is not fatal, so it goes to the log and syslog, not stderr.
static void RecordForkFailure() {
  RecordEvent(LOG_WARNING, nullptr, "%s: fork(): %s", program_name, strerror(errno));
}

// Forks, retrying once a second while the system refuses: a service account at its process
// limit for a moment must not end the supervision. Only the first failure of a run is
// recorded. Zombies count against that limit, so whatever has ended is collected meanwhile.
static pid_t ForkRetrying() {
  for (int failures = 0;; ++failures) {
    pid_t pid = fork();
    if (pid >= 0) {
      return pid;
    }
    if (failures == 0) {
      RecordForkFailure();
    }
    CollectEnded();
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

// Makes the file ready for the next chunk. Returns 0 when it is, 1 when the writer should look
// again at once (NAME was rotated or removed, and is to be opened anew). Sets *must_truncate
// when NAME is at its cap but can be neither renamed nor removed (the directory is not
// writable): it is then emptied in place, but only once the next chunk is there to take the
// place of what is lost.
static int PrepareOutputFile(const char* name, const char* backup, int64_t limit, int* file_fd,
                             int* must_truncate, time_t* check_at) {
  // Once a second, not per chunk, as fstat costs a third of the throughput: a file removed
  // under the writer (its directory cleaned away) is created anew before more is read,
  // instead of filling an inode that nobody can read any more.
  time_t now = MonotonicSeconds();
  struct stat file;
  if (now >= *check_at) {
    *check_at = now + 1;
    if (fstat(*file_fd, &file) != 0 || file.st_nlink == 0) {
      CloseIfOpen(file_fd);
      return 1;
    }
  }
  // A FIFO has no size (lseek fails) and no cap: whoever reads it gets the output.
  if (*must_truncate || lseek(*file_fd, 0, SEEK_END) < limit) {
    return 0;
  }
  if (RotateOutputFile(name, backup) == 0) {
    CloseIfOpen(file_fd);
    return 1;
  }
  *must_truncate = 1;
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
    if (file_fd < 0 && MonotonicSeconds() >= retry_at) {
      file_fd = OpenOutputFile(name);
      retry_at = MonotonicSeconds() + 1;
      must_truncate = 0;
    }
    if (file_fd >= 0 &&
        PrepareOutputFile(name, backup, limit, &file_fd, &must_truncate, &check_at) != 0) {
      retry_at = 0;
      continue;
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

// Starts the rotating writer on a new pipe, whose write end becomes PROGRAM's output. Without a
// pipe PROGRAM's output is simply not redirected, silently, until the next attempt.
static void StartRotatingWriter(const char* name, const char* backup, int n) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    return;
  }
  pid_t pid = ForkRetrying();
  if (pid == 0) {
    // The writer must hold nothing but its pipe: above all not the PID-file lock of the first
    // cycle, which would otherwise outlive PROGRAM.
    ForgetEventLog();
    close(pipe_fds[1]);
    CloseDescriptorsFrom(3, pipe_fds[0]);
    // Told apart from the supervisor in ps and pgrep. Like the supervisor it ignores SIGPIPE:
    // a FIFO as NAME whose reader leaves must cost a write error, not the writer.
    (void)prctl(PR_SET_NAME, "sentrel-writer", 0, 0, 0);
    RunRotatingWriter(name, backup, n, pipe_fds[0]);
    _exit(0);
  }
  close(pipe_fds[0]);
  out_fd = pipe_fds[1];
  err_fd = pipe_fds[1];
  writer_pid = pid;
}

// Starts the writer when the redirection is one NAME~N argument and none runs: before the first
// launch, and again before any later launch once it has ended, since PROGRAM would otherwise
// write into a pipe that nobody reads.
static void StartWriterIfGone(const Settings* settings) {
  if (writer_pid >= 0 && waitpid(writer_pid, nullptr, WNOHANG) == writer_pid) {
    writer_pid = -1;
  }
  if (!rotating || writer_pid >= 0) {
    return;
  }
  char name[kPathSize];
  char backup[kPathSize];
  memset(name, 0, sizeof(name));
  memset(backup, 0, sizeof(backup));
  int n = 0;
  (void)ParseRotationArgument(settings->redirect_out, &n, name, backup, sizeof(name));
  CloseIfOpen(&out_fd);
  err_fd = -1;
  StartRotatingWriter(name, backup, n);
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

// Opens the redirection files or starts the rotating writer, once per supervision, so that a
// relaunched PROGRAM continues where the last one stopped. Never fails visibly: a file that
// cannot be opened leaves its stream unredirected.
static void SetupRedirection(const Settings* settings) {
  const char* redirect_out = settings->redirect_out;
  const char* redirect_err = settings->redirect_err;
  char name[kPathSize];
  char backup[kPathSize];
  memset(name, 0, sizeof(name));
  memset(backup, 0, sizeof(backup));
  int n = 0;
  // -R is told from -O and -E by the pointer: only one argument for both can rotate.
  rotating = redirect_out && redirect_out == redirect_err &&
             ParseRotationArgument(redirect_out, &n, name, backup, sizeof(name)) == 0;
  if (rotating) {
    StartWriterIfGone(settings);
    return;
  }
  if (redirect_out) {
    out_fd = OpenRedirectionFile(redirect_out);
  }
  if (redirect_err) {
    err_fd = redirect_err == redirect_out ? out_fd : OpenRedirectionFile(redirect_err);
  }
}

// In a child before exec: puts out_fd on descriptor 1 and err_fd on 2, each left alone at -1.
static void RedirectStdStreams() {
  int err_source = err_fd;
  // A descriptor that sits on 1 but belongs on 2 is moved away before 1 is overwritten.
  if (err_source == 1 && out_fd >= 0 && out_fd != 1) {
    err_source = fcntl(err_source, F_DUPFD_CLOEXEC, 3);
  }
  if (out_fd >= 0) {
    CopyDescriptorTo(out_fd, 1);
  }
  if (err_source >= 0) {
    CopyDescriptorTo(err_source, 2);
  }
}

// In the launched child, or in the supervisor itself under --no-respawn, where a failed exec is
// PROGRAM's failure as much as in a child, and as little the log's business. A gate_fd that is
// not -1 is read first: PROGRAM runs only once the supervisor has recorded its PID, and a gate
// closed without its byte means the record failed. Does not return.
[[noreturn]] static void ExecProgram(char* const* argv, int gate_fd) {
  ForgetEventLog();
  char go = 0;
  if (gate_fd >= 0 && read(gate_fd, &go, 1) != 1) {
    _exit(2);
  }
  ResetChildSignals();
  RedirectStdStreams();
  execvp(argv[0], argv);
  ErrorExit(argv[0]);
}

// Under --no-respawn: records this process's PID, which PROGRAM keeps across the exec, and
// becomes PROGRAM. Does not return.
[[noreturn]] static void RunInPlace(char* const* argv, const char* pid_file, int pid_fd) {
  if (WritePidFile(pid_file, pid_fd, getpid()) != 0) {
    ErrorWithArgExit(kWriteFailed, pid_file);
  }
  ReportLaunched();
  ExecProgram(argv, -1);
}

// Forks PROGRAM's child, records its PID, lets it exec and logs the start. Closes *pid_fd
// (PROGRAM keeps the lock) and returns the child's PID. When the PID cannot be recorded the
// child, still waiting at the gate, ends without exec and is collected, so that no PROGRAM
// runs unrecorded, and the supervisor ends.
static pid_t Launch(char* const* argv, const char* pid_file, int* pid_fd) {
  int gate_fds[2] = {-1, -1};
  if (*pid_fd >= 0 && pipe2(gate_fds, O_CLOEXEC) != 0) {
    ErrorExit("pipe2()");
  }
  pid_t child_pid = ForkRetrying();
  if (child_pid == 0) {
    // The PID-file descriptor stays open across exec: PROGRAM holds the lock from here on.
    CloseIfOpen(&gate_fds[1]);
    ExecProgram(argv, gate_fds[0]);
  }
  CloseIfOpen(&gate_fds[0]);
  if (WritePidFile(pid_file, *pid_fd, child_pid) != 0) {
    int saved_errno = errno;
    CloseIfOpen(&gate_fds[1]);
    (void)waitpid(child_pid, nullptr, 0);
    errno = saved_errno;
    ErrorWithArgExit(kWriteFailed, pid_file);
  }
  if (gate_fds[1] >= 0 && write(gate_fds[1], "", 1) < 0) {
    // The child is gone already; the loop collects it like any other end.
  }
  CloseIfOpen(&gate_fds[1]);
  CloseIfOpen(pid_fd);
  RecordEvent(LOG_INFO, "Service is started", "The process was successfully started: pid=%d",
              static_cast<int>(child_pid));
  // The start is complete: an invoker waiting under --daemon sees end of file once PROGRAM's
  // exec has closed the child's copy too.
  ReportLaunched();
  CloseStartReport();
  return child_pid;
}

// Waits for PROGRAM and returns its wait status. Every other child that ends meanwhile is
// collected too: crash handlers, the writer, and the orphans adopted as PID 1 or subreaper.
static int WaitForProgram(pid_t child_pid) {
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
    if (reaped == writer_pid) {
      writer_pid = -1;
    }
  }
}

// Records how PROGRAM ended. Returns 0 when it is to be relaunched (killed by a signal, and by
// SIGKILL only with respawn_kill), -1 when the supervision ends with *result as its status.
static int RecordEnd(pid_t child_pid, int status, int respawn_kill, int* result) {
  char syslog_text[kHandlerArgSize];
  memset(syslog_text, 0, sizeof(syslog_text));
  if (!WIFSIGNALED(status)) {
    *result = WEXITSTATUS(status);
    FormatText(syslog_text, sizeof(syslog_text), "Service is stopped (exit_status=%d)", *result);
    RecordEvent(LOG_INFO, syslog_text,
                "The process was successfully terminated: pid=%d, exit_code=%d",
                static_cast<int>(child_pid), *result);
    return -1;
  }
  int signal_number = WTERMSIG(status);
  FormatText(syslog_text, sizeof(syslog_text), "Service is terminated by signal (signal=%d)",
             signal_number);
  RecordEvent(LOG_ERR, syslog_text, "The process was terminated by signal: pid=%d, signal=%d",
              static_cast<int>(child_pid), signal_number);
  return signal_number == SIGKILL && !respawn_kill ? -1 : 0;
}

// Starts the crash handler with PROGRAM's PID and the signal as arguments. It is never waited
// for here: the monitoring loop collects it whenever it ends. A handler that cannot be forked
// is skipped for this crash: relaunching PROGRAM matters more.
static void RunErrorHandler(const char* error_handler, pid_t pid, int signal_number) {
  if (!error_handler) {
    return;
  }
  char pid_text[kHandlerArgSize];
  char signal_text[kHandlerArgSize];
  memset(pid_text, 0, sizeof(pid_text));
  memset(signal_text, 0, sizeof(signal_text));
  FormatText(pid_text, kHandlerArgSize - 1, "%d", static_cast<int>(pid));
  FormatText(signal_text, kHandlerArgSize - 1, "%d", signal_number);
  char* handler_argv[] = {const_cast<char*>(error_handler), pid_text, signal_text, nullptr};
  pid_t handler_pid = fork();
  if (handler_pid < 0) {
    RecordForkFailure();
    return;
  }
  if (handler_pid == 0) {
    ForgetEventLog();
    ResetChildSignals();
    execvp(error_handler, handler_argv);
    ErrorExit(error_handler);
  }
}

// Ends the supervision: closes the supervisor's output copies and log, then lets the writer
// drain what PROGRAM left in the pipe and exit at end of file. Only a writer that some other
// holder of the pipe keeps waiting is told to stop.
static void WindDown() {
  // Closing the supervisor's write end first lets the writer see end of file once PROGRAM's
  // last bytes are drained.
  if (err_fd != out_fd) {
    CloseIfOpen(&err_fd);
  }
  CloseIfOpen(&out_fd);
  CloseEventLog();
  for (int poll = 0; writer_pid >= 0 && poll < kWriterDrainPolls; ++poll) {
    pid_t reaped = waitpid(writer_pid, nullptr, WNOHANG);
    if (reaped == writer_pid || (reaped < 0 && errno != EINTR)) {
      return;
    }
    struct timespec delay = {0, kWriterPollNanoseconds};
    (void)nanosleep(&delay, nullptr);
  }
  if (writer_pid >= 0) {
    (void)kill(writer_pid, SIGTERM);
  }
}

int StartMonitoring(char* const* argv, const Settings* settings) {
  assert(argv);
  assert(settings);
  // The first cycle's lock comes before the set-up: a second instance refused here must not
  // have truncated the running instance's log or output files first.
  int pid_fd = LockPidFile(settings->pid_file, 0);
  OpenEventLog(settings->log_file, settings->syslog_ident);
  SetupRedirection(settings);
  if (settings->no_respawn) {
    RunInPlace(argv, settings->pid_file, pid_fd);
  }
  // PROGRAM's orphans are adopted here rather than by init, so that what a dead PROGRAM left
  // holding the PID file can be found and ended before the relaunch. Older kernels refuse.
  (void)prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  int result = 0;
  for (;;) {
    StartWriterIfGone(settings);
    pid_t child_pid = Launch(argv, settings->pid_file, &pid_fd);
    int status = WaitForProgram(child_pid);
    if (RecordEnd(child_pid, status, settings->respawn_kill, &result) != 0) {
      break;
    }
    RunErrorHandler(settings->error_handler, child_pid, WTERMSIG(status));
    if (settings->respawn_delay > 0) {
      (void)sleep(settings->respawn_delay);
    }
    pid_fd = LockPidFile(settings->pid_file, 1);
  }
  WindDown();
  return result;
}

int ParseRotationArgument(const char* arg, int* n, char* name, char* backup, size_t size) {
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
  // terminator, is no rotation argument at all.
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
