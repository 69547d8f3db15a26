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
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "sentrel.h"

// How long the wind-down lets the rotating writer drain the pipe before it is told to stop.
constexpr int kWriterDrainPolls = 200;
constexpr long kWriterPollNanoseconds = 10 * 1000 * 1000;

// How long the first launch of a --daemon start may fail to fork before the start fails.
constexpr int64_t kDaemonForkPatience = 5000;

static const char kWriteFailed[] = "write(): failed to write PID to the file";

// The supervisor's copies of PROGRAM's output descriptors (-1 leaves a stream alone), both the
// pipe's write end under rotation, and the writer at its other end (-1 when there is none).
// Kept for the whole supervision, close-on-exec; each launched child puts them on 1 and 2.
static int out_fd = -1;
static int err_fd = -1;
static pid_t writer_pid = -1;
// Under rotation the supervisor keeps the pipe's read end too, so that a writer that ends is
// replaced on the same pipe: PROGRAM never writes into a pipe without a reader, and what is
// in it is not lost.
static int pipe_read_fd = -1;
static int rotating = 0;
static char writer_name[kPathSize];
static char writer_backup[kPathSize];
static int writer_n = 0;
// When the next writer may start, in CLOCK_MONOTONIC milliseconds: at most one a second.
static int64_t writer_start_at = 0;
// The crash handler that runs, -1 for none: one at a time.
static pid_t handler_pid = -1;
// The signal that asked the supervision to stop, 0 while it goes on.
static int stop_signal = 0;
// Set while forks fail, so that only the first failure of a run is recorded.
static int fork_failing = 0;

// The rotating writer's output: NAME, its backup and cap, and what the writer knows of the file.
struct OutputFile {
  const char* name;
  const char* backup;
  int64_t limit;
  int fd;
  // The file's real size at the last look, plus what the writer has appended since.
  int64_t size;
  int must_truncate;
};

// CLOCK_MONOTONIC in milliseconds: a step of the wall clock (NTP on a board without a clock)
// must not stretch or cut the delays.
static int64_t MonotonicMilliseconds() {
  struct timespec now;
  memset(&now, 0, sizeof(now));
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Collects every child that has ended. Returns 0 with *status when child_pid (-1: none) was one
// of them, -1 otherwise. The writer and the handler are marked gone when collected.
static int CollectEnded(pid_t child_pid, int* status) {
  int found = -1;
  for (;;) {
    int ended_status = 0;
    pid_t reaped = waitpid(-1, &ended_status, WNOHANG);
    if (reaped == 0) {
      return found;
    }
    if (reaped < 0) {
      if (errno == EINTR) {
        continue;
      }
      // Without children that is all; but PROGRAM not collected yet cannot be lost.
      if (errno == ECHILD && (child_pid <= 0 || found == 0)) {
        return found;
      }
      ErrorExit("waitpid()");
    }
    if (reaped == child_pid) {
      *status = ended_status;
      found = 0;
    }
    if (reaped == writer_pid) {
      writer_pid = -1;
    }
    if (reaped == handler_pid) {
      handler_pid = -1;
    }
  }
}

// Records a fork that failed, the first of a run; it is not fatal, so it goes to the log and
// syslog, not stderr.
static void RecordForkFailure() {
  if (!fork_failing) {
    RecordEvent(LOG_WARNING, nullptr, "%s: fork(): %s", program_name, strerror(errno));
  }
  fork_failing = 1;
}

// Raised by SIGALRM a second after the writer last looked at its file. A timer rather than a
// clock read per chunk: on boards without a clock readable from user space (Cortex-A9, say)
// every clock_gettime is a system call. Linux runs alarm's timer on the monotonic clock, so a
// step of the wall clock (NTP on a board without a clock) neither delays nor hastens it.
static volatile sig_atomic_t look_again = 1;

static void NoteLookDue(int) {
  look_again = 1;
}

// Asks for SIGALRM in a second, as alarm(1) does. The kernel takes four longs (interval, then
// value); musl's wrapper would convert to 64-bit time and back on 32-bit boards, 340 bytes for
// a timer that never needs more than a second.
static void ArmLookTimer() {
  const long one_second[4] = {0, 0, 1, 0};
  (void)syscall(SYS_setitimer, ITIMER_REAL, one_second, nullptr);
}

// Opens the writer's NAME for appending, or gives -1 (the writer discards and retries).
// Non-blocking, so that a FIFO without a reader cannot stall the writer.
static int OpenOutputFile(const char* name) {
  return OpenWithoutPlantedLink(name, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0660);
}

// Learns the file's real size, which others may have changed: logrotate's copytruncate empties
// it, another process may append. Opens NAME when no file is open, and anew when no name
// reaches the open file any more (its directory was cleaned away), instead of filling an inode
// that nobody can read. Returns 0, or -1 with no file open.
static int LookAtOutputFile(OutputFile* file) {
  struct stat status;
  if (file->fd < 0 || fstat(file->fd, &status) != 0 || status.st_nlink == 0) {
    CloseIfOpen(&file->fd);
    file->fd = OpenOutputFile(file->name);
    file->must_truncate = 0;
    if (file->fd < 0 || fstat(file->fd, &status) != 0) {
      CloseIfOpen(&file->fd);
      return -1;
    }
  }
  // A FIFO's size is always 0: whoever reads it gets all of the output, without a cap.
  file->size = status.st_size;
  return 0;
}

// Moves NAME aside as the backup and opens a new NAME. Returns 0 when a new NAME is open, -1
// when NAME is gone but no new one opens, 1 when NAME cannot be renamed (the directory is not
// writable, a directory stands at the backup's name) and stays open.
static int RotateOutputFile(OutputFile* file) {
  // The old backup goes first: a rename over it would make ext4 start writing the renamed file
  // out at once (its guard for files replaced by rename), which costs more than the copying.
  // NAME that still cannot be renamed is emptied in place by the caller as the next chunk comes,
  // never removed: it holds the newest output.
  (void)remove(file->backup);
  if (rename(file->name, file->backup) != 0) {
    return 1;
  }
  CloseIfOpen(&file->fd);
  return LookAtOutputFile(file);
}

// Appends chunk to the file, resuming after short writes. A full disk or the file-size limit
// costs the oldest output, not the newest: NAME becomes the backup, which frees the old
// backup's space, or is emptied in place where it cannot be moved, as long as it had something
// to give way. When that fails too, the rest is dropped and the file closed.
static void StoreChunk(OutputFile* file, const char* chunk, ssize_t length) {
  int retried = 0;
  while (length > 0) {
    // A NAME that cannot be moved is emptied only now that new output takes the place of what
    // is lost. Failing that, the cap is lost until the next rotation tries again.
    if (file->must_truncate) {
      file->must_truncate = 0;
      file->size = 0;
      (void)ftruncate(file->fd, 0);
    }
    ssize_t written = write(file->fd, chunk, length);
    if (written > 0) {
      chunk += written;
      length -= written;
      file->size += written;
      continue;
    }
    if (written < 0 && errno == EINTR) {
      continue;
    }
    int full = errno == ENOSPC || errno == EDQUOT || errno == EFBIG;
    // A NAME just rotated that refuses too is tried once more, on a full disk with the older
    // backup's room given up: the newest output goes before the oldest only as a last resort.
    if (full && file->size == 0 && !retried) {
      retried = 1;
      if (errno != EFBIG) {
        (void)remove(file->backup);
      }
      continue;
    }
    // An empty file that refuses has nothing older to give up, which ends the rotations.
    int rotated = full && file->size > 0 ? RotateOutputFile(file) : -1;
    if (rotated < 0) {
      CloseIfOpen(&file->fd);
      return;
    }
    file->must_truncate = rotated;
  }
}

// Rotates the file once it has reached its cap. Sets must_truncate when NAME cannot be moved.
static void PrepareOutputFile(OutputFile* file) {
  // The count says the cap is reached, but the file may have been emptied since the last look.
  if (file->must_truncate || file->size < file->limit || LookAtOutputFile(file) != 0 ||
      file->size < file->limit) {
    return;
  }
  file->must_truncate = RotateOutputFile(file) > 0;
}

// Copies read_fd into name, rotating name to backup at N x 512 bytes. Returns only at end of
// file or on a read error: while the pipe is open, output that cannot be stored is discarded.
static void RunRotatingWriter(const char* name, const char* backup, int n, int read_fd) {
  OutputFile file = {name, backup, RotationLimit(n), -1, 0, 0};
  char chunk[kCopySize];
  // signal() restarts reads and writes after the handler, so that none fails with EINTR. The
  // writer starts with no signal blocked.
  (void)signal(SIGALRM, NoteLookDue);
  for (;;) {
    // The writer counts what it writes and asks the kernel only once a second, as one more
    // system call per chunk costs about a quarter more CPU. A NAME that could not be opened
    // (a missing directory, a full inode table) is tried again as often.
    if (look_again) {
      look_again = 0;
      ArmLookTimer();
      (void)LookAtOutputFile(&file);
    }
    ssize_t count = read(read_fd, chunk, sizeof(chunk));
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    // Rotated only with new output in hand: a NAME that cannot be moved aside is removed, and
    // must not take the newest output with it when nothing more comes.
    if (file.fd >= 0) {
      PrepareOutputFile(&file);
    }
    // Without a file the chunk is dropped: PROGRAM must neither block on a full pipe nor die
    // of SIGPIPE because the disk is gone for a while. A file that refuses a write (a FIFO
    // whose reader left) is opened again at the next look.
    if (file.fd >= 0) {
      StoreChunk(&file, chunk, count);
    }
  }
  CloseIfOpen(&file.fd);
}

// Starts the rotating writer when the redirection is one NAME~N argument and none runs, on the
// pipe the supervisor keeps: before the first launch, and again whenever it has ended, at most
// once a second. A pipe or fork that fails is tried again later; meanwhile PROGRAM's output
// waits in the pipe.
static void StartWriterIfGone() {
  if (!rotating || writer_pid >= 0 || MonotonicMilliseconds() < writer_start_at) {
    return;
  }
  writer_start_at = MonotonicMilliseconds() + 1000;
  int pipe_fds[2];
  if (pipe_read_fd < 0 && pipe2(pipe_fds, O_CLOEXEC) == 0) {
    pipe_read_fd = pipe_fds[0];
    out_fd = pipe_fds[1];
    err_fd = pipe_fds[1];
  }
  if (pipe_read_fd < 0) {
    return;
  }
  pid_t pid = fork();
  if (pid < 0) {
    RecordForkFailure();
    return;
  }
  if (pid == 0) {
    // The writer must hold nothing but its pipe's read end: above all not the PID-file lock,
    // which would otherwise outlive PROGRAM, nor a write end, which would keep it from ever
    // seeing the end of the output.
    ForgetEventLog();
    CloseDescriptorsFrom(3, pipe_read_fd);
    // It ends at the end of its input, not on the terminal's Ctrl-C or hang-up, which reach the
    // supervisor's process group: the supervisor then winds down and the writer drains.
    UnblockSignals();
    (void)signal(SIGINT, SIG_IGN);
    (void)signal(SIGHUP, SIG_IGN);
    // Told apart from the supervisor in ps and pgrep. Like the supervisor it ignores SIGPIPE:
    // a FIFO as NAME whose reader leaves must cost a write error, not the writer.
    (void)prctl(PR_SET_NAME, "sentrel-writer", 0, 0, 0);
    RunRotatingWriter(writer_name, writer_backup, writer_n, pipe_read_fd);
    _exit(0);
  }
  fork_failing = 0;
  writer_pid = pid;
}

// How long the supervisor may wait before a writer is due, in milliseconds; -1 when none is.
static int64_t WriterWait() {
  if (!rotating || writer_pid >= 0) {
    return -1;
  }
  int64_t wait = writer_start_at - MonotonicMilliseconds();
  return wait > 0 ? wait : 0;
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

// Starts the rotating writer when the redirection is one NAME~N argument.
static void SetupRotation(const Settings* settings) {
  const char* redirect_out = settings->redirect_out;
  // -R is told from -O and -E by the pointer: only one argument for both can rotate.
  rotating = redirect_out && redirect_out == settings->redirect_err &&
             ParseRotationArgument(redirect_out, &writer_n, writer_name, writer_backup,
                                   sizeof(writer_name)) == 0;
  StartWriterIfGone();
}

// Opens the plain redirection files, once per supervision, so that a relaunched PROGRAM
// continues where the last one stopped. Never fails visibly: a file that cannot be opened
// leaves its stream unredirected.
static void SetupRedirection(const Settings* settings) {
  const char* redirect_out = settings->redirect_out;
  const char* redirect_err = settings->redirect_err;
  if (rotating) {
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
[[noreturn]] static void ExecProgram(char* const* argv, int gate_fd, int own_session) {
  ForgetEventLog();
  char go = 0;
  if (gate_fd >= 0 && read(gate_fd, &go, 1) != 1) {
    _exit(2);
  }
  // A session of its own: PROGRAM's kill(0, ...) and its group's signals stay among its own
  // processes, what is left in its group can be found and ended, and it has no controlling
  // terminal to push keystrokes into.
  if (own_session) {
    (void)setsid();
  }
  ResetChildState();
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
  ExecProgram(argv, -1, 0);
}

// Forks PROGRAM's child, records its PID, lets it exec and logs the start. Closes *pid_fd
// (PROGRAM keeps the lock) and returns the child's PID, or -1 with errno set when the fork
// failed: the lock is then let go too, as nothing runs. When the PID cannot be recorded the
// child, still waiting at the gate, ends without exec and is collected, so that no PROGRAM
// runs unrecorded, and the supervisor ends.
static pid_t Launch(char* const* argv, const char* pid_file, int* pid_fd) {
  int gate_fds[2] = {-1, -1};
  if (*pid_fd >= 0 && pipe2(gate_fds, O_CLOEXEC) != 0) {
    ErrorExit("pipe2()");
  }
  pid_t child_pid = fork();
  if (child_pid < 0) {
    int saved_errno = errno;
    RecordForkFailure();
    CloseIfOpen(&gate_fds[0]);
    CloseIfOpen(&gate_fds[1]);
    CloseIfOpen(pid_fd);
    errno = saved_errno;
    return -1;
  }
  if (child_pid == 0) {
    // The PID-file descriptor stays open across exec: PROGRAM holds the lock from here on.
    CloseIfOpen(&gate_fds[1]);
    ExecProgram(argv, gate_fds[0], 1);
  }
  fork_failing = 0;
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

// Acts on a signal the supervisor took; child_pid is PROGRAM, -1 while none runs. SIGTERM and
// SIGINT stop the supervision and, like the others, are passed on to PROGRAM.
static void HandleSignal(int signal_number, pid_t child_pid) {
  if ((signal_number == SIGTERM || signal_number == SIGINT) && stop_signal == 0) {
    stop_signal = signal_number;
    char syslog_text[kHandlerArgSize];
    memset(syslog_text, 0, sizeof(syslog_text));
    FormatText(syslog_text, sizeof(syslog_text), "Service is stopping (signal=%d)", signal_number);
    RecordEvent(LOG_INFO, syslog_text, "The supervision was stopped by signal: signal=%d",
                signal_number);
  }
  if (signal_number != 0 && signal_number != SIGCHLD && child_pid > 0) {
    (void)kill(child_pid, signal_number);
  }
}

// Waits for PROGRAM and returns its wait status, meanwhile passing signals on, collecting every
// other child that ends (crash handlers, the writer, the orphans adopted as PID 1 or
// subreaper) and replacing the writer.
static int WaitForProgram(pid_t child_pid) {
  int status = 0;
  for (;;) {
    // Every child that ends raises SIGCHLD, which stays pending while blocked: there is nothing
    // to collect without it.
    int signal_number = AwaitSignal(WriterWait());
    HandleSignal(signal_number, child_pid);
    if (signal_number == SIGCHLD && CollectEnded(child_pid, &status) == 0) {
      return status;
    }
    StartWriterIfGone();
  }
}

// Lets milliseconds pass while nothing runs (0: only takes what is pending), collecting and
// keeping the writer going. Returns 0, or -1 as soon as a stop is asked for.
static int PauseSupervision(int64_t milliseconds) {
  int64_t deadline = MonotonicMilliseconds() + milliseconds;
  for (;;) {
    int64_t left = deadline - MonotonicMilliseconds();
    int64_t writer_wait = WriterWait();
    int64_t wait = left < 0 ? 0 : left;
    if (writer_wait >= 0 && writer_wait < wait) {
      wait = writer_wait;
    }
    int signal_number = AwaitSignal(wait);
    HandleSignal(signal_number, -1);
    if (signal_number == SIGCHLD) {
      (void)CollectEnded(-1, nullptr);
    }
    StartWriterIfGone();
    if (stop_signal != 0) {
      return -1;
    }
    if (signal_number == 0 && left <= 0) {
      return 0;
    }
  }
}

// Records how PROGRAM ended. Returns 0 when it is to be relaunched (killed by a signal, by
// SIGKILL only with respawn_kill, and never once a stop was asked for), -1 when the supervision
// ends with *result as its status.
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
  return stop_signal != 0 || (signal_number == SIGKILL && !respawn_kill) ? -1 : 0;
}

// Starts the crash handler with PROGRAM's PID and the signal as arguments. It is never waited
// for here: the monitoring loop collects it whenever it ends. One runs at a time, so that a
// crash loop with a slow handler cannot use up the account's processes; a handler that cannot
// be forked is skipped for this crash: relaunching PROGRAM matters more.
static void RunErrorHandler(const char* error_handler, pid_t pid, int signal_number) {
  if (!error_handler) {
    return;
  }
  if (handler_pid > 0) {
    RecordEvent(LOG_WARNING, nullptr, "The error handler is still running: pid=%d",
                static_cast<int>(handler_pid));
    return;
  }
  char pid_text[kHandlerArgSize];
  char signal_text[kHandlerArgSize];
  memset(pid_text, 0, sizeof(pid_text));
  memset(signal_text, 0, sizeof(signal_text));
  FormatText(pid_text, kHandlerArgSize - 1, "%d", static_cast<int>(pid));
  FormatText(signal_text, kHandlerArgSize - 1, "%d", signal_number);
  char* handler_argv[] = {const_cast<char*>(error_handler), pid_text, signal_text, nullptr};
  pid_t forked_pid = fork();
  if (forked_pid < 0) {
    RecordForkFailure();
    return;
  }
  if (forked_pid == 0) {
    ForgetEventLog();
    ResetChildState();
    execvp(error_handler, handler_argv);
    ErrorExit(error_handler);
  }
  fork_failing = 0;
  handler_pid = forked_pid;
}

// Takes the PID-file lock for the next launch. A lock that something else still holds after
// PROGRAM's leftovers were ended is waited for, checked once a second, and recorded once.
// Returns 0 with *pid_fd set, or -1 when a stop is asked for meanwhile.
static int RelockPidFile(const char* pid_file, int* pid_fd) {
  for (int attempt = 0; pid_file && (*pid_fd = LockPidFile(pid_file, 0)) < 0; ++attempt) {
    if (attempt == 0) {
      RecordEvent(LOG_WARNING, nullptr, "%s: %s: `%s': %s", program_name, kAlreadyLocked, pid_file,
                  strerror(EWOULDBLOCK));
    }
    if (PauseSupervision(1000) != 0) {
      return -1;
    }
  }
  return 0;
}

// Launches PROGRAM, retrying once a second while fork fails, without holding the lock
// meanwhile. Returns its PID, or -1 when a stop came first. A --daemon start whose first
// launch still cannot fork after a few seconds fails, so that a boot does not wait for ever.
static pid_t LaunchRetrying(char* const* argv, const Settings* settings, int* pid_fd, int first) {
  int64_t give_up_at = MonotonicMilliseconds() + kDaemonForkPatience;
  for (;;) {
    if (PauseSupervision(0) != 0) {
      CloseIfOpen(pid_fd);
      return -1;
    }
    pid_t child_pid = Launch(argv, settings->pid_file, pid_fd);
    if (child_pid >= 0) {
      return child_pid;
    }
    if (first && settings->daemon && MonotonicMilliseconds() >= give_up_at) {
      ErrorExit("fork()");
    }
    if (PauseSupervision(1000) != 0 || RelockPidFile(settings->pid_file, pid_fd) != 0) {
      return -1;
    }
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
  // A writer that was killed just before leaves output in the pipe: one more drains it.
  if (pipe_read_fd >= 0) {
    writer_start_at = 0;
    StartWriterIfGone();
  }
  for (int poll = 0; writer_pid >= 0 && poll < kWriterDrainPolls; ++poll) {
    pid_t reaped = waitpid(writer_pid, nullptr, WNOHANG);
    if (reaped == writer_pid || (reaped < 0 && errno != EINTR)) {
      writer_pid = -1;
      break;
    }
    struct timespec delay = {0, kWriterPollNanoseconds};
    (void)nanosleep(&delay, nullptr);
  }
  if (writer_pid >= 0) {
    (void)kill(writer_pid, SIGTERM);
  }
  CloseIfOpen(&pipe_read_fd);
}

int StartMonitoring(char* const* argv, const Settings* settings) {
  assert(argv);
  assert(settings);
  // From here on a stop request waits for the loop instead of ending the supervisor with
  // PROGRAM left unsupervised.
  BlockSupervisorSignals();
  // The first cycle's lock comes before the set-up: a second instance refused here must not
  // have truncated the running instance's log or output files first.
  int pid_fd = LockPidFile(settings->pid_file, 1);
  OpenEventLog(settings->log_file, settings->syslog_ident);
  SetupRotation(settings);
  SetupRedirection(settings);
  if (settings->no_respawn) {
    RunInPlace(argv, settings->pid_file, pid_fd);
  }
  // PROGRAM's orphans are adopted here rather than by init, so that what a dead PROGRAM left
  // behind can be found and ended. Older kernels refuse.
  (void)prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  int result = 0;
  for (int first = 1;; first = 0) {
    pid_t child_pid = LaunchRetrying(argv, settings, &pid_fd, first);
    if (child_pid < 0) {
      break;
    }
    int status = WaitForProgram(child_pid);
    int ended = RecordEnd(child_pid, status, settings->respawn_kill, &result);
    StopLeftovers(child_pid, settings->pid_file, writer_pid);
    if (ended != 0) {
      break;
    }
    RunErrorHandler(settings->error_handler, child_pid, WTERMSIG(status));
    if ((settings->respawn_delay > 0 &&
         PauseSupervision(static_cast<int64_t>(settings->respawn_delay) * 1000) != 0) ||
        RelockPidFile(settings->pid_file, &pid_fd) != 0) {
      break;
    }
  }
  WindDown();
  return result;
}
