/* PROGRAM for the relaunch figure: appends the CLOCK_MONOTONIC time of its start (8 bytes) to
 * the file named by argv[1] when that is an absolute path, else to "launches" in the working
 * directory (a service directory's run file gets no arguments, or s6's the service name),
 * then kills itself with SIGTERM, which no supervisor takes for a clean exit. */
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  const char* path = argc > 1 && argv[1][0] == '/' ? argv[1] : "launches";
  struct timespec now;
  int64_t stamp;
  int fd;

  clock_gettime(CLOCK_MONOTONIC, &now);
  stamp = (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
  fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0)
    (void)write(fd, &stamp, sizeof(stamp));
  kill(getpid(), SIGTERM);
  return 1;
}
