#include <collinear/calculator/host/host_object.h>

#include <cstdint>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include <collinear/geo/geo_coord.h>

using collinear::ComPtr;
using collinear::HostObject;

namespace {

constexpr GUID kPointClass =
    collinear::MakeGuid("{0b7e3b52-3a8c-4f0e-9d71-2f4c8a1e5d01}");
constexpr GUID kOtherClass =
    collinear::MakeGuid("{0b7e3b52-3a8c-4f0e-9d71-2f4c8a1e5d02}");
constexpr GUID kExtraIid =
    collinear::MakeGuid("{0b7e3b52-3a8c-4f0e-9d71-2f4c8a1e5d03}");

// An extra interface served by a tear-off that holds its owner.
class Extra : public collinear::GeoUnknown<IUnknown, kExtraIid> {
 public:
  explicit Extra(IPropertyObject* owner) : owner_(owner) {}
  IPropertyObject* owner() const { return owner_.get(); }

 private:
  ~Extra() override = default;  // released, never deleted directly
  ComPtr<IPropertyObject> owner_;
};

}  // namespace

TEST(HostObject, TypedReadsFollowThePropertyType) {
  ComPtr<HostObject> o = HostObject::Create();
  o->SetDouble(30, 35.0).SetInt32(39, 2).SetString(1, "P1");
  o->SetDoubles(35, {1e-5, -2e-8});

  // Missing property, element past the end, element of a scalar: no value.
  for (auto [id, index, want] : {std::tuple{30L, 0UL, 35.0},
                                 {35L, 1UL, -2e-8},
                                 {31L, 0UL, 0.0},
                                 {35L, 2UL, 0.0},
                                 {30L, 1UL, 0.0}}) {
    SCOPED_TRACE(id);
    TBinValue<double> v(1.0);
    EXPECT_EQ(o->get_value(id, &v, index), want != 0.0 ? S_OK : S_FALSE);
    EXPECT_EQ(v.is_valid() ? v.value() : 0.0, want);
  }
  // An integer is no double: the holder refuses it.
  TBinValue<double> i;
  EXPECT_LT(o->get_value(39, &i, 0), 0);
  EXPECT_FALSE(i.is_valid());
  TBinValue<VkString> s;
  EXPECT_EQ(o->get_value(1, &s, 0), S_OK);
  EXPECT_EQ(s.value(), "P1");
}

TEST(HostObject, RawReadsLeaveTheBufferOnMismatch) {
  ComPtr<HostObject> o = HostObject::Create();
  o->SetDouble(30, 35.0).SetInt32(73, 11).SetString(1, "P1");
  o->SetDoubles(36, {1.0, 2.0, 3.0});
  // -1: refused (past the end, an integer, missing) and left as it was.
  for (auto [id, index, want] : {std::tuple{30L, 0UL, 35.0},
                                 {36L, 2UL, 3.0},
                                 {36L, 3UL, -1.0},
                                 {73L, 0UL, -1.0},
                                 {99L, 0UL, -1.0}}) {
    double d = -1;
    EXPECT_EQ(o->get_raw_value(id, &d, index) == S_OK, want != -1.0) << id;
    EXPECT_EQ(d, want) << id;
  }
  std::int32_t n = -1;
  EXPECT_NE(o->get_raw_value(30, &n, 0), S_OK);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(o->get_raw_value(73, &n, 0), S_OK);
  EXPECT_EQ(n & 7, 3);
  CString name("x");
  EXPECT_NE(o->get_raw_value(30, &name, 0), S_OK);
  EXPECT_EQ(name, "x");
  EXPECT_EQ(o->get_raw_value(1, &name, 0), S_OK);
  EXPECT_EQ(name, "P1");

  EXPECT_EQ(o->get_value_dims(36), 3u);
  o->Remove(36);
  for (auto [id, dims] : {std::pair{36L, 0u}, {30L, 1u}, {99L, 0u}})
    EXPECT_EQ(o->get_value_dims(id), dims) << id;
}

TEST(HostObject, ReferencesAndSets) {
  ComPtr<HostObject> a = HostObject::Create(), b = HostObject::Create();
  ComPtr<HostObject> other = HostObject::Create(), img = HostObject::Create();
  img->SetObject(27, a.get()).SetObject(28, nullptr);
  img->SetObjects(23, {a.get(), other.get(), b.get()});

  IPropertyObject* got = nullptr;
  EXPECT_EQ(img->get_object(27, 0, &got), S_OK);
  EXPECT_EQ(got, a.get());
  got->Release();
  EXPECT_EQ(img->get_object(28, 0, &got), S_FALSE);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(img->get_value_dims(28), 0u);
  EXPECT_EQ(img->get_object(23, 2, &got), S_OK);  // element of a set
  EXPECT_EQ(got, b.get());
  got->Release();
  EXPECT_EQ(img->get_value_dims(23), 3u);

  // Class filters and keys of sets: TComPropertyObjectSet's tests.
  IPropertyObjectSet* set = nullptr;
  EXPECT_EQ(img->get_object_set(27, nullptr, &set), E_INVALIDARG);
  EXPECT_EQ(set, nullptr);
}

TEST(HostObject, ClassesAndExtraInterfaces) {
  ComPtr<HostObject> o = HostObject::Create();
  o->AddClass(kPointClass).AddClass(kPointClass);
  EXPECT_TRUE(o->is_class(kPointClass));
  EXPECT_FALSE(o->is_class(kOtherClass));

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(o->QueryInterface(kExtraIid, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  o->ExposeInterface(kExtraIid, [](IPropertyObject* owner, void** iface) {
    auto* e = new Extra(owner);
    e->AddRef();
    *iface = e;
    return S_OK;
  });
  const ULONG before = o->ref_count();
  ASSERT_EQ(o->QueryInterface(kExtraIid, &out), S_OK);
  auto* e = static_cast<Extra*>(out);
  EXPECT_EQ(e->owner(), o.get());
  EXPECT_EQ(o->ref_count(), before + 1);  // the tear-off holds its owner
  e->Release();
  EXPECT_EQ(o->ref_count(), before);

  ASSERT_EQ(o->QueryInterface(IID_IPropertyObject, &out), S_OK);
  EXPECT_EQ(out, static_cast<IPropertyObject*>(o.get()));
  static_cast<IPropertyObject*>(out)->Release();
}

TEST(HostObject, ClearBreaksReferenceCycles) {
  ComPtr<HostObject> a = HostObject::Create(), b = HostObject::Create();
  a->SetObject(1, b.get());
  b->SetObject(1, a.get());
  EXPECT_EQ(a->ref_count(), 2u);
  b->Clear();
  EXPECT_EQ(a->ref_count(), 1u);
  EXPECT_EQ(b->ref_count(), 2u);
  a->Remove(1);
  EXPECT_EQ(b->ref_count(), 1u);
}
