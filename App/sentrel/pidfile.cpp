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
// The fields of /proc/PID/stat that name the parent and the start time.
constexpr int kStatParent = 4;
constexpr int kStatStartTime = 22;

static const char kOpenFailed[] = "open(): failed to open or create PID file";

static void SleepNanoseconds(long nanoseconds) {
  struct timespec delay = {0, nanoseconds};
  (void)nanosleep(&delay, nullptr);
}

// Field number field (as counted in proc(5)) of /proc/PID/stat, for the numeric fields after the
// command name, or -1 when the process is gone or the field cannot be read.
static long long ReadStatField(pid_t pid, int field) {
  char path[kPidTextSize + 16];
  FormatText(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  char text[kCopySize];
  memset(text, 0, sizeof(text));
  ssize_t length = read(fd, text, sizeof(text) - 1);
  close(fd);
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

// Returns 0 when process pid has the file described by file open, -1 when it has not or there
// is no such process, and 1 when that cannot be known: no /proc, or another account's process.
static int CheckHolder(const struct stat* file, pid_t pid) {
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
      if (stat(link, &held) == 0 && held.st_dev == file->st_dev && held.st_ino == file->st_ino) {
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

// Fills leftovers with the processes other than this one that hold the file open, at most
// kDescriptorBatch. Returns how many, or -1 when one of them is not a descendant: another
// instance, which must not be touched.
static int FindLeftovers(const struct stat* file, pid_t* leftovers) {
  pid_t self = getpid();
  int pids[kDescriptorBatch];
  int from = 1;
  int listed;
  int found = 0;
  do {
    listed = ListDescriptors("/proc", from, pids, kDescriptorBatch);
    for (int i = 0; i < listed; ++i) {
      from = pids[i] + 1;
      if (pids[i] == self || CheckHolder(file, pids[i]) != 0) {
        continue;
      }
      if (IsDescendant(pids[i]) != 0) {
        return -1;
      }
      if (found < kDescriptorBatch) {
        leftovers[found++] = pids[i];
      }
    }
  } while (listed == kDescriptorBatch);
  return found;
}

// At a relaunch whose lock is refused: ends what the dead PROGRAM left holding the PID file,
// with SIGTERM and, after the grace, SIGKILL. Returns 0 when it ended at least one; -1 when a
// holder is another instance or none can be found, so that the refusal stands.
static int StopLeftovers(int pid_fd) {
  struct stat file;
  pid_t leftovers[kDescriptorBatch];
  int count = fstat(pid_fd, &file) == 0 ? FindLeftovers(&file, leftovers) : -1;
  if (count <= 0) {
    return -1;
  }
  for (int i = 0; i < count; ++i) {
    (void)kill(leftovers[i], SIGTERM);
  }
  int signal_number = SIGTERM;
  int remaining = count;
  for (int poll = 1; remaining > 0 && poll <= 2 * kLeftoverGracePolls; ++poll) {
    SleepNanoseconds(kLeftoverPollNanoseconds);
    for (int i = 0; i < count; ++i) {
      if (leftovers[i] <= 0) {
        continue;
      }
      // Collected at once when it is the supervisor's own child: a zombie would count as
      // alive, and as a leftover it is no business of the monitoring loop.
      (void)waitpid(leftovers[i], nullptr, WNOHANG);
      if (CheckHolder(&file, leftovers[i]) != 0) {
        RecordEvent(LOG_WARNING, nullptr, "The leftover process was stopped: pid=%d, signal=%d",
                    static_cast<int>(leftovers[i]), signal_number);
        leftovers[i] = -1;
        --remaining;
      } else if (poll == kLeftoverGracePolls) {
        (void)kill(leftovers[i], SIGKILL);
      }
    }
    if (poll == kLeftoverGracePolls) {
      signal_number = SIGKILL;
    }
  }
  return 0;
}

int LockPidFile(const char* pid_file, int stop_leftovers) {
  if (!pid_file) {
    return -1;
  }
  // Inheritable and not truncated on open: PROGRAM must keep this descriptor to hold the lock,
  // and a refused instance must not wipe the running one's PID. No symlink is followed, since
  // root would truncate whatever it points to, and a FIFO without a reader is refused at once
  // instead of blocking the open.
  int pid_fd = open(pid_file, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0604);
  if (pid_fd < 0) {
    ErrorWithArgExit(kOpenFailed, pid_file);
  }
  for (int attempt = 1; flock(pid_fd, LOCK_EX | LOCK_NB) != 0; ++attempt) {
    int saved_errno = errno;
    if (saved_errno == EWOULDBLOCK && attempt >= kLockAttempts && stop_leftovers &&
        StopLeftovers(pid_fd) == 0) {
      attempt = 0;
      continue;
    }
    if (saved_errno != EWOULDBLOCK || attempt >= kLockAttempts) {
      close(pid_fd);
      errno = saved_errno;
      if (saved_errno == EWOULDBLOCK) {
        ErrorWithArgExit("flock(): PID file is already locked by another process", pid_file);
      }
      ErrorWithArgExit("flock(): failed to lock PID file", pid_file);
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
static int OpenIfLocked(const char* pid_file) {
  // Non-blocking: a FIFO put in the file's place must not hang the probe. No link is followed:
  // a link to another service's PID file would make the probe answer for that service.
  int fd = open(pid_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return fd;
  }
  close(fd);
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
  int fd = OpenIfLocked(pid_file);
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
    int fd = OpenIfLocked(pid_file);
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
    if (pid > 0 && CheckHolder(&file, pid) >= 0) {
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
  if (fd < 0 && errno != ENOENT) {
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
