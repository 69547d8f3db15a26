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
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "sentrel.h"

int fatal_log = -1;
int fatal_syslog = 0;
int start_report_fd = -1;

// Set when a line reached the event log only in part (a full disk): the next line then starts
// with a newline of its own instead of being glued to the half.
static int log_line_cut = 0;

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

int OpenWithoutPlantedLink(const char* path, int flags, mode_t mode) {
  assert(path);
  int fd = open(path, flags | O_NOFOLLOW, mode);
  if (fd >= 0 || errno != ELOOP) {
    return fd;
  }
  // The link is followed only where nobody else could have made it: in a directory owned by
  // root or by this user and writable by nobody else. Anywhere else root would write, or
  // truncate, whatever another account pointed it at.
  char dir[kPathSize];
  memset(dir, 0, sizeof(dir));
  const char* slash = strrchr(path, '/');
  int length = slash && slash > path ? static_cast<int>(slash - path) : 1;
  if (snprintf(dir, sizeof(dir), "%.*s", length, slash ? path : ".") >= kPathSize) {
    return -1;
  }
  struct stat holder;
  if (stat(dir, &holder) != 0 || (holder.st_uid != 0 && holder.st_uid != geteuid()) ||
      (holder.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    errno = ELOOP;
    return -1;
  }
  return open(path, flags, mode);
}

int OpenEventLog(const char* log_file) {
  // Without a log file there is nothing to see, so no descriptor at all: formatting lines for
  // /dev/null would only slow every relaunch.
  if (!log_file) {
    return -1;
  }
  // Truncated once here, then only appended to: a log truncated from outside (logrotate's
  // copytruncate) or shared with another supervisor then gets no hole and no overwritten line.
  // Close-on-exec: PROGRAM and the handler must not inherit the supervisor's log. Never
  // writable by others, whatever umask --daemon left. Non-blocking: a FIFO without a reader is
  // no log, and one whose reader is slow costs lines, never the supervision.
  return OpenWithoutPlantedLink(
      log_file, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
}

void LogEvent(int log_fd, const char* format, ...) {
  if (log_fd < 0) {
    return;
  }
  char line[kLogLineSize];
  memset(line, 0, sizeof(line));
  int length = log_line_cut ? 1 : 0;
  line[0] = '\n';
  time_t now = time(nullptr);
  struct tm tm;
  memset(&tm, 0, sizeof(tm));
  localtime_r(&now, &tm);
  length += FormatTimeStamp(&tm, line + length, sizeof(line) - length);
  // Room is kept for the newline: a line too long for the buffer is cut, never left open.
  int room = static_cast<int>(sizeof(line)) - length - 1;
  va_list args;
  va_start(args, format);
  int text = vsnprintf(line + length, room, format, args);
  va_end(args);
  length += text < 0 ? 0 : (text < room ? text : room - 1);
  line[length++] = '\n';
  // One write per line, so that appends from elsewhere never land inside it.
  ssize_t written = write(log_fd, line, length);
  if (written > 0) {
    log_line_cut = written < length;
  }
}
