// The entry: the command line, the usage text, the start-up sequence and the adjustments of the
// supervisor's own process (account, limits, detach) that PROGRAM inherits. Runs in the
// invoking process and, after --daemon, in the detached supervisor.
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sentrel.h"

static const char kShortOptions[] = "+aK:dl:s:p:w:kt:ncF:u:e:O:E:R:h";

static const struct option kLongOptions[] = {
    {"test-alive", no_argument, nullptr, 'a'},
    {"stop", required_argument, nullptr, 'K'},
    {"daemon", no_argument, nullptr, 'd'},
    {"log-file", required_argument, nullptr, 'l'},
    {"syslog", required_argument, nullptr, 's'},
    {"pid-file", required_argument, nullptr, 'p'},
    {"cwd", required_argument, nullptr, 'w'},
    {"error-handler", required_argument, nullptr, 'e'},
    {"respawn-kill", no_argument, nullptr, 'k'},
    {"respawn-delay", required_argument, nullptr, 't'},
    {"no-respawn", no_argument, nullptr, 'n'},
    {"enable-core", no_argument, nullptr, 'c'},
    {"max-nofile", required_argument, nullptr, 'F'},
    {"redirect-out", required_argument, nullptr, 'O'},
    {"redirect-err", required_argument, nullptr, 'E'},
    {"redirect", required_argument, nullptr, 'R'},
    {"user", required_argument, nullptr, 'u'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

int ParseCommandLine(int argc, char* const* argv, Settings* settings) {
  assert(argv);
  assert(settings);
  memset(settings, 0, sizeof(*settings));
  for (;;) {
    int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
    switch (c) {
      case -1:
        return optind;
      case 'a':
        settings->test_alive = 1;
        break;
      case 'K':
        settings->stop = 1;
        settings->stop_timeout = atoi(optarg);
        break;
      case 'd':
        settings->daemon = 1;
        break;
      case 'l':
        settings->log_file = optarg;
        break;
      case 's':
        settings->syslog_ident = optarg;
        break;
      case 'p':
        settings->pid_file = optarg;
        break;
      case 'w':
        settings->cwd = optarg;
        break;
      case 'e':
        settings->error_handler = optarg;
        break;
      case 'k':
        settings->respawn_kill = 1;
        break;
      case 't':
        settings->respawn_delay = atoi(optarg);
        break;
      case 'n':
        settings->no_respawn = 1;
        break;
      case 'c':
        settings->enable_core = 1;
        break;
      case 'F':
        settings->max_nofile = atoi(optarg);
        break;
      case 'O':
        settings->redirect_out = optarg;
        break;
      case 'E':
        settings->redirect_err = optarg;
        break;
      case 'R':
        // One reference for both: the monitor recognises -R by pointer identity.
        settings->redirect_out = optarg;
        settings->redirect_err = optarg;
        break;
      case 'u':
        settings->user = optarg;
        break;
      case 'h':
        settings->help = 1;
        break;
      default:
        return -1;
    }
  }
}

#ifndef SENTREL_NO_MAIN
static const char kUsage[] =
    "Usage: %s [OPTIONS]... PROGRAM [PROGRAM OPTIONS]...\n"
    "       %s --test-alive --pid-file=FILE\n"
    "       %s --stop=TIMEOUT --pid-file=FILE\n"
    "Run PROGRAM and monitor its status.\n"
    "If PROGRAM is terminated by a signal -- restart it.\n"
    "\n"
    "Options:\n"
    "  -a, --test-alive           check whether the process is alive\n"
    "  -K, --stop=TIMEOUT         send SIGTERM to the process, wait TIMEOUT seconds\n"
    "                             for process termination and (if failed) send SIGKILL\n"
    "  -d, --daemon               run as daemon\n"
    "  -l, --log-file=FILE        write logs to FILE\n"
    "  -s, --syslog=IDENT         write logs to syslog\n"
    "  -p, --pid-file=FILE        write PID of PROGRAM to FILE\n"
    "  -w, --cwd=DIR              change working directory to DIR\n"
    "  -e, --error-handler=CMD    execute CMD when PROGRAM crashes\n"
    "  -k, --respawn-kill         respawn after SIGKILL\n"
    "  -t, --respawn-delay=SEC    wait SEC seconds before respawn \n"
    "  -n, --no-respawn           launch process without monitoring\n"
    "  -c, --enable-core          enable core dumps\n"
    "  -F, --max-nofile=N         set maximum number of open descriptors\n"
    "  -O, --redirect-out=FILE    redirect stdout to FILE\n"
    "  -E, --redirect-err=FILE    redirect stderr to FILE\n"
    "  -R, --redirect=FILE        redirect both stdout and stderr to FILE\n"
    "  -u, --user                 run as user\n"
    "  -h, --help                 print this message\n";

// Writes text to fd with the program's name in place of each "%s" (at most three), the only
// conversion the usage texts hold.
static void PrintWithName(int fd, const char* text) {
  struct iovec parts[7];
  int count = 0;
  for (const char* mark; count < 6 && (mark = strchr(text, '%')) != nullptr; text = mark + 2) {
    parts[count].iov_base = const_cast<char*>(text);
    parts[count++].iov_len = mark - text;
    parts[count].iov_base = const_cast<char*>(program_name);
    parts[count++].iov_len = strlen(program_name);
  }
  parts[count].iov_base = const_cast<char*>(text);
  parts[count++].iov_len = strlen(text);
  if (writev(fd, parts, count) < 0) {
    // Nobody reads the usage; the status still says what went wrong.
  }
}

[[noreturn]] static void PrintUsage(int status) {
  PrintWithName(status == 0 ? 1 : 2, kUsage);
  exit(status);
}

#ifndef __GLIBC__
// Supplementary groups an account may have, its own group included.
constexpr int kMaxGroups = 64;

// Where the scan of one line of /etc/passwd or /etc/group stands.
struct AccountLine {
  int field;            // colons so far
  int at;               // bytes of username that the current name matches
  int same;             // the current name equals username as far as it goes
  int matched;          // a name in the key field was username
  int numeric;          // the ID fields hold digits only
  uint32_t numbers[2];  // fields 2 and 3
};

// Takes the next byte c of a line whose field key_field names accounts (several, comma-
// separated, when it is not field 0) and whose fields 2 to last_number are IDs. Returns 1 when c
// ended the line, 0 otherwise.
static int ScanAccountByte(AccountLine* line, char c, int key_field, int last_number,
                           const char* username) {
  if (c == ':' || c == '\n' || (c == ',' && line->field == key_field && key_field != 0)) {
    line->matched |= line->field == key_field && line->same && username[line->at] == '\0';
    line->field += c == ':';
    line->at = 0;
    line->same = 1;
    return c == '\n';
  }
  if (line->field >= 2 && line->field <= last_number) {
    line->numeric &= c >= '0' && c <= '9';
    line->numbers[line->field - 2] = line->numbers[line->field - 2] * 10 + (c - '0');
  }
  line->same &= line->field == key_field && c != '\0' && username[line->at] == c;
  line->at += line->same;
  return 0;
}

// Scans /etc/passwd (key_field 0: the account's own line) or /etc/group (key_field 3: lines
// that list username among their members) as musl's getpwnam and getgrouplist do: only lines
// with all their colons and numeric IDs count. Stores field 2 of each match in ids, in passwd
// with field 3 after it, and there the first match ends the scan. Reads a chunk at a time and
// holds no line, so that lines of any length need no buffer. Returns how many IDs matched
// (more than max when they did not all fit), or -1 with errno set when path cannot be read.
static int ScanAccountFile(const char* path, int key_field, const char* username, uint32_t* ids,
                           int max) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  const int colons = key_field == 0 ? 6 : 3;
  const int last_number = key_field == 0 ? 3 : 2;
  AccountLine line = {0, 0, 1, 0, 1, {0, 0}};
  int found = 0;
  char chunk[kCopySize];
  memset(chunk, 0, sizeof(chunk));
  ssize_t count;
  do {
    count = read(fd, chunk, sizeof(chunk));
    // The end of the file ends its last line, whether or not a newline did.
    if (count == 0) {
      chunk[0] = '\n';
    }
    for (ssize_t i = 0; i < (count == 0 ? 1 : count); ++i) {
      if (!ScanAccountByte(&line, chunk[i], key_field, last_number, username)) {
        continue;
      }
      for (int n = 2; line.matched && line.numeric && line.field >= colons && n <= last_number;
           ++n, ++found) {
        if (found < max) {
          ids[found] = line.numbers[n - 2];
        }
      }
      if (key_field == 0 && found > 0) {
        count = 0;
        break;
      }
      line = {0, 0, 1, 0, 1, {0, 0}};
    }
  } while (count > 0);
  int saved_errno = errno;
  close(fd);
  errno = saved_errno;
  return count < 0 ? -1 : found;
}
#endif

// Switches to username's account: its supplementary groups, its group and its user ID.
static void RunAsUser(const char* username) {
  assert(username);
  if (username[0] == '\0') {
    return;
  }
  // An account that simply does not exist leaves errno alone; the report then has no system
  // text, so errno must start at 0.
  errno = 0;
#ifdef __GLIBC__
  // glibc finds accounts through NSS (LDAP, systemd's dynamic users) as well as in the files.
  struct passwd* pw = getpwnam(username);
  if (!pw) {
    ErrorWithArgExit("getpwnam(): failed to find user", username);
  }
  uid_t uid = pw->pw_uid;
  gid_t gid = pw->pw_gid;
  // Only root can and must drop its supplementary groups; otherwise PROGRAM would keep root's.
  if (geteuid() == 0 && initgroups(username, gid) != 0) {
    ErrorExit("initgroups()");
  }
#else
  // musl reads only the files, as this does, but its getpwnam and initgroups allocate, and
  // nothing else would bring its allocator into the static binary.
  uint32_t ids[2] = {0, 0};
  if (ScanAccountFile("/etc/passwd", 0, username, ids, 2) <= 0) {
    ErrorWithArgExit("getpwnam(): failed to find user", username);
  }
  uid_t uid = ids[0];
  gid_t gid = ids[1];
  // Only root can and must drop its supplementary groups; otherwise PROGRAM would keep root's.
  if (geteuid() == 0) {
    gid_t groups[kMaxGroups] = {gid};
    int count = ScanAccountFile("/etc/group", 3, username, groups + 1, kMaxGroups - 1);
    // No group file means no supplementary groups, as for the C library.
    if (count < 0 && (errno == ENOENT || errno == ENOTDIR)) {
      count = 0;
    }
    if (count >= kMaxGroups) {
      errno = EINVAL;
    }
    if (count < 0 || count >= kMaxGroups || setgroups(count + 1, groups) != 0) {
      ErrorExit("initgroups()");
    }
  }
#endif
  if (setgid(gid) != 0) {
    ErrorExit("setgid()");
  }
  if (setuid(uid) != 0) {
    ErrorExit("setuid()");
  }
}

static void EnableCoreDumps() {
  struct rlimit limit = {RLIM_INFINITY, RLIM_INFINITY};
  if (setrlimit(RLIMIT_CORE, &limit) != 0) {
    ErrorExit("setrlimit(RLIMIT_CORE)");
  }
}

// The kernel's ceiling for RLIMIT_NOFILE, or 0 when it cannot be read.
static rlim_t ReadNrOpen() {
  int fd = open("/proc/sys/fs/nr_open", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return 0;
  }
  char text[24];
  memset(text, 0, sizeof(text));
  ssize_t n = read(fd, text, sizeof(text) - 1);
  close(fd);
  // The kernel writes plain digits; strtoul would bring the C library's whole number scanner.
  rlim_t ceiling = 0;
  for (const char* digit = text; n > 0 && *digit >= '0' && *digit <= '9'; ++digit) {
    ceiling = ceiling * 10 + (*digit - '0');
  }
  return ceiling;
}

static void SetMaxOpenFiles(int max_nofile) {
  rlim_t value = max_nofile > 0 ? static_cast<rlim_t>(max_nofile) : RLIM_INFINITY;
  struct rlimit limit = {value, value};
  if (setrlimit(RLIMIT_NOFILE, &limit) == 0) {
    return;
  }
  // Linux never accepts RLIM_INFINITY here; "unlimited" then means the kernel's own ceiling.
  if (value == RLIM_INFINITY && errno == EPERM) {
    rlim_t ceiling = ReadNrOpen();
    if (ceiling > 0) {
      limit.rlim_cur = ceiling;
      limit.rlim_max = ceiling;
      if (setrlimit(RLIMIT_NOFILE, &limit) == 0) {
        return;
      }
    } else {
      // Reading the ceiling must not replace the refusal in the report.
      errno = EPERM;
    }
  }
  ErrorExit("setrlimit(RLIMIT_NOFILE)");
}

// In the invoker under --daemon: passes on what the detached supervisor reports before PROGRAM
// runs. A zero byte says PROGRAM was launched; any other text is the fatal message of a start
// that failed, and the status is then the detached supervisor's own. A supervisor that ended
// with neither, killed by a signal, failed too: 2.
static int AwaitStartReport(pid_t pid, int report_fd) {
  char buffer[kCopySize];
  int reported = 0;
  int launched = 0;
  ssize_t count;
  while ((count = read(report_fd, buffer, sizeof(buffer))) != 0) {
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    ssize_t kept = 0;
    for (ssize_t i = 0; i < count; ++i) {
      launched |= buffer[i] == '\0';
      if (buffer[i] != '\0') {
        buffer[kept++] = buffer[i];
      }
    }
    // The status is the answer; the message is passed on as far as stderr takes it.
    reported |= kept > 0;
    if (kept > 0 && write(2, buffer, kept) < 0) {
      continue;
    }
  }
  if (!reported) {
    return launched ? 0 : 2;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

// Detaches from the terminal. The invoker exits with the start's outcome; only the detached
// supervisor returns, with 0-2 on /dev/null. Does not return on fork failure.
static void Daemonize() {
  // The detached side reports through this pipe how the start ended; without it the invoker
  // could not tell a launched PROGRAM from a supervisor that died first.
  int report_fds[2] = {-1, -1};
  if (pipe2(report_fds, O_CLOEXEC) != 0) {
    ErrorExit("pipe2()");
  }
  pid_t pid = fork();
  if (pid < 0) {
    ErrorExit("fork()");
  }
  if (pid > 0) {
    close(report_fds[1]);
    exit(AwaitStartReport(pid, report_fds[0]));
  }
  (void)setsid();
  // The supervisor's own files get exactly the modes it asks for; PROGRAM and the handler get
  // the umask the service was started with.
  SetChildUmask(umask(0));
  CloseDescriptorsFrom(0, report_fds[1]);
  SetStartReport(report_fds[1]);
  // All three standard descriptors on /dev/null, so that nothing the supervisor opens later
  // lands on 0, 1 or 2 where PROGRAM would take it for a standard stream.
  if (FillStandardDescriptors() != 0) {
    ErrorWithArgExit("open()", "/dev/null");
  }
}

// Runs the steps of start-up in their fixed order; each step that ends the process does so
// before the next begins.
int main(int argc, char** argv) {
  assert(argc > 0);
  program_name = argv[0];
  // Whatever the invoker left closed among 0-2 is opened on /dev/null before anything else
  // opens a file: the PID file or a log landing there would receive PROGRAM's output. Without
  // /dev/null that cannot be prevented, so nothing starts.
  if (FillStandardDescriptors() != 0) {
    ErrorWithArgExit("open()", "/dev/null");
  }
  // Other inherited dispositions, such as an ignored SIGHUP under nohup, are the invoker's
  // choice and reach PROGRAM as they are.
  IgnoreSupervisorSignals();
  Settings settings;
  int program_index = ParseCommandLine(argc, argv, &settings);
  if (program_index < 0) {
    PrintWithName(2, "Try `%s --help' for more information.\n");
    return 1;
  }
  if (settings.help) {
    PrintUsage(0);
  }
  // The account switch comes before the control commands, which then act with its rights.
  if (settings.user) {
    RunAsUser(settings.user);
  }
  if (settings.test_alive || settings.stop) {
    if (!settings.pid_file) {
      PrintUsage(1);
    }
    if (settings.test_alive) {
      TestAlive(settings.pid_file);
    }
    StopProcess(settings.pid_file, settings.stop_timeout);
  }
  if (argc == 1 || program_index == argc) {
    PrintUsage(1);
  }
  if (settings.cwd && chdir(settings.cwd) != 0) {
    ErrorExit("chdir()");
  }
  if (settings.enable_core) {
    EnableCoreDumps();
  }
  if (settings.max_nofile != 0) {
    SetMaxOpenFiles(settings.max_nofile);
  }
  if (settings.daemon) {
    Daemonize();
  }
  return StartMonitoring(argv + program_index, &settings);
}
#endif
