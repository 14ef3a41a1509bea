// Run-time binding of libavfilter: the functions the program calls, bound by name.
#pragma once

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersrc.h>
#include <libavfilter/buffersink.h>
}

#include "LibraryBinding.h"

#define KESTRO_AVFILTER_FUNCTIONS(X) \
  X(avfilter_version) \
  X(avfilter_configuration) \
  X(avfilter_get_by_name) \
  X(av_filter_iterate) \
  X(avfilter_graph_alloc) \
  X(avfilter_graph_free) \
  X(avfilter_graph_create_filter) \
  X(avfilter_graph_alloc_filter) \
  X(avfilter_init_str) \
  X(avfilter_graph_parse_ptr) \
  X(avfilter_graph_config) \
  X(avfilter_inout_alloc) \
  X(avfilter_inout_free) \
  X(avfilter_link) \
  X(av_buffersrc_add_frame_flags) \
  X(av_buffersrc_parameters_alloc) \
  X(av_buffersrc_parameters_set) \
  X(av_buffersink_get_frame) \
  X(av_buffersink_get_frame_flags) \
  X(av_buffersink_get_w) \
  X(av_buffersink_get_h) \
  X(av_buffersink_get_format) \
  X(av_buffersink_get_time_base) \
  X(av_buffersink_get_sample_aspect_ratio)

namespace avfilter {
KESTRO_AVFILTER_FUNCTIONS(KESTRO_DECLARE_SLOT)

kestro::TLibraryBinding& Library();
} // namespace avfilter
