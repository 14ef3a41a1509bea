/* Test module: a hook that takes 40 ms over every picture, so that a job
 * lasts long enough to be stopped in the middle whatever the machine. */
#define _POSIX_C_SOURCE 199309L /* nanosleep */

#include "kestro/frame_hook.h"

#include <time.h>

void Process(void* context, KestroHookPicture* picture, int pix_fmt, int width, int height,
             int64_t pts) {
  (void)context;
  (void)picture;
  (void)pix_fmt;
  (void)width;
  (void)height;
  (void)pts;
  const struct timespec pause = {0, 40L * 1000 * 1000};
  nanosleep(&pause, NULL);
}
