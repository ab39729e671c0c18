// Independent objects driven from eight threads at once. Each thread's
// results are hashed bit for bit and compared with a run of the same work on
// one thread: hidden shared state or a race shows as a changed bit here and
// as a report in the ThreadSanitizer build (make tsan).
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <collinear/calculator/calculator_test_util.h>
#include <collinear/calculator/crd_calculator.h>
#include <collinear/calculator/host/host_catalogue.h>
#include <collinear/geo/geo_coord.h>
#include <collinear/geo/geo_host.h>
#include <collinear/geo/proj_system.h>
#include <collinear/leastsq/leastsq.h>
#include <collinear/orientation/dlt.h>
#include <collinear/orientation/resection_start.h>
#include <collinear/orientation/sinori.h>
#include <collinear/orientation/test_scenes.h>

namespace collinear {
namespace {

using test_support::BitHash;
using test_support::P2;
using test_support::P3;
using test_support::Uniform;
using testdata::Points;

constexpr int kThreads = 8;
constexpr int kRounds = 2;  // each thread repeats its work
constexpr double kFocusPx = 1000.0;
constexpr double kNoisePx = 0.3;
constexpr double kTolCentreM = 0.5;      // 0.3 px noise, 20 points, ~150 m away
constexpr double kTolDltCentreM = 10.0;  // the same, interior orientation free

// One hash per kind of object, so that a mismatch names the kind, and the
// kinds whose results were wrong outright (a failed solution, a refused
// conversion, a registry that lost an entry).
struct Digests {
  std::uint64_t calculator = 0, leastsq = 0, resect = 0, sinori = 0, dlt = 0,
                geo = 0;
  std::string wrong;
  void Check(bool ok, const char* kind) {
    if (!ok) wrong += std::string(kind) + " ";
  }
};

// Three draws in turn (the order in which function arguments are
// evaluated is open).
P3 Draw(std::mt19937_64& rng, const P3& lo, const P3& hi) {
  const double x = Uniform(rng, lo.x, hi.x);
  const double y = Uniform(rng, lo.y, hi.y);
  return P3(x, y, Uniform(rng, lo.z, hi.z));
}

void AddPoint(BitHash& h, const CXYZ& p) {
  h.Add(p.m_x);
  h.Add(p.m_y);
  h.Add(p.m_z);
}

void AddRot(BitHash& h, const CRot& r) {
  for (double v : r.m_r) h.Add(v);
}

// Host systems, the catalogue and one calculator that all threads share;
// everything else each thread makes for itself.
class ThreadsTest : public test_support::HostScene {
 protected:
  void SetUp() override {
    systems_->Add(&wgs84_->SetString(1, kGeoWgs84Key));
    HostCatalogue::Register(kGeoCatalogueClass, systems_.get());
    test_support::SetWorking(*crs_, 2, utm_.get());
    shared_ = test_support::WorkingIn(crs_.get());
    test_support::SetRealCamera(shared_);
    const double model3[5] = {1e-5, -2e-8, 5e-11, 2e-5, -1e-5};
    ASSERT_TRUE(shared_.SetDistortionModelData(3, 5, model3));
    // 2 km south of 47 N 15 E, 2000 m up, looking at that point.
    shared_.InitOrientation(P3(500000, 5205247, 2000), P3(0, 2000, -2000));
    ASSERT_TRUE(shared_.IsValid());
  }
  void TearDown() override { HostCatalogue::Unregister(kGeoCatalogueClass); }

  Digests Work(int seed);

  ComPtr<HostObject> wgs84_ =
      test_support::SystemObject(ProjCoordSystem::Create("EPSG:4326").get());
  ComPtr<HostObjectSet> systems_ = HostObjectSet::Create();
  CCrdCalculator shared_;
};

Digests ThreadsTest::Work(int seed) {
  Digests d;
  const CCrdCalculator& shared = shared_;  // const use only
  std::mt19937_64 rng(seed);
  BitHash h;

  // Solvers: a camera 150 m above a control field of 20 points, the
  // images with 0.3 px of noise.
  testdata::TrueCamera cam;
  const P3 c = Draw(rng, P3(-20, -20, 150), P3(20, 20, 150));
  const P3 wpk = Draw(rng, P3(-0.1, -0.1, -3), P3(0.1, 0.1, 3));
  cam.centre = CXYZ(c.x, c.y, c.z);
  cam.wpk = CWPK(wpk.x, wpk.y, wpk.z);
  cam.cx = cam.cy = kFocusPx;
  const Points obj =
      testdata::RandomBox(20, CXYZ(-60, -60, 0), CXYZ(60, 60, 15), seed);
  std::mt19937 noise(seed);
  Points img = testdata::AddNoise(cam.ProjectAll(obj), kNoisePx, noise);

  const ResectionResult r = Resect(obj, img, kFocusPx);
  d.Check(r.converged && r.centre.Len(cam.centre) < kTolCentreM, "resect");
  h.Add(r.converged);
  AddPoint(h, r.centre);
  AddRot(h, r.rot);
  AddPoint(h, r.rms);
  d.resect = h.value();

  h = BitHash();
  CSinOri s;
  Points obj_copy, img_copy;
  obj_copy.Copy(obj);
  img_copy.Copy(img);
  d.Check(s.Create(obj_copy, img_copy, kFocusPx) != 0 && s.CalSinOri() == 1 &&
              s.m_Center.Len(cam.centre) < kTolCentreM,
          "sinori");
  AddPoint(h, s.m_Center);
  AddRot(h, s.m_Rot);
  AddPoint(h, s.m_Rms);
  d.sinori = h.value();

  h = BitHash();
  CDlt dlt;
  d.Check(dlt.Create(obj_copy, img_copy, kFocusPx) == 1 &&
              dlt.CalDlt3D() == 1 &&
              dlt.m_Center.Len(cam.centre) < kTolDltCentreM,
          "dlt");
  for (INT_PTR i = 0; i < dlt.m_Dlt.GetSize(); ++i) h.Add(dlt.m_Dlt[i]);
  AddPoint(h, dlt.m_Center);
  AddPoint(h, dlt.m_PrincipalPoint);
  d.dlt = h.value();

  // The engine alone: a cubic through 50 noisy samples.
  h = BitHash();
  CLeastSq lsq(50, 4);
  const double coef[4] = {1.5, -0.25, 0.125, 0.01};
  for (int i = 0; i < 50; ++i) {
    const double x = Uniform(rng, -3, 3);
    const double row[5] = {1,
                           x,
                           x * x,
                           x * x * x,
                           coef[0] +
                               x * (coef[1] + x * (coef[2] + x * coef[3])) +
                               Uniform(rng, -1e-3, 1e-3)};
    lsq.SetObeqRow(row);
  }
  d.Check(lsq.Solve() == 1 && std::fabs(lsq.GetBcor(1) - coef[1]) < 1e-3,
          "leastsq");
  for (int k = 0; k < 4; ++k) h.Add(lsq.GetBcor(k));
  h.Add(lsq.CalStandard2());
  h.Add(lsq.GetCovar(0, 3));
  d.leastsq = h.value();

  // The shared calculator through its const functions (the distortion
  // search both ways; host points on WGS 84 converted into UTM by PROJ),
  // and a copy of it turned elsewhere.
  h = BitHash();
  CCrdCalculator own = shared;
  own.InitOrientation(P3(500000 + Uniform(rng, -500, 500), 5204000, 1500),
                      P3(0, 1, -1));
  for (int i = 0; i < 10; ++i) {
    const P3 px = Draw(rng, P3(0, 0, 0), P3(6000, 4000, 0));
    const P2 pixel(px.x, px.y);
    const P2 photo = shared.Imc2Phc(pixel);
    h.Add(photo);
    h.Add(shared.Phc2Imc(photo));
    ComPtr<HostObject> point = test_support::PointObject(
        wgs84_.get(),
        {Draw(rng, P3(46.995, 14.995, 0), P3(47.005, 15.005, 200))},
        crs_.get(),
        kGeoFormGeodetic | kGeoHasAll);
    P2 a, b;
    d.Check(shared.GetPointOnImageCoords(point.get(), a, false) &&
                own.GetPointOnImageCoords(point.get(), b, false),
            "calculator");
    h.Add(a);
    h.Add(b);
  }
  d.calculator = h.value();

  // Geodetic conversions: through the shared WGS 84 system into a system
  // of this thread's own, and into latitude and longitude by a working
  // system of kind 8 that the calculator finds in the host catalogue.
  h = BitHash();
  ComPtr<ProjCoordSystem> zone32 = ProjCoordSystem::Create("EPSG:32632");
  ComPtr<HostObject> latlon_crs = HostObject::Create();
  latlon_crs->SetInt32(kGeoPropKind, 8);
  const CCrdCalculator geodetic = test_support::WorkingIn(latlon_crs.get());
  for (int i = 0; i < 5; ++i) {
    const P3 lat_lon_h = Draw(rng, P3(40, 6, 0), P3(55, 12, 500));
    const GeoCoordPoint p(QueryGeoSystem(wgs84_.get()).get(),
                          lat_lon_h.x,
                          lat_lon_h.y,
                          lat_lon_h.z,
                          kGeoFormGeodetic | kGeoHasAll,
                          nullptr);
    GeoCoordPoint out;
    d.Check(p.Convert(out,
                      zone32.get(),
                      kGeoFormPlane,
                      nullptr,
                      nullptr,
                      kGeoBestOperation),
            "geo");
    for (double v : out.m_Coord) h.Add(v);
    ComPtr<HostObject> q =
        Located({Draw(rng, P3(4e5, 5.1e6, 100), P3(6e5, 5.3e6, 100))});
    const P3 lat_lon = geodetic.GetPointAbsCoords(q.get(), nullptr, 0);
    d.Check(!DefTriad::IsPartialUndef(lat_lon), "geo");
    h.Add(lat_lon);
  }
  d.geo = h.value();

  // The catalogue registry: an entry of this thread's own, registered,
  // replaced, found and withdrawn while the others do the same.
  const GUID mine = {0x7e570000u + static_cast<std::uint32_t>(seed), 1, 2, {}};
  for (int i = 0; i < 20; ++i) {
    ComPtr<HostObject> first = HostObject::Create();
    ComPtr<HostObject> second = HostObject::Create();
    HostCatalogue::Register(mine, first.get());
    HostCatalogue::Register(mine, second.get());
    IUnknown* found = HostCatalogue::Find(mine);
    IUnknown* catalogue = HostCatalogue::Find(kGeoCatalogueClass);
    d.Check(found == static_cast<IUnknown*>(second.get()) &&
                catalogue == static_cast<IUnknown*>(systems_.get()) &&
                HostCatalogue::Unregister(mine) &&
                HostCatalogue::Find(mine) == nullptr,
            "registry");
    if (found) found->Release();
    if (catalogue) catalogue->Release();
  }
  return d;
}

TEST_F(ThreadsTest, EightThreadsMatchOneThreadBitForBit) {
  std::vector<Digests> want(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    want[t] = Work(t);
    ASSERT_EQ(want[t].wrong, "") << "thread " << t << " alone";
  }
  std::vector<Digests> got(kThreads * kRounds);
  std::vector<std::thread> threads(kThreads);
  for (int t = 0; t < kThreads; ++t)
    threads[t] = std::thread([this, t, &got] {
      for (int k = 0; k < kRounds; ++k) got[t * kRounds + k] = Work(t);
    });
  for (std::thread& th : threads) th.join();
  for (int i = 0; i < kThreads * kRounds; ++i) {
    const Digests& w = want[i / kRounds];
    const Digests& g = got[i];
    SCOPED_TRACE("thread " + std::to_string(i / kRounds));
    EXPECT_EQ(g.wrong, "");
    EXPECT_EQ(g.calculator, w.calculator);
    EXPECT_EQ(g.leastsq, w.leastsq);
    EXPECT_EQ(g.resect, w.resect);
    EXPECT_EQ(g.sinori, w.sinori);
    EXPECT_EQ(g.dlt, w.dlt);
    EXPECT_EQ(g.geo, w.geo);
  }
}

}  // namespace
}  // namespace collinear
