/* Example hook module: turns every picture into its negative by inverting
 * each colour plane. Alpha and padding bytes are left alone so the picture
 * stays opaque. Takes no arguments. */
#include "HookPlanes.h"
#include "kestro/frame_hook.h"

#include <stddef.h>

void Process(void* context, KestroHookPicture* picture, int pix_fmt, int width, int height,
             int64_t pts) {
  (void)context;
  (void)pts;
  HookLayout layout;
  if (!hook_layout(pix_fmt, &layout))
    return; /* not a format this module knows: untouched */
  for (int i = 0; i < layout.count; ++i) {
    const HookPlane* plane = &layout.planes[i];
    if (plane->kind == HookAlpha || !picture->data[i])
      continue;
    const int columns = hook_scaled(width, plane->x_shift);
    const int rows = hook_scaled(height, plane->y_shift);
    for (int y = 0; y < rows; ++y) {
      uint8_t* row = picture->data[i] + (ptrdiff_t)y * picture->linesize[i];
      for (int x = 0; x < columns * plane->bytes_per_pixel; ++x)
        if (x % plane->bytes_per_pixel != plane->alpha_byte)
          row[x] = (uint8_t)(255 - row[x]);
    }
  }
}
