// Mutated media opened by the probe, then every stream's information read.
// The bytes sit in an anonymous memory file that the probe opens by its
// /proc name, so no file is made on disk.
#include "AVProbe.h"
#include "FuzzSupport.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

using namespace kestro;

namespace {

int MemoryFile() {
  static const int fd = memfd_create("kestro-fuzz-media", MFD_CLOEXEC);
  return fd;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LoadLibrariesOnce();
  fuzz::Check(MemoryFile() >= 0, "an anonymous memory file can be made");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = MemoryFile();
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
    return 0;
  TAVProbe probe;
  probe.Enable();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (!probe.Open(path)) {
    fuzz::Check(!probe.LastError.empty(), "a refused file says why");
    fuzz::Check(probe.StreamCount == -1, "a refused file has no streams");
    return 0;
  }
  fuzz::Check(probe.StreamCount >= 0, "an opened file counts its streams");
  fuzz::Check(probe.AudioStreamCount + probe.VideoStreamCount + probe.SubtitleStreamCount <=
                  probe.StreamCount,
              "kinds add up to no more than the streams");
  TAudioStreamInfo audio;
  TVideoStreamInfo video;
  probe.GetAudioInfo(audio);
  probe.GetVideoInfo(video);
  for (int i = -1; i <= probe.StreamCount; ++i) {
    probe.GetAudioStreamInfo(i, audio);
    probe.GetVideoStreamInfo(i, video);
    fuzz::Check(audio.Language[3] == '\0' && audio.CodecName[31] == '\0' &&
                    video.Language[3] == '\0' && video.CodecName[31] == '\0',
                "texts stay terminated");
  }
  fuzz::Check(probe.GetFileName() == path, "the probe names the file it opened");
  probe.Close();
  return 0;
}
