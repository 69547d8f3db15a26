// libFuzzer target for the PID-file readers on a file with arbitrary contents. The file is
// created once; each run rewrites it with the input. A reader only believes a file that another
// open file description holds locked, so the target keeps a lock through a second descriptor of
// its own: while it holds it ReadPidFile must give atoi of the first 32 bytes (-1 for an empty
// file), and once it lets go both readers must answer -1 whatever the file says.
#include <fcntl.h>
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

// What a reader must make of the contents: the PID text is at most 32 bytes, read as by atoi.
pid_t ExpectedPid(const uint8_t* data, size_t size) {
  if (size == 0) {
    return -1;
  }
  char text[kPidTextSize];
  memset(text, 0, sizeof(text));
  memcpy(text, data, size < sizeof(text) - 1 ? size : sizeof(text) - 1);
  return atoi(text);
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
