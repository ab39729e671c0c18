#include <collinear/picture/picture_info.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/picture/picture_test_util.h>

using collinear::ComPtr;
using collinear::PictureFormat;
using collinear::PictureInfo;
using collinear::test_support::Bytes;

namespace {

PictureInfo Marker() {
  PictureInfo m;
  m.format = PictureFormat::kPng;
  m.width = 4242;
  m.height = 2121;
  return m;
}

bool Read(const Bytes& bytes, PictureInfo* info) {
  ComPtr<collinear::MemoryStream> s = collinear::MemoryStream::Create(bytes);
  return collinear::ReadPictureInfo(s.get(), info);
}

void ExpectUnreadable(const Bytes& bytes) {
  PictureInfo info = Marker();
  EXPECT_FALSE(Read(bytes, &info));
  EXPECT_EQ(info.format, PictureFormat::kPng);  // untouched
  EXPECT_EQ(info.width, 4242u);
  EXPECT_EQ(info.height, 2121u);
}

struct Fixture {
  const char* what;
  Bytes bytes;
  PictureFormat format;
  std::uint32_t width, height;
};

// Odd, unequal sizes so that a swap of width and height shows.
std::vector<Fixture> Fixtures() {
  namespace ts = collinear::test_support;
  return {
      {"jpeg", ts::JpegBytes(37, 21), PictureFormat::kJpeg, 37, 21},
      {"png", ts::PngBytes(33, 7), PictureFormat::kPng, 33, 7},
      {"bmp", ts::BmpBytes(5, 11), PictureFormat::kBmp, 5, 11},
      {"tiff ii",
       ts::TiffBytes(19, 3, false, false),
       PictureFormat::kTiff,
       19,
       3},
      {"tiff mm",
       ts::TiffBytes(3, 19, false, true),
       PictureFormat::kTiff,
       3,
       19},
      {"bigtiff ii",
       ts::TiffBytes(23, 9, true, false),
       PictureFormat::kBigTiff,
       23,
       9},
      {"bigtiff mm",
       ts::TiffBytes(9, 23, true, true),
       PictureFormat::kBigTiff,
       9,
       23},
      // Headers that promise far more pixels than follow: only the header
      // is read, nothing is decoded.
      {"jpeg header",
       ts::JpegHeaderOnly(4000, 3000),
       PictureFormat::kJpeg,
       4000,
       3000},
      {"png header",
       ts::PngHeaderOnly(20000, 12000),
       PictureFormat::kPng,
       20000,
       12000},
  };
}

}  // namespace

TEST(ReadPictureInfo, SizeOfEachFormatFromMemory) {
  for (const Fixture& f : Fixtures()) {
    SCOPED_TRACE(f.what);
    PictureInfo info;
    ASSERT_TRUE(Read(f.bytes, &info));
    EXPECT_EQ(info.format, f.format);
    EXPECT_EQ(info.width, f.width);
    EXPECT_EQ(info.height, f.height);
  }
}

TEST(ReadPictureInfo, SizeFromAFileReadFromItsStartWhereverItStands) {
  for (const Fixture& f : Fixtures()) {
    SCOPED_TRACE(f.what);
    const std::string path = collinear::test_support::TempPath("picture");
    collinear::test_support::WriteFile(path, f.bytes);
    ComPtr<collinear::FileStream> s = collinear::FileStream::Open(path);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->Seek(3, STREAM_SEEK_SET, nullptr), S_OK);
    PictureInfo info;
    EXPECT_TRUE(collinear::ReadPictureInfo(s.get(), &info));
    EXPECT_EQ(info.width, f.width);
    EXPECT_EQ(info.height, f.height);
    // Twice from the same stream: the first read leaves nothing behind.
    EXPECT_TRUE(collinear::ReadPictureInfo(s.get(), &info));
    EXPECT_EQ(info.width, f.width);
    s.reset();
    std::remove(path.c_str());
  }
}

TEST(ReadPictureInfo, TruncatedPicturesAreUnreadable) {
  for (const Fixture& f : Fixtures()) {
    SCOPED_TRACE(f.what);
    // Cut inside the header (TIFF: its directory follows the pixels, so
    // any cut before the end loses it; this one loses part of it).
    std::size_t keep = 0;
    switch (f.format) {
      case PictureFormat::kJpeg:
        keep = 12;  // inside the frame header
        break;
      case PictureFormat::kPng:
        keep = 20;  // inside IHDR
        break;
      case PictureFormat::kBmp:
        keep = 16;  // before the size fields
        break;
      default:
        keep = f.bytes.size() - 20;
        break;
    }
    ExpectUnreadable(Bytes(f.bytes.begin(), f.bytes.begin() + keep));
  }
  ExpectUnreadable(Bytes{});
  ExpectUnreadable(Bytes{0xFF, 0xD8});
}

TEST(ReadPictureInfo, CorruptOrForeignBytesAreUnreadable) {
  namespace ts = collinear::test_support;
  std::mt19937 rng(9);
  Bytes noise(512);
  for (auto& b : noise) b = static_cast<unsigned char>(rng());
  noise[0] = 'G';  // no picture magic
  ExpectUnreadable(noise);
  ExpectUnreadable(Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0});

  // TIFF whose first directory lies beyond the end.
  ExpectUnreadable(Bytes{'I', 'I', 42, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0});
  // BigTIFF with a directory offset past 2^63.
  ExpectUnreadable(Bytes{'M',
                         'M',
                         0,
                         43,
                         0,
                         8,
                         0,
                         0,
                         0xFF,
                         0xFF,
                         0xFF,
                         0xFF,
                         0xFF,
                         0xFF,
                         0xFF,
                         0xFF});
  // PNG whose first chunk is not IHDR; JPEG without a frame header.
  Bytes png = ts::PngHeaderOnly(10, 10);
  png[12] = 'X';
  ExpectUnreadable(png);
  ExpectUnreadable(Bytes{0xFF, 0xD8, 0xFF, 0xD9});
  // Beyond stb's limit for PNG (2^30 bytes decoded) the size is refused.
  ExpectUnreadable(ts::PngHeaderOnly(100000, 70000));
  // Zero-sized pictures have no size to give.
  ExpectUnreadable(ts::PngHeaderOnly(0, 10));
  ExpectUnreadable(ts::JpegHeaderOnly(10, 0));
  // A TIFF directory that lost its pixel count: every byte of the tag
  // entries zeroed.
  Bytes tif = ts::TiffBytes(8, 8, false, false);
  const std::uint32_t ifd =
      tif[4] | (tif[5] << 8) | (tif[6] << 16) | (std::uint32_t{tif[7]} << 24);
  ASSERT_LT(ifd + 2u, tif.size());
  for (std::size_t k = ifd + 2; k < tif.size(); ++k) tif[k] = 0;
  ExpectUnreadable(tif);
}

TEST(ReadPictureInfo, NullArgumentsAreRefused) {
  PictureInfo info = Marker();
  EXPECT_FALSE(collinear::ReadPictureInfo(nullptr, &info));
  EXPECT_EQ(info.width, 4242u);
  ComPtr<collinear::MemoryStream> s =
      collinear::MemoryStream::Create(collinear::test_support::PngBytes(2, 2));
  EXPECT_FALSE(collinear::ReadPictureInfo(s.get(), nullptr));
}

TEST(AttachPicture, ImageAnswersWithItsStreamUntilWithdrawn) {
  ComPtr<collinear::HostObject> image = collinear::HostObject::Create();
  void* out = nullptr;
  EXPECT_EQ(image->QueryInterface(IID_IImagePicture, &out), E_NOINTERFACE);

  ComPtr<collinear::MemoryStream> s =
      collinear::MemoryStream::Create(collinear::test_support::PngBytes(4, 3));
  collinear::AttachPicture(*image, s.get());
  ComPtr<IImagePicture> picture =
      ComPtr<IImagePicture>::Query(image.get(), IID_IImagePicture);
  ASSERT_TRUE(picture);
  ComPtr<IStream> got;
  ASSERT_EQ(picture->GetPictureStream(got.put()), S_OK);
  EXPECT_EQ(got.get(), static_cast<IStream*>(s.get()));
  // The interface leads back to the image.
  ComPtr<IPropertyObject> back =
      ComPtr<IPropertyObject>::Query(picture.get(), IID_IPropertyObject);
  EXPECT_EQ(back.get(), static_cast<IPropertyObject*>(image.get()));

  collinear::AttachPicture(*image, nullptr);
  EXPECT_EQ(image->QueryInterface(IID_IImagePicture, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}
