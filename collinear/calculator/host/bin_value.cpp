#include <collinear/calculator/host/bin_value.h>

#include <cstring>

vk_com::bin_value::~bin_value() = default;

TBinaryValue::~TBinaryValue() = default;

long TBinaryValue::set(const vk_com::value_desc& desc, const void* data) {
  return assign(desc.type, data, desc.size, 0) ? 0 : vk_com::kAssignRefused;
}

void TBinaryValue::describe(vk_com::value_desc* desc) const {
  if (!desc) return;
  desc->type = type();
  desc->size = fixed_size();
  desc->count = 1;
}

unsigned long TBinaryValue::byte_length() const {
  const unsigned long size = fixed_size();
  if (size != 0 || type() != vk_com::vt_string) return size;
  const char* s = static_cast<const char*>(get_data());
  return s ? static_cast<unsigned long>(std::strlen(s)) + 1 : 0;
}

long TBinaryValue::copy(const vk_com::bin_value& other) {
  return assign(other.type(), other.get_data(), other.fixed_size(), 0)
             ? 0
             : vk_com::kAssignRefused;
}

TBinValue<double>::~TBinValue() = default;

bool TBinValue<double>::assign(unsigned long type,
                               const void* data,
                               unsigned long size,
                               unsigned long /*index*/) {
  if (type == vk_com::vt_double && size == sizeof(double)) {
    m_bValid = true;
    if (data) std::memcpy(&m_Value, data, sizeof(double));
    return true;
  }
  m_bValid = false;
  return type == vk_com::vt_empty;
}

const void* TBinValue<double>::get_data() const {
  return m_bValid ? &m_Value : nullptr;
}

void* TBinValue<double>::data() { return m_bValid ? &m_Value : nullptr; }

unsigned long TBinValue<double>::type() const {
  return m_bValid ? vk_com::vt_double : vk_com::vt_empty;
}

unsigned long TBinValue<double>::fixed_size() const {
  return m_bValid ? sizeof(double) : 0;
}

TBinValue<VkString>::~TBinValue() = default;

bool TBinValue<VkString>::assign(unsigned long type,
                                 const void* data,
                                 unsigned long size,
                                 unsigned long /*index*/) {
  if (type == vk_com::vt_string && size == 0) {
    m_Value = data ? static_cast<const char*>(data) : "";
    return true;
  }
  m_bValid = false;
  return false;
}

const void* TBinValue<VkString>::get_data() const { return m_Value.c_str(); }

void* TBinValue<VkString>::data() { return &m_Value[0]; }

unsigned long TBinValue<VkString>::type() const { return vk_com::vt_string; }

unsigned long TBinValue<VkString>::fixed_size() const { return 0; }
