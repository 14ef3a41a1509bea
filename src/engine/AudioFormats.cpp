// What the engine chooses among an encoder's sample formats, rates and
// channel layouts, and how it carries and scales decoded samples.
#include "AudioFormats.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kestro {

namespace {

// Significant bits of one sample: a float keeps 24, a double 53.
int Precision(AVSampleFormat format) {
  switch (avutil::av_get_packed_sample_fmt(format)) {
  case AV_SAMPLE_FMT_U8:
    return 8;
  case AV_SAMPLE_FMT_S16:
    return 16;
  case AV_SAMPLE_FMT_FLT:
    return 24;
  case AV_SAMPLE_FMT_S32:
    return 32;
  case AV_SAMPLE_FMT_DBL:
    return 53;
  case AV_SAMPLE_FMT_S64:
    return 64;
  default:
    return 0;
  }
}

template <typename T> T Saturated(int64_t v) {
  return T(std::clamp<int64_t>(v, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
}

template <typename T> void ScaleIntegers(uint8_t* data, int64_t count, int volume) {
  for (int64_t i = 0; i < count; ++i) {
    T sample;
    std::memcpy(&sample, data + i * int64_t(sizeof(T)), sizeof(T));
    sample = Saturated<T>((int64_t(sample) * volume + 128) >> 8);
    std::memcpy(data + i * int64_t(sizeof(T)), &sample, sizeof(T));
  }
}

template <typename T> void ScaleFloats(uint8_t* data, int64_t count, int volume) {
  const T factor = T(volume) / T(256);
  for (int64_t i = 0; i < count; ++i) {
    T sample;
    std::memcpy(&sample, data + i * int64_t(sizeof(T)), sizeof(T));
    sample *= factor;
    std::memcpy(data + i * int64_t(sizeof(T)), &sample, sizeof(T));
  }
}

void ScaleS64(uint8_t* data, int64_t count, int volume) {
  for (int64_t i = 0; i < count; ++i) {
    int64_t sample;
    std::memcpy(&sample, data + i * 8, 8);
    const __int128 scaled = (__int128(sample) * volume + 128) >> 8;
    sample = scaled > std::numeric_limits<int64_t>::max()   ? std::numeric_limits<int64_t>::max()
             : scaled < std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::min()
                                                            : int64_t(scaled);
    std::memcpy(data + i * 8, &sample, 8);
  }
}

// Rates and layouts an encoder takes: its own lists, or for the speech
// codecs that only check at open, the one rate and the mono they accept.
const int* SampleRates(const AVCodec* encoder) {
  static const int NarrowBand[] = {8000, 0}, WideBand[] = {16000, 0};
  if (encoder->supported_samplerates)
    return encoder->supported_samplerates;
  return encoder->id == AV_CODEC_ID_AMR_NB ? NarrowBand
         : encoder->id == AV_CODEC_ID_AMR_WB ? WideBand
                                             : nullptr;
}

const AVChannelLayout* ChannelLayouts(const AVCodec* encoder, AVChannelLayout (&speech)[2]) {
  if (encoder->ch_layouts)
    return encoder->ch_layouts;
  if (encoder->id != AV_CODEC_ID_AMR_NB && encoder->id != AV_CODEC_ID_AMR_WB)
    return nullptr;
  avutil::av_channel_layout_default(&speech[0], 1);
  return speech;
}

} // namespace

int NegotiateSampleRate(const AVCodec* encoder, int wanted) {
  const int* rates = encoder ? SampleRates(encoder) : nullptr;
  if (!rates || wanted <= 0)
    return wanted;
  int best = 0;
  for (const int* rate = rates; *rate; ++rate) {
    const int64_t distance = std::llabs(int64_t(*rate) - wanted);
    const int64_t bestDistance = std::llabs(int64_t(best) - wanted);
    if (!best || distance < bestDistance || (distance == bestDistance && *rate > best))
      best = *rate;
  }
  return best ? best : wanted;
}

void NegotiateChannelLayout(const AVCodec* encoder, const AVChannelLayout& wanted,
                            AVChannelLayout* chosen) {
  const AVChannelLayout* pick = &wanted;
  AVChannelLayout speech[2] = {};
  const AVChannelLayout* layouts = encoder ? ChannelLayouts(encoder, speech) : nullptr;
  if (layouts && layouts[0].nb_channels > 0) {
    const int count = wanted.nb_channels;
    const AVChannelLayout *same = nullptr, *fewer = nullptr, *more = nullptr;
    for (const AVChannelLayout* l = layouts; l->nb_channels > 0; ++l) {
      if (avutil::av_channel_layout_compare(l, &wanted) == 0) {
        same = l;
        break;
      }
      if (l->nb_channels == count && !same)
        same = l;
      else if (l->nb_channels < count && (!fewer || l->nb_channels > fewer->nb_channels))
        fewer = l;
      else if (l->nb_channels > count && (!more || l->nb_channels < more->nb_channels))
        more = l;
    }
    pick = same ? same : fewer ? fewer : more;
  }
  avutil::av_channel_layout_uninit(chosen);
  if (avutil::av_channel_layout_copy(chosen, pick) < 0)
    avutil::av_channel_layout_default(chosen, pick->nb_channels);
}

AVSampleFormat NegotiateSampleFormat(const AVCodec* encoder, AVSampleFormat wanted) {
  if (!encoder || !encoder->sample_fmts || encoder->sample_fmts[0] == AV_SAMPLE_FMT_NONE)
    return wanted;
  const AVSampleFormat* list = encoder->sample_fmts;
  if (Precision(wanted) == 0)
    return list[0];
  const AVSampleFormat packed = avutil::av_get_packed_sample_fmt(wanted);
  const AVSampleFormat* twin = nullptr;
  const AVSampleFormat *enough = nullptr, *most = nullptr;
  for (const AVSampleFormat* f = list; *f != AV_SAMPLE_FMT_NONE; ++f) {
    if (*f == wanted)
      return wanted;
    if (!twin && avutil::av_get_packed_sample_fmt(*f) == packed)
      twin = f;
    const int precision = Precision(*f);
    if (precision >= Precision(wanted) && (!enough || precision < Precision(*enough)))
      enough = f;
    if (!most || precision > Precision(*most))
      most = f;
  }
  return twin ? *twin : enough ? *enough : *most;
}

AVSampleFormat CarrierFormat(AVSampleFormat decoded) {
  const AVSampleFormat packed = avutil::av_get_packed_sample_fmt(decoded);
  return packed == AV_SAMPLE_FMT_U8 ? AV_SAMPLE_FMT_S16 : packed;
}

void ApplyVolume(uint8_t* samples, int64_t count, AVSampleFormat format, int volume) {
  switch (format) {
  case AV_SAMPLE_FMT_S16:
    ScaleIntegers<int16_t>(samples, count, volume);
    break;
  case AV_SAMPLE_FMT_S32:
    ScaleIntegers<int32_t>(samples, count, volume);
    break;
  case AV_SAMPLE_FMT_S64:
    ScaleS64(samples, count, volume);
    break;
  case AV_SAMPLE_FMT_FLT:
    ScaleFloats<float>(samples, count, volume);
    break;
  case AV_SAMPLE_FMT_DBL:
    ScaleFloats<double>(samples, count, volume);
    break;
  default:
    break; // no carrier format
  }
}

} // namespace kestro
