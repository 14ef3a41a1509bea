// Tells what a media file holds: stream counts by kind and the properties of
// its audio and video streams.
#pragma once

#include "MediaLibs.h"

#include <cstdint>
#include <string>

namespace kestro {

// What audio and video stream records share, in this order.
struct TStreamInfoCommon {
  char Language[4];
  char CodecName[32];
  int64_t StartTime;
  int64_t StartTimeUS;
  int64_t Duration;
  int64_t DurationUS;
  int BitRate;
};

struct TAudioStreamInfo : TStreamInfoCommon {
  int Channels;
  int SampleRate;
  int SampleFormat;
};

struct TVideoStreamInfo : TStreamInfoCommon {
  int Height;
  int Width;
  float DisplayAspect;
  int PixelFormat;
  int FrameRateNum;
  int FrameRateDen;
  // Clockwise degrees the stream's pictures are to be shown turned by (0,
  // 90, 180, 270); -1 for a turn that is not a right angle.
  int Rotation;
};

class TAVProbe {
public:
  TAVProbe() { CountStreams(); }
  ~TAVProbe() { Close(); }
  TAVProbe(const TAVProbe&) = delete;
  TAVProbe& operator=(const TAVProbe&) = delete;

  void Enable() { Enabled = true; }
  bool Open(const std::string& fileName, const std::string& formatName = {});
  // Examines a context someone else opened; Close leaves it open.
  void Attach(AVFormatContext* context);
  void Close();
  bool LoadLibraries(const std::string& folder, bool versioned = true);
  void UnloadLibraries();
  void GetAudioInfo(TAudioStreamInfo& info) const { GetAudioStreamInfo(-1, info); }
  void GetVideoInfo(TVideoStreamInfo& info) const { GetVideoStreamInfo(-1, info); }
  void GetAudioStreamInfo(int index, TAudioStreamInfo& info) const;
  void GetVideoStreamInfo(int index, TVideoStreamInfo& info) const;
  std::string GetFileName() const;
  static std::string FormatOpenError(const std::string& fileName, int errorCode);

  AVFormatContext* FormatContext = nullptr;
  bool OwnsContext = false;
  std::string LastError;
  std::string FormatName;
  int StreamCount = -1;
  int AudioStreamCount = -1, VideoStreamCount = -1, SubtitleStreamCount = -1;
  int FirstAudioStream = -1, FirstVideoStream = -1, FirstSubtitleStream = -1;
  int CoverPictureCount = 0; // attached pictures, not counted as video streams
  bool Enabled = false;

private:
  static void CheckLibraries();
  void CountStreams();
  // The stream `index` (negative: the first of `type`) when it is of that
  // type; otherwise logs why not and returns null.
  const AVStream* StreamOfType(int index, AVMediaType type, const char* kind) const;
};

} // namespace kestro
