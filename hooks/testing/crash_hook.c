/* Test module: the worst a hook can do to its process. CRASH_HOOK_SEGV
 * crashes at the first picture; otherwise every picture takes 64 MiB more,
 * touched so that it is really used, and never gives it back, until the
 * allocation fails. Only for tests that cap the process's memory. */
#include "kestro/frame_hook.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>

void Process(void* context, KestroHookPicture* picture, int pix_fmt, int width, int height,
             int64_t pts) {
  (void)context;
  (void)picture;
  (void)pix_fmt;
  (void)width;
  (void)height;
  (void)pts;
#ifdef CRASH_HOOK_SEGV
  raise(SIGSEGV);
#else
  for (;;) {
    const size_t size = (size_t)64 << 20;
    char* block = malloc(size);
    if (!block)
      abort();
    memset(block, 1, size);
  }
#endif
}
