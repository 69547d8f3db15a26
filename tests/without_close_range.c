/* Runs a command as on a kernel older than Linux 5.9, which lacks close_range(): the call fails
 * with ENOSYS, so the command must take its fallback. A close() of a descriptor in the band
 * [kBandFirst, kBandEnd) kills the process with SIGSYS: no test holds descriptors there, so
 * only a fallback that closes every number up to the descriptor limit reaches the band, where
 * one that reads /proc/self/fd closes only what is open.
 *
 *   without_close_range COMMAND [ARGUMENT]...
 *
 * The filter is inherited across fork and exec, and it acts on host system calls, so a command
 * such as qemu-arm sentrel ... hands the same answers to the emulated program. Exits 125 when
 * the filter cannot be installed or the band cannot be checked, 126 or 127 when COMMAND cannot
 * be run. */
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_AARCH64
#elif defined(__i386__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_I386
#elif defined(__arm__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_ARM
#elif defined(__mips__) && _MIPS_SIM == _ABIO32 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define HOST_AUDIT_ARCH AUDIT_ARCH_MIPSEL
#else
#error "name the audit architecture of this host"
#endif

#ifndef SYS_close_range
#define SYS_close_range 436 /* the generic number; the C library names MIPS's own (4436) */
#endif

enum { kBandFirst = 256, kBandEnd = 512 };

static int Fail(const char* step) {
  fprintf(stderr, "without_close_range: %s: %s\n", step, strerror(errno));
  return 125;
}

/* The band proves nothing unless a close loop would cross it and nothing lives in it yet. */
static int CheckBand(void) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return Fail("getrlimit(RLIMIT_NOFILE)");
  }
  if (limit.rlim_cur < kBandEnd) {
    fprintf(stderr, "without_close_range: descriptor limit %llu is below %d\n",
            (unsigned long long)limit.rlim_cur, kBandEnd);
    return 125;
  }
  for (int fd = kBandFirst; fd < kBandEnd; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) {
      fprintf(stderr, "without_close_range: descriptor %d is open\n", fd);
      return 125;
    }
  }
  return 0;
}

static int InstallFilter(void) {
  struct sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, HOST_AUDIT_ARCH, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      /* The descriptor is an int: its low 32 bits on either byte order of the 64-bit slot. */
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0]) +
                                             (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0)),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kBandFirst, 0, 2),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kBandEnd, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {sizeof(code) / sizeof(code[0]), code};
  /* Lets an unprivileged caller install the filter; no test runs a set-user-ID program. */
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return Fail("prctl(PR_SET_NO_NEW_PRIVS)");
  }
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    return Fail("prctl(PR_SET_SECCOMP)");
  }
  /* A filter that does not answer would let the test pass on the fast path. */
  if (syscall(SYS_close_range, kBandEnd, kBandEnd, 0) != -1 || errno != ENOSYS) {
    fprintf(stderr, "without_close_range: close_range() still works under the filter\n");
    return 125;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: without_close_range COMMAND [ARGUMENT]...\n");
    return 125;
  }
  int status = CheckBand();
  if (status == 0) {
    status = InstallFilter();
  }
  if (status != 0) {
    return status;
  }
  execvp(argv[1], argv + 1);
  fprintf(stderr, "without_close_range: %s: %s\n", argv[1], strerror(errno));
  return errno == ENOENT ? 127 : 126;
}
