/* Kestro Video frame hook modules.
 *
 * A hook module is a shared library that edits decoded pictures in place.
 * The user names it with the "vhook" option: the module's file name followed
 * by its own arguments. It exports, with C linkage:
 *
 *   Configure  (optional; required when arguments follow the file name)
 *   Process    (required)
 *   Release    (optional)
 */
#ifndef KESTRO_FRAME_HOOK_H
#define KESTRO_FRAME_HOOK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A picture: up to four planes and the byte length of one row of each. */
typedef struct KestroHookPicture {
  uint8_t* data[4];
  int linesize[4];
} KestroHookPicture;

/* Stores the module's state in *context; argv[0] is the module's file name.
   Returns 0 on success. The argv strings stay valid until the job lets the
   module go (after its Release call), so the module may keep pointers to
   them. */
typedef int (*KestroHookConfigure)(void** context, int argc, char* argv[]);

/* Edits the picture in place. pix_fmt is the media library's pixel format
   number, pts the picture's time stamp in microseconds. */
typedef void (*KestroHookProcess)(void* context, KestroHookPicture* picture, int pix_fmt,
                                  int width, int height, int64_t pts);

/* Frees what Configure made. */
typedef void (*KestroHookRelease)(void* context);

/* Exported whatever default visibility the module is built with. */
#if defined(__GNUC__)
#define KESTRO_HOOK_EXPORT __attribute__((visibility("default")))
#else
#define KESTRO_HOOK_EXPORT
#endif

KESTRO_HOOK_EXPORT int Configure(void** context, int argc, char* argv[]);
KESTRO_HOOK_EXPORT void Process(void* context, KestroHookPicture* picture, int pix_fmt,
                                int width, int height, int64_t pts);
KESTRO_HOOK_EXPORT void Release(void* context);

#ifdef __cplusplus
}
#endif

#endif
