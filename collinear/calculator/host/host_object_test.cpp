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

// Typed reads through a holder and raw reads into a buffer. No value:
// want 0, the holder invalid and the buffer left as it was; hr -1 stands
// for any failure code.
TEST(HostObject, ReadsFollowThePropertyType) {
  ComPtr<HostObject> o = HostObject::Create();
  o->SetDouble(30, 35.0).SetInt32(73, 11).SetString(1, "P1");
  o->SetDoubles(36, {1.0, 2.0, 3.0});
  const struct {
    long id;
    unsigned long index;
    double want;
    HRESULT hr;  // of the typed read
  } cases[] = {  // clang-format off
      {30, 0, 35.0, S_OK}, {36, 2, 3.0, S_OK},
      {99, 0, 0.0, S_FALSE},  // missing
      {36, 3, 0.0, S_FALSE},  // past the end
      {30, 1, 0.0, S_FALSE},  // element of a scalar
      {73, 0, 0.0, -1}};      // an integer is no double
  // clang-format on
  for (const auto& k : cases) {
    SCOPED_TRACE(&k - cases);
    TBinValue<double> v(1.0);
    const HRESULT hr = o->get_value(k.id, &v, k.index);
    EXPECT_EQ(hr < 0 ? -1 : hr, k.hr);
    EXPECT_EQ(v.is_valid() ? v.value() : 0.0, k.want);
    double d = 0.0;
    EXPECT_EQ(o->get_raw_value(k.id, &d, k.index) == S_OK, k.hr == S_OK);
    EXPECT_EQ(d, k.want);
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

  // A reference, an element of a set, a null reference.
  for (auto [id, index, want] :
       {std::tuple<long, unsigned long, IPropertyObject*>{27, 0, a.get()},
        {23, 2, b.get()},
        {28, 0, nullptr}}) {
    IPropertyObject* got = a.get();
    EXPECT_EQ(img->get_object(id, index, &got), want ? S_OK : S_FALSE);
    EXPECT_EQ(got, want);
    if (got) got->Release();
  }
  EXPECT_EQ(img->get_value_dims(28), 0u);
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
