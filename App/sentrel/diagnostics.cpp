// Fatal error reports and the time-stamped event log with its syslog mirror. The fatal
// functions run in every process (supervisor, launched child before exec, handler); the log is
// written by the supervisor only.
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "sentrel.h"

static int ExitStatusFor(int saved_errno) {
  return (saved_errno == EPERM || saved_errno == EACCES) ? 3 : 2;
}

void ErrorExit(const char* s) {
  // Saved before anything else, since flushing stdout can itself change errno.
  int saved_errno = errno;
  assert(s);
  fflush(stdout);
  fprintf(stderr, "%s: %s: %s\n", program_name, s, strerror(saved_errno));
  exit(ExitStatusFor(saved_errno));
}

void ErrorWithArgExit(const char* s, const char* arg) {
  int saved_errno = errno;
  assert(s);
  assert(arg);
  fflush(stdout);
  if (saved_errno != 0) {
    fprintf(stderr, "%s: %s: `%s': %s\n", program_name, s, arg, strerror(saved_errno));
  } else {
    fprintf(stderr, "%s: %s: `%s'\n", program_name, s, arg);
  }
  exit(ExitStatusFor(saved_errno));
}

int FormatTimeStamp(const struct tm* tm, char* buf, size_t size) {
  return snprintf(buf, size, "%04d-%02d-%02d %02d:%02d:%02d ", tm->tm_year + 1900, tm->tm_mon + 1,
                  tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec);
}

FILE* OpenEventLog(const char* log_file) {
  // Without a log file there is nothing to see, so no stream at all: formatting lines for
  // /dev/null would only slow every relaunch.
  if (!log_file) {
    return nullptr;
  }
  // Close-on-exec: PROGRAM and the handler must not inherit the supervisor's log, least of all
  // as their standard input after --daemon.
  return fopen(log_file, "we");
}

void LogEvent(FILE* log, const char* format, ...) {
  if (!log) {
    return;
  }
  time_t now = time(nullptr);
  struct tm tm;
  memset(&tm, 0, sizeof(tm));
  localtime_r(&now, &tm);
  char stamp[kTimeStampSize];
  memset(stamp, 0, sizeof(stamp));
  FormatTimeStamp(&tm, stamp, sizeof(stamp));
  fputs(stamp, log);
  va_list args;
  va_start(args, format);
  vfprintf(log, format, args);
  va_end(args);
  fputc('\n', log);
  // Flushed before the next fork, so no child ever inherits and writes this line again.
  fflush(log);
}
