#include <collinear/io/point_file.h>

#include <sys/stat.h>
#include <unistd.h>

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
      "\t C 0.0 1 2\n"
      "D +3. .25 2E-4\n";
  std::vector<PointRow> rows;
  std::string error;
  ASSERT_TRUE(ParsePointRows(text, "pts.txt", 3, 3, rows, error)) << error;
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].name, "A");
  EXPECT_EQ(rows[0].values, (std::vector<double>{1.5, -2000.0, 7.0}));
  EXPECT_EQ(rows[1].name, "B");
  EXPECT_EQ(rows[1].line, 4);
  EXPECT_EQ(rows[2].values[2], 2.0);
  EXPECT_EQ(rows[3].values, (std::vector<double>{3.0, 0.25, 2e-4}));
}

TEST(ParsePointRows, BadLinesNameFileLineAndProblem) {
  struct Case {
    std::string text;
    int min_values;  // up to 3, every row as many
    const char* expected;
  };
  // clang-format off
  const Case cases[] = {
      {"A 1 2 3\nB 1 x 3\n", 3, "f.txt:2: point 'B': value 2 'x' is not a finite number"},
      {"A 1 2 nan\n", 3, "f.txt:1: point 'A': value 3 'nan' is not a finite number"},
      {"A 1 2 inf\n", 3, "f.txt:1: point 'A': value 3 'inf' is not a finite number"},
      {"A 1 2 1e999\n", 3, "f.txt:1: point 'A': value 3 '1e999' is not a finite number"},
      {"A 1 2 3m\n", 3, "f.txt:1: point 'A': value 3 '3m' is not a finite number"},
      {"A 0x1A 2 3\n", 3, "f.txt:1: point 'A': value 1 '0x1A' is not a finite number"},
      {"A 1 2 0x1p3\n", 3, "f.txt:1: point 'A': value 3 '0x1p3' is not a finite number"},
      {"A 1 2 1e\n", 3, "f.txt:1: point 'A': value 3 '1e' is not a finite number"},
      {"A 1 2 .\n", 3, "f.txt:1: point 'A': value 3 '.' is not a finite number"},
      {std::string("A 1 2 3\nB 1 2\0009 3\n", 18), 3, "f.txt:2: the line holds a NUL byte (is this a text file?)"},
      {"A 1 2\n", 3, "f.txt:1: point 'A' has 2 values, expected 3 after the name"},
      {"A 1 2 3 4\n", 3, "f.txt:1: point 'A' has 4 values, expected 3 after the name"},
      {"A 1,5 2,5 3\n", 3, "f.txt:1: point 'A' has 5 values, expected 3 after the name (a comma separates values: write decimals with a point)"},
      {"A 1049422,4 5000\nB 1049423.5 5001\n", 2, "f.txt:2: point 'B' has 2 values, the row on line 1 has 3: every row of a file needs as many (a comma separates values: write decimals with a point)"},
      {"A 1 2\nB 1 2 3\n", 2, "f.txt:2: point 'B' has 3 values, the row on line 1 has 2: every row of a file needs as many"},
      {"Point A 10 20 30\n", 3, "f.txt:1: point name 'Point A' holds a space; a name ends at the first space, tab or comma"},
      {"A 1 2\nPoint A 10 20\n", 2, "f.txt:2: point name 'Point A' holds a space; a name ends at the first space, tab or comma"},
      {"Point,A 10 20 30\n", 3, "f.txt:1: point 'Point' has 4 values, expected 3 after the name"},
      {"A 1 2 3\n# c\nA 4 5 6\n", 3, "f.txt:3: point name 'A' repeats the one on line 1"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<PointRow> rows;
    std::string error;
    EXPECT_FALSE(
        ParsePointRows(c.text, "f.txt", c.min_values, 3, rows, error, true));
    EXPECT_EQ(error, c.expected);
    EXPECT_TRUE(rows.empty());
  }
}

TEST(ReadPointFile, OptionalZAndMissingFile) {
  const std::string path = ::testing::TempDir() + "collinear_points.txt";
  {
    std::ofstream f(path);
    f << "P1 10 20\nP2 1 2\n";
  }
  CArray<CXYZ, CXYZ&> pts;
  std::string error;
  ASSERT_TRUE(ReadPointFile(path, false, pts, error)) << error;
  ASSERT_EQ(pts.GetSize(), 2);
  EXPECT_EQ(pts[0].m_strName, "P1");
  EXPECT_EQ(pts[0].m_z, 0.0);
  EXPECT_EQ(pts[1].m_y, 2.0);
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

TEST(WriteTextFile, KeepsModeAndLinkRefusesReadOnly) {
  const std::string dir = ::testing::TempDir();
  const std::string file = dir + "collinear_kept.txt";
  const std::string link = dir + "collinear_kept_link.txt";
  const auto content = [](const std::string& path) {
    std::string text, error;
    EXPECT_TRUE(ReadTextFile(path, text, error)) << error;
    return text;
  };
  const auto mode = [](const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
  };
  std::remove(file.c_str());
  std::remove(link.c_str());
  std::string error;
  ASSERT_TRUE(WriteTextFile(file, "one", error)) << error;
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  // Through the link: the target is replaced, the link and mode stay.
  ASSERT_TRUE(WriteTextFile(link, "two", error)) << error;
  EXPECT_TRUE(S_ISLNK(mode(link)));
  EXPECT_EQ(mode(file) & 07777, 0640u);
  EXPECT_EQ(content(file), "two");
  // Read-only, even for root: refused and untouched.
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  EXPECT_FALSE(WriteTextFile(link, "three", error));
  EXPECT_EQ(error, link + ": the file is read-only; it is left as it is");
  EXPECT_EQ(content(file), "two");
  std::remove(link.c_str());
  std::remove(file.c_str());
}

}  // namespace
}  // namespace collinear
