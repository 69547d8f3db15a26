// Shared declarations of the supervisor: the parsed command line and every function that one
// unit calls in another or that the unit tests reach.
#ifndef SENTREL_SENTREL_H_
#define SENTREL_SENTREL_H_

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

// The parsed command line. Read-only after ParseCommandLine; the text fields point into argv,
// and redirect_out == redirect_err (the same pointer) means one -R argument named both streams.
struct Settings {
  int test_alive;
  int stop;
  int stop_timeout;
  int daemon;
  int help;
  const char* log_file;
  const char* pid_file;
  const char* syslog_ident;
  const char* cwd;
  const char* error_handler;
  int respawn_kill;
  int respawn_delay;
  int no_respawn;
  int enable_core;
  int max_nofile;
  const char* redirect_out;
  const char* redirect_err;
  const char* user;
};

constexpr int kPidTextSize = 33;
constexpr int kHandlerArgSize = 129;
constexpr int kPathSize = 1024;
constexpr int kCopySize = 1024;
// Room for six full-range integers, so that no time stamp is ever cut.
constexpr int kTimeStampSize = 80;
// An event-log line: a time stamp and a fatal message that may quote a long path.
constexpr int kLogLineSize = 2 * kPathSize;
constexpr int kDescriptorBatch = 64;
constexpr char kAlreadyLocked[] = "flock(): PID file is already locked by another process";

// argv[0] of the supervisor, printed by the usage text and every fatal message.
extern const char* program_name;

// entry.cpp

// Fills settings from argv. Returns the index of PROGRAM in argv, or -1 when getopt_long
// rejected an option (its diagnostic is already on stderr).
int ParseCommandLine(int argc, char* const* argv, Settings* settings);

// monitor.cpp

// Runs PROGRAM (argv) under supervision until it exits or is killed by SIGKILL. Returns the
// supervisor's exit status. With no_respawn it does not return on success: PROGRAM replaces
// the supervisor.
int StartMonitoring(char* const* argv, const Settings* settings);

// pidfile.cpp

// Opens and locks the PID file for one cycle and empties it. Returns the descriptor (inheritable,
// so that PROGRAM holds the lock), or -1 when pid_file is null or, unless first, when another
// process holds the lock. Does not return on any other failure, nor on first's refusal.
int LockPidFile(const char* pid_file, int first);
// In the supervisor after PROGRAM's end: ends with SIGTERM, and SIGKILL after 2 s, every
// process left in PROGRAM's process group (group) and every descendant that holds pid_file's
// lock, logging each, except spared_pid (the writer, which may not have closed its copy of the
// lock yet). Returns when they are gone.
void StopLeftovers(pid_t group, const char* pid_file, pid_t spared_pid);
// Records pid in the file locked by LockPidFile. Returns 0, or -1 with errno set.
int WritePidFile(const char* pid_file, int pid_fd, pid_t pid);
// Returns 0 when another process holds the PID file's lock, -1 otherwise.
int IsPidFileLocked(const char* pid_file);
// Returns the PID recorded in a PID file that another process holds locked, when that process
// has the file open; 0 when the locked file names no such process; -1 when it is not locked.
pid_t ReadPidFile(const char* pid_file);
// Exits 0 when the PID file is locked by another process, 1 otherwise.
[[noreturn]] void TestAlive(const char* pid_file);
// Stops the process that holds pid_file with SIGTERM, then SIGKILL, and exits 0, 1 or 2, or
// through ErrorWithArgExit when the file cannot be opened or names no process holding it.
[[noreturn]] void StopProcess(const char* pid_file, int timeout);

// diagnostics.cpp

// Report "<program>: <s>: <strerror(errno)>" and exit 3 for EPERM/EACCES, 2 otherwise.
[[noreturn]] void ErrorExit(const char* s);
// Report "<program>: <s>: `<arg>': <strerror(errno)>" (without the system text when errno is 0)
// and exit as ErrorExit.
[[noreturn]] void ErrorWithArgExit(const char* s, const char* arg);
// Writes "YYYY-MM-DD HH:MM:SS " for tm into buf (at least kTimeStampSize bytes). Returns the
// length written.
int FormatTimeStamp(const struct tm* tm, char* buf, size_t size);
// In the supervisor: opens syslog when syslog_ident is set, and truncates or creates the event
// log, never writable by others, appended to without blocking and not inherited; for NAME~N,
// NAME, kept under N x 512 bytes with one backup NAME~. A log that cannot be opened is none.
// Fatal errors are recorded in both from now on.
void OpenEventLog(const char* log_file, const char* syslog_ident);
// Appends one time-stamped line to the event log and sends syslog_text, or the same line when
// it is null, to syslog at priority. Does nothing for what is not open.
void RecordEvent(int priority, const char* syslog_text, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Closes the event log at the end of supervision; later fatal errors go to stderr only.
void CloseEventLog();
// In a forked child: forgets the supervisor's log and syslog, so that only the supervisor
// records, and makes a fatal error end the child with _exit.
void ForgetEventLog();
// Under --daemon, until PROGRAM runs: the pipe on which a fatal message reaches the invoker.
void SetStartReport(int report_fd);
// Tells the invoker that PROGRAM was launched; a failed exec may still report after it.
void ReportLaunched();
// Closes the start report: the start is complete.
void CloseStartReport();

// hygiene.cpp

// Lists into fds, in ascending order, at most count open descriptors of at least from that the
// directory fd_dir (/proc/PID/fd) names; for /proc/self/fd that includes the descriptor it
// read the directory with, closed again on return. Also lists the PIDs in /proc. Returns how
// many, or -1 (errno set) when the directory cannot be opened.
int ListDescriptors(const char* fd_dir, int from, int* fds, int count);
// Closes every descriptor from first_fd upward except keep_fd (-1 keeps none).
void CloseDescriptorsFrom(int first_fd, int keep_fd);
// Opens whatever is closed among 0-2 on /dev/null. Returns 0, or -1 (errno set) without
// /dev/null.
int FillStandardDescriptors();
// Closes *fd when it is open and sets it to -1.
void CloseIfOpen(int* fd);
// Puts a copy of fd on target, inheritable across exec; fd itself stays open.
void CopyDescriptorTo(int fd, int target);
// In any process: fills *file from fd. Returns 0, or -1 with errno set (EMLINK when fd is a
// regular file that another name also reaches).
int CheckSingleLink(int fd, struct stat* file);
// Returns 0 and fills n, name and backup (each of size bytes) when arg is NAME~N with a
// non-empty NAME that fits with its "~" and N > 0; returns 1 otherwise.
int ParseRotationArgument(const char* arg, int* n, char* name, char* backup, size_t size);
// The size in bytes at which a file for N is rotated (the writer's, the event log).
int64_t RotationLimit(int n);
// Opens path as open() does, except that a symlink as its last component is followed only in a
// directory owned by root or by the effective user and writable by no one else, and that a
// regular file with another name, or another account's file, is refused (O_TRUNC applies only
// after these checks). Returns the descriptor, or -1 with errno set (ELOOP for a link that is
// not followed, EMLINK, EPERM).
int OpenWithoutPlantedLink(const char* path, int flags, mode_t mode);
// In the supervisor: resets SIGCHLD and ignores the signals that would end it on a failed
// write (a reader-less FIFO, a file-size limit), keeping what it inherited for its children.
void IgnoreSupervisorSignals();
// In the supervisor: blocks the signals it takes with AwaitSignal (SIGCHLD, SIGTERM, SIGINT,
// SIGHUP, SIGUSR1, SIGUSR2).
void BlockSupervisorSignals();
// Takes one of the blocked signals, waiting up to timeout_ms (forever when negative). Returns
// its number, or 0 when none came.
int AwaitSignal(int64_t timeout_ms);
// Under --daemon: the umask, the invoker's, that PROGRAM and the handler start with.
void SetChildUmask(mode_t mask);
// Empties the signal mask.
void UnblockSignals();
// In a child before exec: gives back the dispositions the supervisor inherited, empties the
// signal mask and sets the invoker's umask.
void ResetChildState();
// snprintf for the program's own formats, without the C library's printf engine: %s, %.*s,
// %d, %ld and %lld with an optional width (%04d, %2d), and %%. Returns the length the whole
// text would have; buf is always terminated when size > 0. An unknown conversion ends the
// text where it stands.
int FormatText(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// FormatText with the arguments as a va_list.
int FormatTextV(char* buf, size_t size, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

#endif  // SENTREL_SENTREL_H_
