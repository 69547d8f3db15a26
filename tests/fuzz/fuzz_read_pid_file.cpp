// libFuzzer target for the PID-file readers on a file with arbitrary contents. The file is
// created once; each run rewrites it with the input. A reader only believes a file that another
// open file description holds locked, so the target locks it through a second descriptor of its
// own: while that holds the lock ReadPidFile may answer only 0 or this process's PID (the one
// holder), and a table of known texts, checked at start-up, says which; once it lets go both
// readers must answer -1 whatever the file says.
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

// Contents whose answer is known, with this process's PID (plus an offset) put in by
// snprintf: the readers believe at most 32 bytes of plain decimal digits, and only when they
// name a holder of the file; nothing else is ever wrapped or read into another process's PID.
struct KnownText {
  const char* format;
  long long offset;
  bool names_holder;
};

constexpr KnownText kKnownTexts[] = {
    {"%lld", 0, true},           // as the supervisor writes it
    {"%lld\n", 0, true},         // a newline after the digits
    {"%lld and more", 0, true},  // words after the digits
    {"000%lld", 0, true},        // leading zeros
    {"%032lld", 0, true},        // the digits fill the 32 bytes read
    {"%033lld", 0, false},       // the 33rd byte is not read: the PID divided by 10
    {"%lld0", 0, false},         // ten times the PID
    {" %lld", 0, false},         // a blank before the digits
    {"+%lld", 0, false},         // a sign
    {"-%lld", 0, false},         // a minus sign
    {"0x%llx", 0, false},        // hexadecimal
    {"%lld", 1LL << 32, false},  // what a conversion to 32 bits wraps to the PID
    {"%lld", 1, false},          // another number
    {"", 0, false},              // an empty file, as between the lock and the write
    {"0", 0, false},             // zero
    {"1", 0, false},             // PID 1, which does not hold the file
};

// Writes size bytes of data into the file, then checks both readers while the file is locked
// and again once it is not. expected is the PID ReadPidFile must give while it is locked, or
// -1 when any answer but a PID of another process is right.
void CheckContents(const uint8_t* data, size_t size, pid_t expected) {
  if (ftruncate(content_fd, 0) != 0 ||
      (size > 0 && pwrite(content_fd, data, size, 0) != static_cast<ssize_t>(size))) {
    perror("rewriting the PID file");
    abort();
  }
  if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
    perror("flock");
    abort();
  }
  pid_t pid = ReadPidFile(pid_file);
  Check(pid == 0 || pid == getpid(), "a PID other than the holder's from a locked file");
  Check(expected < 0 || pid == expected, "wrong answer to a known text in a locked file");
  Check(IsPidFileLocked(pid_file) == 0, "a locked file reported unlocked");

  flock(lock_fd, LOCK_UN);
  Check(ReadPidFile(pid_file) == -1, "a PID read from a file nobody holds");
  Check(IsPidFileLocked(pid_file) == -1, "an unlocked file reported locked");
  // The readers' probes took and dropped the lock; nothing may be left holding it.
  Check(flock(lock_fd, LOCK_EX | LOCK_NB) == 0, "a reader left the file locked");
  flock(lock_fd, LOCK_UN);
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
  if (lock_fd < 0) {
    perror("open");
    exit(1);
  }
  for (const KnownText& known : kKnownTexts) {
    char text[64];
    memset(text, 0, sizeof(text));
    int length = snprintf(text, sizeof(text), known.format, getpid() + known.offset);
    CheckContents(reinterpret_cast<const uint8_t*>(text), static_cast<size_t>(length),
                  known.names_holder ? getpid() : 0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckContents(data, size, -1);
  return 0;
}
