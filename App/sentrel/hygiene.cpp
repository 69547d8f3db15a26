// Descriptor and process hygiene that the other units share: listing, closing and placing
// descriptors, opening a file without following a planted link, reading a NAME~N argument, the
// signal state of the supervisor and its children, and the text formatter. Calls nothing of the
// program's own; runs in every process.
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "sentrel.h"

// Where a getdents64 record keeps its length and its name.
constexpr int kDirentRecordOffset = 16;
constexpr int kDirentNameOffset = 19;

// The signals the supervisor ignores, and the dispositions the invoker left for them.
static const int kIgnoredSignals[] = {SIGPIPE, SIGXFSZ};
constexpr int kIgnoredCount = sizeof(kIgnoredSignals) / sizeof(kIgnoredSignals[0]);
static void (*inherited_dispositions[kIgnoredCount])(int);
// The signals the supervisor takes in its loop rather than by their default action.
static const int kAwaitedSignals[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2};
// The umask PROGRAM and the handler start with, -1 for the supervisor's own.
static int child_umask = -1;

// Puts c at *length while it fits before the terminator's byte; counts it either way, so that
// the result says how long the whole text would be.
static void AppendChar(char* buf, size_t size, size_t* length, char c) {
  if (*length + 1 < size) {
    buf[*length] = c;
  }
  ++*length;
}

// Appends value in decimal, right-aligned in width characters of pad ('0' keeps the sign in
// front of the zeros, as printf does).
static void AppendNumber(char* buf, size_t size, size_t* length, long long value, int width,
                         char pad) {
  // Unsigned, so that the most negative value has a magnitude too.
  unsigned long long magnitude = value < 0 ? 0ULL - value : value;
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    digits[count++] = '-';
  }
  if (value < 0 && pad == '0') {
    AppendChar(buf, size, length, digits[--count]);
    --width;
  }
  for (; width > count; --width) {
    AppendChar(buf, size, length, pad);
  }
  while (count > 0) {
    AppendChar(buf, size, length, digits[--count]);
  }
}

int ListDescriptors(const char* fd_dir, int from, int* fds, int count) {
  int dir_fd = open(fd_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) {
    return -1;
  }
  // Raw getdents64 records, read into the stack: opendir would allocate.
  alignas(8) char buffer[kCopySize];
  int found = 0;
  long length;
  while (found < count && (length = syscall(SYS_getdents64, dir_fd, buffer, sizeof(buffer))) > 0) {
    for (long offset = 0; offset < length && found < count;) {
      unsigned short record = 0;
      memcpy(&record, buffer + offset + kDirentRecordOffset, sizeof(record));
      const char* name = buffer + offset + kDirentNameOffset;
      int fd = atoi(name);
      if (name[0] >= '0' && name[0] <= '9' && fd >= from) {
        fds[found++] = fd;
      }
      offset += record;
    }
  }
  close(dir_fd);
  return found;
}

void CloseDescriptorsFrom(int first_fd, int keep_fd) {
#ifdef SYS_close_range
  // One system call instead of one per possible descriptor, which can be a million.
  bool done = true;
  if (keep_fd > first_fd) {
    done = syscall(SYS_close_range, first_fd, keep_fd - 1, 0) == 0;
  }
  int from = keep_fd >= first_fd ? keep_fd + 1 : first_fd;
  if (done && syscall(SYS_close_range, from, ~0U, 0) == 0) {
    return;
  }
#endif
  // Kernels before 5.9 lack close_range: close only what /proc lists as open.
  int fds[kDescriptorBatch];
  int count;
  do {
    count = ListDescriptors("/proc/self/fd", first_fd, fds, kDescriptorBatch);
    for (int i = 0; i < count; ++i) {
      if (fds[i] != keep_fd) {
        close(fds[i]);
      }
      first_fd = fds[i] + 1;
    }
  } while (count == kDescriptorBatch);
  if (count >= 0) {
    return;
  }
  long max_fd = sysconf(_SC_OPEN_MAX);
  for (long fd = first_fd; fd < max_fd; ++fd) {
    if (fd != keep_fd) {
      close(static_cast<int>(fd));
    }
  }
}

int FillStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0) {
      return -1;
    }
  }
  return 0;
}

void CloseIfOpen(int* fd) {
  if (*fd >= 0) {
    close(*fd);
    *fd = -1;
  }
}

void CopyDescriptorTo(int fd, int target) {
  // dup2 onto itself would leave the close-on-exec flag set; clearing it is all that is needed.
  if (fd == target) {
    (void)fcntl(fd, F_SETFD, 0);
  } else {
    (void)dup2(fd, target);
  }
}

// Opens path, following a final symlink only where nobody else could have planted it.
static int OpenFollowingOwnLink(const char* path, int flags, mode_t mode) {
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
  if (FormatText(dir, sizeof(dir), "%.*s", length, slash ? path : ".") >= kPathSize) {
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

int CheckSingleLink(int fd, struct stat* file) {
  if (fstat(fd, file) != 0) {
    return -1;
  }
  if (S_ISREG(file->st_mode) && file->st_nlink > 1) {
    errno = EMLINK;
    return -1;
  }
  return 0;
}

int OpenWithoutPlantedLink(const char* path, int flags, mode_t mode) {
  assert(path);
  // Truncated only after the checks: a hard link can be planted where no symlink can, and
  // O_TRUNC would empty the file it reaches before anything could be checked.
  int fd = OpenFollowingOwnLink(path, flags & ~O_TRUNC, mode);
  if (fd < 0) {
    return -1;
  }
  struct stat file;
  int usable = CheckSingleLink(fd, &file);
  // Another account's file would be adopted: its content and all that root writes there
  // readable to that account. A device is exempt: no account can make one, and a user's
  // terminal is where whoever ran sudo reads root's output.
  if (usable == 0 && !S_ISCHR(file.st_mode) && file.st_uid != 0 && file.st_uid != geteuid()) {
    errno = EPERM;
    usable = -1;
  }
  if (usable == 0 && (flags & O_TRUNC) && S_ISREG(file.st_mode)) {
    usable = ftruncate(fd, 0);
  }
  if (usable != 0) {
    int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    return -1;
  }
  return fd;
}

int ParseRotationArgument(const char* arg, int* n, char* name, char* backup, size_t size) {
  assert(arg);
  const char* tilde = strchr(arg, '~');
  if (!tilde || tilde == arg) {
    return 1;
  }
  int value = atoi(tilde + 1);
  if (value <= 0) {
    return 1;
  }
  // A name cut to fit would be another file: a NAME too long for the buffers, with its "~" and
  // terminator, is no rotation argument at all.
  size_t name_length = static_cast<size_t>(tilde - arg);
  if (name_length + 2 > size) {
    return 1;
  }
  memcpy(name, arg, name_length);
  name[name_length] = '\0';
  memcpy(backup, arg, name_length);
  backup[name_length] = '~';
  backup[name_length + 1] = '\0';
  *n = value;
  return 0;
}

int64_t RotationLimit(int n) {
  // 64 bits: N x 512 overflows 32 bits from N = 4194304 on.
  return static_cast<int64_t>(n) * 512;
}

void IgnoreSupervisorSignals() {
  // An invoker that ignores SIGCHLD would make every child vanish unwaited; it is reset, not
  // restored later.
  (void)signal(SIGCHLD, SIG_DFL);
  for (int i = 0; i < kIgnoredCount; ++i) {
    inherited_dispositions[i] = signal(kIgnoredSignals[i], SIG_IGN);
  }
}

static void FillAwaitedSignals(sigset_t* set) {
  sigemptyset(set);
  for (int signal_number : kAwaitedSignals) {
    sigaddset(set, signal_number);
  }
}

void BlockSupervisorSignals() {
  // Blocked, they stay pending until the loop takes them, so none is lost between two checks,
  // and even as PID 1, where an unhandled signal would be dropped, a blocked one is queued.
  sigset_t set;
  FillAwaitedSignals(&set);
  (void)sigprocmask(SIG_BLOCK, &set, nullptr);
}

int AwaitSignal(int64_t timeout_ms) {
  sigset_t set;
  FillAwaitedSignals(&set);
  struct timespec timeout = {static_cast<time_t>(timeout_ms / 1000),
                             static_cast<long>(timeout_ms % 1000) * 1000000};
  int signal_number = sigtimedwait(&set, nullptr, timeout_ms < 0 ? nullptr : &timeout);
  return signal_number > 0 ? signal_number : 0;
}

void SetChildUmask(mode_t mask) {
  child_umask = static_cast<int>(mask);
}

void UnblockSignals() {
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

void ResetChildState() {
  for (int i = 0; i < kIgnoredCount; ++i) {
    (void)signal(kIgnoredSignals[i], inherited_dispositions[i]);
  }
  // Whatever the supervisor or the invoker blocked is not PROGRAM's business: a blocked SIGTERM
  // would turn every graceful stop into a SIGKILL.
  UnblockSignals();
  // The supervisor's own files have fixed modes under --daemon's umask 0; what PROGRAM creates
  // gets the umask the service was started with.
  if (child_umask >= 0) {
    umask(static_cast<mode_t>(child_umask));
  }
}

int FormatTextV(char* buf, size_t size, const char* format, va_list args) {
  assert(format);
  size_t length = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      AppendChar(buf, size, &length, *p);
      continue;
    }
    char pad = ' ';
    if (*++p == '0') {
      pad = '0';
      ++p;
    }
    int width = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      width = width * 10 + (*p - '0');
    }
    int precision = -1;
    if (p[0] == '.' && p[1] == '*') {
      precision = va_arg(args, int);
      p += 2;
    }
    int longs = 0;
    for (; *p == 'l'; ++p) {
      ++longs;
    }
    if (*p == 's') {
      const char* s = va_arg(args, const char*);
      for (int i = 0; s[i] != '\0' && (precision < 0 || i < precision); ++i) {
        AppendChar(buf, size, &length, s[i]);
      }
    } else if (*p == 'd') {
      long long value = longs == 0   ? va_arg(args, int)
                        : longs == 1 ? va_arg(args, long)
                                     : va_arg(args, long long);
      AppendNumber(buf, size, &length, value, width, pad);
    } else if (*p == '%') {
      AppendChar(buf, size, &length, '%');
    } else {
      // Not a conversion this program uses: the format stops here rather than read an
      // argument of unknown type.
      break;
    }
  }
  if (size > 0) {
    buf[length < size ? length : size - 1] = '\0';
  }
  return static_cast<int>(length);
}

int FormatText(char* buf, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = FormatTextV(buf, size, format, args);
  va_end(args);
  return length;
}
