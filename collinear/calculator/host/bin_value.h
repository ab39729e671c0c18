// Value holders for typed reads of host properties. A host object hands a
// value over as a descriptor (type code, element size) and a data pointer;
// the holder accepts it through assign or refuses it. Type codes: 0 empty,
// 3 a 32-bit integer (4 bytes), 4 a double (8 bytes), 5 a zero-terminated
// string of variable size (size 0).
#ifndef COLLINEAR_CALCULATOR_HOST_BIN_VALUE_H_
#define COLLINEAR_CALCULATOR_HOST_BIN_VALUE_H_

#include <string>
#include <utility>

#include <collinear/framework/export.h>

// The host's string type.
using VkString = std::string;

namespace vk_com {

enum : unsigned long {
  vt_empty = 0,
  vt_int32 = 3,
  vt_double = 4,
  vt_string = 5,
};

// Result of set and copy when the holder refuses the value.
inline constexpr long kAssignRefused = static_cast<long>(0x80040401L);

// Type code, size of one element in bytes (0 for variable size), count.
struct value_desc {
  unsigned long type = vt_empty;
  unsigned long size = 0;
  unsigned long count = 0;
};

// Abstract value of the host's property-object library.
class COLLINEAR_API bin_value {
 public:
  // Takes a value described by desc at data; 0 or kAssignRefused.
  virtual long set(const value_desc& desc, const void* data) = 0;
  virtual void describe(value_desc* desc) const = 0;
  virtual const void* get_data() const = 0;
  // Bytes of the value; for a variable-size string with its terminator.
  virtual unsigned long byte_length() const = 0;
  virtual unsigned long type() const = 0;
  virtual void* data() = 0;
  virtual unsigned long fixed_size() const = 0;
  // Takes another holder's type, data and size; 0 or kAssignRefused.
  virtual long copy(const bin_value& other) = 0;
  virtual ~bin_value();
};

}  // namespace vk_com

// The library's own holders: a valid flag (true on construction) and a
// value. set and copy go through assign; after a typed read only the flag
// tells whether the property had a value of the holder's type.
class COLLINEAR_API TBinaryValue : public vk_com::bin_value {
 public:
  TBinaryValue() = default;
  TBinaryValue(const TBinaryValue&) = default;
  TBinaryValue& operator=(const TBinaryValue&) = default;
  ~TBinaryValue() override;

  long set(const vk_com::value_desc& desc, const void* data) override;
  void describe(vk_com::value_desc* desc) const override;
  unsigned long byte_length() const override;
  long copy(const vk_com::bin_value& other) override;
  // Takes element `index` of a value of the given type and element size;
  // false when the holder refuses it.
  virtual bool assign(unsigned long type,
                      const void* data,
                      unsigned long size,
                      unsigned long index) = 0;

  bool is_valid() const { return m_bValid; }

 protected:
  bool m_bValid = true;
};

template <class T>
class TBinValue;

// A double. Accepts type 4 with size 8 (flag set, value stored when data is
// not null) and the empty type 0 (flag cleared, success); refuses anything
// else (flag cleared). While the flag is clear it reads as empty.
template <>
class COLLINEAR_API TBinValue<double> : public TBinaryValue {
 public:
  TBinValue() = default;
  explicit TBinValue(double v) : m_Value(v) {}
  ~TBinValue() override;

  bool assign(unsigned long type,
              const void* data,
              unsigned long size,
              unsigned long index) override;
  const void* get_data() const override;
  void* data() override;
  unsigned long type() const override;
  unsigned long fixed_size() const override;

  double value() const { return m_Value; }

 private:
  double m_Value = 0.0;
};

// A string. Accepts type 5 with size 0 (the string is copied, the flag left
// as it was); anything else clears the flag. Always reads as type 5, size 0,
// data the string's characters.
template <>
class COLLINEAR_API TBinValue<VkString> : public TBinaryValue {
 public:
  TBinValue() = default;
  explicit TBinValue(VkString v) : m_Value(std::move(v)) {}
  ~TBinValue() override;

  bool assign(unsigned long type,
              const void* data,
              unsigned long size,
              unsigned long index) override;
  const void* get_data() const override;
  void* data() override;
  unsigned long type() const override;
  unsigned long fixed_size() const override;

  const VkString& value() const { return m_Value; }

 private:
  VkString m_Value;
};

#endif  // COLLINEAR_CALCULATOR_HOST_BIN_VALUE_H_
