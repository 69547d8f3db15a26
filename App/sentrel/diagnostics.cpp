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
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "sentrel.h"

FILE* fatal_log = nullptr;
int fatal_syslog = 0;
int start_report_fd = -1;

// Prints "<program>: <s>[: `<arg>'][: <system text>]" on stderr and, in the supervisor, to the
// event log and syslog, then exits 3 for a permission error and 2 otherwise. arg is null for
// the short form, which always carries the system text.
[[noreturn]] static void ReportAndExit(int saved_errno, const char* s, const char* arg) {
  const char* open_quote = arg ? ": `" : "";
  const char* close_quote = arg ? "'" : "";
  int with_text = !arg || saved_errno != 0;
  const char* separator = with_text ? ": " : "";
  const char* text = with_text ? strerror(saved_errno) : "";
  if (!arg) {
    arg = "";
  }
  (void)fflush(stdout);
  // Under --daemon stderr is /dev/null: until PROGRAM runs, the invoker waits for the message.
  if (start_report_fd >= 0) {
    (void)dup2(start_report_fd, 2);
  }
  fprintf(stderr, "%s: %s%s%s%s%s%s\n", program_name, s, open_quote, arg, close_quote, separator,
          text);
  // Without this line a supervisor that ends under --daemon leaves no trace of why.
  LogEvent(fatal_log, "%s: %s%s%s%s%s%s", program_name, s, open_quote, arg, close_quote, separator,
           text);
  if (fatal_syslog) {
    syslog(LOG_ERR, "%s: %s%s%s%s%s%s", program_name, s, open_quote, arg, close_quote, separator,
           text);
  }
  exit((saved_errno == EPERM || saved_errno == EACCES) ? 3 : 2);
}

void ErrorExit(const char* s) {
  // Saved before anything else, since flushing stdout can itself change errno.
  int saved_errno = errno;
  assert(s);
  ReportAndExit(saved_errno, s, nullptr);
}

void ErrorWithArgExit(const char* s, const char* arg) {
  int saved_errno = errno;
  assert(s);
  assert(arg);
  ReportAndExit(saved_errno, s, arg);
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
  // Truncated once here, then only appended to: a log truncated from outside (logrotate's
  // copytruncate) or shared with another supervisor then gets no hole and no overwritten line.
  // Close-on-exec: PROGRAM and the handler must not inherit the supervisor's log. Never
  // writable by others, whatever umask --daemon left.
  int log_fd = open(log_file, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (log_fd < 0) {
    return nullptr;
  }
  FILE* log = fdopen(log_fd, "a");
  if (!log) {
    close(log_fd);
  }
  return log;
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
  (void)fflush(log);
}
