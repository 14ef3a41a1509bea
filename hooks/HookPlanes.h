/* Plane layout of the 8-bit pixel formats the example modules understand.
 * Only the media libraries' headers are used (for the format numbers); the
 * modules link nothing of them. */
#ifndef KESTRO_HOOK_PLANES_H
#define KESTRO_HOOK_PLANES_H

#include <libavutil/pixfmt.h>

typedef enum { HookLuma, HookChroma, HookAlpha, HookPacked } HookPlaneKind;

typedef struct HookPlane {
  HookPlaneKind kind;
  int bytes_per_pixel; /* 2 for interleaved chroma, 3 or 4 for packed RGB */
  int x_shift, y_shift; /* subsampling against the picture size */
  int alpha_byte;       /* packed RGB: index of the alpha or padding byte, or -1 */
} HookPlane;

typedef struct HookLayout {
  int count;
  HookPlane planes[4];
} HookLayout;

static inline HookPlane hook_plane(HookPlaneKind kind, int bpp, int xs, int ys, int alpha) {
  HookPlane p = {kind, bpp, xs, ys, alpha};
  return p;
}

static inline void hook_yuv(HookLayout* l, int xs, int ys) {
  l->count = 3;
  l->planes[0] = hook_plane(HookLuma, 1, 0, 0, -1);
  l->planes[1] = hook_plane(HookChroma, 1, xs, ys, -1);
  l->planes[2] = hook_plane(HookChroma, 1, xs, ys, -1);
}

/* Fills *layout for pix_fmt; returns 0 for a format it does not know. */
static inline int hook_layout(int pix_fmt, HookLayout* layout) {
  layout->count = 0;
  switch (pix_fmt) {
  case AV_PIX_FMT_YUV420P:
  case AV_PIX_FMT_YUVJ420P:
    hook_yuv(layout, 1, 1);
    break;
  case AV_PIX_FMT_YUVA420P:
    hook_yuv(layout, 1, 1);
    layout->count = 4;
    layout->planes[3] = hook_plane(HookAlpha, 1, 0, 0, -1);
    break;
  case AV_PIX_FMT_YUV422P:
  case AV_PIX_FMT_YUVJ422P:
    hook_yuv(layout, 1, 0);
    break;
  case AV_PIX_FMT_YUV444P:
  case AV_PIX_FMT_YUVJ444P:
    hook_yuv(layout, 0, 0);
    break;
  case AV_PIX_FMT_YUV440P:
  case AV_PIX_FMT_YUVJ440P:
    hook_yuv(layout, 0, 1);
    break;
  case AV_PIX_FMT_YUV411P:
    hook_yuv(layout, 2, 0);
    break;
  case AV_PIX_FMT_YUV410P:
    hook_yuv(layout, 2, 2);
    break;
  case AV_PIX_FMT_NV12:
  case AV_PIX_FMT_NV21:
    layout->count = 2;
    layout->planes[0] = hook_plane(HookLuma, 1, 0, 0, -1);
    layout->planes[1] = hook_plane(HookChroma, 2, 1, 1, -1);
    break;
  case AV_PIX_FMT_GRAY8:
    layout->count = 1;
    layout->planes[0] = hook_plane(HookLuma, 1, 0, 0, -1);
    break;
  case AV_PIX_FMT_RGB24:
  case AV_PIX_FMT_BGR24:
    layout->count = 1;
    layout->planes[0] = hook_plane(HookPacked, 3, 0, 0, -1);
    break;
  case AV_PIX_FMT_RGBA:
  case AV_PIX_FMT_BGRA:
  case AV_PIX_FMT_RGB0:
  case AV_PIX_FMT_BGR0:
    layout->count = 1;
    layout->planes[0] = hook_plane(HookPacked, 4, 0, 0, 3);
    break;
  case AV_PIX_FMT_ARGB:
  case AV_PIX_FMT_ABGR:
  case AV_PIX_FMT_0RGB:
  case AV_PIX_FMT_0BGR:
    layout->count = 1;
    layout->planes[0] = hook_plane(HookPacked, 4, 0, 0, 0);
    break;
  default:
    return 0;
  }
  return 1;
}

/* Pixels of a plane across `size` picture pixels, rounding up. */
static inline int hook_scaled(int size, int shift) { return (size + (1 << shift) - 1) >> shift; }

#endif
