/* Answers the modem-line ioctls for pseudo-terminal slaves, which have no
 * modem lines.  Wine asks for them on every communications event wait and
 * fails the wait when TIOCMGET fails; with this library preloaded the Wine
 * tests of the serial port and of the driver run against a pty.  Built for
 * 64 and for 32 bits (the 32-bit Wine runs 32-bit Windows programs).  Used
 * only by the tests. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* UNIX98 pty slaves have the majors 136 to 143. */
static int is_pty_slave(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    return 0;
  }
  return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

static int lines = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;

/* Runs the real call and answers a modem-line request on a pty slave that it failed. */
static int modem_ioctl(ioctl_fn real_ioctl, int fd, unsigned long request, void* arg) {
  const int saved = errno;
  const int rc = real_ioctl(fd, request, arg);
  if (rc == 0 || !is_pty_slave(fd)) {
    return rc;
  }
  switch (request) {
    case TIOCMGET:
      *(int*)arg = lines;
      break;
    case TIOCMSET:
      lines = *(int*)arg | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
      break;
    case TIOCMBIS:
      lines |= *(int*)arg;
      break;
    case TIOCMBIC:
      lines &= ~*(int*)arg | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
      break;
    default:
      return rc;
  }
  errno = saved;
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real_ioctl;
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (real_ioctl == NULL) {
    real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  }
  return modem_ioctl(real_ioctl, fd, request, arg);
}

#if defined(__i386__)
/* 32-bit programs built with a 64-bit time_t (the 32-bit Wine among them)
 * call this name instead of ioctl. */
int __ioctl_time64(int fd, unsigned long request, ...) {
  static ioctl_fn real_ioctl;
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (real_ioctl == NULL) {
    real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "__ioctl_time64");
  }
  return modem_ioctl(real_ioctl, fd, request, arg);
}
#endif
