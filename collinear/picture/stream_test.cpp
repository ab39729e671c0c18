#include <collinear/picture/stream.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/picture/picture_test_util.h>

using collinear::ComPtr;

namespace {

constexpr GUID kOtherIid =
    collinear::MakeGuid("{6a1d2c3e-5b4f-4e21-9a0b-1c2d3e4f5a6b}");

const std::vector<unsigned char> kTen = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

// The same ten bytes in memory or in a file.
class StreamTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      path_ = collinear::test_support::TempPath("ten.bin");
      collinear::test_support::WriteFile(path_, kTen);
      stream_.reset(collinear::FileStream::Open(path_).get());
    } else {
      stream_.reset(collinear::MemoryStream::Create(kTen).get());
    }
    ASSERT_TRUE(stream_);
  }
  void TearDown() override {
    stream_.reset();
    if (!path_.empty()) std::remove(path_.c_str());
  }

  std::string path_;
  ComPtr<IStream> stream_;
};

}  // namespace

TEST_P(StreamTest, ReadsToTheEndThenReportsShortReads) {
  unsigned char buf[8] = {};
  ULONG got = 99;
  EXPECT_EQ(stream_->Read(buf, 4, &got), S_OK);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(buf[3], 3);
  EXPECT_EQ(stream_->Read(buf, 8, &got), S_FALSE);  // only six are left
  EXPECT_EQ(got, 6u);
  EXPECT_EQ(buf[0], 4);
  EXPECT_EQ(buf[5], 9);
  EXPECT_EQ(stream_->Read(buf, 1, &got), S_FALSE);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(stream_->Read(buf, 0, nullptr), S_OK);
}

TEST_P(StreamTest, SeeksFromEachOriginAndRefusesBeforeTheStart) {
  std::uint64_t pos = 0;
  ASSERT_EQ(stream_->Seek(0, STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos, 10u);
  ASSERT_EQ(stream_->Seek(-3, STREAM_SEEK_CUR, &pos), S_OK);
  EXPECT_EQ(pos, 7u);
  unsigned char b = 0;
  ASSERT_EQ(stream_->Read(&b, 1, nullptr), S_OK);
  EXPECT_EQ(b, 7);

  // Refused moves leave the position where it was.
  EXPECT_EQ(stream_->Seek(-9, STREAM_SEEK_CUR, &pos), E_INVALIDARG);
  EXPECT_EQ(stream_->Seek(-1, STREAM_SEEK_SET, &pos), E_INVALIDARG);
  EXPECT_EQ(stream_->Seek(0, 7, &pos), E_INVALIDARG);
  EXPECT_EQ(stream_->Seek(INT64_MAX, STREAM_SEEK_END, &pos), E_INVALIDARG);
  ASSERT_EQ(stream_->Read(&b, 1, nullptr), S_OK);
  EXPECT_EQ(b, 8);

  // Past the end is a position, with nothing to read; back again works.
  ASSERT_EQ(stream_->Seek(5, STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos, 15u);
  ULONG got = 1;
  EXPECT_EQ(stream_->Read(&b, 1, &got), S_FALSE);
  EXPECT_EQ(got, 0u);
  ASSERT_EQ(stream_->Seek(2, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream_->Read(&b, 1, nullptr), S_OK);
  EXPECT_EQ(b, 2);
}

TEST_P(StreamTest, AnswersOnlyForStreamAndUnknown) {
  void* out = nullptr;
  ASSERT_EQ(stream_->QueryInterface(IID_IStream, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(stream_.get()));
  static_cast<IStream*>(out)->Release();
  EXPECT_EQ(stream_->QueryInterface(IID_IUnknown, &out), S_OK);
  static_cast<IStream*>(out)->Release();
  EXPECT_EQ(stream_->QueryInterface(kOtherIid, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

INSTANTIATE_TEST_SUITE_P(MemoryAndFile,
                         StreamTest,
                         ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "File" : "Memory";
                         });

TEST(FileStream, MissingOrIrregularFileGivesNoStream) {
  EXPECT_FALSE(collinear::FileStream::Open(
      collinear::test_support::TempPath("does_not_exist.bin")));
  // A directory, and devices (reading /dev/zero never ends).
  for (const char* path : {"/", "/dev/zero", "/dev/null"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(collinear::FileStream::Open(path));
  }
}

TEST(MemoryStream, CopiesTheBufferItIsGiven) {
  unsigned char data[3] = {5, 6, 7};
  ComPtr<collinear::MemoryStream> s =
      collinear::MemoryStream::Create(data, sizeof data);
  data[0] = 0;
  unsigned char b = 0;
  ASSERT_EQ(s->Read(&b, 1, nullptr), S_OK);
  EXPECT_EQ(b, 5);
  ComPtr<collinear::MemoryStream> empty =
      collinear::MemoryStream::Create(nullptr, 4);
  ULONG got = 1;
  EXPECT_EQ(empty->Read(&b, 1, &got), S_FALSE);
  EXPECT_EQ(got, 0u);
}
