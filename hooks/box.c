/* Example hook module: draws a filled gray rectangle on every picture.
 *
 * Arguments: x y width height gray, in picture pixels, gray 0 to 255.
 * When to draw (time ranges) is decided by the engine, not here. */
#include "HookPlanes.h"
#include "kestro/frame_hook.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

typedef struct Box {
  int x, y, w, h, gray;
} Box;

static int read_number(const char* text, long min, long max, int* out) {
  char* end = NULL;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < min || value > max)
    return 0;
  *out = (int)value;
  return 1;
}

int Configure(void** context, int argc, char* argv[]) {
  Box box;
  if (argc != 6 || !read_number(argv[1], 0, 1 << 16, &box.x) ||
      !read_number(argv[2], 0, 1 << 16, &box.y) || !read_number(argv[3], 0, 1 << 16, &box.w) ||
      !read_number(argv[4], 0, 1 << 16, &box.h) || !read_number(argv[5], 0, 255, &box.gray))
    return -1;
  Box* state = malloc(sizeof(Box));
  if (!state)
    return -1;
  *state = box;
  *context = state;
  return 0;
}

static int min_int(int a, int b) { return a < b ? a : b; }

void Process(void* context, KestroHookPicture* picture, int pix_fmt, int width, int height,
             int64_t pts) {
  (void)pts;
  const Box* box = context;
  HookLayout layout;
  if (!box || !hook_layout(pix_fmt, &layout))
    return;
  const int right = min_int(box->x + box->w, width), bottom = min_int(box->y + box->h, height);
  if (box->x >= right || box->y >= bottom)
    return; /* entirely outside the picture */
  for (int i = 0; i < layout.count; ++i) {
    const HookPlane* plane = &layout.planes[i];
    if (!picture->data[i] || plane->kind == HookAlpha)
      continue;
    const int bpp = plane->bytes_per_pixel;
    /* Chroma samples that any covered pixel touches. */
    const int x0 = box->x >> plane->x_shift, x1 = hook_scaled(right, plane->x_shift);
    const int y0 = box->y >> plane->y_shift, y1 = hook_scaled(bottom, plane->y_shift);
    const uint8_t value = plane->kind == HookChroma ? 128 : (uint8_t)box->gray;
    for (int y = y0; y < y1; ++y) {
      uint8_t* row = picture->data[i] + (ptrdiff_t)y * picture->linesize[i];
      for (int x = x0 * bpp; x < x1 * bpp; ++x)
        row[x] = x % bpp == plane->alpha_byte ? 255 : value;
    }
  }
}

void Release(void* context) { free(context); }
