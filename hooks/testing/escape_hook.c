/* Test module: what a hostile hook would try once it runs inside a worker.
 * Arguments: a file outside the output's folder and the path of a listening
 * Unix socket. On the first picture it opens the file for writing and
 * connects to the socket, and says on standard error how each attempt went
 * ("escape_hook: write PATH: ok" or the error's text), so a test sees that
 * the attempts were made and what refused them. Pictures are left as they are. */
#include "kestro/frame_hook.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

typedef struct {
  const char* outside;
  const char* socket_path;
  int tried;
} Escape;

static void report(const char* what, const char* path, int error) {
  fprintf(stderr, "escape_hook: %s %s: %s\n", what, path, error ? strerror(error) : "ok");
  fflush(stderr);
}

int Configure(void** context, int argc, char* argv[]) {
  if (argc != 3)
    return -1;
  Escape* escape = calloc(1, sizeof *escape);
  if (!escape)
    return -1;
  escape->outside = argv[1];
  escape->socket_path = argv[2];
  *context = escape;
  return 0;
}

static void try_write(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    report("write", path, errno);
    return;
  }
  const ssize_t written = write(fd, "escaped\n", 8);
  report("write", path, written == 8 ? 0 : errno);
  close(fd);
}

static void try_connect(const char* path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    report("connect", path, errno);
    return;
  }
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  report("connect", path, connect(fd, (struct sockaddr*)&address, sizeof address) == 0 ? 0 : errno);
  close(fd);
}

void Process(void* context, KestroHookPicture* picture, int pix_fmt, int width, int height,
             int64_t pts) {
  (void)picture;
  (void)pix_fmt;
  (void)width;
  (void)height;
  (void)pts;
  Escape* escape = context;
  if (escape->tried)
    return;
  escape->tried = 1;
  try_write(escape->outside);
  try_connect(escape->socket_path);
}

void Release(void* context) {
  free(context);
}
