/* The floor for the relaunch figure: the least a supervisor must do per relaunch, a bare
 * fork, execvp and waitpid of PROGRAM, repeated for SECONDS. Prints the number of launches and
 * the CPU time this process used, in nanoseconds.
 * Usage: floor_loop SECONDS PROGRAM [ARG]... */
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(clockid_t clock) {
  struct timespec ts;

  clock_gettime(clock, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  double end;
  long launches = 0;
  pid_t pid;
  int status;

  if (argc < 3) {
    fprintf(stderr, "usage: floor_loop SECONDS PROGRAM [ARG]...\n");
    return 100;
  }
  end = now(CLOCK_MONOTONIC) + atof(argv[1]);
  while (now(CLOCK_MONOTONIC) < end) {
    pid = fork();
    if (pid < 0) {
      perror("fork");
      return 111;
    }
    if (pid == 0) {
      execvp(argv[2], argv + 2);
      _exit(127);
    }
    while (waitpid(pid, &status, 0) < 0)
      ;
    launches++;
  }
  printf("%ld %.0f\n", launches, now(CLOCK_PROCESS_CPUTIME_ID) * 1e9);
  return 0;
}
