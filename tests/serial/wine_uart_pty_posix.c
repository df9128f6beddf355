/* A pty that answers line set-up as a UART does, for programs run under Wine (LD_PRELOAD).
 *
 * Wine sets a COM line in several steps, each one reading the settings back, changing one part
 * and writing them again. A pty spoils that in two ways: it always clears PARENB (and forces
 * CS8) in what it reports, and a request that asks for parity without changing anything the
 * pty keeps fails with EINVAL although it is applied. Here, on pty slaves only, a set request
 * whose only fault is that EINVAL succeeds, and a read-back shows PARENB and CSIZE as last set.
 * Every other file and request passes through untouched. */
#define _GNU_SOURCE
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

enum { kTrackedFds = 4096, kPtySlaveMajorFirst = 136, kPtySlaveMajorLast = 143 };
static const tcflag_t kKeptByUs = PARENB | CSIZE;

/* The c_cflag last set on each pty slave descriptor; 0 while none was set. */
static tcflag_t lastSet[kTrackedFds];
static pthread_mutex_t lastSetLock = PTHREAD_MUTEX_INITIALIZER;

typedef int (*IoctlFunction)(int, unsigned long, ...);
typedef int (*CloseFunction)(int);

static IoctlFunction RealIoctl(void) {
  static IoctlFunction real;
  if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "ioctl"); /* the POSIX idiom */
  return real;
}

static int IsPtySlave(int fd) {
  struct stat info;
  if (fd < 0 || fd >= kTrackedFds || fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return 0;
  const unsigned deviceMajor = major(info.st_rdev);
  return deviceMajor >= kPtySlaveMajorFirst && deviceMajor <= kPtySlaveMajorLast;
}

static int IsSetRequest(unsigned long request) {
  return request == TCSETS || request == TCSETSW || request == TCSETSF || request == TCSETS2 ||
         request == TCSETSW2 || request == TCSETSF2;
}

static int IsGetRequest(unsigned long request) {
  return request == TCGETS || request == TCGETS2;
}

/* struct termios and struct termios2 of the kernel both begin with c_iflag, c_oflag, c_cflag. */
static tcflag_t* ControlFlags(void* settings) {
  return &((struct termios*)settings)->c_cflag;
}

static void Remember(int fd, tcflag_t flags) {
  pthread_mutex_lock(&lastSetLock);
  lastSet[fd] = flags;
  pthread_mutex_unlock(&lastSetLock);
}

static tcflag_t Remembered(int fd) {
  pthread_mutex_lock(&lastSetLock);
  const tcflag_t flags = lastSet[fd];
  pthread_mutex_unlock(&lastSetLock);
  return flags;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);

  const int result = RealIoctl()(fd, request, argument);
  if (argument == NULL || !(IsSetRequest(request) || IsGetRequest(request)) || !IsPtySlave(fd)) {
    return result;
  }
  if (IsSetRequest(request)) {
    if (result != 0 && errno != EINVAL) return result;
    Remember(fd, *ControlFlags(argument) | CREAD); /* CREAD: never 0, "something was set" */
    return 0;
  }
  const tcflag_t remembered = Remembered(fd);
  if (result == 0 && remembered != 0) {
    tcflag_t* flags = ControlFlags(argument);
    *flags = (*flags & ~kKeptByUs) | (remembered & kKeptByUs);
  }
  return result;
}

/* glibc's tcsetattr and tcgetattr make the system call themselves, past ioctl; Wine uses them
 * for some steps. The C library's struct termios also has c_cflag third. */
typedef int (*SetAttrFunction)(int, int, const void*);
typedef int (*GetAttrFunction)(int, void*);

int tcsetattr(int fd, int when, const void* settings) {
  static SetAttrFunction real;
  if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "tcsetattr");
  const int result = real(fd, when, settings);
  if (settings == NULL || !IsPtySlave(fd) || (result != 0 && errno != EINVAL)) return result;
  Remember(fd, *ControlFlags((void*)settings) | CREAD);
  return 0;
}

int tcgetattr(int fd, void* settings) {
  static GetAttrFunction real;
  if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "tcgetattr");
  const int result = real(fd, settings);
  if (result != 0 || settings == NULL || !IsPtySlave(fd)) return result;
  const tcflag_t remembered = Remembered(fd);
  if (remembered != 0) {
    tcflag_t* flags = ControlFlags(settings);
    *flags = (*flags & ~kKeptByUs) | (remembered & kKeptByUs);
  }
  return result;
}

int close(int fd) {
  static CloseFunction real;
  if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "close");
  if (fd >= 0 && fd < kTrackedFds) Remember(fd, 0);
  return real(fd);
}
