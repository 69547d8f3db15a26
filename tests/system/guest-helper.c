/* What the guests' BusyBox cannot do for the system tests, built static for each board:
 *
 *   guest-helper segv         dies of a real memory fault (SIGSEGV raised by the kernel from a
 *                             data abort, not sent by kill)
 *   guest-helper locked FILE  exits 0 when another process holds FILE's flock lock, 1 when
 *                             nobody does or FILE cannot be opened
 *
 * Exits 2 on a usage error. */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

/* The address is read from a volatile, so the compiler cannot see a null dereference and put a
 * trap instruction (SIGILL) in its place. */
static int Fault(void) {
  volatile uintptr_t address = 0;
  *(volatile int*)address = 1;
  fprintf(stderr, "guest-helper: the write to address 0 did not fault\n");
  return 2;
}

static int IsLocked(const char* file) {
  int fd = open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return 1;
  }
  int locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return locked ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "segv") == 0) {
    return Fault();
  }
  if (argc == 3 && strcmp(argv[1], "locked") == 0) {
    return IsLocked(argv[2]);
  }
  fprintf(stderr, "usage: guest-helper segv | guest-helper locked FILE\n");
  return 2;
}
