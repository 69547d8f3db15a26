// Shared declarations of the supervisor: the parsed command line and every function that one
// unit calls in another or that the unit tests reach.
#ifndef SENTREL_SENTREL_H_
#define SENTREL_SENTREL_H_

#include <stdint.h>
#include <stdio.h>
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
constexpr int kTimeStampSize = 32;

// argv[0] of the supervisor, printed by the usage text and every fatal message.
extern const char* program_name;

// entry.cpp

// Fills settings from argv. Returns the index of PROGRAM in argv, or -1 when getopt_long
// rejected an option (its diagnostic is already on stderr).
int ParseCommandLine(int argc, char* const* argv, Settings* settings);
// Prints the usage text (stdout for status 0, stderr otherwise) and exits. Does not return.
[[noreturn]] void PrintUsage(int status);
// Switches the process to the account's groups and user. Does not return on failure.
void RunAsUser(const char* username);
// Lifts the core-dump limit. Does not return on failure.
void EnableCoreDumps();
// Sets the descriptor limit; negative means as many as the kernel allows. Does not return on
// failure.
void SetMaxOpenFiles(int max_nofile);
// Detaches from the terminal. Returns the child's PID in the invoker, 0 in the detached
// supervisor (whose descriptors 0-2 are then /dev/null). Does not return on fork failure.
int Daemonize();
// Closes every descriptor from first_fd upward except keep_fd (-1 keeps none).
void CloseDescriptorsFrom(int first_fd, int keep_fd);

// diagnostics.cpp

// Report "<program>: <s>: <strerror(errno)>" and exit 3 for EPERM/EACCES, 2 otherwise.
[[noreturn]] void ErrorExit(const char* s);
// Report "<program>: <s>: `<arg>': <strerror(errno)>" (without the system text when errno is 0)
// and exit as ErrorExit.
[[noreturn]] void ErrorWithArgExit(const char* s, const char* arg);
// Writes "YYYY-MM-DD HH:MM:SS " for tm into buf (at least kTimeStampSize bytes). Returns the
// length written.
int FormatTimeStamp(const struct tm* tm, char* buf, size_t size);
// Opens the event log in mode "w" (the supervisor's copy is close-on-exec). Returns the stream,
// or null when it cannot be opened, which callers treat as "no log".
FILE* OpenEventLog(const char* log_file);
// Appends one time-stamped line to log and flushes it. Does nothing when log is null.
void LogEvent(FILE* log, const char* format, ...) __attribute__((format(printf, 2, 3)));

// monitor.cpp

// Runs PROGRAM (argv) under supervision until it exits or is killed by SIGKILL. Returns the
// supervisor's exit status. With no_respawn it does not return on success: PROGRAM replaces
// the supervisor.
int StartMonitoring(char* const* argv, const Settings* settings);
// Starts the crash handler with PROGRAM's PID and the signal as arguments; never waits for it.
void RunErrorHandler(const char* error_handler, pid_t pid, int signal_number);
// Opens the redirection files or starts the rotating writer. Never fails visibly: a
// descriptor or writer that could not be set up stays -1.
void SetupRedirection(const char* redirect_out, const char* redirect_err, int* out_fd, int* err_fd,
                      pid_t* writer_pid);
// Returns 1 when the settings are not one NAME~N argument, 0 when it dealt with them (the
// writer started, or nothing is redirected because the pipe or fork failed).
int StartRotatingWriter(const char* redirect_out, const char* redirect_err, int* out_fd,
                        int* err_fd, pid_t* writer_pid);
// Returns 0 and fills n, name and backup (each of size bytes) when arg is NAME~N with a
// non-empty NAME and N > 0; returns 1 otherwise.
int ParseRotationSpec(const char* arg, int* n, char* name, char* backup, size_t size);
// The size in bytes at which the writer rotates a file for N.
int64_t RotationLimit(int n);
// The size at which the writer next tries to rotate, given the size the file has after a
// rotation attempt: the limit when the file shrank below it, else one more limit further on.
int64_t NextRotationPoint(int64_t size, int64_t limit);
// Copies read_fd into name, rotating name to backup at N x 512 bytes. Returns at end of file
// or when the file cannot be opened or measured.
void RunRotatingWriter(const char* name, const char* backup, int n, int read_fd);
// In the launched child: puts out_fd on descriptor 1 and err_fd on 2 (-1 leaves a stream).
void RedirectStdStreams(int out_fd, int err_fd);

// pidfile.cpp

// Opens and locks the PID file for one cycle and empties it. Returns the descriptor (inheritable,
// so that PROGRAM holds the lock), or -1 when pid_file is null. Does not return on failure.
int LockPidFile(const char* pid_file);
// Records pid in the file locked by LockPidFile. Does not return on failure.
void WritePidFile(const char* pid_file, int pid_fd, pid_t pid);
// Returns 0 when another process holds the PID file's lock, -1 otherwise.
int IsPidFileLocked(const char* pid_file);
// Returns the PID recorded in a PID file that another process holds locked, -1 otherwise.
pid_t ReadPidFile(const char* pid_file);
// Exits 0 when the PID file is locked by another process, 1 otherwise.
[[noreturn]] void TestAlive(const char* pid_file);
// Returns 0 when pid exists, -1 when not. Does not return when kill() fails otherwise.
int CheckProcess(pid_t pid);
// Returns 0 once pid is gone, -1 when it is still there after timeout seconds of polling.
int WaitForExit(pid_t pid, int timeout);
// Sends signal_number to pid. Returns 0 when pid is gone within timeout seconds, -1 if not.
int KillAndWait(pid_t pid, int signal_number, int timeout);
// Stops pid with SIGTERM, then SIGKILL, and exits 0, 1 or 2.
[[noreturn]] void StopProcess(pid_t pid, int timeout);

#endif  // SENTREL_SENTREL_H_
