#include <collinear/picture/stream.h>

#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

namespace collinear {

namespace {

constexpr std::uint64_t kMaxPosition =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// The position origin + move for a stream of `size` bytes at `current`;
// false for an unknown origin or a target outside 0..2^63-1.
bool SeekTarget(std::int64_t move,
                std::uint32_t origin,
                std::uint64_t current,
                std::uint64_t size,
                std::uint64_t* target) {
  std::uint64_t base = 0;
  switch (origin) {
    case STREAM_SEEK_SET:
      base = 0;
      break;
    case STREAM_SEEK_CUR:
      base = current;
      break;
    case STREAM_SEEK_END:
      base = size;
      break;
    default:
      return false;
  }
  if (base > kMaxPosition) return false;
  const auto b = static_cast<std::int64_t>(base);
  if (move < 0) {
    if (b + move < 0) return false;  // no overflow: b >= 0 > move
  } else if (b > std::numeric_limits<std::int64_t>::max() - move) {
    return false;
  }
  *target = static_cast<std::uint64_t>(b + move);
  return true;
}

}  // namespace

// ---------------------------------------------------------- shared object

StreamObject::~StreamObject() = default;

HRESULT StreamObject::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IStream) return E_NOINTERFACE;
  AddRef();
  *out = static_cast<IStream*>(this);
  return S_OK;
}

ULONG StreamObject::AddRef() { return ++refs_; }

ULONG StreamObject::Release() {
  const ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

// ----------------------------------------------------------- memory stream

MemoryStream::MemoryStream(std::vector<unsigned char> bytes)
    : bytes_(std::move(bytes)) {}

MemoryStream::~MemoryStream() = default;

ComPtr<MemoryStream> MemoryStream::Create(std::vector<unsigned char> bytes) {
  return ComPtr<MemoryStream>(new MemoryStream(std::move(bytes)));
}

ComPtr<MemoryStream> MemoryStream::Create(const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  return Create(std::vector<unsigned char>(p, p + (p ? size : 0)));
}

HRESULT MemoryStream::Read(void* buffer, ULONG size, ULONG* read) {
  if (read) *read = 0;
  if (!buffer && size > 0) return E_POINTER;
  const std::uint64_t available =
      pos_ < bytes_.size() ? bytes_.size() - pos_ : 0;
  const ULONG n = available < size ? static_cast<ULONG>(available) : size;
  if (n > 0) std::memcpy(buffer, bytes_.data() + pos_, n);
  pos_ += n;
  if (read) *read = n;
  return n == size ? S_OK : S_FALSE;
}

HRESULT MemoryStream::Seek(std::int64_t move,
                           std::uint32_t origin,
                           std::uint64_t* position) {
  std::uint64_t target = 0;
  if (!SeekTarget(move, origin, pos_, bytes_.size(), &target))
    return E_INVALIDARG;
  pos_ = target;
  if (position) *position = pos_;
  return S_OK;
}

// ------------------------------------------------------------- file stream

namespace {

std::int64_t Tell(std::FILE* f) {
#if defined(_WIN32)
  return _ftelli64(f);
#else
  return static_cast<std::int64_t>(ftello(f));
#endif
}

bool SeekTo(std::FILE* f, std::uint64_t pos) {
#if defined(_WIN32)
  return _fseeki64(f, static_cast<__int64>(pos), SEEK_SET) == 0;
#else
  const auto off = static_cast<off_t>(pos);
  if (off < 0 || static_cast<std::uint64_t>(off) != pos) return false;
  return fseeko(f, off, SEEK_SET) == 0;
#endif
}

// Size of the file in bytes, the position left as it was; -1 on failure.
std::int64_t FileSize(std::FILE* f) {
  const std::int64_t here = Tell(f);
  if (here < 0) return -1;
#if defined(_WIN32)
  const bool at_end = _fseeki64(f, 0, SEEK_END) == 0;
#else
  const bool at_end = fseeko(f, 0, SEEK_END) == 0;
#endif
  const std::int64_t size = at_end ? Tell(f) : -1;
  if (!SeekTo(f, static_cast<std::uint64_t>(here))) return -1;
  return size;
}

}  // namespace

FileStream::FileStream(std::FILE* file) : file_(file) {}

FileStream::~FileStream() { std::fclose(file_); }

ComPtr<FileStream> FileStream::Open(const std::string& path) {
  // Regular files only: a path from a project file may name a device or a
  // pipe, whose reading could block the host or never end.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return ComPtr<FileStream>();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return ComPtr<FileStream>();
  return ComPtr<FileStream>(new FileStream(f));
}

HRESULT FileStream::Read(void* buffer, ULONG size, ULONG* read) {
  if (read) *read = 0;
  if (!buffer && size > 0) return E_POINTER;
  const std::size_t n = size > 0 ? std::fread(buffer, 1, size, file_) : 0;
  if (read) *read = static_cast<ULONG>(n);
  if (n == size) return S_OK;
  if (std::ferror(file_)) {
    std::clearerr(file_);
    return E_FAIL;
  }
  std::clearerr(file_);  // the end flag; a later seek may move back
  return S_FALSE;
}

HRESULT FileStream::Seek(std::int64_t move,
                         std::uint32_t origin,
                         std::uint64_t* position) {
  const std::int64_t here = Tell(file_);
  const std::int64_t size =
      origin == STREAM_SEEK_END ? FileSize(file_) : std::int64_t{0};
  if (here < 0 || size < 0) return E_FAIL;
  std::uint64_t target = 0;
  if (!SeekTarget(move,
                  origin,
                  static_cast<std::uint64_t>(here),
                  static_cast<std::uint64_t>(size),
                  &target))
    return E_INVALIDARG;
  if (!SeekTo(file_, target)) return E_FAIL;
  if (position) *position = target;
  return S_OK;
}

}  // namespace collinear
