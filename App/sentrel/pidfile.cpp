// The PID-file lock protocol and the two control commands. The supervisor locks and writes the
// file each cycle, and PROGRAM inherits the locked descriptor; --test-alive and --stop run in
// a separate, short-lived process that only probes the lock and signals PROGRAM.
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "sentrel.h"

// A probe that finds the file unlocked holds the lock for a moment; a supervisor relocking in
// that moment retries for this long before it concludes that another instance runs.
constexpr int kLockAttempts = 20;
constexpr long kLockRetryNanoseconds = 5 * 1000 * 1000;

// Leftovers of a dead PROGRAM get this long, in polls, to end after SIGTERM before SIGKILL.
constexpr int kLeftoverGracePolls = 100;
constexpr long kLeftoverPollNanoseconds = 20 * 1000 * 1000;
// How far up the parent chain a holder is followed to the supervisor.
constexpr int kMaxAncestors = 64;
// The fields of /proc/PID/stat that name the parent, the process group and the start time.
constexpr int kStatParent = 4;
constexpr int kStatGroup = 5;
constexpr int kStatStartTime = 22;

static const char kOpenFailed[] = "open(): failed to open or create PID file";

static void SleepNanoseconds(long nanoseconds) {
  struct timespec delay = {0, nanoseconds};
  (void)nanosleep(&delay, nullptr);
}

// Reads the start of /proc/PID/stat, or with an fd that is not -1 of /proc/PID/fdinfo/FD, into
// text, zeroed and terminated. Returns the length read, or -1 with errno set.
static ssize_t ReadProcText(pid_t pid, int fd, char* text, size_t size) {
  char path[kPidTextSize + 32];
  if (fd < 0) {
    FormatText(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
  } else {
    FormatText(path, sizeof(path), "/proc/%d/fdinfo/%d", static_cast<int>(pid), fd);
  }
  memset(text, 0, size);
  int text_fd = open(path, O_RDONLY | O_CLOEXEC);
  if (text_fd < 0) {
    return -1;
  }
  ssize_t length = read(text_fd, text, size - 1);
  close(text_fd);
  return length;
}

// Field number field (as counted in proc(5)) of /proc/PID/stat, for the numeric fields after the
// command name, or -1 when the process is gone or the field cannot be read.
static long long ReadStatField(pid_t pid, int field) {
  char text[kCopySize];
  ssize_t length = ReadProcText(pid, -1, text, sizeof(text));
  // The command name may hold blanks and parentheses: fields are counted after its last ')'.
  const char* cursor = length > 0 ? strrchr(text, ')') : nullptr;
  for (int n = 2; cursor && n < field; ++n) {
    cursor = strchr(cursor + 1, ' ');
  }
  if (!cursor || cursor[1] < '0' || cursor[1] > '9') {
    return -1;
  }
  long long value = 0;
  for (++cursor; *cursor >= '0' && *cursor <= '9'; ++cursor) {
    value = value * 10 + (*cursor - '0');
  }
  return value;
}

// Returns 0 when process pid holds a lock on the file through descriptor fd: the kernel lists a
// lock in the descriptor's fdinfo only for the open file that took it, so a process that merely
// opened the file on its own is told apart from one that shares PROGRAM's locked descriptor.
static int CheckLockHolder(pid_t pid, int fd) {
  char text[kCopySize];
  ssize_t length = ReadProcText(pid, fd, text, sizeof(text));
  return length > 0 && strstr(text, "lock:") ? 0 : -1;
}

// Returns 0 when process pid has the file described by file open, -1 when it has not or there
// is no such process, and 1 when that cannot be known: no /proc, or another account's process.
// With need_lock, only a descriptor through which pid holds a lock on the file counts.
static int CheckHolder(const struct stat* file, pid_t pid, int need_lock) {
  char fd_dir[kPidTextSize + 16];
  FormatText(fd_dir, sizeof(fd_dir), "/proc/%d/fd", static_cast<int>(pid));
  int fds[kDescriptorBatch];
  int from = 0;
  int count;
  do {
    count = ListDescriptors(fd_dir, from, fds, kDescriptorBatch);
    for (int i = 0; i < count; ++i) {
      char link[sizeof(fd_dir) + 16];
      FormatText(link, sizeof(link), "%s/%d", fd_dir, fds[i]);
      struct stat held;
      if (stat(link, &held) == 0 && held.st_dev == file->st_dev && held.st_ino == file->st_ino &&
          (!need_lock || CheckLockHolder(pid, fds[i]) == 0)) {
        return 0;
      }
      from = fds[i] + 1;
    }
  } while (count == kDescriptorBatch);
  if (count < 0 && (errno != ENOENT || access("/proc/self/fd", F_OK) != 0)) {
    return 1;
  }
  return -1;
}

// Returns 0 when process pid descends from this one, the supervisor, -1 otherwise. As a
// subreaper the supervisor adopts PROGRAM's orphans, so its leftovers all lead back here.
static int IsDescendant(pid_t pid) {
  pid_t self = getpid();
  for (int depth = 0; depth < kMaxAncestors && pid > 0; ++depth) {
    pid = static_cast<pid_t>(ReadStatField(pid, kStatParent));
    if (pid == self) {
      return 0;
    }
  }
  return -1;
}

// Returns 0 when some process holds the lock of pid_file, filling file; -1 otherwise.
static int IsLockTaken(const char* pid_file, struct stat* file) {
  int fd = open(pid_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return -1;
  }
  int taken = fstat(fd, file) == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return taken ? 0 : -1;
}

// Returns 0 when pid has ended: gone, or a zombie that its parent, often the supervisor's loop,
// has yet to collect.
static int HasEnded(pid_t pid) {
  char text[kCopySize];
  ssize_t length = ReadProcText(pid, -1, text, sizeof(text));
  if (length < 0 && (errno == ENOENT || kill(pid, 0) != 0)) {
    return 0;
  }
  const char* state = length > 0 ? strrchr(text, ')') : nullptr;
  return state && (state[2] == 'Z' || state[2] == 'X') ? 0 : -1;
}

// Fills leftovers with at most kDescriptorBatch processes: those in PROGRAM's process group
// and, when file is given, the supervisor's descendants that hold its lock. A holder that is
// not a descendant is left alone: the relaunch then waits for it. Returns how many.
static int FindLeftovers(pid_t group, const struct stat* file, pid_t spared_pid, pid_t* leftovers) {
  pid_t self = getpid();
  int pids[kDescriptorBatch];
  int from = 1;
  int listed;
  int found = 0;
  do {
    listed = ListDescriptors("/proc", from, pids, kDescriptorBatch);
    for (int i = 0; i < listed && found < kDescriptorBatch; ++i) {
      from = pids[i] + 1;
      if (pids[i] == self || pids[i] == spared_pid) {
        continue;
      }
      // What has ended already, a zombie that the loop collects, is no leftover.
      if ((ReadStatField(pids[i], kStatGroup) == group ||
           (file && CheckHolder(file, pids[i], 1) == 0 && IsDescendant(pids[i]) == 0)) &&
          HasEnded(pids[i]) != 0) {
        leftovers[found++] = pids[i];
      }
    }
  } while (listed == kDescriptorBatch);
  return found;
}

// Ends the count leftovers with SIGTERM and, after the grace, SIGKILL, logging each as it goes.
static void EndLeftovers(pid_t* leftovers, int count) {
  int signal_number = SIGTERM;
  for (int poll = 0, remaining = count; remaining > 0 && poll <= 2 * kLeftoverGracePolls; ++poll) {
    if (poll == 0 || poll == kLeftoverGracePolls) {
      signal_number = poll == 0 ? SIGTERM : SIGKILL;
      for (int i = 0; i < count; ++i) {
        if (leftovers[i] > 0) {
          (void)kill(leftovers[i], signal_number);
        }
      }
    }
    SleepNanoseconds(kLeftoverPollNanoseconds);
    remaining = 0;
    for (int i = 0; i < count; ++i) {
      if (leftovers[i] > 0 && HasEnded(leftovers[i]) == 0) {
        RecordEvent(LOG_WARNING, nullptr, "The leftover process was stopped: pid=%d, signal=%d",
                    static_cast<int>(leftovers[i]), signal_number);
        leftovers[i] = -1;
      }
      remaining += leftovers[i] > 0;
    }
  }
}

void StopLeftovers(pid_t group, const char* pid_file, pid_t spared_pid) {
  pid_t leftovers[kDescriptorBatch];
  int count = 0;
  // What a full list left out, or a leftover forked before it ended, is found by searching
  // again until nothing is left.
  do {
    // Two probes decide whether anything is left, so that a relaunch with nothing to end costs
    // no scan of /proc.
    struct stat file;
    int in_group = kill(-group, 0) == 0;
    int lock_taken = pid_file && IsLockTaken(pid_file, &file) == 0;
    if (!in_group && !lock_taken) {
      return;
    }
    count = FindLeftovers(group, lock_taken ? &file : nullptr, spared_pid, leftovers);
    EndLeftovers(leftovers, count);
  } while (count > 0);
}

int LockPidFile(const char* pid_file, int first) {
  if (!pid_file) {
    return -1;
  }
  // Inheritable and not truncated on open: PROGRAM must keep this descriptor to hold the lock,
  // and a refused instance must not wipe the running one's PID. No symlink is followed, since
  // root would truncate whatever it points to, and a FIFO without a reader is refused at once
  // instead of blocking the open. Nor is a file with a second name: a hard link planted here
  // may reach any file of root's, which the truncation below would empty.
  int pid_fd = open(pid_file, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0604);
  struct stat file;
  if (pid_fd < 0 || CheckSingleLink(pid_fd, &file) != 0) {
    ErrorWithArgExit(kOpenFailed, pid_file);
  }
  for (int attempt = 1; flock(pid_fd, LOCK_EX | LOCK_NB) != 0; ++attempt) {
    int saved_errno = errno;
    if (saved_errno != EWOULDBLOCK || attempt >= kLockAttempts) {
      close(pid_fd);
      errno = saved_errno;
      if (saved_errno != EWOULDBLOCK) {
        ErrorWithArgExit("flock(): failed to lock PID file", pid_file);
      }
      // At a relaunch the holder is not another instance started after this one: the caller
      // waits for it rather than giving up a supervision.
      if (!first) {
        return -1;
      }
      ErrorWithArgExit(kAlreadyLocked, pid_file);
    }
    SleepNanoseconds(kLockRetryNanoseconds);
  }
  // Emptied at once, so that no reader ever takes the previous PROGRAM's PID from a locked
  // file and signals whatever process now has that number.
  if (ftruncate(pid_fd, 0) != 0) {
    ErrorWithArgExit("truncate(): failed to write PID to the file", pid_file);
  }
  return pid_fd;
}

int WritePidFile(const char* pid_file, int pid_fd, pid_t pid) {
  if (!pid_file || pid_fd < 0 || pid < 0) {
    return 0;
  }
  char text[kPidTextSize];
  memset(text, 0, sizeof(text));
  int length = FormatText(text, sizeof(text), "%d", static_cast<int>(pid));
  // The descriptor was opened and emptied in this cycle, so its offset is still 0.
  return write(pid_fd, text, length) == length ? 0 : -1;
}

// Opens pid_file and tries its lock. Returns the descriptor when another process holds the
// lock, -1 otherwise (the probe's own lock, if it got one, is dropped by the close).
static int OpenIfLocked(const char* pid_file, int fatal) {
  // Non-blocking: a FIFO put in the file's place must not hang the probe. No link, symbolic or
  // hard, is believed: a link to another service's PID file would make the probe answer for
  // that service.
  int fd = open(pid_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  struct stat file;
  int opened = fd >= 0 && CheckSingleLink(fd, &file) == 0;
  int locked = opened && flock(fd, LOCK_EX | LOCK_NB) != 0;
  if (locked && errno == EWOULDBLOCK) {
    return fd;
  }
  int saved_errno = errno;
  CloseIfOpen(&fd);
  errno = saved_errno;
  // A stop that cannot look must not answer that nothing runs; only a missing file says so.
  if (fatal && !opened && errno != ENOENT) {
    ErrorWithArgExit(kOpenFailed, pid_file);
  }
  if (fatal && locked) {
    ErrorWithArgExit("flock(): failed to lock PID file", pid_file);
  }
  return -1;
}

// The PID in text, or 0 when it is not plain decimal digits naming a possible PID: a sign, a
// blank or a number too large for a PID is never read as some other number.
static pid_t ParsePid(const char* text) {
  long long value = 0;
  const char* digit = text;
  for (; *digit >= '0' && *digit <= '9'; ++digit) {
    value = value * 10 + (*digit - '0');
    if (value > INT_MAX) {
      return 0;
    }
  }
  return digit == text ? 0 : static_cast<pid_t>(value);
}

int IsPidFileLocked(const char* pid_file) {
  if (!pid_file) {
    return -1;
  }
  int fd = OpenIfLocked(pid_file, 0);
  if (fd < 0) {
    return -1;
  }
  close(fd);
  return 0;
}

pid_t ReadPidFile(const char* pid_file) {
  if (!pid_file) {
    return -1;
  }
  // The file is writable by PROGRAM and perhaps by its account, so its text is only believed
  // when that process really holds the file. A supervisor taking the lock for its next PROGRAM
  // also holds it for a moment with the file empty until the new PID is written: a file that
  // names no holder is therefore read again for a moment before it is given up on.
  for (int attempt = 1; attempt <= kLockAttempts; ++attempt) {
    int fd = OpenIfLocked(pid_file, 1);
    if (fd < 0) {
      return -1;
    }
    char text[kPidTextSize];
    memset(text, 0, sizeof(text));
    ssize_t length = read(fd, text, sizeof(text) - 1);
    struct stat file;
    int known = fstat(fd, &file);
    close(fd);
    pid_t pid = length > 0 && known == 0 ? ParsePid(text) : 0;
    // Where the holder cannot be checked, the lock is the only evidence left.
    if (pid > 0 && CheckHolder(&file, pid, 0) >= 0) {
      return pid;
    }
    SleepNanoseconds(kLockRetryNanoseconds);
  }
  return 0;
}

void TestAlive(const char* pid_file) {
  exit(IsPidFileLocked(pid_file) == 0 ? 0 : 1);
}

// Returns 0 when pid exists, -1 when not. Does not return when kill() fails otherwise.
static int CheckProcess(pid_t pid) {
  if (kill(pid, 0) == 0) {
    return 0;
  }
  if (errno == ESRCH) {
    return -1;
  }
  ErrorExit("kill()");
}

// Returns 0 once pid is gone, -1 when it is still there after timeout seconds of polling.
static int WaitForExit(pid_t pid, int timeout) {
  for (;;) {
    if (CheckProcess(pid) != 0) {
      return 0;
    }
    if (timeout <= 0) {
      return -1;
    }
    (void)sleep(1);
    --timeout;
  }
}

// Sends signal_number to pid. Returns 0 when pid is gone within timeout seconds, -1 if not.
static int KillAndWait(pid_t pid, int signal_number, int timeout) {
  if (kill(pid, signal_number) == 0) {
    return WaitForExit(pid, timeout);
  }
  if (errno == ESRCH) {
    return 0;
  }
  ErrorExit("kill()");
}

void StopProcess(const char* pid_file, int timeout) {
  // Only a missing file means that nothing runs; one this account may not open says nothing.
  int fd = open(pid_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  struct stat file;
  if ((fd < 0 && errno != ENOENT) || (fd >= 0 && CheckSingleLink(fd, &file) != 0)) {
    ErrorWithArgExit(kOpenFailed, pid_file);
  }
  if (fd >= 0) {
    close(fd);
  }
  pid_t pid = ReadPidFile(pid_file);
  if (pid < 0) {
    exit(0);
  }
  if (pid == 0) {
    errno = 0;
    ErrorWithArgExit("kill(): PID file does not name the process that holds it", pid_file);
  }
  long long start_time = ReadStatField(pid, kStatStartTime);
  if (KillAndWait(pid, SIGTERM, timeout) == 0) {
    exit(0);
  }
  // In the seconds of waiting PROGRAM may have ended and left its PID to another process, which
  // is spared; PROGRAM itself gets SIGKILL even when it let go of the file meanwhile.
  if (ReadStatField(pid, kStatStartTime) != start_time) {
    exit(0);
  }
  if (KillAndWait(pid, SIGKILL, timeout) == 0) {
    exit(1);
  }
  exit(2);
}
