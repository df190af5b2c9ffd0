/* Fault injection for one file, loaded with LD_PRELOAD. Environment:
 *   SKARVO_SHIM_FILE           a part of the path of the file to act on
 *   SKARVO_SHIM_READ_FAIL_AT   reads deliver the bytes before this offset,
 *                              then fail with EIO (a bad sector)
 *   SKARVO_SHIM_READ_FAIL_LEN  length of the bad stretch (default: to the
 *                              end); reads past it succeed again
 *   SKARVO_SHIM_READ_FAIL_ONCE when set, only the first read that meets the
 *                              stretch fails (a transient error)
 *   SKARVO_SHIM_READ_DELAY_MS  each read of the file first sleeps this long
 *   SKARVO_SHIM_CLOSE_FAIL     when set, close() of the file fails with EIO
 *                              (the descriptor is released, as on Linux)
 * Without SKARVO_SHIM_FILE every call goes straight through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*readv_fn)(int, const struct iovec *, int);
typedef ssize_t (*pread_fn)(int, void *, size_t, off_t);
typedef int (*close_fn)(int);

static void *next_symbol(const char *name) { return dlsym(RTLD_NEXT, name); }

static int is_target(int fd) {
  const char *want = getenv("SKARVO_SHIM_FILE");
  if (!want || !*want || fd < 0)
    return 0;
  char link[64], path[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0)
    return 0;
  path[n] = '\0';
  return strstr(path, want) != NULL;
}

static void delay(void) {
  const char *ms = getenv("SKARVO_SHIM_READ_DELAY_MS");
  if (!ms)
    return;
  const long v = atol(ms);
  struct timespec left = {v / 1000, (v % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

static int failed_once;

/* How many of count bytes at offset may be read; -1 when the read fails. */
static ssize_t allowed(off_t offset, size_t count) {
  const char *at = getenv("SKARVO_SHIM_READ_FAIL_AT");
  if (!at || (failed_once && getenv("SKARVO_SHIM_READ_FAIL_ONCE")))
    return (ssize_t)count;
  const long long fail = atoll(at);
  const char *len = getenv("SKARVO_SHIM_READ_FAIL_LEN");
  if (len && offset >= fail + atoll(len))
    return (ssize_t)count;
  if (offset >= fail) {
    failed_once = 1;
    return -1;
  }
  if ((long long)count > fail - offset)
    return (ssize_t)(fail - offset);
  return (ssize_t)count;
}

static ssize_t checked_read(int fd, void *buf, size_t count, off_t offset, int positioned) {
  static pread_fn real_pread;
  static read_fn real_read;
  if (!real_pread) {
    real_pread = (pread_fn)next_symbol("pread64");
    real_read = (read_fn)next_symbol("read");
  }
  if (!is_target(fd))
    return positioned ? real_pread(fd, buf, count, offset) : real_read(fd, buf, count);
  delay();
  const off_t at = positioned ? offset : lseek(fd, 0, SEEK_CUR);
  const ssize_t n = allowed(at, count);
  if (n < 0) {
    errno = EIO;
    return -1;
  }
  return positioned ? real_pread(fd, buf, (size_t)n, offset) : real_read(fd, buf, (size_t)n);
}

ssize_t read(int fd, void *buf, size_t count) { return checked_read(fd, buf, count, 0, 0); }
ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen) {
  (void)buflen;
  return checked_read(fd, buf, count, 0, 0);
}
ssize_t pread(int fd, void *buf, size_t count, off_t offset) { return checked_read(fd, buf, count, offset, 1); }
ssize_t pread64(int fd, void *buf, size_t count, off_t offset) { return checked_read(fd, buf, count, offset, 1); }

typedef ssize_t (*preadv_fn)(int, const struct iovec *, int, off_t);

static ssize_t checked_readv(int fd, const struct iovec *iov, int iovcnt, off_t offset, int positioned) {
  static readv_fn real_readv;
  static preadv_fn real_preadv;
  if (!real_readv) {
    real_readv = (readv_fn)next_symbol("readv");
    real_preadv = (preadv_fn)next_symbol("preadv64");
  }
  if (!is_target(fd))
    return positioned ? real_preadv(fd, iov, iovcnt, offset) : real_readv(fd, iov, iovcnt);
  delay();
  size_t total = 0;
  for (int i = 0; i < iovcnt; ++i)
    total += iov[i].iov_len;
  const ssize_t n = allowed(positioned ? offset : lseek(fd, 0, SEEK_CUR), total);
  if (n < 0) {
    errno = EIO;
    return -1;
  }
  /* Cut the vector at the allowed length. */
  struct iovec cut[IOV_MAX];
  size_t left = (size_t)n;
  int k = 0;
  for (; k < iovcnt && k < IOV_MAX && left > 0; ++k) {
    cut[k] = iov[k];
    if (cut[k].iov_len > left)
      cut[k].iov_len = left;
    left -= cut[k].iov_len;
  }
  return positioned ? real_preadv(fd, cut, k, offset) : real_readv(fd, cut, k);
}

ssize_t readv(int fd, const struct iovec *iov, int iovcnt) { return checked_readv(fd, iov, iovcnt, 0, 0); }
ssize_t preadv(int fd, const struct iovec *iov, int iovcnt, off_t offset) {
  return checked_readv(fd, iov, iovcnt, offset, 1);
}
ssize_t preadv64(int fd, const struct iovec *iov, int iovcnt, off_t offset) {
  return checked_readv(fd, iov, iovcnt, offset, 1);
}

int close(int fd) {
  static close_fn real_close;
  if (!real_close)
    real_close = (close_fn)next_symbol("close");
  const int fail = getenv("SKARVO_SHIM_CLOSE_FAIL") && is_target(fd);
  const int r = real_close(fd);
  if (fail && r == 0) {
    errno = EIO;
    return -1;
  }
  return r;
}

/* A copy within the kernel would pass the reads above by: refused for the
 * file acted on (as for files on two file systems), so the program reads it. */
typedef ssize_t (*copy_fn)(int, off_t *, int, off_t *, size_t, unsigned int);
ssize_t copy_file_range(int in, off_t *in_off, int out, off_t *out_off, size_t len, unsigned int flags) {
  static copy_fn real_copy;
  if (!real_copy)
    real_copy = (copy_fn)next_symbol("copy_file_range");
  if (is_target(in) || is_target(out)) {
    errno = EXDEV;
    return -1;
  }
  return real_copy(in, in_off, out, out_off, len, flags);
}
