// Linear DLT: CDlt::CalDlt3D and the driver CalDlt against the normalised
// homogeneous DLT a user would otherwise write, solved by Eigen's JacobiSVD,
// on the same control points (exact, or with 5 um image noise).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <Eigen/Dense>

#include <collinear/orientation/dlt.h>

namespace {

using PointList = CArray<CXYZ, CXYZ&>;

constexpr double kFocusMm = 20.0;
constexpr double kNoiseMm = 0.005;

struct Scene {
  PointList obj, img;
  Eigen::Matrix3Xd obj_eigen;
  Eigen::Matrix2Xd img_eigen;
};

// n points 28..52 object units before a tilted camera with principal point
// (0.3, -0.2) mm and principal distance kFocusMm.
Scene MakeScene(int n, bool noisy) {
  CRot rot;
  rot.SetMatrix(ROT_KPW, CWPK(0.1, -0.2, 0.6));
  CRot to_obj = rot;
  to_obj.T();
  const CXYZ centre(2.0, -3.0, 45.0);
  std::mt19937 rng(1234 + n);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::normal_distribution<double> noise(0.0, kNoiseMm);
  Scene s;
  s.obj_eigen.resize(3, n);
  s.img_eigen.resize(2, n);
  for (int i = 0; i < n; ++i) {
    const CXYZ in_cam(15.0 * u(rng), 15.0 * u(rng), -40.0 + 12.0 * u(rng));
    CXYZ p = to_obj * in_cam + centre;
    p.m_strName = ("P" + std::to_string(i)).c_str();
    CXYZ q(p.m_strName,
           0.3 - kFocusMm * in_cam.m_x / in_cam.m_z,
           -0.2 - kFocusMm * in_cam.m_y / in_cam.m_z,
           0.0);
    if (noisy) {
      q.m_x += noise(rng);
      q.m_y += noise(rng);
    }
    s.obj.Add(p);
    s.img.Add(q);
    s.obj_eigen.col(i) << p.m_x, p.m_y, p.m_z;
    s.img_eigen.col(i) << q.m_x, q.m_y;
  }
  return s;
}

// Similarity that moves the centroid to the origin and the mean distance
// from it to sqrt(dim), as a (dim+1) x (dim+1) homogeneous matrix.
template <int kDim>
Eigen::Matrix<double, kDim + 1, kDim + 1> Normaliser(
    const Eigen::Matrix<double, kDim, Eigen::Dynamic>& pts) {
  const Eigen::Matrix<double, kDim, 1> mean = pts.rowwise().mean();
  const double mean_dist = (pts.colwise() - mean).colwise().norm().mean();
  const double scale = std::sqrt(static_cast<double>(kDim)) / mean_dist;
  Eigen::Matrix<double, kDim + 1, kDim + 1> t =
      Eigen::Matrix<double, kDim + 1, kDim + 1>::Identity() * scale;
  t(kDim, kDim) = 1.0;
  t.template topRightCorner<kDim, 1>() = -scale * mean;
  return t;
}

// The 3x4 projection matrix, scaled so that P(2, 3) = 1 like L1..L11.
Eigen::Matrix<double, 3, 4> SvdDlt(const Eigen::Matrix3Xd& obj,
                                   const Eigen::Matrix2Xd& img) {
  const Eigen::Matrix4d t_obj = Normaliser<3>(obj);
  const Eigen::Matrix3d t_img = Normaliser<2>(img);
  const Eigen::Index n = obj.cols();
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(2 * n, 12);
  for (Eigen::Index i = 0; i < n; ++i) {
    const Eigen::Vector4d p = t_obj * obj.col(i).homogeneous();
    const Eigen::Vector3d q = t_img * img.col(i).homogeneous();
    a.block<1, 4>(2 * i, 0) = p.transpose();
    a.block<1, 4>(2 * i, 8) = -q.x() * p.transpose();
    a.block<1, 4>(2 * i + 1, 4) = p.transpose();
    a.block<1, 4>(2 * i + 1, 8) = -q.y() * p.transpose();
  }
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(a, Eigen::ComputeThinV);
  const Eigen::VectorXd h = svd.matrixV().col(11);
  Eigen::Matrix<double, 3, 4> p_norm;
  p_norm << h.segment<4>(0).transpose(), h.segment<4>(4).transpose(),
      h.segment<4>(8).transpose();
  Eigen::Matrix<double, 3, 4> p = t_img.inverse() * p_norm * t_obj;
  return p / p(2, 3);
}

// Both methods must agree on exact data, or the comparison means nothing.
void CheckAgreement(const Scene& s, const CDlt& dlt) {
  const Eigen::Matrix<double, 3, 4> p = SvdDlt(s.obj_eigen, s.img_eigen);
  for (int k = 0; k < 11; ++k) {
    const double want = p(k / 4, k % 4);
    if (std::fabs(dlt.m_Dlt[k] - want) > 1e-6 * (1.0 + std::fabs(want))) {
      std::fprintf(stderr,
                   "dlt_bench: L%d differs: %.17g vs %.17g\n",
                   k + 1,
                   dlt.m_Dlt[k],
                   want);
      std::abort();
    }
  }
}

CDlt Prepared(Scene& s) {
  CDlt dlt;
  if (dlt.Create(s.obj, s.img, kFocusMm) != 1) std::abort();
  return dlt;
}

void BM_CalDlt3D(benchmark::State& state) {
  Scene s = MakeScene(static_cast<int>(state.range(0)), state.range(1) != 0);
  CDlt dlt = Prepared(s);
  if (dlt.CalDlt3D() != 1) std::abort();
  if (state.range(1) == 0) CheckAgreement(s, dlt);
  for (auto _ : state) benchmark::DoNotOptimize(dlt.CalDlt3D());
}

void BM_CalDlt(benchmark::State& state) {
  Scene s = MakeScene(static_cast<int>(state.range(0)), state.range(1) != 0);
  CDlt dlt = Prepared(s);
  for (auto _ : state) benchmark::DoNotOptimize(dlt.CalDlt());
}

void BM_EigenSvdDlt(benchmark::State& state) {
  const Scene s =
      MakeScene(static_cast<int>(state.range(0)), state.range(1) != 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(SvdDlt(s.obj_eigen, s.img_eigen));
  }
}

const std::vector<std::vector<int64_t>> kSizes = {{6, 20, 100, 1000}, {0, 1}};

BENCHMARK(BM_CalDlt3D)
    ->ArgsProduct(kSizes)
    ->ArgNames({"points", "noise"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalDlt)
    ->ArgsProduct(kSizes)
    ->ArgNames({"points", "noise"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EigenSvdDlt)
    ->ArgsProduct(kSizes)
    ->ArgNames({"points", "noise"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
