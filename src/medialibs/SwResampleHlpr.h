// Run-time binding of libswresample: the functions the program calls, bound by name.
#pragma once

extern "C" {
#include <libswresample/swresample.h>
}

#include "LibraryBinding.h"

#define KESTRO_SWRESAMPLE_FUNCTIONS(X) \
  X(swresample_version) \
  X(swr_alloc) \
  X(swr_alloc_set_opts2) \
  X(swr_init) \
  X(swr_free) \
  X(swr_convert) \
  X(swr_set_compensation) \
  X(swr_get_delay) \
  X(swr_get_out_samples) \
  X(swr_is_initialized)

namespace swresample {
KESTRO_SWRESAMPLE_FUNCTIONS(KESTRO_DECLARE_SLOT)

kestro::TLibraryBinding& Library();
} // namespace swresample
