#include <collinear/picture/picture_info.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <limits>

#include <tiffio.h>

// stb_image, compiled into this file only: JPEG, PNG and BMP headers, no
// file access, no global failure text (nothing shared between threads).
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STBI_NO_FAILURE_STRINGS
#define STBI_NO_LINEAR
#if defined(__GNUC__) && !defined(__clang__)
// g++ sees through stb's PNG state after inlining and suspects fields that
// the header parse always sets before use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <stb_image.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace collinear {

// ------------------------------------------------------------ the picture

namespace {

// The IImagePicture of an image object: hands out the picture stream and
// gives every other interface back from the image itself.
class PictureTearOff : public IImagePicture {
 public:
  PictureTearOff(IPropertyObject* image, IStream* picture)
      : image_(image), picture_(picture) {}

  HRESULT QueryInterface(const GUID& iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IImagePicture) {
      AddRef();
      *out = static_cast<IImagePicture*>(this);
      return S_OK;
    }
    return image_->QueryInterface(iid, out);
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT GetPictureStream(IStream** out) override {
    if (!out) return E_POINTER;
    *out = picture_.get();
    if (!*out) return S_FALSE;
    (*out)->AddRef();
    return S_OK;
  }

 private:
  virtual ~PictureTearOff() = default;
  std::atomic<ULONG> refs_{0};
  ComPtr<IPropertyObject> image_;
  ComPtr<IStream> picture_;
};

}  // namespace

void AttachPicture(HostObject& image, IStream* picture) {
  if (!picture) {
    image.ExposeInterface(IID_IImagePicture, nullptr);
    return;
  }
  ComPtr<IStream> held(picture);
  image.ExposeInterface(IID_IImagePicture,
                        [held](IPropertyObject* owner, void** out) {
                          auto* p = new PictureTearOff(owner, held.get());
                          p->AddRef();
                          *out = static_cast<IImagePicture*>(p);
                          return S_OK;
                        });
}

// ---------------------------------------------------------- header sniffing

namespace {

PictureFormat Sniff(const unsigned char* h, ULONG n) {
  static const unsigned char kPng[8] = {
      0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (n >= 3 && h[0] == 0xFF && h[1] == 0xD8 && h[2] == 0xFF)
    return PictureFormat::kJpeg;
  if (n >= 8 && std::memcmp(h, kPng, 8) == 0) return PictureFormat::kPng;
  if (n >= 2 && h[0] == 'B' && h[1] == 'M') return PictureFormat::kBmp;
  if (n >= 4) {
    const bool ii = h[0] == 'I' && h[1] == 'I' && h[3] == 0;
    const bool mm = h[0] == 'M' && h[1] == 'M' && h[2] == 0;
    const unsigned char version = ii ? h[2] : h[3];
    if ((ii || mm) && version == 42) return PictureFormat::kTiff;
    if ((ii || mm) && version == 43) return PictureFormat::kBigTiff;
  }
  return PictureFormat::kUnknown;
}

// ------------------------------------------------- JPEG, PNG, BMP by stb

struct StbSource {
  IStream* stream;
  bool at_end;
};

int StbRead(void* user, char* data, int size) {
  auto* src = static_cast<StbSource*>(user);
  ULONG got = 0;
  if (size <= 0) return 0;
  if (src->stream->Read(data, static_cast<ULONG>(size), &got) != S_OK)
    src->at_end = true;
  return static_cast<int>(got);
}

void StbSkip(void* user, int n) {
  auto* src = static_cast<StbSource*>(user);
  src->at_end = false;
  if (src->stream->Seek(n, STREAM_SEEK_CUR, nullptr) < 0) src->at_end = true;
}

int StbEof(void* user) { return static_cast<StbSource*>(user)->at_end; }

bool ReadStbSize(IStream* stream, std::uint32_t* width, std::uint32_t* height) {
  const stbi_io_callbacks io = {StbRead, StbSkip, StbEof};
  StbSource src = {stream, false};
  int x = 0, y = 0, comp = 0;
  if (!stbi_info_from_callbacks(&io, &src, &x, &y, &comp)) return false;
  if (x <= 0 || y <= 0) return false;
  *width = static_cast<std::uint32_t>(x);
  *height = static_cast<std::uint32_t>(y);
  return true;
}

// -------------------------------------------------- TIFF, BigTIFF by libtiff

// Largest single allocation libtiff may make for a directory: ample for the
// tag arrays of any real picture, small enough that a corrupt count fails
// early instead of exhausting memory.
constexpr tmsize_t kTiffMaxAlloc = tmsize_t{64} << 20;

struct TiffSource {
  IStream* stream;
  std::uint64_t size;
};

tmsize_t TiffRead(thandle_t h, void* buffer, tmsize_t size) {
  auto* src = static_cast<TiffSource*>(h);
  auto* out = static_cast<unsigned char*>(buffer);
  tmsize_t total = 0;
  while (total < size) {
    const tmsize_t left = size - total;
    const ULONG chunk =
        left > tmsize_t{1 << 30} ? ULONG{1u << 30} : static_cast<ULONG>(left);
    ULONG got = 0;
    const HRESULT hr = src->stream->Read(out + total, chunk, &got);
    if (hr < 0) return total > 0 ? total : -1;
    total += got;
    if (got < chunk) break;
  }
  return total;
}

tmsize_t TiffWrite(thandle_t, void*, tmsize_t) { return -1; }  // read-only

toff_t TiffSeek(thandle_t h, toff_t offset, int whence) {
  auto* src = static_cast<TiffSource*>(h);
  std::uint32_t origin = STREAM_SEEK_SET;
  if (whence == SEEK_CUR) origin = STREAM_SEEK_CUR;
  if (whence == SEEK_END) origin = STREAM_SEEK_END;
  // A relative move arrives as the two's complement of a negative offset;
  // an absolute one beyond 2^63 turns negative here and is refused.
  const auto move = static_cast<std::int64_t>(offset);
  std::uint64_t position = 0;
  if (src->stream->Seek(move, origin, &position) < 0)
    return static_cast<toff_t>(-1);
  return position;
}

int TiffClose(thandle_t) { return 0; }  // the caller owns the stream

toff_t TiffSize(thandle_t h) { return static_cast<TiffSource*>(h)->size; }

int TiffMap(thandle_t, void**, toff_t*) { return 0; }  // no mapping

void TiffUnmap(thandle_t, void*, toff_t) {}

int TiffQuiet(TIFF*, void*, const char*, const char*, va_list) {
  return 1;  // handled: nothing reaches libtiff's process-wide handlers
}

bool ReadTiffSize(IStream* stream,
                  std::uint64_t size,
                  std::uint32_t* width,
                  std::uint32_t* height) {
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) return false;
  TIFFOpenOptionsSetErrorHandlerExtR(options, TiffQuiet, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options, TiffQuiet, nullptr);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, kTiffMaxAlloc);
  TiffSource src = {stream, size};
  // "m": never map; "O": strip and tile offsets only on demand (never here).
  TIFF* tif = TIFFClientOpenExt("picture",
                                "rmO",
                                &src,
                                TiffRead,
                                TiffWrite,
                                TiffSeek,
                                TiffClose,
                                TiffSize,
                                TiffMap,
                                TiffUnmap,
                                options);
  TIFFOpenOptionsFree(options);
  if (!tif) return false;
  std::uint32_t w = 0, h = 0;
  const bool ok = TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) == 1 &&
                  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h) == 1 && w > 0 &&
                  h > 0;
  TIFFClose(tif);
  if (!ok) return false;
  *width = w;
  *height = h;
  return true;
}

}  // namespace

// ------------------------------------------------------------- the reader

bool ReadPictureInfo(IStream* stream, PictureInfo* info) {
  if (!stream || !info) return false;
  std::uint64_t size = 0;
  if (stream->Seek(0, STREAM_SEEK_END, &size) < 0) return false;
  unsigned char head[8] = {};
  ULONG got = 0;
  if (stream->Seek(0, STREAM_SEEK_SET, nullptr) < 0 ||
      stream->Read(head, sizeof head, &got) < 0 ||
      stream->Seek(0, STREAM_SEEK_SET, nullptr) < 0)
    return false;
  PictureInfo result;
  result.format = Sniff(head, got);
  bool ok = false;
  switch (result.format) {
    case PictureFormat::kJpeg:
    case PictureFormat::kPng:
    case PictureFormat::kBmp:
      ok = ReadStbSize(stream, &result.width, &result.height);
      break;
    case PictureFormat::kTiff:
    case PictureFormat::kBigTiff:
      ok = ReadTiffSize(stream, size, &result.width, &result.height);
      break;
    case PictureFormat::kUnknown:
      break;
  }
  if (!ok) return false;
  *info = result;
  return true;
}

}  // namespace collinear
