#include <collinear/calculator/calc_distortion.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ios>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/calculator/calc_distortion_portable.h>
#include <collinear/calculator/calculator_test_util.h>

#include "../../bench/plain_search.h"

using collinear::CalcDistortion;
using collinear::test_support::BitHash;
using collinear::test_support::Uniform;

namespace {

constexpr double kSearchTol = 1e-15;  // what the calculator passes, mm
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ParaSet {
  const char* name;
  unsigned long model;
  double p[8];
};

// Realistic parameters give up to ~0.2 mm (35 px) of distortion in the
// corners of the picture below, strong ones up to ~1.5 mm.
const ParaSet kSets[] = {
    {"realistic 1", 1, {1e-5, -2e-8, 5e-11, -1e-13}},
    {"realistic 2", 2, {1e-5, -2e-8, 2e-5, -1e-5}},
    {"realistic 3", 3, {1e-5, -2e-8, 5e-11, 2e-5, -1e-5}},
    {"realistic 4", 4, {1e-4, -2e-7, 2e-4, -3e-4, 1e-5, -2e-5, 3e-5, -4e-5}},
    {"strong 1", 1, {1e-4, -2e-7, 5e-10, -1e-12}},
    {"strong 2", 2, {1e-4, -2e-7, 2e-4, -1e-4}},
    {"strong 3", 3, {1e-4, -2e-7, 5e-10, 2e-4, -1e-4}},
    {"strong 4", 4, {3e-4, -6e-7, 1e-3, -1e-3, 5e-5, -5e-5, 1e-4, -1e-4}},
};

// Photo point (mm) of a pixel of a 35 mm lens on a 6000 x 4000 sensor of
// 0.006 mm pixels, principal point at the centre.
std::pair<double, double> Photo(double col, double row) {
  return {col * 0.006 - 18.0, 12.0 - row * 0.006};
}

// Search with every output (pre-filled, so that untouched ones hash too),
// and for sign false Invert as well.
void HashSearch(
    const CalcDistortion& c, double x, double y, bool sign, BitHash* h) {
  double q[2] = {-1, -1}, r = -1, best[2] = {-1, -1};
  h->Add(c.Search(x, y, kSearchTol, sign, &q[0], &q[1], &r, best));
  for (double v : {q[0], q[1], r, best[0], best[1]}) h->Add(v);
  if (sign) return;
  h->Add(c.Invert(x, y, kSearchTol, sign, &q[0], &q[1], &r));
  for (double v : {q[0], q[1], r}) h->Add(v);
}

// Random targets on and off the picture, at the centre line, on powers of
// two and just below an axis; the targets Phc2Imc hands the search (the
// corrections of measured points over the picture, with two pixels where
// the walk runs out of steps for model 4); and where the shortcuts change
// course: across powers of two (the spacing of doubles changes), around
// zero, among tiny and subnormal numbers, far off the picture where the
// model's slope bound fails, and signed zeros.
void SearchCases(const CalcDistortion& c, int set, BitHash* h) {
  std::mt19937_64 rng(77 + set);
  for (int k = 0; k < 20000; ++k) {
    double x = Uniform(rng, -25, 25), y = Uniform(rng, -25, 25);
    if (k % 10 == 1) x = 0.0;
    if (k % 10 == 2) y = std::ldexp(1.0, k % 7);
    if (k % 10 == 3) y = -1e-9;
    for (bool sign : {false, true}) HashSearch(c, x, y, sign, h);
  }
  std::vector<std::pair<double, double>> pixels = {{2987.2101, 3944.0761},
                                                   {3001.0037, 3700.2408}};
  for (int k = 0; k < 4000; ++k) {
    // Drawn row first: the pinned hashes were made with that order.
    const double row = Uniform(rng, 0, 4000);
    pixels.emplace_back(Uniform(rng, 0, 6000), row);
  }
  for (const auto& [col, row] : pixels) {
    const auto [x, y] = Photo(col, row);
    double dx, dy;
    c.Distort(x, y, dx, dy);
    HashSearch(c, x - dx, y - dy, false, h);
    HashSearch(c, x + dx, y + dy, true, h);
  }
  std::vector<double> coords = {
      0.0, -0.0, 5e-324, -1e-310, 1e-300, 1e-12, -3e-7, 1e-3, 150, -400, 1e6};
  for (int e = -2; e <= 5; ++e) {
    const double edge = std::ldexp(1.0, e);
    for (int j = -3; j <= 3; ++j) {
      coords.push_back(edge + j * 1e-3);
      coords.push_back(-edge + j * 3e-16 * edge);
    }
  }
  for (double x : coords)
    for (double y : coords)
      for (bool sign : {false, true}) HashSearch(c, x, y, sign, h);
}

// Bisect(p, i, ...) of a copy of p, both coordinates hashed.
void HashBisect(const CalcDistortion& c,
                const double* p,
                int i,
                const double* target,
                const double (&ends)[2][2],
                double s,
                double tol,
                BitHash* h) {
  double q[2] = {p[0], p[1]};
  c.Bisect(q, i, target, ends[0], ends[1], s, tol);
  h->Add(q[0]);
  h->Add(q[1]);
}

// The bisection alone on brackets of every kind: around the root or
// missing it, either order of the ends, across powers of two and zero,
// widths from a few units in the last place to millimetres, tolerances from
// none (and a negative one: never ends by width) to coarse; ends that are
// the root or its neighbours, with roots of odd and even keys; and a
// bracket near 1e-292 beside a further term of 1e15 mm, whose root region
// is more keys wide than any integer.
void BisectCases(const CalcDistortion& c, int set, BitHash* h) {
  const double kTols[] = {0.0, kSearchTol, 1e-12, 1e-6, 0.5, -1.0};
  std::mt19937_64 rng(911 + set);
  for (int k = 0; k < 3000; ++k) {
    const int i = k % 2;
    double q[2] = {Uniform(rng, -20, 20), Uniform(rng, -20, 20)}, d[2];
    c.Distort(q[0], q[1], d[0], d[1]);
    const double s = k % 3 == 0 ? 1.0 : -1.0;
    const double target[2] = {q[0] + s * d[0], q[1] + s * d[1]};
    const double width = std::ldexp(Uniform(rng, 0.5, 1.5), -(k % 50));
    double ends[2][2] = {{q[0], q[1]}, {q[0], q[1]}};
    ends[0][i] = q[i] - width * Uniform(rng, -0.2, 1.8);
    ends[1][i] = q[i] + width * Uniform(rng, -0.2, 1.8);
    if (k % 7 == 0) std::swap(ends[0][i], ends[1][i]);
    if (k % 11 == 0) ends[0][i] = std::ldexp(1.0, k % 5) * (1.0 - 1e-4);
    if (k % 13 == 0) ends[1][i] = -ends[0][i] * 0.5;
    double p[2] = {Uniform(rng, -20, 20), q[1 - i]};
    p[i] = Uniform(rng, -20, 20);
    HashBisect(c, p, i, target, ends, s, kTols[k % 6], h);
  }
  for (int k = 0; k < 400; ++k) {
    const int i = k % 2;
    double q[2] = {-17.0 + 0.0853 * k, 11.0 - 0.0561 * k}, d[2];
    q[i] = std::nextafter(q[i], k % 8 < 4 ? 100.0 : -100.0);
    if (k % 3 == 0) q[i] = std::nextafter(q[i], 100.0);
    c.Distort(q[0], q[1], d[0], d[1]);
    const double target[2] = {q[0] - d[0], q[1] - d[1]};
    for (int e = -1; e <= 1; ++e) {
      const double end = e == 0 ? q[i] : std::nextafter(q[i], e * 100.0);
      for (const double w : {4e-15, -4e-15, 3e-12, -3e-12, 0.02, -0.02}) {
        double ends[2][2] = {{q[0], q[1]}, {q[0], q[1]}};
        ends[0][i] = std::min(end, end + w);
        ends[1][i] = std::max(end, end + w);
        for (const double tol : {0.0, kSearchTol})
          HashBisect(c, q, i, target, ends, -1.0, tol, h);
      }
    }
  }
  const double huge[8] = {0, 0, 0, 1e14, 0, 0, 0, 0};
  const CalcDistortion c4(4, huge);
  const double q[2] = {7e-293, 10.0}, ends[2][2] = {{6e-293, 10}, {9e-293, 10}};
  double d[2];
  c4.Distort(q[0], q[1], d[0], d[1]);
  for (const double off : {-3.0, -1.0, 0.0, 1.0, 3.0}) {
    const double target[2] = {q[0] - d[0] + off, 0.0};
    HashBisect(c4, q, 0, target, ends, -1.0, 0.0, h);
  }
}

}  // namespace

// Search, Bisect and Invert are fixed to the last bit (callers compare
// pixels bit for bit): the shortcuts of the search must not move one. The
// hashes were made once from the current code, whose Search and Bisect
// gave the results of the plain step-by-step search of
// bench/plain_search.h bit for bit on every one of these cases. Invert's
// hashes of "realistic 3" and "strong 3" were made again when it began to
// refuse Newton roots where the correction folds over on the ray out to
// the root (targets far off the picture).
TEST(CalcDistortion, ResultsKeepEveryBit) {
  const struct {
    const char* cases;
    void (*run)(const CalcDistortion& c, int set, BitHash* h);
    std::uint64_t hash[8];  // per parameter set, in the order of kSets
  } kGolden[] = {
      // clang-format off
      {"search", SearchCases,
       {0xf4101fc07c67f03b, 0x7b3b6c2766587507, 0x409fd68b89fa5b55,
        0xfdc43fbe0f33cf94, 0xae0560e1f0f2a735, 0xbfdfa1c319f0e30f,
        0xfdf9a3570dbb5bb9, 0x8fcde17fd564eea}},
      {"bisect", BisectCases,
       {0x5b8fa57ee2c7a82f, 0x1f51e18f19c3dc1a, 0x4a90f99aa0dd6c6e,
        0x46ed265a7fb5a9d9, 0x8fa9c2f270117251, 0x41f832dc882507a,
        0xaccae91bc7ef9e2d, 0xedfa64d1ac4ea25e}},
      // clang-format on
  };
  for (const auto& g : kGolden) {
    for (int set = 0; set < 8; ++set) {
      BitHash h;
      g.run(CalcDistortion(kSets[set].model, kSets[set].p), set, &h);
      EXPECT_EQ(h.value(), g.hash[set]) << g.cases << ", " << kSets[set].name
                                        << ": 0x" << std::hex << h.value();
    }
  }
}

// The shortcuts of the search rest on bounds of the rounding of D, its
// slope and curvature; a bound that is too tight moves a result by a unit
// in the last place somewhere. Random lenses of each model from a
// thousandth to ten times the realistic size (walks that fail included),
// targets anywhere on the picture, at powers of two and near the centre,
// both signs and two tolerances: every result and flag as the plain
// step-by-step search gives it.
TEST(CalcDistortion, SearchAgreesWithThePlainSearchOnRandomLenses) {
  auto bits = [](double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
  };
  std::mt19937_64 rng(20261206);
  std::uniform_real_distribution<double> unit(-1.0, 1.0), decade(-3.0, 1.0);
  int differ = 0, cases = 0;
  for (int lens = 0; lens < 160; ++lens) {
    const ParaSet& base = kSets[lens % 4];  // the realistic set per model
    const double scale = std::pow(10.0, decade(rng));
    double p[8];
    for (int k = 0; k < 8; ++k)
      p[k] = base.p[k] * scale * (1.0 + 0.5 * unit(rng));
    const CalcDistortion fast(base.model, p);
    const collinear::PlainSearch plain(base.model, p);
    for (int k = 0; k < 200; ++k, ++cases) {
      double x = 18.0 * unit(rng), y = 12.0 * unit(rng);
      const double two = std::ldexp(1.0, static_cast<int>(3 * decade(rng)));
      if (k % 4 == 1) x = unit(rng) < 0 ? -two : two;
      if (k % 4 == 2) y = std::nextafter(two, 0.0);
      if (k % 8 == 3) x *= 1e-4;
      const double tol = k % 5 == 0 ? 1e-12 : kSearchTol;
      const bool sign = k % 7 != 0;
      double a[3] = {0, 0, 0}, b[3] = {0, 0, 0};
      const bool fa = fast.Search(x, y, tol, sign, &a[0], &a[1], &a[2]);
      const bool fb = plain.Search(x, y, tol, sign, &b[0], &b[1], &b[2]);
      bool same = fa == fb;
      for (int i = 0; i < 3; ++i) same &= bits(a[i]) == bits(b[i]);
      EXPECT_TRUE(same || differ > 3)
          << base.name << " x " << scale << ": (" << x << ", " << y << ")";
      differ += !same;
    }
  }
  EXPECT_EQ(differ, 0) << "of " << cases;
}

TEST(CalcDistortion, JacobianMatchesCentralDifferences) {
  const double kStepMm = 1e-5;
  const double kTol = 1e-9;  // difference-quotient error, dimensionless
  for (const ParaSet& s : kSets) {
    const CalcDistortion c(s.model, s.p);
    for (const auto& [x, y] : {std::pair{7.5, -4.0}, {-15.0, 11.0}}) {
      double jac[4], d[4][2];  // d: at x + h, x - h, y + h, y - h
      c.Jacobian(x, y, jac);
      for (int k = 0; k < 4; ++k) {
        const double step = k % 2 ? -kStepMm : kStepMm;
        c.Distort(x + (k < 2) * step, y + (k >= 2) * step, d[k][0], d[k][1]);
      }
      for (int k = 0; k < 4; ++k)  // jac[k]: component k / 2 by x or y
        EXPECT_NEAR(
            jac[k],
            (d[k % 2 * 2][k / 2] - d[k % 2 * 2 + 1][k / 2]) / (2 * kStepMm),
            kTol)
            << s.name << ", " << k;
    }
  }
}

TEST(CalcDistortion, SearchHardSpots) {
  const double p[8] = {1e-4, 0, 0, 0, 0, 0, 0, 0};
  double qx = 0, qy = 0, r = -1;
  // D(10, 0) = (0.1, 0): the measured point of the ideal (9.9, 0) is
  // (10, 0) exactly; with the sign flag the equation is q + D(q) = target.
  const CalcDistortion c(1, p);
  ASSERT_TRUE(c.Search(9.9, 0.0, kSearchTol, false, &qx, &qy, &r));
  EXPECT_EQ(qx, 10.0);
  EXPECT_EQ(qy, 0.0);
  EXPECT_EQ(r, 0.0);
  ASSERT_TRUE(c.Search(10.1, 0.0, kSearchTol, true, &qx, &qy, &r));
  EXPECT_EQ(qx, 10.0);
  // A NaN target ends (no endless bisection) and fails; so does Newton,
  // which leaves its outputs, and Invert falls back to the target itself.
  qx = qy = 7.0;
  r = -1;
  EXPECT_FALSE(c.Search(kNaN, 1.0, kSearchTol, false, &qx, &qy, &r));
  EXPECT_TRUE(std::isnan(qx));
  EXPECT_EQ(qy, 1.0);
  EXPECT_EQ(r, -1.0);  // untouched
  EXPECT_FALSE(c.Newton(kNaN, 0.0, kSearchTol, false, 0, 0, &qx, &qy, &r));
  EXPECT_EQ(qy, 1.0);
  EXPECT_EQ(r, -1.0);
  EXPECT_FALSE(c.Invert(kNaN, 0.5, kSearchTol, false, &qx, &qy, &r));
  EXPECT_TRUE(std::isnan(qx));
  EXPECT_EQ(qy, 0.5);
  // k1 = 1e-3 folds over at r = 18.26 mm, where r - k1 r^3 peaks at 12.17
  // mm: the ideal (-18, -12) mm (r = 21.6) has no measured point. Newton
  // finds one on the folded branch, across the picture; Invert refuses it
  // and hands back the target, as a failed search does.
  const double strong[8] = {1e-3, 0, 0, 0, 0, 0, 0, 0};
  const CalcDistortion fold(1, strong);
  ASSERT_TRUE(fold.Newton(-18, -12, kSearchTol, false, -18, -12, &qx, &qy, &r));
  EXPECT_NEAR(qx, 32.8, 0.1);
  EXPECT_NEAR(qy, 21.8, 0.1);
  r = -1;
  EXPECT_FALSE(fold.Invert(-18, -12, kSearchTol, false, &qx, &qy, &r));
  EXPECT_EQ(qx, -18.0);
  EXPECT_EQ(qy, -12.0);
  EXPECT_EQ(r, -1.0);
}

// The count of leading zeros of the halving blocks, in the build's path
// and in the portable one (COLLINEAR_PORTABLE_SEARCH builds with it).
TEST(CalcDistortion, CountsLeadingZerosOnEitherPath) {
  namespace ds = collinear::dist_search;
  for (int k = 0; k < 64; ++k) {  // the top bit alone and with all below it
    const std::uint64_t bit = std::uint64_t{1} << k;
    for (const std::uint64_t v : {bit, bit | (bit - 1)}) {
      EXPECT_EQ(ds::CountLeadingZerosPortable(v), 63 - k) << v;
      EXPECT_EQ(ds::CountLeadingZeros(v), 63 - k) << v;
    }
  }
}
