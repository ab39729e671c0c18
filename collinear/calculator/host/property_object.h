// Host objects as the calculator sees them: every host object (image,
// camera, point, measurement, coordinate system) is an IPropertyObject whose
// values are addressed by a numeric property id and an element index; sets
// of objects are IPropertyObjectSet. The TCom* classes are counted-reference
// wrappers that the calculator uses to read them; a null object is never an
// error for them (reads come back empty).
#ifndef COLLINEAR_CALCULATOR_HOST_PROPERTY_OBJECT_H_
#define COLLINEAR_CALCULATOR_HOST_PROPERTY_OBJECT_H_

#include <cstdint>

#include <collinear/calculator/host/bin_value.h>
#include <collinear/calculator/host/com_ptr.h>
#include <collinear/calculator/host/generic_iterator.h>
#include <collinear/calculator/host/unknown.h>
#include <collinear/framework/export.h>
#include <collinear/framework/string.h>

class IPropertyObjectSet;

inline constexpr GUID IID_IPropertyObject =
    collinear::MakeGuid("{d6ae96c9-99a2-419c-9d84-dfe6d46ede66}");
inline constexpr GUID IID_IPropertyObjectSet =
    collinear::MakeGuid("{d017df31-d2c5-11d5-ba69-00609423f782}");

// One host object. Scalar properties have one element (index 0), arrays
// get_value_dims elements. Reads of a missing property, a missing element or
// a value of another type fail without touching the caller's buffer, except
// the typed read, which always informs the holder (empty when no value).
class COLLINEAR_API IPropertyObject : public IUnknown {
 public:
  // Typed read: hands element `index` to the holder through its set; an
  // empty descriptor when there is none. S_OK, S_FALSE (no value) or the
  // holder's refusal code.
  virtual HRESULT get_value(long id,
                            vk_com::bin_value* value,
                            unsigned long index) = 0;
  // Raw reads into a buffer of the property's own type.
  virtual HRESULT get_raw_value(long id,
                                double* buffer,
                                unsigned long index) = 0;
  virtual HRESULT get_raw_value(long id,
                                std::int32_t* buffer,
                                unsigned long index) = 0;
  virtual HRESULT get_raw_value(long id,
                                CString* buffer,
                                unsigned long index) = 0;
  // Number of elements of the property; 0 when it has no value.
  virtual unsigned long get_value_dims(long id) = 0;
  // The object that element `index` of a reference or set property refers
  // to, with a reference for the caller; null and S_FALSE when none.
  virtual HRESULT get_object(long id,
                             unsigned long index,
                             IPropertyObject** out) = 0;
  // The objects of a set property, restricted to members of class
  // *class_filter when that is not null; null and S_FALSE when none.
  virtual HRESULT get_object_set(long id,
                                 const GUID* class_filter,
                                 IPropertyObjectSet** out) = 0;
  // True when the object belongs to the host class clsid.
  virtual bool is_class(const GUID& clsid) = 0;
};

// An ordered set of host objects. get_at and find_by_key return pointers
// borrowed from the set: valid while the caller holds the set.
class COLLINEAR_API IPropertyObjectSet : public IUnknown {
 public:
  virtual int size() = 0;
  // Null for an index outside 0..size()-1.
  virtual IPropertyObject* get_at(int index) = 0;
  // A new iterator at the first member, owned by the caller; it keeps the
  // set alive until it is deleted.
  virtual vk_std::generic_iterator<IPropertyObject*>* enumerate() = 0;
  // The first member whose key equals the key value, or null.
  virtual IPropertyObject* find_by_key(const vk_com::bin_value& key) = 0;
};

// Counted reference to a host object (empty allowed).
class COLLINEAR_API TComPropertyObject {
 public:
  TComPropertyObject() = default;
  TComPropertyObject(IPropertyObject* object);  // NOLINT: implicit wrap
  // The object that property `id` of `object` refers to; empty when object
  // is null or the property refers to nothing.
  TComPropertyObject(IPropertyObject* object, long id);
  TComPropertyObject(const TComPropertyObject&) = default;
  TComPropertyObject& operator=(const TComPropertyObject&) = default;
  ~TComPropertyObject();

  IPropertyObject* get() const { return m_Object.get(); }
  operator IPropertyObject*() const { return m_Object.get(); }  // NOLINT
  IPropertyObject* operator->() const { return m_Object.get(); }
  bool operator!() const { return !m_Object; }

  // Typed read; on an empty wrapper the holder is told there is no value.
  long get_value(long id, TBinaryValue& value, unsigned long index = 0) const;
  unsigned long get_value_dims(long id) const;
  bool is_GUID(const GUID& clsid) const;

 private:
  collinear::ComPtr<IPropertyObject> m_Object;
};

// Counted reference to a set of host objects (empty allowed: size 0).
class COLLINEAR_API TComPropertyObjectSet {
 public:
  // Iterates the members first to last.
  class COLLINEAR_API Iterator
      : public vk_std::generic_iterator_proxy<IPropertyObject*,
                                              IPropertyObject*> {
   public:
    explicit Iterator(vk_std::generic_iterator<IPropertyObject*>* it = nullptr);
    Iterator* clone() const override { return new Iterator(*this); }
  };

  TComPropertyObjectSet() = default;
  // The objects referenced by set property `id` of object, restricted to
  // class *class_filter unless that is null.
  TComPropertyObjectSet(IPropertyObject* object,
                        long id,
                        const GUID* class_filter);
  explicit TComPropertyObjectSet(IPropertyObjectSet* set);
  TComPropertyObjectSet(const TComPropertyObjectSet&) = default;
  TComPropertyObjectSet& operator=(const TComPropertyObjectSet&) = default;
  ~TComPropertyObjectSet();

  IPropertyObjectSet* get() const { return m_Set.get(); }
  int size() const;
  // Borrowed pointers, valid while this wrapper holds the set.
  IPropertyObject* get_at(int index) const;
  Iterator enumerate() const;
  IPropertyObject* find_by_key(const TBinaryValue& key) const;

 private:
  collinear::ComPtr<IPropertyObjectSet> m_Set;
};

// The host's catalogue object of a class (see collinear::HostCatalogue),
// held by counted reference; empty when the host registered none.
class COLLINEAR_API TComPropertyObjectFactory {
 public:
  explicit TComPropertyObjectFactory(const GUID& clsid);
  ~TComPropertyObjectFactory();

  IUnknown* get() const { return m_Object.get(); }
  bool operator!() const { return !m_Object; }
  // QueryInterface on the catalogue object; E_NOINTERFACE when empty.
  HRESULT QueryInterface(const GUID& iid, void** out) const;

 private:
  collinear::ComPtr<IUnknown> m_Object;
};

#endif  // COLLINEAR_CALCULATOR_HOST_PROPERTY_OBJECT_H_
