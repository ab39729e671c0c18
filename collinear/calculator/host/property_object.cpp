#include <collinear/calculator/host/property_object.h>

#include <collinear/calculator/host/host_catalogue.h>

using collinear::ComPtr;

TComPropertyObject::TComPropertyObject(IPropertyObject* object)
    : m_Object(object) {}

TComPropertyObject::TComPropertyObject(IPropertyObject* object, long id) {
  if (object) object->get_object(id, 0, m_Object.put());
}

TComPropertyObject::~TComPropertyObject() = default;

long TComPropertyObject::get_value(long id,
                                   TBinaryValue& value,
                                   unsigned long index) const {
  if (!m_Object) {
    value.set(vk_com::value_desc{}, nullptr);
    return E_POINTER;
  }
  return m_Object->get_value(id, &value, index);
}

unsigned long TComPropertyObject::get_value_dims(long id) const {
  return m_Object ? m_Object->get_value_dims(id) : 0;
}

bool TComPropertyObject::is_GUID(const GUID& clsid) const {
  return m_Object && m_Object->is_class(clsid);
}

TComPropertyObjectSet::Iterator::Iterator(
    vk_std::generic_iterator<IPropertyObject*>* it)
    : vk_std::generic_iterator_proxy<IPropertyObject*, IPropertyObject*>(it) {}

TComPropertyObjectSet::TComPropertyObjectSet(IPropertyObject* object,
                                             long id,
                                             const GUID* class_filter) {
  if (object) object->get_object_set(id, class_filter, m_Set.put());
}

TComPropertyObjectSet::TComPropertyObjectSet(IPropertyObjectSet* set)
    : m_Set(set) {}

TComPropertyObjectSet::~TComPropertyObjectSet() = default;

int TComPropertyObjectSet::size() const { return m_Set ? m_Set->size() : 0; }

IPropertyObject* TComPropertyObjectSet::get_at(int index) const {
  return m_Set ? m_Set->get_at(index) : nullptr;
}

TComPropertyObjectSet::Iterator TComPropertyObjectSet::enumerate() const {
  return Iterator(m_Set ? m_Set->enumerate() : nullptr);
}

IPropertyObject* TComPropertyObjectSet::find_by_key(
    const TBinaryValue& key) const {
  return m_Set ? m_Set->find_by_key(key) : nullptr;
}

TComPropertyObjectFactory::TComPropertyObjectFactory(const GUID& clsid)
    : m_Object(ComPtr<IUnknown>::Adopt(collinear::HostCatalogue::Find(clsid))) {
}

TComPropertyObjectFactory::~TComPropertyObjectFactory() = default;

HRESULT TComPropertyObjectFactory::QueryInterface(const GUID& iid,
                                                  void** out) const {
  if (!out) return E_POINTER;
  *out = nullptr;
  return m_Object ? m_Object->QueryInterface(iid, out) : E_NOINTERFACE;
}
