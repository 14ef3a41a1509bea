// The 24-bit picture handed to a custom hook: rows of blue, green, red bytes.
// Plain memory with a lock, so a window can wrap the rows without copying.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace kestro {

class THookBitmap {
public:
  void SetSize(int width, int height) {
    Width = width;
    Height = height;
    Stride = (width * 3 + 3) & ~3; // rows start on 4-byte boundaries
    Bits.assign(static_cast<size_t>(Stride) * height, 0);
  }
  int Width = 0;
  int Height = 0;
  int Stride = 0;
  uint8_t* Row(int y) { return Bits.data() + static_cast<size_t>(y) * Stride; }
  uint8_t* Data() { return Bits.data(); }
  // Held by the engine while the hook draws: anyone else touching the rows
  // takes it too.
  std::mutex& Canvas() { return CanvasLock; }

private:
  std::vector<uint8_t> Bits;
  std::mutex CanvasLock;
};

} // namespace kestro
