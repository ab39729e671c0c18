// Byte streams as host objects hand them over (an image's encoded picture,
// for example): the part of the component model's stream interface that
// readers need, reading and seeking, and two streams of our own, over a
// memory buffer and over a file. Positions and sizes are in bytes.
#ifndef COLLINEAR_PICTURE_STREAM_H_
#define COLLINEAR_PICTURE_STREAM_H_

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <collinear/calculator/host/com_ptr.h>
#include <collinear/calculator/host/unknown.h>
#include <collinear/framework/export.h>

inline constexpr GUID IID_IStream =
    collinear::MakeGuid("{0000000c-0000-0000-c000-000000000046}");

// Origins of IStream::Seek.
enum STREAM_SEEK : std::uint32_t {
  STREAM_SEEK_SET = 0,  // from the start
  STREAM_SEEK_CUR = 1,  // from the current position
  STREAM_SEEK_END = 2,  // from the end
};

// A seekable byte stream.
class COLLINEAR_API IStream : public IUnknown {
 public:
  // Reads up to size bytes at the current position and advances past them;
  // *read (when not null) gets the count. S_OK when all size bytes came,
  // S_FALSE when the end came first, a failure code on an error.
  virtual HRESULT Read(void* buffer, ULONG size, ULONG* read) = 0;
  // Moves to origin + move; *position (when not null) gets the new
  // position. E_INVALIDARG, position unchanged, for a target before the
  // start or an unknown origin; positions past the end are allowed.
  virtual HRESULT Seek(std::int64_t move,
                       std::uint32_t origin,
                       std::uint64_t* position) = 0;
};

namespace collinear {

// Reference counting and interface queries shared by the streams below.
class COLLINEAR_API StreamObject : public IStream {
 public:
  HRESULT QueryInterface(const GUID& iid, void** out) override;
  ULONG AddRef() override;
  ULONG Release() override;

 protected:
  StreamObject() = default;
  virtual ~StreamObject();

 private:
  std::atomic<ULONG> refs_{0};
};

// A read-only stream over bytes that it owns.
class COLLINEAR_API MemoryStream : public StreamObject {
 public:
  static ComPtr<MemoryStream> Create(std::vector<unsigned char> bytes);
  static ComPtr<MemoryStream> Create(const void* data, std::size_t size);

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override;
  HRESULT Seek(std::int64_t move,
               std::uint32_t origin,
               std::uint64_t* position) override;

 protected:
  explicit MemoryStream(std::vector<unsigned char> bytes);
  ~MemoryStream() override;

 private:
  std::vector<unsigned char> bytes_;
  std::uint64_t pos_ = 0;
};

// A read-only stream over a file, open while the stream lives.
class COLLINEAR_API FileStream : public StreamObject {
 public:
  // Empty when the file cannot be opened for reading or is no regular
  // file (a directory, a device, a pipe).
  static ComPtr<FileStream> Open(const std::string& path);

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override;
  HRESULT Seek(std::int64_t move,
               std::uint32_t origin,
               std::uint64_t* position) override;

 protected:
  explicit FileStream(std::FILE* file);
  ~FileStream() override;

 private:
  std::FILE* file_;
};

}  // namespace collinear

#endif  // COLLINEAR_PICTURE_STREAM_H_
