#include <collinear/picture/picture_info.h>

#include <cstddef>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/picture/picture_test_util.h>

namespace {

using collinear::ComPtr;
using collinear::PictureInfo;
using collinear::test_support::Bytes;
using F = collinear::PictureFormat;
namespace ts = collinear::test_support;

template <std::size_t n>
Bytes Literal(const char (&text)[n]) {
  return Bytes(text, text + n - 1);
}

// A header alone of w x h pixels: a PNG's signature and IHDR chunk (CRC
// left zero) or a baseline JPEG's SOI and three-component frame header.
Bytes Header(bool png, std::uint32_t w, std::uint32_t h) {
  Bytes b = png ? Literal(
                      "\x89PNG\r\n\x1A\n\x00\x00\x00\x0DIHDRwwwwhhhh"
                      "\x08\x02\x00\x00\x00\x00\x00\x00\x00")
                : Literal(
                      "\xFF\xD8\xFF\xC0\x00\x11\x08hhww\x03\x01\x11\x00"
                      "\x02\x11\x00\x03\x11\x00");
  const int n = png ? 4 : 2;  // big-endian sizes: PNG w, h; JPEG h, w
  const std::uint32_t at[2] = {png ? 16u : 9u, png ? 20u : 7u}, v[2] = {w, h};
  for (int i = 0; i < 2; ++i)
    for (int k = 0; k < n; ++k)
      b[at[i] + k] = static_cast<unsigned char>(v[i] >> (8 * (n - 1 - k)));
  return b;
}

// Reads bytes (null: no stream) into a marked info from a stream left at
// byte 3; true when it was read (and a second read finds the same: the
// picture is read from its start and the first read leaves nothing
// behind), else the marker must be untouched.
bool Read(const Bytes* bytes, PictureInfo* info) {
  *info = PictureInfo{F::kPng, 4242, 2121};
  ComPtr<collinear::MemoryStream> s;
  if (bytes) s = collinear::MemoryStream::Create(*bytes);
  if (s) s->Seek(3, STREAM_SEEK_SET, nullptr);
  PictureInfo again;
  if (collinear::ReadPictureInfo(s.get(), info)) {
    EXPECT_TRUE(collinear::ReadPictureInfo(s.get(), &again));
    EXPECT_EQ(again.width * 100000 + again.height,
              info->width * 100000 + info->height);
    return true;
  }
  EXPECT_EQ(info->format, F::kPng);
  EXPECT_EQ(info->width + info->height, 4242u + 2121u);
  return false;
}

}  // namespace

TEST(ReadPictureInfo, SizeOfEachFormatButNotCut) {
  const struct {
    const char* what;
    Bytes bytes;
    F format;
    std::uint32_t width, height;
    std::size_t cut;  // a length that ends inside the header
  } cases[] = {
      // Odd, unequal sizes so that a swap of width and height shows.
      {"jpeg", ts::JpegBytes(37, 21), F::kJpeg, 37, 21, 12},
      {"png", ts::PngBytes(33, 7), F::kPng, 33, 7, 20},
      {"bmp", ts::StbBytes(stbi_write_bmp_to_func, 5, 11), F::kBmp, 5, 11, 16},
      // TIFF: the directory follows the pixels; 20 bytes short loses part.
      {"tiff ii", ts::TiffBytes(19, 3, false, false), F::kTiff, 19, 3, 0},
      {"bigtiff mm", ts::TiffBytes(9, 23, true, true), F::kBigTiff, 9, 23, 0},
      // Headers that promise far more pixels than follow: only the header
      // is read, nothing is decoded.
      {"jpeg header", Header(false, 4000, 3000), F::kJpeg, 4000, 3000, 12},
      {"png header", Header(true, 20000, 12000), F::kPng, 20000, 12000, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PictureInfo info;
    ASSERT_TRUE(Read(&c.bytes, &info));
    EXPECT_EQ(info.format, c.format);
    EXPECT_EQ(info.width, c.width);
    EXPECT_EQ(info.height, c.height);
    const Bytes cut(c.bytes.begin(),
                    c.bytes.begin() + static_cast<std::ptrdiff_t>(
                                          c.cut ? c.cut : c.bytes.size() - 20));
    EXPECT_FALSE(Read(&cut, &info));
  }
}

TEST(ReadPictureInfo, CorruptForeignOrMissingPicturesAreUnreadable) {
  Bytes png_not_ihdr = Header(true, 10, 10);
  png_not_ihdr[12] = 'X';
  // A TIFF directory that lost its pixel count: every byte of the tag
  // entries zeroed.
  Bytes tif = ts::TiffBytes(8, 8, false, false);
  const std::uint32_t ifd = tif[4] | (tif[5] << 8) | (tif[6] << 16);
  ASSERT_LT(ifd + 2u, tif.size());
  std::fill(tif.begin() + ifd + 2, tif.end(), 0);
  // clang-format off
  const Bytes cases[] = {
      {}, Literal("\xFF\xD8"),
      Literal("\xFF\xD8\xFF\xD9"),  // JPEG without a frame header
      Literal("GIF89a\x01\x00\x01\x00"),
      Literal("II\x2A\x00\xFF\xFF\xFF\x7F\x00\x00"),  // directory beyond the end
      Literal("MM\x00\x2B\x00\x08\x00\x00\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"), png_not_ihdr,
      Header(true, 100000, 70000),  // beyond stb's limit of 2^30 bytes decoded
      Header(true, 0, 10), Header(false, 10, 0),  // zero-sized: no size to give
      tif};
  // clang-format on
  for (const Bytes& bytes : cases) {
    SCOPED_TRACE(&bytes - cases);
    PictureInfo info;
    EXPECT_FALSE(Read(&bytes, &info));
  }
  PictureInfo info;
  EXPECT_FALSE(Read(nullptr, &info));
  const Bytes png = ts::PngBytes(2, 2);
  EXPECT_FALSE(collinear::ReadPictureInfo(
      collinear::MemoryStream::Create(png).get(), nullptr));
}

TEST(AttachPicture, ImageAnswersWithItsStreamUntilWithdrawn) {
  ComPtr<collinear::HostObject> image = collinear::HostObject::Create();
  ComPtr<collinear::MemoryStream> s =
      collinear::MemoryStream::Create(ts::PngBytes(4, 3));
  collinear::AttachPicture(*image, s.get());
  auto picture = ComPtr<IImagePicture>::Query(image.get(), IID_IImagePicture);
  ASSERT_TRUE(picture);
  ComPtr<IStream> got;
  ASSERT_EQ(picture->GetPictureStream(got.put()), S_OK);
  EXPECT_EQ(got.get(), static_cast<IStream*>(s.get()));
  // The interface leads back to the image.
  EXPECT_EQ(
      ComPtr<IPropertyObject>::Query(picture.get(), IID_IPropertyObject).get(),
      static_cast<IPropertyObject*>(image.get()));
  collinear::AttachPicture(*image, nullptr);
  void* out = &image;
  EXPECT_EQ(image->QueryInterface(IID_IImagePicture, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}
