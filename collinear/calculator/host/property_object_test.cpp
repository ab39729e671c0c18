#include <collinear/calculator/host/property_object.h>

#include <vector>

#include <gtest/gtest.h>

#include <collinear/calculator/host/host_catalogue.h>
#include <collinear/calculator/host/host_object.h>

using collinear::ComPtr;
using collinear::HostObject;
using collinear::HostObjectSet;

namespace {

constexpr GUID kPointClass =
    collinear::MakeGuid("{5c1d0e7a-61b2-4d3c-8e9f-a0b1c2d3e401}");
constexpr GUID kCatalogueClass =
    collinear::MakeGuid("{5c1d0e7a-61b2-4d3c-8e9f-a0b1c2d3e402}");

}  // namespace

TEST(TComPropertyObject, FollowsReferencesAndBalancesCounts) {
  ComPtr<HostObject> cam = HostObject::Create();
  cam->SetDouble(30, 35.0).AddClass(kPointClass);
  ComPtr<HostObject> img = HostObject::Create();
  img->SetObject(79, cam.get());
  const ULONG cam_refs = cam->ref_count(), img_refs = img->ref_count();
  {
    TComPropertyObject image(img.get());
    EXPECT_EQ(img->ref_count(), img_refs + 1);
    TComPropertyObject camera(image, 79);
    ASSERT_FALSE(!camera);
    EXPECT_EQ(camera.get(), cam.get());
    EXPECT_TRUE(camera.is_GUID(kPointClass));
    TBinValue<double> f;
    camera.get_value(30, f);
    EXPECT_EQ(f.value(), 35.0);
    // The copy constructor is under test.
    // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
    TComPropertyObject copy(camera), assigned;
    assigned = copy;
    const TComPropertyObject& self = assigned;
    assigned = self;  // self-assignment keeps the reference
    EXPECT_EQ(cam->ref_count(), cam_refs + 3);
    // Nothing there, or no owner: an empty wrapper reads nothing.
    TComPropertyObject none(image, 80);
    EXPECT_TRUE(!none);
    EXPECT_TRUE(!TComPropertyObject(nullptr, 79));
    f = TBinValue<double>(1.0);
    EXPECT_LT(none.get_value(30, f), 0);
    EXPECT_FALSE(f.is_valid());
    EXPECT_EQ(none.get_value_dims(35), 0u);
    EXPECT_FALSE(none.is_GUID(kPointClass));
  }
  EXPECT_EQ(cam->ref_count(), cam_refs);
  EXPECT_EQ(img->ref_count(), img_refs);
}

TEST(TComPropertyObjectSet, EnumeratesFiltersAndReleases) {
  ComPtr<HostObject> pts[3] = {
      HostObject::Create(), HostObject::Create(), HostObject::Create()};
  for (int k = 0; k < 3; ++k) {
    pts[k]->SetString(1, k == 0 ? "A" : k == 1 ? "B" : "C");
    if (k != 1) pts[k]->AddClass(kPointClass);
  }
  ComPtr<HostObject> img = HostObject::Create();
  img->SetObjects(23, {pts[0].get(), pts[1].get(), pts[2].get()});
  const ULONG refs = pts[0]->ref_count();
  {
    TComPropertyObjectSet all(img.get(), 23, nullptr);
    EXPECT_EQ(all.size(), 3);
    std::vector<IPropertyObject*> seen;
    for (auto it = all.enumerate(); it.is_valid(); it.next())
      seen.push_back(it.get());
    EXPECT_EQ(seen,
              (std::vector<IPropertyObject*>{
                  pts[0].get(), pts[1].get(), pts[2].get()}));

    TComPropertyObjectSet points(img.get(), 23, &kPointClass);
    EXPECT_EQ(points.size(), 2);
    EXPECT_EQ(points.get_at(1), pts[2].get());
    for (int k : {2, -1}) EXPECT_EQ(points.get_at(k), nullptr) << k;
    auto it = points.enumerate();
    it.next();
    auto later = it;  // an independent copy at the same place
    it.next();
    EXPECT_FALSE(it.is_valid());
    ASSERT_TRUE(later.is_valid());
    EXPECT_EQ(later.get(), pts[2].get());
    EXPECT_EQ(points.find_by_key(TBinValue<VkString>("C")), pts[2].get());
    EXPECT_EQ(points.find_by_key(TBinValue<VkString>("B")), nullptr);
  }
  EXPECT_EQ(pts[0]->ref_count(), refs);

  // No owner, or no such property: empty.
  for (HostObject* owner : {static_cast<HostObject*>(nullptr), img.get()}) {
    TComPropertyObjectSet none(owner, 24, nullptr);
    EXPECT_EQ(none.size(), 0);
    EXPECT_EQ(none.get_at(0), nullptr);
    EXPECT_FALSE(none.enumerate().is_valid());
  }
}

TEST(TComPropertyObjectFactory, FindsTheRegisteredCatalogueByKey) {
  ComPtr<HostObjectSet> systems = HostObjectSet::Create();
  ComPtr<HostObject> utm = HostObject::Create(), wgs = HostObject::Create();
  utm->SetString(1, "UTM32");
  wgs->SetString(1, "WGS84");
  systems->Add(utm.get()).Add(wgs.get());
  {
    TComPropertyObjectFactory absent(kCatalogueClass);
    EXPECT_TRUE(!absent);
    void* out = nullptr;
    EXPECT_EQ(absent.QueryInterface(IID_IPropertyObjectSet, &out),
              E_NOINTERFACE);
  }
  collinear::HostCatalogue::Register(kCatalogueClass, systems.get());
  const ULONG refs = systems->ref_count();
  {
    TComPropertyObjectFactory factory(kCatalogueClass);
    ASSERT_FALSE(!factory);
    void* out = nullptr;
    ASSERT_EQ(factory.QueryInterface(IID_IPropertyObjectSet, &out), S_OK);
    auto* raw = static_cast<IPropertyObjectSet*>(out);
    TComPropertyObjectSet set(raw);
    raw->Release();
    EXPECT_EQ(set.find_by_key(TBinValue<VkString>("WGS84")), wgs.get());
    EXPECT_EQ(factory.QueryInterface(IID_IPropertyObject, &out), E_NOINTERFACE);
  }
  EXPECT_EQ(systems->ref_count(), refs);
  EXPECT_TRUE(collinear::HostCatalogue::Unregister(kCatalogueClass));
  EXPECT_FALSE(collinear::HostCatalogue::Unregister(kCatalogueClass));
  EXPECT_EQ(systems->ref_count(), 1u);
}
