/* PROGRAM for the memory, idle and stop figures: sleeps until SIGTERM, then exits 0 at once,
 * so that a supervisor sees a normal exit rather than a crash. */
#include <signal.h>
#include <string.h>
#include <unistd.h>

static void on_term(int signal_number) {
  (void)signal_number;
  _exit(0);
}

int main(void) {
  struct sigaction action;

  memset(&action, 0, sizeof(action));
  action.sa_handler = on_term;
  sigaction(SIGTERM, &action, NULL);
  for (;;)
    pause();
}
