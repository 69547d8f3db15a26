// libFuzzer target for the PID-file readers on a file with arbitrary contents. The file is
// created once; each run rewrites it with the input. A reader only believes a file that another
// open file description holds locked, so the target keeps a lock through a second descriptor of
// its own: while it holds it ReadPidFile must give the PID only when the leading digits of the
// first 32 bytes name a process holding the file (this one), and 0 for anything else; once it
// lets go both readers must answer -1 whatever the file says.
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "sentrel.h"

namespace {

char pid_file[kPathSize];
int content_fd = -1;
int lock_fd = -1;

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "PID-file reader: %s\n", what);
    abort();
  }
}

void RemovePidFile() {
  unlink(pid_file);
}

// What a reader must make of the contents: the PID text is at most 32 bytes of plain decimal
// digits, believed only when it names a holder of the file. Nothing else is ever wrapped or
// read into some other process's PID.
pid_t ExpectedPid(const uint8_t* data, size_t size) {
  char text[kPidTextSize];
  memset(text, 0, sizeof(text));
  memcpy(text, data, size < sizeof(text) - 1 ? size : sizeof(text) - 1);
  long long value = 0;
  size_t digits = 0;
  for (; text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    value = value * 10 + (text[digits] - '0');
    if (value > INT_MAX) {
      return 0;
    }
  }
  return digits > 0 && value == getpid() ? getpid() : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* dir = getenv("TMPDIR");
  snprintf(pid_file, sizeof(pid_file), "%s/sentrel-fuzz-pid-XXXXXX", dir ? dir : "/tmp");
  content_fd = mkstemp(pid_file);
  if (content_fd < 0) {
    perror("mkstemp");
    exit(1);
  }
  atexit(RemovePidFile);
  // A second, separately opened descriptor: a lock taken through content_fd would do as well,
  // but this mirrors PROGRAM holding its own open file description.
  lock_fd = open(pid_file, O_RDONLY | O_CLOEXEC);
  if (lock_fd < 0 || flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
    perror("flock");
    exit(1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (ftruncate(content_fd, 0) != 0 ||
      (size > 0 && pwrite(content_fd, data, size, 0) != static_cast<ssize_t>(size))) {
    perror("rewriting the PID file");
    abort();
  }
  Check(ReadPidFile(pid_file) == ExpectedPid(data, size), "wrong PID from a locked file");
  Check(IsPidFileLocked(pid_file) == 0, "a locked file reported unlocked");

  flock(lock_fd, LOCK_UN);
  Check(ReadPidFile(pid_file) == -1, "a PID read from a file nobody holds");
  Check(IsPidFileLocked(pid_file) == -1, "an unlocked file reported locked");
  // The readers' probes took and dropped the lock; nothing may be left holding it.
  Check(flock(lock_fd, LOCK_EX | LOCK_NB) == 0, "a reader left the file locked");
  return 0;
}
