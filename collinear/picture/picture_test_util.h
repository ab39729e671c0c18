// Test support, not installed: tiny encoded pictures made on the spot.
// JPEG, PNG and BMP come from stb_image_write (a writer apart from the
// reader under test), TIFF and BigTIFF from libtiff's own writer, and two
// hand-made headers carry sizes far beyond the bytes that follow them.
#ifndef COLLINEAR_PICTURE_PICTURE_TEST_UTIL_H_
#define COLLINEAR_PICTURE_PICTURE_TEST_UTIL_H_

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tiffio.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#if defined(__clang__)
// The JPEG writer's bit buffer is a signed int that it shifts past the
// sign bit: harmless in practice, but UBSan stops on it.
#pragma clang attribute push(__attribute__((no_sanitize("shift"))), \
                             apply_to = function)
#endif
#include <stb_image_write.h>
#if defined(__clang__)
#pragma clang attribute pop
#endif

namespace collinear::test_support {

using Bytes = std::vector<unsigned char>;

// A grey ramp of w x h pixels with three channels.
inline std::vector<unsigned char> Ramp(int w, int h) {
  std::vector<unsigned char> px(static_cast<std::size_t>(w) * h * 3);
  for (std::size_t k = 0; k < px.size(); ++k)
    px[k] = static_cast<unsigned char>(k * 7);
  return px;
}

inline void AppendTo(void* context, void* data, int size) {
  auto* out = static_cast<Bytes*>(context);
  const auto* p = static_cast<const unsigned char*>(data);
  out->insert(out->end(), p, p + size);
}

inline Bytes PngBytes(int w, int h) {
  Bytes out;
  const auto px = Ramp(w, h);
  EXPECT_TRUE(stbi_write_png_to_func(AppendTo, &out, w, h, 3, px.data(), 0));
  return out;
}

inline Bytes JpegBytes(int w, int h) {
  Bytes out;
  const auto px = Ramp(w, h);
  EXPECT_TRUE(stbi_write_jpg_to_func(AppendTo, &out, w, h, 3, px.data(), 90));
  return out;
}

inline Bytes BmpBytes(int w, int h) {
  Bytes out;
  const auto px = Ramp(w, h);
  EXPECT_TRUE(stbi_write_bmp_to_func(AppendTo, &out, w, h, 3, px.data()));
  return out;
}

// A file name of the running test's own (tests may run in parallel).
inline std::string TempPath(const std::string& name) {
  const ::testing::TestInfo* t =
      ::testing::UnitTest::GetInstance()->current_test_info();
  std::string tag = t ? std::string(t->test_suite_name()) + "_" + t->name()
                      : std::string("none");
  for (char& c : tag)
    if (c == '/') c = '_';
  return ::testing::TempDir() + "collinear_" + tag + "_" + name;
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in),
               std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// An 8-bit grey TIFF of w x h pixels in one strip, written by libtiff to
// path; big: BigTIFF; motorola: big-endian byte order.
inline void WriteTiff(const std::string& path,
                      std::uint32_t w,
                      std::uint32_t h,
                      bool big,
                      bool motorola) {
  std::string mode = "w";
  if (big) mode += "8";
  mode += motorola ? "b" : "l";
  TIFF* tif = TIFFOpen(path.c_str(), mode.c_str());
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, h);
  std::vector<unsigned char> row(w);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x)
      row[x] = static_cast<unsigned char>(x + y);
    ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, 0), 1);
  }
  TIFFClose(tif);
}

inline Bytes TiffBytes(std::uint32_t w,
                       std::uint32_t h,
                       bool big,
                       bool motorola) {
  const std::string path = TempPath(big ? "fixture.btf" : "fixture.tif");
  WriteTiff(path, w, h, big, motorola);
  Bytes bytes = ReadFile(path);
  std::remove(path.c_str());
  return bytes;
}

// The start of a baseline JPEG: SOI and a frame header of three components,
// no tables and no scan.
inline Bytes JpegHeaderOnly(std::uint16_t w, std::uint16_t h) {
  return Bytes{0xFF,
               0xD8,  // SOI
               0xFF,
               0xC0,
               0x00,
               0x11,
               0x08,  // SOF0, 8 bit
               static_cast<unsigned char>(h >> 8),
               static_cast<unsigned char>(h & 0xFF),
               static_cast<unsigned char>(w >> 8),
               static_cast<unsigned char>(w & 0xFF),
               0x03,  // components
               0x01,
               0x11,
               0x00,
               0x02,
               0x11,
               0x00,
               0x03,
               0x11,
               0x00};
}

// A PNG signature and its IHDR chunk (CRC left zero), no image data.
inline Bytes PngHeaderOnly(std::uint32_t w, std::uint32_t h) {
  Bytes b = {0x89,
             'P',
             'N',
             'G',
             0x0D,
             0x0A,
             0x1A,
             0x0A,
             0x00,
             0x00,
             0x00,
             0x0D,
             'I',
             'H',
             'D',
             'R'};
  for (std::uint32_t v : {w, h})
    for (int s = 24; s >= 0; s -= 8)
      b.push_back(static_cast<unsigned char>((v >> s) & 0xFF));
  const unsigned char rest[] = {8, 2, 0, 0, 0, 0, 0, 0, 0};  // RGB, 8 bit
  b.insert(b.end(), std::begin(rest), std::end(rest));
  return b;
}

}  // namespace collinear::test_support

#endif  // COLLINEAR_PICTURE_PICTURE_TEST_UTIL_H_
