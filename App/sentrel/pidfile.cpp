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
#include <time.h>
#include <unistd.h>

#include "sentrel.h"

// A probe that finds the file unlocked holds the lock for a moment; a supervisor relocking in
// that moment retries for this long before it concludes that another instance runs.
constexpr int kLockAttempts = 20;
constexpr long kLockRetryNanoseconds = 5 * 1000 * 1000;

static const char kOpenFailed[] = "open(): failed to open or create PID file";

static void SleepNanoseconds(long nanoseconds) {
  struct timespec delay = {0, nanoseconds};
  (void)nanosleep(&delay, nullptr);
}

int LockPidFile(const char* pid_file) {
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
  int attempt = 1;
  while (flock(pid_fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK || attempt == kLockAttempts) {
      int saved_errno = errno;
      close(pid_fd);
      errno = saved_errno;
      if (saved_errno == EWOULDBLOCK) {
        ErrorWithArgExit("flock(): PID file is already locked by another process", pid_file);
      }
      ErrorWithArgExit("flock(): failed to lock PID file", pid_file);
    }
    ++attempt;
    SleepNanoseconds(kLockRetryNanoseconds);
  }
  // Emptied at once, so that no reader ever takes the previous PROGRAM's PID from a locked
  // file and signals whatever process now has that number.
  if (ftruncate(pid_fd, 0) != 0) {
    ErrorWithArgExit("truncate(): failed to write PID to the file", pid_file);
  }
  return pid_fd;
}

void WritePidFile(const char* pid_file, int pid_fd, pid_t pid) {
  if (!pid_file || pid_fd < 0 || pid < 0) {
    return;
  }
  char text[kPidTextSize];
  memset(text, 0, sizeof(text));
  int length = snprintf(text, sizeof(text), "%d", static_cast<int>(pid));
  // The descriptor was opened and emptied in this cycle, so its offset is still 0.
  if (write(pid_fd, text, length) != length) {
    ErrorWithArgExit("write(): failed to write PID to the file", pid_file);
  }
}

// Opens pid_file and tries its lock. Returns the descriptor when another process holds the
// lock, -1 otherwise (the probe's own lock, if it got one, is dropped by the close).
static int OpenIfLocked(const char* pid_file) {
  // Non-blocking: a FIFO put in the file's place must not hang the probe.
  int fd = open(pid_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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

// Returns 0 when process pid has pid_file open, or when that cannot be known (no /proc, or
// another account's process); -1 when it has not, or when there is no such process.
static int IsHeldBy(const char* pid_file, pid_t pid) {
  struct stat file;
  if (stat(pid_file, &file) != 0) {
    return -1;
  }
  char fd_dir[kPidTextSize + 16];
  snprintf(fd_dir, sizeof(fd_dir), "/proc/%d/fd", static_cast<int>(pid));
  int fds[kDescriptorBatch];
  int from = 0;
  int count;
  do {
    count = ListDescriptors(fd_dir, from, fds, kDescriptorBatch);
    for (int i = 0; i < count; ++i) {
      char link[sizeof(fd_dir) + 16];
      snprintf(link, sizeof(link), "%s/%d", fd_dir, fds[i]);
      struct stat held;
      if (stat(link, &held) == 0 && held.st_dev == file.st_dev && held.st_ino == file.st_ino) {
        return 0;
      }
      from = fds[i] + 1;
    }
  } while (count == kDescriptorBatch);
  if (count < 0 && (errno != ENOENT || access("/proc/self/fd", F_OK) != 0)) {
    return 0;
  }
  return -1;
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
    (void)read(fd, text, sizeof(text) - 1);
    close(fd);
    pid_t pid = ParsePid(text);
    if (pid > 0 && IsHeldBy(pid_file, pid) == 0) {
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
  int fd = open(pid_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
  if (KillAndWait(pid, SIGTERM, timeout) == 0) {
    exit(0);
  }
  // The seconds of waiting let PROGRAM let go of the file, or end and leave its PID to another
  // process: only a process still holding the file gets SIGKILL.
  if (IsHeldBy(pid_file, pid) != 0) {
    exit(0);
  }
  if (KillAndWait(pid, SIGKILL, timeout) == 0) {
    exit(1);
  }
  exit(2);
}
