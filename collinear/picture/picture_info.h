// The picture of a host image: an image object that has one answers
// QueryInterface for IImagePicture and hands out the encoded picture (JPEG,
// PNG, BMP or TIFF bytes) as a stream. ReadPictureInfo learns the picture's
// size in pixels from its header alone, without decoding pixels.
#ifndef COLLINEAR_PICTURE_PICTURE_INFO_H_
#define COLLINEAR_PICTURE_PICTURE_INFO_H_

#include <cstdint>

#include <collinear/calculator/host/host_object.h>
#include <collinear/calculator/host/unknown.h>
#include <collinear/framework/export.h>
#include <collinear/picture/stream.h>

inline constexpr GUID IID_IImagePicture =
    collinear::MakeGuid("{4d4c60c9-480f-476c-8751-aac3111576e4}");

// The picture of an image.
class COLLINEAR_API IImagePicture : public IUnknown {
 public:
  // The encoded picture, with a reference for the caller; its position is
  // wherever the last reader left it. Null and S_FALSE when there is none.
  virtual HRESULT GetPictureStream(IStream** out) = 0;
};

namespace collinear {

// Makes image answer for IImagePicture with the given stream (null
// withdraws the picture: the query then fails). The object holds the
// stream; the interface it hands out holds the object.
COLLINEAR_API void AttachPicture(HostObject& image, IStream* picture);

enum class PictureFormat {
  kUnknown,
  kJpeg,
  kPng,
  kBmp,
  kTiff,     // classic TIFF, 32-bit offsets
  kBigTiff,  // 64-bit offsets
};

struct PictureInfo {
  PictureFormat format = PictureFormat::kUnknown;
  std::uint32_t width = 0;  // pixels
  std::uint32_t height = 0;
};

// Format and size of the picture in the stream, read from its header (for
// TIFF, the first image's directory); the stream is read from its start.
// False, *info untouched, for another format or a truncated or corrupt
// header. Never throws; prints nothing.
COLLINEAR_API bool ReadPictureInfo(IStream* stream, PictureInfo* info);

}  // namespace collinear

#endif  // COLLINEAR_PICTURE_PICTURE_INFO_H_
