// The image utilities layer: a description of a bitmap that the host
// derived from an original image by a plane transformation (resampling,
// turning, scaling, perspective rectification). Coordinates on both sides
// are pixels with y counting upwards from the bottom edge. The transformation
// puts original pixels into an output plane; the transformed bitmap occupies
// that plane from the output offset on.
#ifndef COLLINEAR_PICTURE_BITMAP_H_
#define COLLINEAR_PICTURE_BITMAP_H_

#include <cstdint>

#include <collinear/framework/export.h>

namespace ImgAn {

template <class T>
struct Point2D {
  T x{}, y{};
  Point2D() = default;
  Point2D(T x_, T y_) : x(x_), y(y_) {}
};

class COLLINEAR_API Bitmap {
 public:
  // Identity transformation, sizes 0, output offset (0, 0).
  Bitmap();

  std::int32_t GetOrigWidth() const { return m_nOrigWidth; }
  std::int32_t GetOrigHeight() const { return m_nOrigHeight; }
  std::int32_t GetWidth() const { return m_nWidth; }
  std::int32_t GetHeight() const { return m_nHeight; }
  void SetOrigSize(std::int32_t width, std::int32_t height);
  void SetSize(std::int32_t width, std::int32_t height);
  Point2D<double> GetOutputOffset() const { return m_OutputOffset; }
  void SetOutputOffset(const Point2D<double>& offset);

  // Projective transformation from nine doubles row by row: (u, v, w) =
  // H (x, y, 1), output (u / w, v / w). H and -H are the same mapping; it is
  // kept with H(2,2) >= 0. False, transformation unchanged, when an element
  // is not finite or H is singular to working precision.
  bool SetProjective(const double h[9]);
  // u = a x + b y + c, v = d x + e y + f; false as SetProjective.
  bool SetAffine(double a, double b, double c, double d, double e, double f);
  void SetIdentity();
  void GetProjective(double h[9]) const;
  bool IsAffine() const;

  // Sets the original size, and the output offset and transformed size to
  // the bounding box of the transformed picture (rounded outwards to whole
  // pixels). False, nothing changed, when a corner cannot be mapped.
  bool FitOutput(std::int32_t orig_width, std::int32_t orig_height);

  // Original pixel to the output plane. False, *out untouched, when the
  // input is not finite or lies on or beyond the transformation's vanishing
  // line (w <= 0), or the result is not finite.
  bool OrigPointToTransformed(const Point2D<double>& orig,
                              Point2D<double>* out) const;
  // Pixel of the transformed bitmap (relative to the output offset) to the
  // original; false as OrigPointToTransformed.
  bool TransformedPointToOrig(const Point2D<double>& transf,
                              Point2D<double>* out) const;

 private:
  std::int32_t m_nOrigWidth = 0;
  std::int32_t m_nOrigHeight = 0;
  std::int32_t m_nWidth = 0;
  std::int32_t m_nHeight = 0;
  Point2D<double> m_OutputOffset;
  double m_H[9];     // original -> output plane, row by row
  double m_HInv[9];  // output plane -> original: adj(H) / det(H)
};

}  // namespace ImgAn

#endif  // COLLINEAR_PICTURE_BITMAP_H_
