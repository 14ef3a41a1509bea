// Sample formats, rates and channel layouts: what an encoder is given out of
// what it takes, the format decoded audio is carried in, and volume on it.
#pragma once

#include "LibPtr.h"
#include "MediaLibs.h"

#include <cstdint>

namespace kestro {

// The supported rate nearest to `wanted` (the higher of two as near); any
// rate when the encoder does not say. The speech codecs that only check at
// open count as listing their one rate and mono.
int NegotiateSampleRate(const AVCodec* encoder, int wanted);

// Into `chosen`: `wanted` when the encoder takes it; else a layout it takes
// with as many channels; else the largest it takes with fewer channels (a
// downmix), or failing that the smallest with more.
void NegotiateChannelLayout(const AVCodec* encoder, const AVChannelLayout& wanted,
                            AVChannelLayout* chosen);

// The encoder's format that keeps the precision of `wanted` (a source's
// format or one asked for; none: the encoder's first): the same format, its
// planar or packed twin, the least precise one at least as precise, or the
// most precise the encoder has.
AVSampleFormat NegotiateSampleFormat(const AVCodec* encoder, AVSampleFormat wanted);

// The interleaved format decoded audio of `decoded` is carried in: its
// packed form, 8-bit samples widened to 16 bits.
AVSampleFormat CarrierFormat(AVSampleFormat decoded);

// What decoded audio is carried as: interleaved samples of the decoded
// frames' precision (Format), at their rate and channel layout, all of which
// may change mid-stream (rate 0: no frame yet).
struct TAudioCarrier {
  AVSampleFormat Format = AV_SAMPLE_FMT_NONE;
  int Rate = 0;
  TChannelLayout Layout;
};

// Scales `count` samples of the carrier `format` by volume / 256, integer
// formats rounded and saturated.
void ApplyVolume(uint8_t* samples, int64_t count, AVSampleFormat format, int volume);

} // namespace kestro
