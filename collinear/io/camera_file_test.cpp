#include <collinear/io/camera_file.h>

#include <string>

#include <gtest/gtest.h>

namespace collinear {
namespace {

// Every member the camera file carries, compared bit for bit: written
// numbers must read back as the same doubles.
void ExpectSameCamera(const ProjectCamera& a, const ProjectCamera& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.focal_mm, b.focal_mm);
  EXPECT_EQ(a.focal_sd_mm, b.focal_sd_mm);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(a.principal_mm[k], b.principal_mm[k]);
    EXPECT_EQ(a.principal_sd_mm[k], b.principal_sd_mm[k]);
    EXPECT_EQ(a.pixel_mm[k], b.pixel_mm[k]);
    EXPECT_EQ(a.pixel_sd_mm[k], b.pixel_sd_mm[k]);
  }
  EXPECT_EQ(a.width_px, b.width_px);
  EXPECT_EQ(a.height_px, b.height_px);
  EXPECT_EQ(a.distortion_model, b.distortion_model);
  EXPECT_EQ(a.radial, b.radial);
  EXPECT_EQ(a.further, b.further);
  EXPECT_EQ(a.radial_sd, b.radial_sd);
  EXPECT_EQ(a.further_sd, b.further_sd);
}

TEST(CameraFile, RoundTripKeepsEveryValue) {
  // A calibrated camera with values of no short decimal form, rectangular
  // pixels and the model with the most terms; and a bare one without
  // size, distortion or standard deviations.
  ProjectCamera calibrated;
  calibrated.id = "nikon";
  calibrated.focal_mm = 24.0 / 3.0 + 1e-9;
  calibrated.focal_sd_mm = 0.1 / 3.0;
  calibrated.principal_mm[0] = 18.2 / 7.0;
  calibrated.principal_mm[1] = -0.0;
  calibrated.principal_sd_mm[0] = 2e-3;
  calibrated.principal_sd_mm[1] = 0.0;
  calibrated.pixel_mm[0] = 0.0059;
  calibrated.pixel_mm[1] = 0.0061;
  calibrated.pixel_sd_mm[0] = calibrated.pixel_sd_mm[1] = 1e-7;
  calibrated.width_px = 6000;
  calibrated.height_px = 4000;
  calibrated.distortion_model = "k1k2e1e6";
  calibrated.radial = {1.0 / 3e4, -5e-8};
  calibrated.further = {1e-6, -2e-6, 3e-7, 4e-300, -5e-7, 6e-7};
  calibrated.radial_sd = {1e-6, 1e-9};
  calibrated.further_sd = {1e-7, 2e-7, 3e-8, 4e-8, 5e-8, 6e-8};
  ProjectCamera bare;
  bare.focal_mm = 50.0;
  bare.pixel_mm[0] = bare.pixel_mm[1] = 0.004;
  bare.principal_mm[0] = 12.0;
  bare.principal_mm[1] = 8.0;
  for (const ProjectCamera* cam : {&calibrated, &bare}) {
    SCOPED_TRACE(CameraFileText(*cam));
    const std::string path = ::testing::TempDir() + "collinear_camera.json";
    std::string error;
    ASSERT_TRUE(WriteCameraFile(path, *cam, error)) << error;
    ProjectCamera back;
    ASSERT_TRUE(ReadCameraFile(path, back, error)) << error;
    ExpectSameCamera(back, *cam);
  }
}

TEST(CameraFile, ReadsTheFormsOfTheProjectFilesCameraObject) {
  ProjectCamera cam;
  std::string error;
  ASSERT_TRUE(ParseCameraFile(R"({
    "focal_length_mm": 8, "pixel_size_mm": 0.005, "picture_size_px": [640, 480],
    "principal_point_px": [320.5, 240],
    "distortion": {"model": "none"},
    "_note": "from a calibration",
    "standard_deviations": {"principal_point_px": [0.5, 0.25]}})",
                              "c.json",
                              cam,
                              error))
      << error;
  EXPECT_EQ(cam.id, "");
  EXPECT_EQ(cam.distortion_model, "");  // none carries no coefficients
  EXPECT_TRUE(cam.radial.empty() && cam.further.empty());
  const double kTolMm = 1e-15;  // pixels times pixel size: rounding
  EXPECT_NEAR(cam.principal_mm[0], 1.6025, kTolMm);
  EXPECT_NEAR(cam.principal_sd_mm[0], 0.0025, kTolMm);
  EXPECT_NEAR(cam.principal_sd_mm[1], 0.00125, kTolMm);
  EXPECT_TRUE(IsUndefined(cam.focal_sd_mm));
  // No principal point: the centre of the picture.
  ASSERT_TRUE(ParseCameraFile(
      R"({"focal_length_mm": 8, "pixel_size_mm": [0.004, 0.005],
          "picture_size_px": [640, 480]})",
      "c.json",
      cam,
      error))
      << error;
  EXPECT_DOUBLE_EQ(cam.principal_mm[0], 1.28);
  EXPECT_DOUBLE_EQ(cam.principal_mm[1], 1.2);
}

TEST(CameraFile, BadFilesNameFilePathAndProblem) {
  struct Case {
    const char *text, *expected;
  };
  // clang-format off
  const Case cases[] = {
      {"", "line 1, column 1: not valid JSON"},
      {"[8]", "the document must be a JSON object"},
      {R"({"pixel_size_mm": 0.005, "principal_point_px": [1, 2]})",
       "needs 'focal_length_mm'"},
      {R"({"focal_length_mm": 8, "principal_point_px": [1, 2]})",
       "needs 'pixel_size_mm' (one number or [x, y])"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": 0.005})",
       "needs 'principal_point_mm' or 'principal_point_px'"},
      {R"({"focal_length_mm": "8", "pixel_size_mm": 0.005, "principal_point_px": [1, 2]})",
       "focal_length_mm: must be a number, not a string"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": [0.005], "principal_point_px": [1, 2]})",
       "pixel_size_mm: must be a list of 2 numbers"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": 0.005, "picture_size_px": [640.5, 480]})",
       "picture_size_px[0]: must be a whole number of pixels, 1 or more"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": 0.005, "principal_point_px": [1, 2],
           "mount": {"pan": 1}})",
       "mount: unknown key; allowed here: id, focal_length_mm"},
      {R"({"id": [1], "focal_length_mm": 8, "pixel_size_mm": 0.005, "principal_point_px": [1, 2]})",
       "id: must be"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": 0.005, "principal_point_px": [1, 2],
           "distortion": {"coefficients": [1e-5]}})",
       "distortion: needs 'model'"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": 0.005, "principal_point_px": [1, 2],
           "distortion": {"model": "brown", "coefficients": [1e-5]}})",
       "distortion.model: unknown model 'brown'; known: none, k1k2k3k4"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": 0.005, "principal_point_px": [1, 2],
           "distortion": {"model": "k1k2p1p2", "coefficients": [1e-5, 0, 0]}})",
       "distortion.coefficients: model k1k2p1p2 takes 4 coefficients, not 3"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": 0.005, "principal_point_px": [1, 2],
           "distortion": {"model": "k1k2k3k4"}})",
       "distortion: needs 'coefficients' for model k1k2k3k4"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": 0.005, "principal_point_px": [1, 2],
           "standard_deviations": {"focal_length_mm": -0.1}})",
       "standard_deviations.focal_length_mm: must be 0 or more (it is -0.1)"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": 0.005, "principal_point_px": [1, 2],
           "standard_deviations": {"principal_point": [0.1, 0.1]}})",
       "standard_deviations.principal_point: unknown key"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": 0.005, "principal_point_px": [1, 2],
           "standard_deviations": {"coefficients": [0.1]}})",
       "standard_deviations.coefficients: the camera has no distortion coefficients"},
      {R"({"focal_length_mm": 8, "pixel_size_mm": 0.005, "principal_point_px": [1, 2],
           "distortion": {"model": "k1k2p1p2", "coefficients": [1e-5, 0, 0, 0]},
           "standard_deviations": {"coefficients": [0.1, 0.1]}})",
       "standard_deviations.coefficients: must be a list of 4 numbers"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    ProjectCamera cam;
    std::string error;
    EXPECT_FALSE(ParseCameraFile(c.text, "c.json", cam, error));
    EXPECT_EQ(error.rfind(std::string("c.json: ") + c.expected, 0), 0u)
        << error;
  }
}

TEST(CameraFile, MissingFileIsNamed) {
  const std::string path = ::testing::TempDir() + "collinear_no_camera.json";
  ProjectCamera cam;
  std::string error;
  EXPECT_FALSE(ReadCameraFile(path, cam, error));
  EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
}

}  // namespace
}  // namespace collinear
