/* A hook module for the engine's tests, built in several variants:
 *   PROBE_NO_CONFIGURE   no "Configure" export
 *   PROBE_NO_RELEASE     no "Release" export
 *   PROBE_FAILS          "Configure" refuses every call
 *   PROBE_HELPED         "Process" calls into a helper library
 * Every variant counts its calls and exports the counts. The tag given as
 * first argument is written into the first byte of each picture so tests can
 * see the order modules run in. */
#include "kestro/frame_hook.h"

#include <stdint.h>
#include <stdlib.h>

#ifdef PROBE_HELPED
#include "hook_helper.h"
#endif

#define EXPORT __attribute__((visibility("default")))

static int configures, processes, releases;
static int last_argc;
static char** last_argv;

/* Call counts since the module was loaded. */
EXPORT void ProbeCounts(int* configure_calls, int* process_calls, int* release_calls) {
  *configure_calls = configures;
  *process_calls = processes;
  *release_calls = releases;
}

/* The argument vector of the last Configure call, as the engine passed it. */
EXPORT int ProbeArgumentCount(void) { return last_argc; }
EXPORT const char* ProbeArgument(int i) {
  return i >= 0 && i < last_argc ? last_argv[i] : NULL;
}

#ifndef PROBE_NO_CONFIGURE
int Configure(void** context, int argc, char* argv[]) {
  ++configures;
  last_argc = argc;
  last_argv = argv; /* kept on purpose: the engine keeps argv alive */
#ifdef PROBE_FAILS
  (void)context;
  return -1;
#else
  *context = (void*)(intptr_t)(argc > 1 ? atoi(argv[1]) : 0);
  return 0;
#endif
}
#endif

void Process(void* context, KestroHookPicture* picture, int pix_fmt, int width, int height,
             int64_t pts) {
  (void)pix_fmt;
  (void)width;
  (void)height;
  (void)pts;
  ++processes;
  int tag = (int)(intptr_t)context;
#ifdef PROBE_HELPED
  tag = hook_helper_tag();
#endif
  if (picture->data[0])
    picture->data[0][0] = (uint8_t)(picture->data[0][0] * 10 + tag);
}

#ifndef PROBE_NO_RELEASE
void Release(void* context) {
  (void)context;
  ++releases;
}
#endif
