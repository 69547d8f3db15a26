// The PID-file lock protocol and the two control commands. The supervisor locks and writes the
// file each cycle, and PROGRAM inherits the locked descriptor; --test-alive and --stop run in
// a separate, short-lived process that only probes the lock and signals PROGRAM.
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "sentrel.h"

// A probe that finds the file unlocked holds the lock for a moment; a supervisor relocking in
// that moment retries for this long before it concludes that another instance runs.
constexpr int kLockAttempts = 20;
constexpr long kLockRetryNanoseconds = 5 * 1000 * 1000;

static void SleepNanoseconds(long nanoseconds) {
  struct timespec delay = {0, nanoseconds};
  nanosleep(&delay, nullptr);
}

int LockPidFile(const char* pid_file) {
  if (!pid_file) {
    return -1;
  }
  // Inheritable and not truncated on open: PROGRAM must keep this descriptor to hold the lock,
  // and a refused instance must not wipe the running one's PID.
  int pid_fd = open(pid_file, O_WRONLY | O_CREAT, 0604);
  if (pid_fd < 0) {
    ErrorWithArgExit("open(): failed to open or create PID file", pid_file);
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
  int fd = open(pid_file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return fd;
  }
  close(fd);
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
  // A supervisor taking the lock for its next PROGRAM holds it for a moment with the previous,
  // dead PROGRAM's PID still in the file, then with the file empty until the new PID is
  // written. Both are read again for a moment rather than taken for the answer.
  pid_t dead_pid = -1;
  for (int attempt = 1; attempt <= kLockAttempts; ++attempt) {
    int fd = OpenIfLocked(pid_file);
    if (fd < 0) {
      return -1;
    }
    char text[kPidTextSize];
    memset(text, 0, sizeof(text));
    ssize_t length = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (length > 0) {
      pid_t pid = atoi(text);
      if (pid <= 0 || pid == dead_pid || kill(pid, 0) == 0 || errno != ESRCH) {
        return pid;
      }
      dead_pid = pid;
    }
    SleepNanoseconds(kLockRetryNanoseconds);
  }
  return -1;
}

void TestAlive(const char* pid_file) {
  exit(IsPidFileLocked(pid_file) == 0 ? 0 : 1);
}

int CheckProcess(pid_t pid) {
  if (kill(pid, 0) == 0) {
    return 0;
  }
  if (errno == ESRCH) {
    return -1;
  }
  ErrorExit("kill()");
}

int WaitForExit(pid_t pid, int timeout) {
  for (;;) {
    if (CheckProcess(pid) != 0) {
      return 0;
    }
    if (timeout <= 0) {
      return -1;
    }
    sleep(1);
    --timeout;
  }
}

int KillAndWait(pid_t pid, int signal_number, int timeout) {
  if (kill(pid, signal_number) == 0) {
    return WaitForExit(pid, timeout);
  }
  if (errno == ESRCH) {
    return 0;
  }
  ErrorExit("kill()");
}

void StopProcess(pid_t pid, int timeout) {
  if (pid <= 0) {
    exit(0);
  }
  if (KillAndWait(pid, SIGTERM, timeout) == 0) {
    exit(0);
  }
  if (KillAndWait(pid, SIGKILL, timeout) == 0) {
    exit(1);
  }
  exit(2);
}
