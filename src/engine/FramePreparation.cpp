// Every decoded picture passes here first: an optional deinterlaced private
// copy, the custom hook drawing on a 24-bit picture, and the hook modules.
#include "EngineText.h"
#include "FFmpeg.h"
#include "FrameHook.h"

#include <cstring>

namespace kestro {

namespace {

// A picture as plane pointers and row lengths.
struct TPlanes {
  uint8_t* Data[4] = {};
  int Linesize[4] = {};
};

// Vertical low-pass over the lines of the second field (-1 4 2 4 -1)/8,
// the classic in-picture deinterlacer: one picture in, one out, no delay.
bool DeinterlacePlanes(TPlanes& dst, const AVFrame* src, AVPixelFormat format, int w, int h) {
  switch (format) {
  case AV_PIX_FMT_YUV420P:
  case AV_PIX_FMT_YUVJ420P:
  case AV_PIX_FMT_YUV422P:
  case AV_PIX_FMT_YUVJ422P:
  case AV_PIX_FMT_YUV444P:
  case AV_PIX_FMT_YUVJ444P:
  case AV_PIX_FMT_YUV411P:
  case AV_PIX_FMT_GRAY8:
    break;
  default:
    return false;
  }
  if ((w & 3) || (h & 3))
    return false;
  const AVPixFmtDescriptor* desc = avutil::av_pix_fmt_desc_get(format);
  for (int plane = 0; plane < 3 && src->data[plane]; ++plane) {
    const int pw = plane ? -((-w) >> desc->log2_chroma_w) : w;
    const int ph = plane ? -((-h) >> desc->log2_chroma_h) : h;
    for (int y = 0; y < ph; ++y) {
      const uint8_t* line = src->data[plane] + ptrdiff_t(y) * src->linesize[plane];
      uint8_t* out = dst.Data[plane] + ptrdiff_t(y) * dst.Linesize[plane];
      if ((y & 1) == 0 || y < 2 || y + 2 >= ph) {
        std::memcpy(out, line, size_t(pw));
        continue;
      }
      const ptrdiff_t stride = src->linesize[plane];
      for (int x = 0; x < pw; ++x) {
        const int v = (-line[x - 2 * stride] + 4 * line[x - stride] + 2 * line[x] +
                       4 * line[x + stride] - line[x + 2 * stride] + 4) >> 3;
        out[x] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
      }
    }
  }
  return true;
}

// Grows an engine-owned picture buffer; false when it cannot be had.
bool Reserve(TAvBytesPtr& buffer, int& capacity, int size) {
  if (size <= 0)
    return false;
  if (buffer && capacity >= size)
    return true;
  buffer.reset(static_cast<uint8_t*>(avutil::av_malloc(size_t(size))));
  capacity = buffer ? size : 0;
  return bool(buffer);
}

} // namespace

void TCustomFFmpeg::PrepareVideoFrame(TInputStreamState& input, AVFrame* picture) {
  ++Hooks.HookFrameNumber;
  const int64_t pts = input.Pts;
  const AVPixelFormat format = AVPixelFormat(picture->format);
  const int w = picture->width, h = picture->height;

  if (!CustomHookCallback && Settings.FrameHooksInUse) {
    if (BeforeHookCallback) {
      try {
        BeforeHookCallback.Func(BeforeHookCallback.Context, this, pts, Hooks.HookAction);
      } catch (const std::exception& e) {
        Log(0, std::string("Error occurs OnBeforeHook: ") + e.what());
        Hooks.HookAction = haStop;
      }
      if (Hooks.HookAction == haStop)
        Settings.FrameHooksInUse = false;
    } else if (Settings.HookRangeCount > 0) {
      Hooks.HookAction = haIgnore;
      for (int i = Hooks.HookRangeIndex; i < Settings.HookRangeCount; ++i) {
        const THookTimeRange& range = Settings.HookTimeRanges[i];
        if (range.Start <= pts && pts <= range.End) {
          Hooks.HookRangeIndex = i;
          Hooks.HookAction = haContinue;
          break;
        }
        if (i == Settings.HookRangeCount - 1 && range.End < pts) {
          Hooks.HookAction = haStop;
          Settings.FrameHooksInUse = false;
        }
      }
    }
  }

  TPlanes working;
  bool copied = false;
  if (Settings.Deinterlace || CustomHookCallback ||
      (Settings.FrameHooksInUse && Hooks.HookAction == haContinue)) {
    const int size = avutil::av_image_get_buffer_size(format, w, h, 1);
    if (!Reserve(Hooks.HookBuffer, Hooks.HookBufferSize, size)) {
      Log(0, "hook buf malloc error.");
      return;
    }
    avutil::av_image_fill_arrays(working.Data, working.Linesize, Hooks.HookBuffer.get(), format, w,
                                 h, 1);
    copied = true;
    if (Settings.Deinterlace) {
      if (!DeinterlacePlanes(working, picture, format, w, h)) {
        Log(0, "Deinterlacing failed.");
        copied = false;
      }
    } else {
      avutil::av_image_copy(working.Data, working.Linesize,
                            const_cast<const uint8_t**>(picture->data), picture->linesize, format,
                            w, h);
    }
  }
  if (!copied)
    for (int i = 0; i < 4; ++i) {
      working.Data[i] = picture->data[i];
      working.Linesize[i] = picture->linesize[i];
    }

  if (CustomHookCallback) {
    if (!Hooks.HookBitmap)
      Hooks.HookBitmap = std::make_unique<THookBitmap>();
    if (Hooks.HookBitmap->Width != w || Hooks.HookBitmap->Height != h) {
      // The first picture, or one of a new size: the hook draws on all of it.
      std::lock_guard<std::mutex> canvas(Hooks.HookBitmap->Canvas());
      Hooks.HookBitmap->SetSize(w, h);
    }
    bool stop = false;
    TPlanes rgb;
    if (format == AVPixelFormat(Settings.HookPixFmt)) {
      rgb = working;
    } else {
      const AVPixelFormat hookFormat = AVPixelFormat(Settings.HookPixFmt);
      const int size = avutil::av_image_get_buffer_size(hookFormat, w, h, 1);
      if (!Reserve(Hooks.HookRgbBuffer, Hooks.HookRgbBufferSize, size)) {
        Log(0, "hook buf malloc error.");
        stop = true;
      } else {
        avutil::av_image_fill_arrays(rgb.Data, rgb.Linesize, Hooks.HookRgbBuffer.get(), hookFormat,
                                     w, h, 1);
        Hooks.ToRgbScaler.reset(swscale::sws_getCachedContext(Hooks.ToRgbScaler.release(), w, h,
                                                              format, w, h, hookFormat, SWS_BICUBIC,
                                                              nullptr, nullptr, nullptr));
        if (!Hooks.ToRgbScaler) {
          Log(0, "Cannot initialize the toRGB conversion context");
          stop = true;
        } else {
          swscale::sws_scale(Hooks.ToRgbScaler.get(), working.Data, working.Linesize, 0, h,
                             rgb.Data, rgb.Linesize);
        }
      }
    }
    if (!stop) {
      THookBitmap& bitmap = *Hooks.HookBitmap;
      const int rowBytes = std::min(w, bitmap.Width) * 3;
      const int rows = std::min(h, bitmap.Height);
      for (int y = 0; y < rows; ++y)
        std::memcpy(bitmap.Row(y), rgb.Data[0] + ptrdiff_t(y) * rgb.Linesize[0], size_t(rowBytes));
      bool update = true;
      {
        std::lock_guard<std::mutex> canvas(bitmap.Canvas());
        try {
          CustomHookCallback.Func(CustomHookCallback.Context, this, bitmap, Hooks.HookFrameNumber,
                                  pts, update, stop);
        } catch (const std::exception& e) {
          Log(0, std::string("Error occurs OnCustomHook: ") + e.what());
          update = false;
        }
      }
      if (update) {
        for (int y = 0; y < rows; ++y)
          std::memcpy(rgb.Data[0] + ptrdiff_t(y) * rgb.Linesize[0], bitmap.Row(y), size_t(rowBytes));
        if (format != AVPixelFormat(Settings.HookPixFmt)) {
          Hooks.FromRgbScaler.reset(swscale::sws_getCachedContext(
              Hooks.FromRgbScaler.release(), w, h, AVPixelFormat(Settings.HookPixFmt), w, h, format,
              SWS_BICUBIC, nullptr, nullptr, nullptr));
          if (!Hooks.FromRgbScaler) {
            Log(0, "Cannot initialize the fromRGB conversion context");
            stop = true;
          } else {
            swscale::sws_scale(Hooks.FromRgbScaler.get(), rgb.Data, rgb.Linesize, 0, h,
                               working.Data, working.Linesize);
          }
        }
      }
    }
    if (stop) {
      CustomHookCallback = {};
      Hooks.HookAction = haStop;
      Settings.FrameHooksInUse = false;
    }
  } else if (Settings.FrameHooksInUse && Hooks.HookAction == haContinue) {
    KestroHookPicture hookPicture{};
    for (int i = 0; i < 4; ++i) {
      hookPicture.data[i] = working.Data[i];
      hookPicture.linesize[i] = working.Linesize[i];
    }
    ApplyHookModules(Settings.FirstHookModule, &hookPicture, format, w, h, pts);
  }

  if (copied)
    for (int i = 0; i < 4; ++i) {
      picture->data[i] = working.Data[i];
      picture->linesize[i] = working.Linesize[i];
    }
}

} // namespace kestro
