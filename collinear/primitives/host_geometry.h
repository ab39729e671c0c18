// Geometry value types exchanged with the host application: 2-D and 3-D
// points, a rectangle, a 3x3 matrix stored column by column, and a packed
// symmetric 3x3 covariance. A coordinate equal to collinear::kUndefined (the
// largest finite double) is unknown; DefTriad is the all-unknown 3-D point.
#ifndef COLLINEAR_PRIMITIVES_HOST_GEOMETRY_H_
#define COLLINEAR_PRIMITIVES_HOST_GEOMETRY_H_

#include <cmath>

#include <collinear/framework/export.h>
#include <collinear/primitives/constants.h>

template <class T>
struct TAbstractPoint2 {
  T x{}, y{};

  TAbstractPoint2() = default;
  TAbstractPoint2(const T& x_, const T& y_) : x(x_), y(y_) {}

  T& operator[](int i) { return i == 0 ? x : y; }
  const T& operator[](int i) const { return i == 0 ? x : y; }

  TAbstractPoint2 operator+(const TAbstractPoint2& o) const {
    return TAbstractPoint2(x + o.x, y + o.y);
  }
  TAbstractPoint2 operator-(const TAbstractPoint2& o) const {
    return TAbstractPoint2(x - o.x, y - o.y);
  }
  TAbstractPoint2& operator+=(const TAbstractPoint2& o) {
    x += o.x;
    y += o.y;
    return *this;
  }
  TAbstractPoint2& operator-=(const TAbstractPoint2& o) {
    x -= o.x;
    y -= o.y;
    return *this;
  }
  // Coordinatewise product and quotient.
  TAbstractPoint2& operator*=(const TAbstractPoint2& o) {
    x *= o.x;
    y *= o.y;
    return *this;
  }
  TAbstractPoint2 operator/(const TAbstractPoint2& o) const {
    return TAbstractPoint2(x / o.x, y / o.y);
  }
  TAbstractPoint2& operator*=(const T& d) {
    x *= d;
    y *= d;
    return *this;
  }
  TAbstractPoint2 operator*(const T& d) const {
    return TAbstractPoint2(x * d, y * d);
  }
  bool operator==(const TAbstractPoint2& o) const {
    return x == o.x && y == o.y;
  }
  bool operator!=(const TAbstractPoint2& o) const { return !(*this == o); }
};

template <class T>
struct TAbstractPoint3 {
  T x{}, y{}, z{};

  TAbstractPoint3() = default;
  explicit TAbstractPoint3(const T& v) : x(v), y(v), z(v) {}
  TAbstractPoint3(const T& x_, const T& y_, const T& z_)
      : x(x_), y(y_), z(z_) {}

  T& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
  const T& operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }

  TAbstractPoint3 operator+(const TAbstractPoint3& o) const {
    return TAbstractPoint3(x + o.x, y + o.y, z + o.z);
  }
  TAbstractPoint3 operator-(const TAbstractPoint3& o) const {
    return TAbstractPoint3(x - o.x, y - o.y, z - o.z);
  }
  TAbstractPoint3& operator+=(const TAbstractPoint3& o) {
    x += o.x;
    y += o.y;
    z += o.z;
    return *this;
  }
  TAbstractPoint3& operator-=(const TAbstractPoint3& o) {
    x -= o.x;
    y -= o.y;
    z -= o.z;
    return *this;
  }
  TAbstractPoint3& operator*=(const T& d) {
    x *= d;
    y *= d;
    z *= d;
    return *this;
  }
  TAbstractPoint3& operator/=(const T& d) {
    x /= d;
    y /= d;
    z /= d;
    return *this;
  }
  TAbstractPoint3 operator*(const T& d) const {
    return TAbstractPoint3(x * d, y * d, z * d);
  }
  // Dot product.
  T operator*(const TAbstractPoint3& o) const {
    return x * o.x + y * o.y + z * o.z;
  }
  // Euclidean length.
  T Module() const { return std::sqrt(x * x + y * y + z * z); }
  bool operator==(const TAbstractPoint3& o) const {
    return x == o.x && y == o.y && z == o.z;
  }
  bool operator!=(const TAbstractPoint3& o) const { return !(*this == o); }
};

namespace collinear::detail {
template <class T, int N>
struct PointOfDim;
template <class T>
struct PointOfDim<T, 2> {
  using type = TAbstractPoint2<T>;
};
template <class T>
struct PointOfDim<T, 3> {
  using type = TAbstractPoint3<T>;
};
}  // namespace collinear::detail

// TAbstractPoint<double, 2> and <double, 3> name the two point forms.
template <class T, int N>
using TAbstractPoint = typename collinear::detail::PointOfDim<T, N>::type;

// Axis-parallel rectangle; for the picture rectangle of a camera, in
// millimetres about the principal point.
template <class T>
struct TAbstractRect {
  T left{}, top{}, right{}, bottom{};

  TAbstractRect() = default;
  TAbstractRect(const T& l, const T& t, const T& r, const T& b)
      : left(l), top(t), right(r), bottom(b) {}

  bool operator==(const TAbstractRect& o) const {
    return left == o.left && top == o.top && right == o.right &&
           bottom == o.bottom;
  }
  bool operator!=(const TAbstractRect& o) const { return !(*this == o); }
};

// 3x3 matrix of doubles stored column by column: element (i, j), both from
// 0, is data()[3 * j + i]. Default-constructed to zero.
class matr3_3 {
 public:
  matr3_3() = default;
  // A copy of m; with mode 't' the transpose of m.
  matr3_3(const matr3_3& m, char mode) {
    for (int j = 0; j < 3; ++j)
      for (int i = 0; i < 3; ++i)
        (*this)(i, j) = (mode == 't') ? m(j, i) : m(i, j);
  }

  static matr3_3 Identity() {
    matr3_3 m;
    m(0, 0) = m(1, 1) = m(2, 2) = 1.0;
    return m;
  }

  double& operator()(int row, int col) { return m_[3 * col + row]; }
  const double& operator()(int row, int col) const { return m_[3 * col + row]; }
  double* data() { return m_; }
  const double* data() const { return m_; }

  // Matrix product, this matrix on the left.
  matr3_3 operator*(const matr3_3& b) const {
    matr3_3 c;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        c(i, j) = (*this)(i, 0) * b(0, j) + (*this)(i, 1) * b(1, j) +
                  (*this)(i, 2) * b(2, j);
    return c;
  }
  // Product with a column vector.
  TAbstractPoint3<double> operator*(const TAbstractPoint3<double>& v) const {
    const matr3_3& a = *this;
    return TAbstractPoint3<double>(
        a(0, 0) * v.x + a(0, 1) * v.y + a(0, 2) * v.z,
        a(1, 0) * v.x + a(1, 1) * v.y + a(1, 2) * v.z,
        a(2, 0) * v.x + a(2, 1) * v.y + a(2, 2) * v.z);
  }

 private:
  double m_[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
};

// Symmetric 3x3 matrix packed as (0,0), (1,0), (1,1), (2,0), (2,1), (2,2).
class covar {
 public:
  covar() = default;

  double& operator[](int k) { return c_[k]; }
  const double& operator[](int k) const { return c_[k]; }
  // Element (i, j) of the full symmetric matrix, both from 0.
  double operator()(int i, int j) const {
    if (i < j) {
      const int t = i;
      i = j;
      j = t;
    }
    return c_[i * (i + 1) / 2 + j];
  }
  double* data() { return c_; }
  const double* data() const { return c_; }

  // Product of the full symmetric matrix with a column vector.
  TAbstractPoint3<double> operator*(const TAbstractPoint3<double>& v) const {
    const covar& a = *this;
    return TAbstractPoint3<double>(
        a(0, 0) * v.x + a(0, 1) * v.y + a(0, 2) * v.z,
        a(1, 0) * v.x + a(1, 1) * v.y + a(1, 2) * v.z,
        a(2, 0) * v.x + a(2, 1) * v.y + a(2, 2) * v.z);
  }

 private:
  double c_[6] = {0, 0, 0, 0, 0, 0};
};

// Inverts the symmetric matrix in place. Returns 0 on success; -1, with m
// unchanged, when an element is not finite or the matrix is singular to
// working precision (|det| at most 1e-15 times the cube of its largest
// element).
COLLINEAR_API int InvertSMatr3(covar& m);

// The 3-D point whose three coordinates are undefined.
struct DefTriad : TAbstractPoint3<double> {
  DefTriad()
      : TAbstractPoint3<double>(collinear::kUndefined,
                                collinear::kUndefined,
                                collinear::kUndefined) {}
  // True when at least one coordinate of p is undefined.
  static bool IsPartialUndef(const TAbstractPoint3<double>& p) {
    return collinear::IsUndefined(p.x) || collinear::IsUndefined(p.y) ||
           collinear::IsUndefined(p.z);
  }
};

#endif  // COLLINEAR_PRIMITIVES_HOST_GEOMETRY_H_
