// In-memory host objects: an application (or a file loader) builds its
// images, cameras, points and coordinate systems from these and hands them
// to the calculator as IPropertyObject. Properties are typed by the setter
// used; object references are counted, so a cycle of references must be
// broken with Clear or Remove before the objects can go.
//
//   auto cam = HostObject::Create();
//   cam->SetDouble(30, 35.0).SetDoubles(35, {1e-5, -2e-8, 0, 0});
//   auto img = HostObject::Create();
//   img->AddClass(kImageClass).SetObject(79, cam.get());
#ifndef COLLINEAR_CALCULATOR_HOST_HOST_OBJECT_H_
#define COLLINEAR_CALCULATOR_HOST_HOST_OBJECT_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <collinear/calculator/host/com_ptr.h>
#include <collinear/calculator/host/property_object.h>
#include <collinear/framework/export.h>

namespace collinear {

// Makes the interface iid of an object on request: stores it, with one
// reference for the caller, in *out. Receives the owning object, which the
// interface may hold a reference to.
using InterfaceMaker =
    std::function<HRESULT(IPropertyObject* owner, void** out)>;

class COLLINEAR_API HostObjectSet : public IPropertyObjectSet {
 public:
  // Members are matched by find_by_key against their property key_id.
  static ComPtr<HostObjectSet> Create(long key_id = kDefaultKeyId);
  static constexpr long kDefaultKeyId = 1;  // the name of points

  // Appends a member (a counted reference; null is skipped).
  HostObjectSet& Add(IPropertyObject* member);
  void Clear();
  long key_id() const { return key_id_; }
  ULONG ref_count() const { return refs_.load(); }

  HRESULT QueryInterface(const GUID& iid, void** out) override;
  ULONG AddRef() override;
  ULONG Release() override;
  int size() override;
  IPropertyObject* get_at(int index) override;
  vk_std::generic_iterator<IPropertyObject*>* enumerate() override;
  IPropertyObject* find_by_key(const vk_com::bin_value& key) override;

 protected:
  explicit HostObjectSet(long key_id);
  virtual ~HostObjectSet();

 private:
  std::atomic<ULONG> refs_{0};
  long key_id_;
  std::vector<ComPtr<IPropertyObject>> members_;
};

class COLLINEAR_API HostObject : public IPropertyObject {
 public:
  static ComPtr<HostObject> Create();

  // Membership of host classes, tested by is_class.
  HostObject& AddClass(const GUID& clsid);
  HostObject& SetDouble(long id, double value);
  HostObject& SetInt32(long id, std::int32_t value);
  HostObject& SetString(long id, const std::string& value);
  HostObject& SetDoubles(long id, std::vector<double> values);
  // A counted reference to another object; null stores an empty reference.
  HostObject& SetObject(long id, IPropertyObject* object);
  // A set of objects, as any set or built from a list of members.
  HostObject& SetObjectSet(long id, IPropertyObjectSet* set);
  HostObject& SetObjects(long id,
                         std::initializer_list<IPropertyObject*> members,
                         long key_id = HostObjectSet::kDefaultKeyId);
  // Answers QueryInterface(iid) through make (in addition to IUnknown and
  // IPropertyObject); a later call for the same iid replaces the earlier.
  HostObject& ExposeInterface(const GUID& iid, InterfaceMaker make);
  HostObject& Remove(long id);
  // Drops every property (and with them the references they held).
  void Clear();
  bool Has(long id) const;
  ULONG ref_count() const { return refs_.load(); }

  HRESULT QueryInterface(const GUID& iid, void** out) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT get_value(long id,
                    vk_com::bin_value* value,
                    unsigned long index) override;
  HRESULT get_raw_value(long id, double* buffer, unsigned long index) override;
  HRESULT get_raw_value(long id,
                        std::int32_t* buffer,
                        unsigned long index) override;
  HRESULT get_raw_value(long id, CString* buffer, unsigned long index) override;
  unsigned long get_value_dims(long id) override;
  HRESULT get_object(long id,
                     unsigned long index,
                     IPropertyObject** out) override;
  HRESULT get_object_set(long id,
                         const GUID* class_filter,
                         IPropertyObjectSet** out) override;
  bool is_class(const GUID& clsid) override;

 protected:
  HostObject();
  virtual ~HostObject();

 private:
  using Value = std::variant<double,
                             std::int32_t,
                             std::string,
                             std::vector<double>,
                             ComPtr<IPropertyObject>,
                             ComPtr<IPropertyObjectSet>>;
  const Value* Find(long id) const;
  // The value of id, entered empty where there is none.
  Value& Slot(long id);

  std::atomic<ULONG> refs_{0};
  std::vector<GUID> classes_;
  // Sorted by id: an object holds a handful, and a project holds millions
  // of objects, so one block each rather than a tree node per property.
  std::vector<std::pair<long, Value>> props_;
  std::vector<std::pair<GUID, InterfaceMaker>> interfaces_;
};

}  // namespace collinear

#endif  // COLLINEAR_CALCULATOR_HOST_HOST_OBJECT_H_
