#include <collinear/io/point_file.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace collinear {
namespace {

TEST(ParsePointRows, ReadsWhitespaceCommasCommentsAndCrLf) {
  const std::string text =
      "\xEF\xBB\xBF# header\r\n"
      "A  1.5  -2e3  7\r\n"
      "\n"
      "B,10,20,30   # trailing comment\n"
      "\t C 0.0 1 2\n";
  std::vector<PointRow> rows;
  std::string error;
  ASSERT_TRUE(ParsePointRows(text, "pts.txt", 3, 3, rows, error)) << error;
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].name, "A");
  EXPECT_EQ(rows[0].values, (std::vector<double>{1.5, -2000.0, 7.0}));
  EXPECT_EQ(rows[1].name, "B");
  EXPECT_EQ(rows[1].line, 4);
  EXPECT_EQ(rows[2].values[2], 2.0);
}

TEST(ParsePointRows, BadLinesNameFileLineAndProblem) {
  struct Case {
    const char* text;
    const char* expected;
  };
  // clang-format off
  const Case cases[] = {
      {"A 1 2 3\nB 1 x 3\n", "f.txt:2: point 'B': value 2 'x' is not a finite number"},
      {"A 1 2 nan\n", "f.txt:1: point 'A': value 3 'nan' is not a finite number"},
      {"A 1 2 inf\n", "f.txt:1: point 'A': value 3 'inf' is not a finite number"},
      {"A 1 2 1e999\n", "f.txt:1: point 'A': value 3 '1e999' is not a finite number"},
      {"A 1 2 3m\n", "f.txt:1: point 'A': value 3 '3m' is not a finite number"},
      {"A 1 2\n", "f.txt:1: point 'A' has 2 values, expected 3 after the name"},
      {"A 1 2 3 4\n", "f.txt:1: point 'A' has 4 values, expected 3 after the name"},
      {"A 1 2 3\n# c\nA 4 5 6\n", "f.txt:3: point name 'A' repeats the one on line 1"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<PointRow> rows;
    std::string error;
    EXPECT_FALSE(ParsePointRows(c.text, "f.txt", 3, 3, rows, error));
    EXPECT_EQ(error, c.expected);
    EXPECT_TRUE(rows.empty());
  }
}

TEST(ReadPointFile, OptionalZAndMissingFile) {
  const std::string path = ::testing::TempDir() + "collinear_points.txt";
  {
    std::ofstream f(path);
    f << "P1 10 20\nP2 1 2 3\n";
  }
  CArray<CXYZ, CXYZ&> pts;
  std::string error;
  ASSERT_TRUE(ReadPointFile(path, false, pts, error)) << error;
  ASSERT_EQ(pts.GetSize(), 2);
  EXPECT_EQ(pts[0].m_strName, "P1");
  EXPECT_EQ(pts[0].m_z, 0.0);
  EXPECT_EQ(pts[1].m_z, 3.0);
  EXPECT_FALSE(ReadPointFile(path, true, pts, error));
  EXPECT_NE(error.find(":1: point 'P1' has 2 values, expected 3"),
            std::string::npos);
  std::remove(path.c_str());
  EXPECT_FALSE(ReadPointFile(path, false, pts, error));
  EXPECT_EQ(error, path + ": cannot open the file");
}

TEST(ReadControlFile, ReadsPublishedResectionData) {
  CArray<CXYZ, CXYZ&> obj, img;
  std::string error;
  ASSERT_TRUE(ReadControlFile(
      COLLINEAR_DATA_DIR "/resection-aerial-4pt/points.txt", obj, img, error))
      << error;
  ASSERT_EQ(obj.GetSize(), 4);
  ASSERT_EQ(img.GetSize(), 4);
  EXPECT_EQ(obj[0].m_strName, "1");
  EXPECT_EQ(obj[0].m_x, 36589.41);
  EXPECT_EQ(obj[3].m_z, 757.31);
  EXPECT_EQ(img[3].m_strName, "4");
  EXPECT_EQ(img[3].m_y, 64.43);
}

}  // namespace
}  // namespace collinear
