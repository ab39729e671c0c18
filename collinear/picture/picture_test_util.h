// Test support, not installed: tiny encoded pictures made on the spot.
// JPEG, PNG and BMP come from stb_image_write (a writer apart from the
// reader under test), TIFF and BigTIFF from libtiff's own writer.
#ifndef COLLINEAR_PICTURE_PICTURE_TEST_UTIL_H_
#define COLLINEAR_PICTURE_PICTURE_TEST_UTIL_H_

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

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

// A grey ramp of w x h pixels with three channels, encoded by one of stb's
// writers (extra: its quality or stride argument, if it takes one).
template <class Writer, class... Extra>
Bytes StbBytes(Writer write, int w, int h, Extra... extra) {
  Bytes px(static_cast<std::size_t>(w) * h * 3), out;
  for (std::size_t k = 0; k < px.size(); ++k)
    px[k] = static_cast<unsigned char>(k * 7);
  auto append = [](void* context, void* data, int size) {
    const auto* p = static_cast<const unsigned char*>(data);
    static_cast<Bytes*>(context)->insert(
        static_cast<Bytes*>(context)->end(), p, p + size);
  };
  EXPECT_TRUE(write(append, &out, w, h, 3, px.data(), extra...));
  return out;
}
inline Bytes PngBytes(int w, int h) {
  return StbBytes(stbi_write_png_to_func, w, h, 0);
}
inline Bytes JpegBytes(int w, int h) {
  return StbBytes(stbi_write_jpg_to_func, w, h, 90);
}

// A file name of this process's own (tests run in parallel processes).
inline std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + std::to_string(getpid()) + "_" + name;
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// An 8-bit grey TIFF of w x h pixels in one strip, written by libtiff; big:
// BigTIFF; motorola: big-endian byte order.
inline Bytes TiffBytes(std::uint32_t w,
                       std::uint32_t h,
                       bool big,
                       bool motorola) {
  const std::string path = TempPath("fixture.tif");
  TIFF* tif =
      TIFFOpen(path.c_str(),
               big ? (motorola ? "w8b" : "w8l") : (motorola ? "wb" : "wl"));
  EXPECT_NE(tif, nullptr);
  if (!tif) return Bytes();
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  Bytes px(static_cast<std::size_t>(w) * h, 0x80);
  TIFFWriteEncodedStrip(tif, 0, px.data(), static_cast<tmsize_t>(px.size()));
  TIFFClose(tif);
  std::ifstream in(path, std::ios::binary);
  Bytes bytes{std::istreambuf_iterator<char>(in), {}};
  std::remove(path.c_str());
  return bytes;
}

}  // namespace collinear::test_support

#endif  // COLLINEAR_PICTURE_PICTURE_TEST_UTIL_H_
