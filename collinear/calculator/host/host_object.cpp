#include <collinear/calculator/host/host_object.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <tuple>
#include <utility>

namespace collinear {
namespace {

// Catches whatever a host object hands to a typed read, to compare it with
// a key.
class CapturedValue : public vk_com::bin_value {
 public:
  long set(const vk_com::value_desc& desc, const void* data) override {
    type_ = desc.type;
    size_ = desc.size;
    bytes_.clear();
    if (!data) return 0;
    const char* p = static_cast<const char*>(data);
    const std::size_t n = type_ == vk_com::vt_string && size_ == 0
                              ? std::strlen(p) + 1
                              : static_cast<std::size_t>(size_);
    bytes_.assign(p, p + n);
    return 0;
  }
  void describe(vk_com::value_desc* desc) const override {
    if (desc) *desc = vk_com::value_desc{type_, size_, 1};
  }
  const void* get_data() const override {
    return bytes_.empty() ? nullptr : bytes_.data();
  }
  unsigned long byte_length() const override {
    return static_cast<unsigned long>(bytes_.size());
  }
  unsigned long type() const override { return type_; }
  void* data() override { return bytes_.empty() ? nullptr : bytes_.data(); }
  unsigned long fixed_size() const override { return size_; }
  long copy(const vk_com::bin_value& other) override {
    vk_com::value_desc d;
    other.describe(&d);
    return set(d, other.get_data());
  }

 private:
  unsigned long type_ = vk_com::vt_empty;
  unsigned long size_ = 0;
  std::vector<char> bytes_;
};

// True when the captured value equals the key: same type, and equal
// strings, equal doubles, or equal bytes.
bool KeyMatches(const vk_com::bin_value& key, const CapturedValue& v) {
  const unsigned long type = key.type();
  if (type == vk_com::vt_empty || type != v.type()) return false;
  const void* a = key.get_data();
  const void* b = v.get_data();
  if (!a || !b) return false;
  if (type == vk_com::vt_string)
    return std::strcmp(static_cast<const char*>(a),
                       static_cast<const char*>(b)) == 0;
  const unsigned long size = key.fixed_size();
  if (size != v.fixed_size()) return false;
  if (type == vk_com::vt_double && size == sizeof(double)) {
    double da, db;
    std::memcpy(&da, a, sizeof da);
    std::memcpy(&db, b, sizeof db);
    return da == db;
  }
  return std::memcmp(a, b, size) == 0;
}

class SetIterator : public vk_std::generic_iterator<IPropertyObject*> {
 public:
  SetIterator(IPropertyObjectSet* set, int index) : set_(set), index_(index) {}
  bool is_valid() const override { return index_ < set_->size(); }
  IPropertyObject* get() const override { return set_->get_at(index_); }
  void next() override { ++index_; }
  SetIterator* clone() const override {
    return new SetIterator(set_.get(), index_);
  }

 private:
  ComPtr<IPropertyObjectSet> set_;
  int index_;
};

HRESULT GiveEmpty(vk_com::bin_value* value, HRESULT result) {
  value->set(vk_com::value_desc{}, nullptr);
  return result;
}

HRESULT Give(vk_com::bin_value* value,
             unsigned long type,
             unsigned long size,
             const void* data) {
  const long r = value->set(vk_com::value_desc{type, size, 1}, data);
  return r == 0 ? S_OK : static_cast<HRESULT>(r);
}

}  // namespace

// ---------------------------------------------------------------- set

HostObjectSet::HostObjectSet(long key_id) : key_id_(key_id) {}
HostObjectSet::~HostObjectSet() = default;

ComPtr<HostObjectSet> HostObjectSet::Create(long key_id) {
  return ComPtr<HostObjectSet>(new HostObjectSet(key_id));
}

HostObjectSet& HostObjectSet::Add(IPropertyObject* member) {
  if (member) members_.emplace_back(member);
  return *this;
}

void HostObjectSet::Clear() {
  std::vector<ComPtr<IPropertyObject>> old;
  old.swap(members_);
}

HRESULT HostObjectSet::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IPropertyObjectSet) {
    AddRef();
    *out = static_cast<IPropertyObjectSet*>(this);
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG HostObjectSet::AddRef() { return ++refs_; }

ULONG HostObjectSet::Release() {
  const ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

int HostObjectSet::size() { return static_cast<int>(members_.size()); }

IPropertyObject* HostObjectSet::get_at(int index) {
  if (index < 0 || index >= size()) return nullptr;
  return members_[static_cast<std::size_t>(index)].get();
}

vk_std::generic_iterator<IPropertyObject*>* HostObjectSet::enumerate() {
  return new SetIterator(this, 0);
}

IPropertyObject* HostObjectSet::find_by_key(const vk_com::bin_value& key) {
  for (auto& m : members_) {
    CapturedValue v;
    m->get_value(key_id_, &v, 0);
    if (KeyMatches(key, v)) return m.get();
  }
  return nullptr;
}

// ---------------------------------------------------------------- object

HostObject::HostObject() = default;
HostObject::~HostObject() = default;

ComPtr<HostObject> HostObject::Create() {
  return ComPtr<HostObject>(new HostObject);
}

HostObject& HostObject::AddClass(const GUID& clsid) {
  if (!is_class(clsid)) classes_.push_back(clsid);
  return *this;
}

HostObject& HostObject::SetDouble(long id, double value) {
  Slot(id) = value;
  return *this;
}

HostObject& HostObject::SetInt32(long id, std::int32_t value) {
  Slot(id) = value;
  return *this;
}

HostObject& HostObject::SetString(long id, const std::string& value) {
  Slot(id) = value;
  return *this;
}

HostObject& HostObject::SetDoubles(long id, std::vector<double> values) {
  Slot(id) = std::move(values);
  return *this;
}

HostObject& HostObject::SetObject(long id, IPropertyObject* object) {
  Slot(id) = ComPtr<IPropertyObject>(object);
  return *this;
}

HostObject& HostObject::SetObjectSet(long id, IPropertyObjectSet* set) {
  Slot(id) = ComPtr<IPropertyObjectSet>(set);
  return *this;
}

HostObject& HostObject::SetObjects(
    long id, std::initializer_list<IPropertyObject*> members, long key_id) {
  ComPtr<HostObjectSet> set = HostObjectSet::Create(key_id);
  for (IPropertyObject* m : members) set->Add(m);
  return SetObjectSet(id, set.get());
}

HostObject& HostObject::ExposeInterface(const GUID& iid, InterfaceMaker make) {
  for (auto& e : interfaces_) {
    if (e.first == iid) {
      e.second = std::move(make);
      return *this;
    }
  }
  interfaces_.emplace_back(iid, std::move(make));
  return *this;
}

HostObject& HostObject::Remove(long id) {
  const auto it = std::lower_bound(
      props_.begin(), props_.end(), id, [](const auto& p, long k) {
        return p.first < k;
      });
  if (it != props_.end() && it->first == id) {
    Value old = std::move(it->second);  // released after the erase
    props_.erase(it);
  }
  return *this;
}

void HostObject::Clear() {
  std::vector<std::pair<long, Value>> old;
  old.swap(props_);
}

bool HostObject::Has(long id) const { return Find(id) != nullptr; }

const HostObject::Value* HostObject::Find(long id) const {
  const auto it = std::lower_bound(
      props_.begin(), props_.end(), id, [](const auto& p, long k) {
        return p.first < k;
      });
  return it == props_.end() || it->first != id ? nullptr : &it->second;
}

HostObject::Value& HostObject::Slot(long id) {
  auto it = std::lower_bound(
      props_.begin(), props_.end(), id, [](const auto& p, long k) {
        return p.first < k;
      });
  if (it == props_.end() || it->first != id) {
    // Room for the few properties an object has, in one allocation.
    constexpr std::size_t kTypicalCount = 4;
    if (props_.capacity() == 0) {
      props_.reserve(kTypicalCount);
      it = props_.begin();
    }
    // Appended, then rotated into place: g++ 12 sees the variant's vector
    // alternative as maybe-uninitialized when a value is moved into the
    // middle of the block.
    const std::ptrdiff_t at = it - props_.begin();
    props_.emplace_back(std::piecewise_construct,
                        std::forward_as_tuple(id),
                        std::forward_as_tuple());
    it = props_.begin() + at;
    std::rotate(it, props_.end() - 1, props_.end());
  }
  return it->second;
}

HRESULT HostObject::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IPropertyObject) {
    AddRef();
    *out = static_cast<IPropertyObject*>(this);
    return S_OK;
  }
  for (auto& e : interfaces_) {
    if (e.first == iid) {
      const HRESULT hr = e.second ? e.second(this, out) : E_NOINTERFACE;
      if (hr < 0 || !*out) {
        *out = nullptr;
        return hr < 0 ? hr : E_NOINTERFACE;
      }
      return hr;
    }
  }
  return E_NOINTERFACE;
}

ULONG HostObject::AddRef() { return ++refs_; }

ULONG HostObject::Release() {
  const ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

HRESULT HostObject::get_value(long id,
                              vk_com::bin_value* value,
                              unsigned long index) {
  if (!value) return E_POINTER;
  const Value* v = Find(id);
  if (!v) return GiveEmpty(value, S_FALSE);
  if (auto* a = std::get_if<std::vector<double>>(v)) {
    if (index >= a->size()) return GiveEmpty(value, S_FALSE);
    return Give(value, vk_com::vt_double, sizeof(double), &(*a)[index]);
  }
  if (index != 0) return GiveEmpty(value, S_FALSE);
  if (auto* d = std::get_if<double>(v))
    return Give(value, vk_com::vt_double, sizeof(double), d);
  if (auto* i = std::get_if<std::int32_t>(v))
    return Give(value, vk_com::vt_int32, sizeof(std::int32_t), i);
  if (auto* s = std::get_if<std::string>(v))
    return Give(value, vk_com::vt_string, 0, s->c_str());
  return GiveEmpty(value, E_INVALIDARG);  // an object is no value
}

HRESULT HostObject::get_raw_value(long id,
                                  double* buffer,
                                  unsigned long index) {
  if (!buffer) return E_POINTER;
  const Value* v = Find(id);
  if (!v) return S_FALSE;
  if (auto* a = std::get_if<std::vector<double>>(v)) {
    if (index >= a->size()) return E_BOUNDS;
    *buffer = (*a)[index];
    return S_OK;
  }
  auto* d = std::get_if<double>(v);
  if (!d) return E_INVALIDARG;
  if (index != 0) return E_BOUNDS;
  *buffer = *d;
  return S_OK;
}

HRESULT HostObject::get_raw_value(long id,
                                  std::int32_t* buffer,
                                  unsigned long index) {
  if (!buffer) return E_POINTER;
  const Value* v = Find(id);
  if (!v) return S_FALSE;
  auto* i = std::get_if<std::int32_t>(v);
  if (!i) return E_INVALIDARG;
  if (index != 0) return E_BOUNDS;
  *buffer = *i;
  return S_OK;
}

HRESULT HostObject::get_raw_value(long id,
                                  CString* buffer,
                                  unsigned long index) {
  if (!buffer) return E_POINTER;
  const Value* v = Find(id);
  if (!v) return S_FALSE;
  auto* s = std::get_if<std::string>(v);
  if (!s) return E_INVALIDARG;
  if (index != 0) return E_BOUNDS;
  *buffer = *s;
  return S_OK;
}

unsigned long HostObject::get_value_dims(long id) {
  const Value* v = Find(id);
  if (!v) return 0;
  if (auto* a = std::get_if<std::vector<double>>(v))
    return static_cast<unsigned long>(a->size());
  if (auto* o = std::get_if<ComPtr<IPropertyObject>>(v)) return *o ? 1 : 0;
  if (auto* s = std::get_if<ComPtr<IPropertyObjectSet>>(v))
    return *s ? static_cast<unsigned long>((*s)->size()) : 0;
  return 1;
}

HRESULT HostObject::get_object(long id,
                               unsigned long index,
                               IPropertyObject** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  const Value* v = Find(id);
  if (!v) return S_FALSE;
  IPropertyObject* found = nullptr;
  if (auto* o = std::get_if<ComPtr<IPropertyObject>>(v)) {
    if (index == 0) found = o->get();
  } else if (auto* s = std::get_if<ComPtr<IPropertyObjectSet>>(v)) {
    if (*s && index <= static_cast<unsigned long>(INT32_MAX))
      found = (*s)->get_at(static_cast<int>(index));
  } else {
    return E_INVALIDARG;
  }
  if (!found) return S_FALSE;
  found->AddRef();
  *out = found;
  return S_OK;
}

HRESULT HostObject::get_object_set(long id,
                                   const GUID* class_filter,
                                   IPropertyObjectSet** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  const Value* v = Find(id);
  if (!v) return S_FALSE;
  auto* s = std::get_if<ComPtr<IPropertyObjectSet>>(v);
  if (!s) return E_INVALIDARG;
  if (!*s) return S_FALSE;
  if (!class_filter) {
    *out = ComPtr<IPropertyObjectSet>(*s).detach();
    return S_OK;
  }
  auto* own = dynamic_cast<HostObjectSet*>(s->get());
  ComPtr<HostObjectSet> filtered =
      HostObjectSet::Create(own ? own->key_id() : HostObjectSet::kDefaultKeyId);
  const int n = (*s)->size();
  for (int i = 0; i < n; ++i) {
    IPropertyObject* m = (*s)->get_at(i);
    if (m && m->is_class(*class_filter)) filtered->Add(m);
  }
  *out = filtered.detach();
  return S_OK;
}

bool HostObject::is_class(const GUID& clsid) {
  for (const GUID& g : classes_)
    if (g == clsid) return true;
  return false;
}

}  // namespace collinear
