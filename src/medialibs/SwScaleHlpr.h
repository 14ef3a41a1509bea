// Run-time binding of libswscale: the functions the program calls, bound by name.
#pragma once

extern "C" {
#include <libswscale/swscale.h>
}

#include "LibraryBinding.h"

#define KESTRO_SWSCALE_FUNCTIONS(X) \
  X(swscale_version) \
  X(sws_getContext) \
  X(sws_getCachedContext) \
  X(sws_freeContext) \
  X(sws_scale) \
  X(sws_alloc_context) \
  X(sws_init_context) \
  X(sws_get_class) \
  X(sws_isSupportedInput) \
  X(sws_isSupportedOutput) \
  X(sws_setColorspaceDetails) \
  X(sws_getColorspaceDetails) \
  X(sws_getCoefficients)

namespace swscale {
KESTRO_SWSCALE_FUNCTIONS(KESTRO_DECLARE_SLOT)

kestro::TLibraryBinding& Library();
} // namespace swscale
