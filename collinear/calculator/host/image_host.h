// The host's images, cameras, points and surveying-instrument measurements
// as the calculator reads them: their classes and property ids. The
// coordinate-system ids are in geo_host.h, the picture interface in
// picture_info.h. Angles in radians unless marked degrees.
#ifndef COLLINEAR_CALCULATOR_HOST_IMAGE_HOST_H_
#define COLLINEAR_CALCULATOR_HOST_IMAGE_HOST_H_

#include <cstdint>

#include <collinear/calculator/host/unknown.h>

namespace collinear {

// A point (as opposed to a multi-vertex object such as a line).
inline constexpr GUID kPointClass =
    MakeGuid("{c98fc2b8-5def-49d3-b0b5-a1c18dcad61f}");
// A camera mounted on a surveying instrument, with offset and angles.
inline constexpr GUID kMountedCameraClass =
    MakeGuid("{189ba5f5-12ec-491f-9825-f0993df92351}");

// Of an image.
inline constexpr long kImagePropControlMeasurements = 23;  // object set
inline constexpr long kImagePropPhi = 24;                  // double, typed
inline constexpr long kImagePropOmega = 25;                // double, typed
inline constexpr long kImagePropKappa = 26;                // double, typed
inline constexpr long kImagePropCentre = 27;  // projection-centre point
inline constexpr long kImagePropCrsObject = 50;
inline constexpr long kImagePropCamera = 79;
// The instrument measurement the image was taken with, if any.
inline constexpr long kImagePropMeasurement = 80;

// Of a camera: doubles in millimetres, and two distortion arrays: radial
// coefficients, then the further ones (decentring or affine terms).
inline constexpr long kCameraPropFocus = 30;
inline constexpr long kCameraPropPrincipalX = 31;
inline constexpr long kCameraPropPrincipalY = 32;
inline constexpr long kCameraPropPixelSizeX = 33;
inline constexpr long kCameraPropPixelSizeY = 34;
inline constexpr long kCameraPropRadial = 35;
inline constexpr long kCameraPropFurther = 36;

// Of a mounted camera: the projection centre's offset from the instrument
// in camera axes (x right, y up, z backwards; length unit of the working
// system), and three mounting angles in degrees: about the camera's y axis
// (positive turns the view to the left), about its x axis (positive tilts
// it up) and about its viewing axis.
inline constexpr long kMountPropOffsetX = 21;
inline constexpr long kMountPropOffsetY = 22;
inline constexpr long kMountPropOffsetZ = 23;
inline constexpr long kMountPropPanDeg = 24;
inline constexpr long kMountPropTiltDeg = 25;
inline constexpr long kMountPropRollDeg = 26;

// Of a point.
inline constexpr long kPointPropName = 1;  // string
// Its coordinate-system reference. A stored orientation is read only when
// its projection centre's reference fits the working kind: for kind 2 one
// that is not both a reference and a derived system, for the others one
// that is both.
inline constexpr long kPointPropCrsReference = 27;
inline constexpr long kPointPropCrsObject = 50;

// Of an image measurement of a control point: the point and its pixel in
// the original image (x right, y down from the top-left corner).
inline constexpr long kImageMeasPropPoint = 2;
inline constexpr long kImageMeasPropX = 5;
inline constexpr long kImageMeasPropY = 6;

// Of an instrument measurement. Typed doubles: the azimuth of the
// direction (a bearing from the y axis towards x), the horizontal direction
// of the circle, the vertical angle from the horizon, the slope distance.
inline constexpr long kMeasPropTarget = 2;
inline constexpr long kMeasPropAzimuth = 6;
inline constexpr long kMeasPropDirection = 7;
inline constexpr long kMeasPropVertical = 9;
inline constexpr long kMeasPropDistance = 11;
inline constexpr long kMeasPropStation = 23;
inline constexpr long kMeasPropCrsObject = 50;
inline constexpr long kMeasPropCode = 73;  // 32-bit integer

// Kinds of measurement in the low bits of the code: a sight to a known
// point, which orients the circle when its target has coordinates, and a
// direction whose azimuth is given.
inline constexpr std::int32_t kMeasKindMask = 7;
inline constexpr std::int32_t kMeasKindBacksight = 1;
inline constexpr std::int32_t kMeasKindAzimuth = 3;

// Of an instrument station: its point, the instrument height above it and
// its measurements in observation order.
inline constexpr long kStationPropPoint = 2;
inline constexpr long kStationPropHeight = 3;  // double
inline constexpr long kStationPropMeasurements = 23;

}  // namespace collinear

#endif  // COLLINEAR_CALCULATOR_HOST_IMAGE_HOST_H_
