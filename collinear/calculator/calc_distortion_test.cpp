#include <collinear/calculator/calc_distortion.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/calculator/calc_distortion_portable.h>
#include <collinear/calculator/calc_distortion_reference.h>

using collinear::CalcDistortion;
using Plain = collinear::CalcDistortionReference;  // the step-by-step search

namespace {

// A 35 mm lens on a 6000 x 4000 sensor of 0.006 mm pixels, principal point
// at the centre: photo coordinates within +-18 mm by +-12 mm.
constexpr double kPixelMm = 0.006;
constexpr double kHalfWidthMm = 18.0, kHalfHeightMm = 12.0;
constexpr double kSearchTol = 1e-15;  // what the calculator passes, mm

struct ParaSet {
  const char* name;
  unsigned long model;
  double p[8];
};

// Realistic parameters give up to ~0.2 mm (35 px) of distortion in the
// corners; strong ones up to ~1.5 mm.
const ParaSet kRealistic[] = {
    {"model 1", 1, {1e-5, -2e-8, 5e-11, -1e-13}},
    {"model 2", 2, {1e-5, -2e-8, 2e-5, -1e-5}},
    {"model 3", 3, {1e-5, -2e-8, 5e-11, 2e-5, -1e-5}},
    {"model 4", 4, {1e-4, -2e-7, 2e-4, -3e-4, 1e-5, -2e-5, 3e-5, -4e-5}},
};
const ParaSet kStrong[] = {
    {"model 1", 1, {1e-4, -2e-7, 5e-10, -1e-12}},
    {"model 2", 2, {1e-4, -2e-7, 2e-4, -1e-4}},
    {"model 3", 3, {1e-4, -2e-7, 5e-10, 2e-4, -1e-4}},
    {"model 4", 4, {3e-4, -6e-7, 1e-3, -1e-3, 5e-5, -5e-5, 1e-4, -1e-4}},
};

// The measured point q whose correction q - D(q) is the target; residual
// of the equation in mm.
double EquationResidual(
    const CalcDistortion& c, double qx, double qy, double tx, double ty) {
  double dx, dy;
  c.Distort(qx, qy, dx, dy);
  return std::hypot(qx - dx - tx, qy - dy - ty);
}

}  // namespace

TEST(CalcDistortion, ModelFormulas) {
  const double x = 3.0, y = -2.0, r2 = 13.0;
  const double p[8] = {1e-3, 2e-5, 3e-7, 4e-9, 5e-4, 6e-4, 7e-4, 8e-4};
  struct {
    unsigned long model;
    double dx, dy;
  } expected[] = {
      {1,
       x * (1e-3 * r2 + 2e-5 * std::pow(r2, 2) + 3e-7 * std::pow(r2, 3) +
            4e-9 * std::pow(r2, 4)),
       y * (1e-3 * r2 + 2e-5 * std::pow(r2, 2) + 3e-7 * std::pow(r2, 3) +
            4e-9 * std::pow(r2, 4))},
      {2,
       x * (1e-3 * r2 + 2e-5 * r2 * r2) + 3e-7 * (r2 + 18) + 2 * 4e-9 * x * y,
       y * (1e-3 * r2 + 2e-5 * r2 * r2) + 4e-9 * (r2 + 8) + 2 * 3e-7 * x * y},
      {3,
       x * (1e-3 * r2 + 2e-5 * r2 * r2 + 3e-7 * std::pow(r2, 3)) +
           4e-9 * (r2 + 18) + 2 * 5e-4 * x * y,
       y * (1e-3 * r2 + 2e-5 * r2 * r2 + 3e-7 * std::pow(r2, 3)) +
           5e-4 * (r2 + 8) + 2 * 4e-9 * x * y},
      {4,
       x * (1e-3 * r2 + 2e-5 * r2 * r2) + 3e-7 * x + 4e-9 * y + 5e-4 * x * y +
           6e-4 * y * y,
       y * (1e-3 * r2 + 2e-5 * r2 * r2) + 7e-4 * x * y + 8e-4 * x * x},
      {0, 0.0, 0.0},
      {5, 0.0, 0.0},
      {1000, 0.0, 0.0},
  };
  const double kTolMm = 1e-15;  // differently ordered sums of ~0.1 mm
  for (const auto& e : expected) {
    SCOPED_TRACE(e.model);
    double dx = 1, dy = 1;
    CalcDistortion(e.model, p).Distort(x, y, dx, dy);
    EXPECT_NEAR(dx, e.dx, kTolMm);
    EXPECT_NEAR(dy, e.dy, kTolMm);
  }
  // Model 4: p2 and p3 act on dx only.
  const double affine[8] = {0, 0, 1e-3, 2e-3, 0, 0, 0, 0};
  double dx, dy;
  CalcDistortion(4, affine).Distort(x, y, dx, dy);
  EXPECT_DOUBLE_EQ(dx, 1e-3 * x + 2e-3 * y);
  EXPECT_EQ(dy, 0.0);
}

TEST(CalcDistortion, JacobianMatchesCentralDifferences) {
  const double kStepMm = 1e-5;
  const double kTol = 1e-9;  // difference-quotient error, dimensionless
  for (const ParaSet* sets : {kRealistic, kStrong}) {
    for (int m = 0; m < 4; ++m) {
      SCOPED_TRACE(sets[m].name);
      const CalcDistortion c(sets[m].model, sets[m].p);
      for (const auto& [x, y] : {std::pair{7.5, -4.0}, {-15.0, 11.0}}) {
        double jac[4];
        c.Jacobian(x, y, jac);
        double xp[2], xm[2], yp[2], ym[2];
        c.Distort(x + kStepMm, y, xp[0], xp[1]);
        c.Distort(x - kStepMm, y, xm[0], xm[1]);
        c.Distort(x, y + kStepMm, yp[0], yp[1]);
        c.Distort(x, y - kStepMm, ym[0], ym[1]);
        EXPECT_NEAR(jac[0], (xp[0] - xm[0]) / (2 * kStepMm), kTol);
        EXPECT_NEAR(jac[1], (yp[0] - ym[0]) / (2 * kStepMm), kTol);
        EXPECT_NEAR(jac[2], (xp[1] - xm[1]) / (2 * kStepMm), kTol);
        EXPECT_NEAR(jac[3], (yp[1] - ym[1]) / (2 * kStepMm), kTol);
      }
    }
  }
}

TEST(CalcDistortion, SearchHardSpots) {
  const double p0[8] = {1e-4, 0, 0, 0, 0, 0, 0, 0};
  double qx = 0, qy = 0, r = -1;
  // No distortion: the input at once, residual 0.
  ASSERT_TRUE(CalcDistortion(0, p0).Search(
      3.5, -2.25, kSearchTol, false, &qx, &qy, &r));
  EXPECT_EQ(qx, 3.5);
  EXPECT_EQ(qy, -2.25);
  EXPECT_EQ(r, 0.0);
  // D(10, 0) = (0.1, 0): the measured point of the ideal (9.9, 0) is
  // (10, 0) exactly.
  const CalcDistortion c(1, p0);
  double dx, dy;
  c.Distort(10.0, 0.0, dx, dy);
  EXPECT_DOUBLE_EQ(dx, 0.1);
  EXPECT_EQ(dy, 0.0);
  ASSERT_TRUE(c.Search(9.9, 0.0, kSearchTol, false, &qx, &qy, &r));
  EXPECT_EQ(qx, 10.0);
  EXPECT_EQ(qy, 0.0);
  EXPECT_EQ(r, 0.0);
  // With the sign flag the equation is q + D(q) = target.
  ASSERT_TRUE(c.Search(10.1, 0.0, kSearchTol, true, &qx, &qy, &r));
  EXPECT_EQ(qx, 10.0);
  // A NaN target ends (no endless bisection) and fails.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  qx = qy = 7.0;
  r = -1;
  EXPECT_FALSE(c.Search(nan, 1.0, kSearchTol, false, &qx, &qy, &r));
  EXPECT_TRUE(std::isnan(qx));
  EXPECT_EQ(qy, 1.0);
  EXPECT_EQ(r, -1.0);  // untouched
}

// Whether Search and the reference search agree bit for bit on (x, y):
// the result, both coordinates and the residual (untouched on failure).
bool SameAsReference(const CalcDistortion& c,
                     const Plain& plain,
                     double x,
                     double y,
                     bool sign) {
  double q[2], ref[2], r[2] = {-1, -1};
  const bool ok = c.Search(x, y, kSearchTol, sign, &q[0], &q[1], &r[0]);
  const bool ok_ref =
      plain.Search(x, y, kSearchTol, sign, &ref[0], &ref[1], &r[1]);
  return ok == ok_ref && std::memcmp(q, ref, sizeof q) == 0 &&
         std::memcmp(&r[0], &r[1], sizeof(double)) == 0;
}

// Runs count(calculator, reference, model index) for every model at
// realistic and at strong parameters; each must report no difference.
template <class Count>
void ExpectNoDifference(Count count) {
  for (const ParaSet* sets : {kRealistic, kStrong}) {
    for (int m = 0; m < 4; ++m) {
      SCOPED_TRACE(sets[m].name);
      const CalcDistortion c(sets[m].model, sets[m].p);
      const Plain plain(sets[m].model, sets[m].p);
      EXPECT_EQ(count(c, plain, m), 0);
    }
  }
}

// The search skips the evaluation of bisection midpoints whose side is
// certain; its results must be those of evaluating every one, bit for bit,
// also for points off the picture, at the centre and on the axes.
TEST(CalcDistortion, SearchMatchesTheReferenceBitForBit) {
  ExpectNoDifference([](const CalcDistortion& c, const Plain& plain, int m) {
    std::mt19937 rng(77 + m);
    std::uniform_real_distribution<double> u(-25.0, 25.0);
    int differ = 0;
    for (int k = 0; k < 20000; ++k) {
      double x = u(rng), y = u(rng);
      if (k % 10 == 1) x = 0.0;
      if (k % 10 == 2) y = std::ldexp(1.0, k % 7);  // a power of two
      if (k % 10 == 3) y = -1e-9;
      for (bool sign : {false, true})
        differ += !SameAsReference(c, plain, x, y, sign);
    }
    return differ;
  });
}

// The targets Phc2Imc hands the search: corrections of measured points
// over the picture, including those where the walk runs out of steps.
TEST(CalcDistortion, SearchMatchesTheReferenceOnPictureTargets) {
  ExpectNoDifference([](const CalcDistortion& c, const Plain& plain, int m) {
    std::mt19937 rng(301 + m);
    std::uniform_real_distribution<double> col(0.0, 6000.0), row(0.0, 4000.0);
    int differ = 0;
    for (int k = 0; k < 4000; ++k) {
      const double x = col(rng) * kPixelMm - kHalfWidthMm;
      const double y = kHalfHeightMm - row(rng) * kPixelMm;
      double dx, dy;
      c.Distort(x, y, dx, dy);
      differ += !SameAsReference(c, plain, x - dx, y - dy, false);
      differ += !SameAsReference(c, plain, x + dx, y + dy, true);
    }
    return differ;
  });
  // Two pixels where the walk runs out of steps (model 4): both fail alike.
  const CalcDistortion c4(kRealistic[3].model, kRealistic[3].p);
  const Plain plain4(kRealistic[3].model, kRealistic[3].p);
  for (const auto& [px, py] :
       {std::pair{2987.2101, 3944.0761}, std::pair{3001.0037, 3700.2408}}) {
    const double x = px * kPixelMm - kHalfWidthMm;
    const double y = kHalfHeightMm - py * kPixelMm;
    double dx, dy;
    c4.Distort(x, y, dx, dy);
    EXPECT_TRUE(SameAsReference(c4, plain4, x - dx, y - dy, false))
        << px << ", " << py;
  }
}

// Where the shortcuts change course: brackets across a power of two (the
// spacing of doubles changes), around zero and among tiny numbers, far off
// the picture where the model's slope bound fails, and signed zeros.
TEST(CalcDistortion, SearchMatchesTheReferenceAtEdges) {
  std::vector<double> coords = {0.0,
                                -0.0,
                                5e-324,
                                -1e-310,
                                1e-300,
                                1e-12,
                                -3e-7,
                                1e-3,
                                150.0,
                                -400.0,
                                1e6};
  for (int e = -2; e <= 5; ++e) {
    for (int j = -3; j <= 3; ++j) {
      const double edge = std::ldexp(1.0, e);
      coords.push_back(edge + j * 1e-3);  // brackets straddle the edge
      coords.push_back(-edge + j * 3e-16 * edge);
    }
  }
  ExpectNoDifference(
      [&coords](const CalcDistortion& c, const Plain& plain, int) {
        int differ = 0;
        for (double x : coords) {
          for (double y : coords) {
            for (bool sign : {false, true})
              differ += !SameAsReference(c, plain, x, y, sign);
          }
        }
        return differ;
      });
}

// The bisection alone, on brackets of every kind: around the root or not,
// either order of the ends, across powers of two and zero, with no
// tolerance, the search's and coarse ones; the other coordinate stays.
TEST(CalcDistortion, BisectMatchesTheReferenceBitForBit) {
  const int kBrackets = 3000;
  // A negative tolerance never ends the bisection by width.
  const double kTols[] = {0.0, kSearchTol, 1e-12, 1e-6, 0.5, -1.0};
  ExpectNoDifference(
      [&kTols](const CalcDistortion& c, const Plain& plain, int m) {
        std::mt19937 rng(911 + m);
        std::uniform_real_distribution<double> u(-20.0, 20.0), unit(0.0, 1.0);
        int differ = 0;
        for (int k = 0; k < kBrackets; ++k) {
          const int i = k % 2;
          double q[2] = {u(rng), u(rng)};
          double dx, dy;
          c.Distort(q[0], q[1], dx, dy);
          const double sgn = k % 3 == 0 ? 1.0 : -1.0;
          const double target[2] = {q[0] + sgn * dx, q[1] + sgn * dy};
          // Ends about the root (sometimes missing it), of widths from a few
          // units in the last place to millimetres.
          const double width = std::ldexp(unit(rng) + 0.5, -(k % 50));
          double low[2] = {q[0], q[1]}, high[2] = {q[0], q[1]};
          low[i] = q[i] - width * (2.0 * unit(rng) - 0.2);
          high[i] = q[i] + width * (2.0 * unit(rng) - 0.2);
          if (k % 7 == 0) std::swap(low[i], high[i]);
          if (k % 11 == 0) low[i] = std::ldexp(1.0, k % 5) * (1.0 - 1e-4);
          if (k % 13 == 0) high[i] = -low[i] * 0.5;  // across zero
          const double tol = kTols[k % 6];
          double p[2] = {u(rng), q[1 - i]}, p_ref[2];
          p[i] = u(rng);
          std::memcpy(p_ref, p, sizeof p);
          c.Bisect(p, i, target, low, high, sgn, tol);
          plain.Bisect(p_ref, i, target, low, high, sgn, tol);
          differ += std::memcmp(p, p_ref, sizeof p) != 0;
        }
        return differ;
      });
}

// Ends that are themselves the root (f(end) == target exactly) or its
// neighbours: where the bisection closes on the last key pair, odd and even
// keys alike.
TEST(CalcDistortion, BisectMatchesTheReferenceWhereAnEndHitsTheTarget) {
  ExpectNoDifference([](const CalcDistortion& c, const Plain& plain, int) {
    int differ = 0;
    for (int k = 0; k < 400; ++k) {
      const int i = k % 2;
      double q[2] = {-17.0 + 0.0853 * k, 11.0 - 0.0561 * k};
      // Nudge the root key by 0..3 units: both parities.
      q[i] = std::nextafter(q[i], k % 8 < 4 ? 100.0 : -100.0);
      if (k % 3 == 0) q[i] = std::nextafter(q[i], 100.0);
      double dx, dy;
      c.Distort(q[0], q[1], dx, dy);
      const double target[2] = {q[0] - dx, q[1] - dy};
      for (const double tol : {0.0, kSearchTol}) {
        for (int e = -1; e <= 1; ++e) {  // the end: the root or beside it
          double end = q[i];
          if (e != 0) end = std::nextafter(end, e * 100.0);
          for (const double w : {4e-15, 3e-12, 0.02}) {
            for (const bool up : {true, false}) {
              double low[2] = {q[0], q[1]}, high[2] = {q[0], q[1]};
              low[i] = up ? end : end - w;
              high[i] = up ? end + w : end;
              double p[2] = {q[0], q[1]}, p_ref[2] = {q[0], q[1]};
              c.Bisect(p, i, target, low, high, -1.0, tol);
              plain.Bisect(p_ref, i, target, low, high, -1.0, tol);
              differ += std::memcmp(p, p_ref, sizeof p) != 0;
            }
          }
        }
      }
    }
    return differ;
  });
}

// A further term of 1e15 mm beside a bracket near 1e-292: the root region
// is more keys wide than any integer, and its centre as many keys away.
TEST(CalcDistortion, BisectMatchesTheReferenceOnTinyBracketsOfHugeTerms) {
  const double para[8] = {0, 0, 0, 1e14, 0, 0, 0, 0};
  const CalcDistortion c(4, para);
  const Plain plain(4, para);
  const double lo = 6e-293, hi = 9e-293, x0 = 7e-293, y = 10.0;
  double dx, dy;
  c.Distort(x0, y, dx, dy);
  for (const double off : {-3.0, -1.0, 0.0, 1.0, 3.0}) {
    SCOPED_TRACE(off);
    const double target[2] = {x0 - dx + off, 0.0};
    const double low[2] = {lo, y}, high[2] = {hi, y};
    double p[2] = {x0, y}, p_ref[2] = {x0, y};
    c.Bisect(p, 0, target, low, high, -1.0, 0.0);
    plain.Bisect(p_ref, 0, target, low, high, -1.0, 0.0);
    EXPECT_EQ(std::memcmp(p, p_ref, sizeof p), 0);
  }
}

TEST(CalcDistortion, BisectionAcceptsEndsInEitherOrder) {
  const double p[8] = {1e-4, 0, 0, 0, 0, 0, 0, 0};
  const CalcDistortion c(1, p);
  const double target[2] = {9.9, 0.0};
  // F(q) = q - D(q) is increasing near 10: F(9.5) < 9.9 < F(10.5).
  const double low[2] = {9.5, 0.0}, high[2] = {10.5, 0.0};
  double q[2] = {0.0, 0.0};
  c.Bisect(q, 0, target, low, high, -1.0, kSearchTol);
  EXPECT_EQ(q[0], 10.0);
  EXPECT_EQ(q[1], 0.0);  // the other coordinate stays
  // With s = +1 and a decreasing slope the low end is the larger number.
  const double down[8] = {-5e-2, 0, 0, 0, 0, 0, 0, 0};
  const CalcDistortion d(1, down);  // F(q) = q - 0.05 q^3 near q = 3
  double f_lo, dummy;
  d.Distort(3.0, 0.0, f_lo, dummy);
  const double t2[2] = {3.0 + f_lo, 0.0};  // F(3) for s = +1
  const double hi2[2] = {2.9, 0.0}, lo2[2] = {3.1, 0.0};
  double q2[2] = {0.0, 0.0};
  d.Bisect(q2, 0, t2, lo2, hi2, 1.0, kSearchTol);
  EXPECT_NEAR(q2[0], 3.0, 1e-14);
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

TEST(CalcDistortion, InverseRoundTripsWithin20mm) {
  const double kTolMm = 1e-9;
  for (const ParaSet& s : kRealistic) {
    SCOPED_TRACE(s.name);
    const CalcDistortion c(s.model, s.p);
    for (double x = -20.0; x <= 20.0; x += 0.625) {
      for (double y = -20.0; y <= 20.0; y += 0.625) {
        if (std::hypot(x, y) > 20.0) continue;
        double dx, dy, qx, qy, r;
        c.Distort(x, y, dx, dy);
        ASSERT_TRUE(c.Invert(x - dx, y - dy, kSearchTol, false, &qx, &qy, &r))
            << x << ", " << y;
        EXPECT_NEAR(qx, x, kTolMm);
        EXPECT_NEAR(qy, y, kTolMm);
      }
    }
  }
}

// A pixel where dx is near zero while y moves a lot: the bracketing walk
// runs out of steps and the search alone leaves the point ~19 px off.
TEST(CalcDistortion, NewtonFinishesWhereTheWalkRunsOut) {
  const ParaSet& s = kRealistic[3];
  const CalcDistortion c(s.model, s.p);
  const double px = 2987.2101, py = 3944.0761;
  const double x = px * kPixelMm - kHalfWidthMm;
  const double y = kHalfHeightMm - py * kPixelMm;
  double dx, dy;
  c.Distort(x, y, dx, dy);
  const double tx = x - dx, ty = y - dy;
  double qx = 0, qy = 0, r = -1, best[2];
  ASSERT_FALSE(c.Search(tx, ty, kSearchTol, false, &qx, &qy, &r, best));
  EXPECT_EQ(qx, tx);
  EXPECT_EQ(qy, ty);
  EXPECT_GT(std::fabs(qy - y) / kPixelMm, 15.0);
  ASSERT_TRUE(c.Invert(tx, ty, kSearchTol, false, &qx, &qy, &r));
  const double kTolMm = 1e-12;
  EXPECT_NEAR(qx, x, kTolMm);
  EXPECT_NEAR(qy, y, kTolMm);
  EXPECT_LE(r, kTolMm);
  EXPECT_EQ(r, EquationResidual(c, qx, qy, tx, ty));
  // From a start far off, too.
  ASSERT_TRUE(c.Newton(tx, ty, kSearchTol, false, 5.0, 5.0, &qx, &qy, &r));
  EXPECT_NEAR(qy, y, kTolMm);
}

TEST(CalcDistortion, NewtonLeavesOutputsOnFailure) {
  const CalcDistortion c(kStrong[0].model, kStrong[0].p);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  double qx = 1, qy = 2, r = 3;
  EXPECT_FALSE(c.Newton(nan, 0.0, kSearchTol, false, 0, 0, &qx, &qy, &r));
  EXPECT_EQ(qx, 1.0);
  EXPECT_EQ(qy, 2.0);
  EXPECT_EQ(r, 3.0);
  // Invert falls back to the target itself.
  EXPECT_FALSE(c.Invert(nan, 0.5, kSearchTol, false, &qx, &qy, &r));
  EXPECT_TRUE(std::isnan(qx));
  EXPECT_EQ(qy, 0.5);
}

// 100,000 random pixels over the picture per model and parameter set: the
// measured photo point goes to its correction and back. Counts how often
// the search alone fails and how often the point stays wrong after the
// Newton finish (none may).
TEST(CalcDistortion, SweepOfThePicture) {
  const int kPoints = 100000;
  const double kTolMm = 1e-12;
  for (const ParaSet* sets : {kRealistic, kStrong}) {
    for (int m = 0; m < 4; ++m) {
      const ParaSet& s = sets[m];
      SCOPED_TRACE(s.name);
      const CalcDistortion c(s.model, s.p);
      std::mt19937 rng(20240 + m);
      std::uniform_real_distribution<double> col(0.0, 6000.0), row(0.0, 4000.0);
      int search_failed = 0, still_wrong = 0;
      double worst_mm = 0.0;
      for (int k = 0; k < kPoints; ++k) {
        const double x = col(rng) * kPixelMm - kHalfWidthMm;
        const double y = kHalfHeightMm - row(rng) * kPixelMm;
        double dx, dy, qx, qy, r;
        c.Distort(x, y, dx, dy);
        const double tx = x - dx, ty = y - dy;
        bool ok = c.Search(tx, ty, kSearchTol, false, &qx, &qy, &r);
        if (!ok) {
          ++search_failed;
          ok = c.Invert(tx, ty, kSearchTol, false, &qx, &qy, &r);
        }
        const double err = std::hypot(qx - x, qy - y);
        worst_mm = std::max(worst_mm, err);
        if (!ok || err > kTolMm) ++still_wrong;
      }
      std::printf(
          "[ sweep    ] %s %-8s search alone failed %3d, after the "
          "Newton finish %d wrong; worst %.2g mm\n",
          sets == kRealistic ? "realistic" : "strong   ",
          s.name,
          search_failed,
          still_wrong,
          worst_mm);
      EXPECT_EQ(still_wrong, 0);
    }
  }
}
