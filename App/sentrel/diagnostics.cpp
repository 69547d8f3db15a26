// Fatal error reports and the time-stamped event log with its syslog mirror. The fatal
// functions run in every process (supervisor, launched child before exec, handler); the log is
// written by the supervisor only, and this unit alone keeps its state.
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "sentrel.h"

const char* program_name = "sentrel";

// A syslog datagram at most, header included, and the longest ident it carries: musl's limits,
// kept for every C library so that a reader sees the same bytes from every build.
constexpr int kSyslogSize = 1024;
constexpr int kSyslogIdentLength = 31;
static const char kMonthNames[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

// The supervisor's event log (-1 for none), and the ident that syslog messages carry (null when
// none are sent) with the socket they leave by (-1 until the first one). A forked child forgets
// them, so only the supervisor records, and marks itself a child.
static int log_fd = -1;
static const char* syslog_tag = nullptr;
static int syslog_fd = -1;
static int in_child = 0;
// Set when a line reached the event log only in part (a full disk): the next line then starts
// with a newline of its own instead of being glued to the half.
static int log_line_cut = 0;
// Under --daemon, until PROGRAM runs: the pipe on which the invoker waits for the start's
// outcome. A fatal message goes there instead of to /dev/null.
static int start_report_fd = -1;
// With -l NAME~N: the log's name, its backup and the cap in bytes; 0 for a log without a cap.
static char log_name[kPathSize];
static char log_backup[kPathSize];
static int64_t log_limit = 0;

// Truncates or creates the log. Close-on-exec: PROGRAM and the handler must not inherit the
// supervisor's log. Never writable by others, whatever umask --daemon left. Non-blocking: a
// FIFO without a reader is no log, and one whose reader is slow costs lines, never the
// supervision. Appended to: a log truncated from outside (logrotate's copytruncate) or shared
// with another supervisor then gets no hole and no overwritten line.
static int OpenLogFile(const char* path) {
  return OpenWithoutPlantedLink(
      path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
}

// Under a cap, makes room for a line of *length bytes: a line longer than the whole cap is cut
// to it, keeping its newline, and a log that the line would take past the cap becomes the
// backup, or is emptied in place when it cannot be renamed. Returns 0 when the line may be
// written, -1 when it is to be dropped.
static int MakeRoomForLine(char* line, int* length) {
  if (log_limit == 0) {
    return 0;
  }
  if (*length > log_limit) {
    *length = static_cast<int>(log_limit);
    line[*length - 1] = '\n';
  }
  // Asked of the file for every line, not counted: lines are rare, and a log truncated from
  // outside or shared with another writer is then measured right.
  struct stat file;
  if (fstat(log_fd, &file) != 0) {
    return -1;
  }
  if (file.st_size + *length <= log_limit) {
    return 0;
  }
  // A log removed from outside is created anew, instead of filling a file nobody can read.
  if (rename(log_name, log_backup) == 0 || errno == ENOENT) {
    CloseIfOpen(&log_fd);
    // A new log that cannot be opened is none from now on, as one that fails at the start.
    log_fd = OpenLogFile(log_name);
    return log_fd >= 0 ? 0 : -1;
  }
  return ftruncate(log_fd, 0);
}

// Appends one time-stamped line to the event log in one write, so that appends from elsewhere
// never land inside it. A line the log cannot take now is dropped.
__attribute__((format(printf, 1, 0))) static void WriteLogLine(const char* format, va_list args) {
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
  int text = FormatTextV(line + length, room, format, args);
  length += text < 0 ? 0 : (text < room ? text : room - 1);
  line[length++] = '\n';
  if (MakeRoomForLine(line, &length) != 0) {
    return;
  }
  ssize_t written = write(log_fd, line, length);
  if (written > 0) {
    log_line_cut = written < length;
  }
}

// (Re)connects the syslog socket to /dev/log, creating the socket first when there is none.
// Returns 0, or -1 when no syslog reader is bound there now.
static int ConnectSyslog() {
  if (syslog_fd < 0) {
    syslog_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  struct sockaddr_un address;
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, "/dev/log", sizeof("/dev/log"));
  if (syslog_fd < 0 ||
      connect(syslog_fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    return -1;
  }
  return 0;
}

// Sends "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT\n" as one datagram, PRI being the user facility
// with priority, the stamp in UTC, TEXT being text or else the formatted line, as musl sends
// it. A reader that cannot take the message at once loses it: the supervision never waits for
// syslog. A reader that went away since the last message (syslogd restarted) is looked for
// once more.
__attribute__((format(printf, 3, 0))) static void SendToSyslog(int priority, const char* text,
                                                               const char* format, va_list args) {
  int saved_errno = errno;
  char message[kSyslogSize];
  memset(message, 0, sizeof(message));
  time_t now = time(nullptr);
  struct tm tm;
  memset(&tm, 0, sizeof(tm));
  gmtime_r(&now, &tm);
  int length = FormatText(message, sizeof(message),
                          "<%d>%.*s %2d %02d:%02d:%02d %.*s[%d]: ", LOG_USER | priority, 3,
                          kMonthNames + 3 * tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                          kSyslogIdentLength, syslog_tag, static_cast<int>(getpid()));
  int room = kSyslogSize - length;
  int added = text ? FormatText(message + length, room, "%s", text)
                   : FormatTextV(message + length, room, format, args);
  length = added < room ? length + added : kSyslogSize - 1;
  if (message[length - 1] != '\n') {
    message[length++] = '\n';
  }
  if (syslog_fd < 0) {
    (void)ConnectSyslog();
  }
  constexpr int kFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
  if (syslog_fd >= 0 && send(syslog_fd, message, length, kFlags) < 0 &&
      (errno == ECONNREFUSED || errno == ECONNRESET || errno == ENOTCONN || errno == EPIPE) &&
      ConnectSyslog() == 0) {
    (void)send(syslog_fd, message, length, kFlags);
  }
  errno = saved_errno;
}

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
  // Under --daemon stderr is /dev/null: until PROGRAM runs, the invoker waits for the message.
  if (start_report_fd >= 0) {
    CopyDescriptorTo(start_report_fd, 2);
  }
  // One write for the whole line: musl writes an unbuffered stream in pieces, and the messages
  // of two children ending at once (two handlers that cannot be executed) would interleave.
  const char* parts[] = {program_name, ": ",      s,    open_quote, arg,
                         close_quote,  separator, text, "\n"};
  struct iovec line[sizeof(parts) / sizeof(parts[0])];
  for (size_t i = 0; i < sizeof(parts) / sizeof(parts[0]); ++i) {
    line[i].iov_base = const_cast<char*>(parts[i]);
    line[i].iov_len = strlen(parts[i]);
  }
  if (writev(2, line, sizeof(parts) / sizeof(parts[0])) < 0) {
    // Nowhere left to say it; the log below may still have it.
  }
  // Without this line a supervisor that ends under --daemon leaves no trace of why.
  RecordEvent(LOG_ERR, nullptr, "%s: %s%s%s%s%s%s", program_name, s, open_quote, arg, close_quote,
              separator, text);
  int status = (saved_errno == EPERM || saved_errno == EACCES) ? 3 : 2;
  // A child must not flush the stdio buffers it inherited: the supervisor owns their contents.
  if (in_child) {
    _exit(status);
  }
  exit(status);
}

void ErrorExit(const char* s) {
  // Saved before anything else, since the assertion's check could change it.
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
  return FormatText(buf, size, "%04d-%02d-%02d %02d:%02d:%02d ", tm->tm_year + 1900, tm->tm_mon + 1,
                    tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec);
}

void OpenEventLog(const char* log_file, const char* syslog_ident) {
  // The socket is made with the first message, as the C library's syslog does.
  syslog_tag = syslog_ident;
  // Without a log file there is nothing to see, so no descriptor at all: formatting lines for
  // /dev/null would only slow every relaunch.
  if (!log_file) {
    return;
  }
  // NAME~N reads as for -R; the backup is left as it is until the first rotation.
  int n = 0;
  if (ParseRotationArgument(log_file, &n, log_name, log_backup, sizeof(log_name)) == 0) {
    log_file = log_name;
    log_limit = RotationLimit(n);
  }
  // Truncated once here, then only appended to. A log that cannot be opened is silently none.
  log_fd = OpenLogFile(log_file);
}

void RecordEvent(int priority, const char* syslog_text, const char* format, ...) {
  if (log_fd < 0 && !syslog_tag) {
    return;
  }
  va_list args;
  va_start(args, format);
  if (log_fd >= 0) {
    va_list copy;
    va_copy(copy, args);
    WriteLogLine(format, copy);
    va_end(copy);
  }
  if (syslog_tag) {
    SendToSyslog(priority, syslog_text, format, args);
  }
  va_end(args);
}

void CloseEventLog() {
  CloseIfOpen(&log_fd);
}

void ForgetEventLog() {
  log_fd = -1;
  syslog_tag = nullptr;
  syslog_fd = -1;
  in_child = 1;
}

void SetStartReport(int report_fd) {
  start_report_fd = report_fd;
}

void ReportLaunched() {
  // A zero byte, which no message holds.
  if (start_report_fd >= 0 && write(start_report_fd, "", 1) < 0) {
    // The invoker is gone; nobody is left to tell.
  }
}

void CloseStartReport() {
  CloseIfOpen(&start_report_fd);
}

#ifndef __GLIBC__
// musl reports a failed assertion through fprintf, which would bring the C library's whole
// printf engine into the static binary for this one line; the same line is written here
// without it. glibc's own report differs and stays. <assert.h> already declares it noreturn.
extern "C" void __assert_fail(const char* expr, const char* file, int line, const char* func) {
  char text[kLogLineSize];
  int length =
      FormatText(text, sizeof(text), "Assertion failed: %s (%s: %s: %d)\n", expr, file, func, line);
  if (write(2, text, length < kLogLineSize ? length : kLogLineSize - 1) < 0) {
    // Nowhere left to say it; the abort still ends the process.
  }
  abort();
}
#endif
