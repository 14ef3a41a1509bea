// Run-time binding of libavformat: the functions the program calls, bound by name.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
}

#include "LibraryBinding.h"

#define KESTRO_AVFORMAT_FUNCTIONS(X) \
  X(avformat_version) \
  X(avformat_configuration) \
  X(avformat_alloc_context) \
  X(avformat_free_context) \
  X(avformat_get_class) \
  X(avformat_open_input) \
  X(avformat_close_input) \
  X(avformat_find_stream_info) \
  X(av_find_input_format) \
  X(av_guess_format) \
  X(av_guess_codec) \
  X(avformat_alloc_output_context2) \
  X(avformat_new_stream) \
  X(av_stream_get_side_data) \
  X(av_stream_new_side_data) \
  X(av_new_program) \
  X(av_program_add_stream_index) \
  X(avformat_write_header) \
  X(av_write_trailer) \
  X(av_interleaved_write_frame) \
  X(av_write_frame) \
  X(av_read_frame) \
  X(av_seek_frame) \
  X(avformat_seek_file) \
  X(av_dump_format) \
  X(av_muxer_iterate) \
  X(av_demuxer_iterate) \
  X(avio_open) \
  X(avio_open2) \
  X(avio_closep) \
  X(avio_seek) \
  X(avio_size) \
  X(avio_flush) \
  X(avio_alloc_context) \
  X(avio_context_free) \
  X(av_sdp_create) \
  X(av_codec_get_tag) \
  X(av_codec_get_id) \
  X(avformat_query_codec) \
  X(av_filename_number_test) \
  X(av_guess_frame_rate) \
  X(av_guess_sample_aspect_ratio) \
  X(av_find_best_stream) \
  X(av_find_program_from_stream) \
  X(av_pkt_dump_log2)

namespace avformat {
KESTRO_AVFORMAT_FUNCTIONS(KESTRO_DECLARE_SLOT)

kestro::TLibraryBinding& Library();
} // namespace avformat
