#include "PictureOps.h"
#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kestro;
using namespace kestro::test;

namespace {

TFramePtr Blank(AVPixelFormat format, int width = 8, int height = 4) {
  TFramePtr f(avutil::av_frame_alloc());
  f->format = format;
  f->width = width;
  f->height = height;
  EXPECT_GE(avutil::av_frame_get_buffer(f.get(), 0), 0);
  return f;
}

std::vector<int> Bytes(const uint8_t* p, int count) {
  return std::vector<int>(p, p + count);
}

constexpr int White[3] = {235, 128, 128};
constexpr int Red[3] = {81, 90, 240};

} // namespace

// The pad colour lands in each component where the format keeps it, at its
// depth, and as RGB for RGB formats.
TEST(PictureOps, FillWritesTheColourInEveryLayout) {
  LoadLibrariesOrFail();
  struct Case {
    AVPixelFormat Format;
    const int* Colour;
    std::vector<std::vector<int>> FirstBytes; // per plane, from the top-left pixel on
  } cases[] = {
      {AV_PIX_FMT_YUV420P, White, {{235, 235}, {128}, {128}}},
      {AV_PIX_FMT_RGB24, White, {{255, 255, 255, 255, 255, 255}}},
      {AV_PIX_FMT_BGRA, Red, {{0, 0, 254, 255}}},
      {AV_PIX_FMT_YUYV422, White, {{235, 128, 235, 128}}},
      {AV_PIX_FMT_NV12, Red, {{81, 81}, {90, 240, 90, 240}}},
      {AV_PIX_FMT_YUV420P10LE, White, {{0xac, 0x03}, {0x00, 0x02}, {0x00, 0x02}}},
      {AV_PIX_FMT_GRAY16BE, White, {{0xeb, 0x00}}},
      {AV_PIX_FMT_YUVA420P, Red, {{81}, {90}, {240}, {255}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(avutil::av_get_pix_fmt_name(c.Format));
    TFramePtr f = Blank(c.Format);
    ASSERT_TRUE(FillPicture(PictureOf(f.get()), c.Format, 0, 0, 8, 4, c.Colour));
    for (size_t p = 0; p < c.FirstBytes.size(); ++p) {
      const std::vector<int>& expected = c.FirstBytes[p];
      EXPECT_EQ(Bytes(f->data[p], int(expected.size())), expected) << "plane " << p;
      // The last row is painted too.
      EXPECT_EQ(
          Bytes(f->data[p] + (p == 1 || p == 2 ? 1 : 3) * f->linesize[p], int(expected.size())),
          expected)
          << "plane " << p;
    }
  }
  // Palettes, bit-packed pixels and shifted components have no byte per component.
  for (AVPixelFormat unsupported : {AV_PIX_FMT_PAL8, AV_PIX_FMT_MONOWHITE, AV_PIX_FMT_P010LE}) {
    TFramePtr f = Blank(unsupported);
    EXPECT_FALSE(FillPicture(PictureOf(f.get()), unsupported, 0, 0, 8, 4, White))
        << avutil::av_get_pix_fmt_name(unsupported);
  }
}

TEST(PictureOps, CropMovesEveryPlaneInStep) {
  LoadLibrariesOrFail();
  struct Case {
    AVPixelFormat Format;
    int Top, Left;
    bool Succeeds;
    std::vector<int> Offsets; // bytes from the plane start, in rows of linesize and bytes
  } cases[] = {
      {AV_PIX_FMT_YUV420P, 2, 4, true, {2, 4, 1, 2, 1, 2}},
      {AV_PIX_FMT_NV12, 2, 4, true, {2, 4, 1, 4}},
      // Inside a Y-U-Y-V group the offset rounds down to the group.
      {AV_PIX_FMT_YUYV422, 1, 3, true, {1, 4}},
      {AV_PIX_FMT_RGB24, 1, 3, true, {1, 9}},
      {AV_PIX_FMT_YUV420P10LE, 2, 2, true, {2, 4, 1, 2, 1, 2}},
      {AV_PIX_FMT_MONOWHITE, 0, 8, false, {}},
      {AV_PIX_FMT_YUV420P, 4, 0, false, {}}, // the picture has 4 rows
      {AV_PIX_FMT_YUV420P, 0, 8, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(avutil::av_get_pix_fmt_name(c.Format)) + " " + std::to_string(c.Top) +
                 "," + std::to_string(c.Left));
    TFramePtr f = Blank(c.Format);
    const TPicture source = PictureOf(f.get());
    TPicture view;
    ASSERT_EQ(CropPicture(view, source, c.Format, 8, 4, c.Top, c.Left), c.Succeeds);
    for (size_t p = 0; p < c.Offsets.size() / 2; ++p)
      EXPECT_EQ(view.Data[p] - source.Data[p],
                c.Offsets[2 * p] * source.Linesize[p] + c.Offsets[2 * p + 1])
          << "plane " << p;
  }
}
