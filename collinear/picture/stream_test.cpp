#include <collinear/picture/stream.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include <collinear/picture/picture_info.h>
#include <collinear/picture/picture_test_util.h>

using collinear::ComPtr;

// The same ten bytes 0..9 in memory (false) or in a file (true).
class StreamTest : public ::testing::TestWithParam<bool> {};

TEST_P(StreamTest, ReadsAndSeeksLikeAFile) {
  collinear::test_support::Bytes ten = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const std::string path = collinear::test_support::TempPath("ten.bin");
  collinear::test_support::WriteFile(path, ten);
  ComPtr<IStream> s;
  s.reset(GetParam()
              ? static_cast<IStream*>(collinear::FileStream::Open(path).get())
              : collinear::MemoryStream::Create(ten.data(), 10).get());
  std::remove(path.c_str());  // the open file stays readable
  ten.assign(10, 99);         // the memory stream holds a copy
  ASSERT_TRUE(s);
  const std::uint32_t kSet = 0, kCur = 1, kEnd = 2;  // STREAM_SEEK_*
  // Each step seeks, then reads up to `want` bytes. A refused seek leaves
  // the position where it was; past the end is a position with nothing to
  // read.
  const struct {
    std::int64_t move;
    std::uint32_t origin;
    HRESULT seek;
    std::uint64_t at;
    ULONG want;
    HRESULT read;
    ULONG got;
  } steps[] = {
      {0, kSet, S_OK, 0, 4, S_OK, 4},
      {0, kCur, S_OK, 4, 8, S_FALSE, 6},
      {0, kCur, S_OK, 10, 1, S_FALSE, 0},
      {0, kEnd, S_OK, 10, 0, S_OK, 0},
      {-3, kCur, S_OK, 7, 1, S_OK, 1},
      {-9, kCur, E_INVALIDARG, 8, 1, S_OK, 1},
      {-1, kSet, E_INVALIDARG, 9, 0, S_OK, 0},
      {0, 7, E_INVALIDARG, 9, 0, S_OK, 0},
      {INT64_MAX, kEnd, E_INVALIDARG, 9, 0, S_OK, 0},
      {5, kEnd, S_OK, 15, 1, S_FALSE, 0},
      {2, kSet, S_OK, 2, 1, S_OK, 1},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(&step - steps);
    std::uint64_t at = 99;
    EXPECT_EQ(s->Seek(step.move, step.origin, &at), step.seek);
    EXPECT_EQ(at, step.seek == S_OK ? step.at : 99u);  // refused: untouched
    unsigned char buf[8] = {99};
    ULONG got = 99;
    EXPECT_EQ(s->Read(buf, step.want, &got), step.read);
    EXPECT_EQ(got, step.got);
    // The last byte read is the one at its position; nothing read: untouched.
    EXPECT_EQ(buf[got > 0 ? got - 1 : 0], got > 0 ? step.at + got - 1 : 99u);
  }
  void* out = nullptr;
  ASSERT_EQ(s->QueryInterface(IID_IStream, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(s.get()));
  static_cast<IStream*>(out)->Release();
  EXPECT_EQ(s->QueryInterface(IID_IImagePicture, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

INSTANTIATE_TEST_SUITE_P(MemoryAndFile, StreamTest, ::testing::Bool());

TEST(FileStream, MissingOrIrregularFileOrNoBufferGivesNoBytes) {
  // A directory, and devices (reading /dev/zero never ends).
  for (const char* path : {"/no/such/file", "/", "/dev/zero", "/dev/null"})
    EXPECT_FALSE(collinear::FileStream::Open(path)) << path;
  unsigned char b = 0;
  ULONG got = 9;
  EXPECT_EQ(collinear::MemoryStream::Create(nullptr, 4)->Read(&b, 1, &got),
            S_FALSE);
  EXPECT_EQ(got, 0u);
}
