// Growable array of the framework layer, an MFC-compatible subset. TYPE is
// the stored type, ARG_TYPE the type in which elements are passed in. Any
// element index outside 0..GetSize()-1 and any negative size raise
// CInvalidArgException. Growth is geometric: Add and SetSize cost amortised
// O(1) per element; SetSize to a smaller size keeps the capacity.
#ifndef COLLINEAR_FRAMEWORK_ARRAY_H_
#define COLLINEAR_FRAMEWORK_ARRAY_H_

#include <cstddef>
#include <vector>

#include <collinear/framework/exception.h>
#include <collinear/framework/object.h>

typedef std::ptrdiff_t INT_PTR;

template <class TYPE, class ARG_TYPE = const TYPE&>
class CArray : public CObject {
 public:
  CArray() = default;
  CArray(const CArray&) = default;
  CArray& operator=(const CArray&) = default;
  ~CArray() override = default;

  INT_PTR GetSize() const { return static_cast<INT_PTR>(v_.size()); }
  INT_PTR GetCount() const { return GetSize(); }
  INT_PTR GetUpperBound() const { return GetSize() - 1; }
  bool IsEmpty() const { return v_.empty(); }

  // New elements are value-initialised (0.0 for doubles). grow_by is
  // accepted for compatibility; growth is always geometric.
  void SetSize(INT_PTR new_size, INT_PTR grow_by = -1) {
    (void)grow_by;
    if (new_size < 0) AfxThrowInvalidArgException();
    v_.resize(static_cast<size_t>(new_size));
  }
  void RemoveAll() { v_.clear(); }
  void FreeExtra() { v_.shrink_to_fit(); }

  // Returns the index of the new element.
  INT_PTR Add(ARG_TYPE new_element) {
    v_.push_back(new_element);
    return GetSize() - 1;
  }
  INT_PTR Append(const CArray& src) {
    const INT_PTR old_size = GetSize();
    v_.insert(v_.end(), src.v_.begin(), src.v_.end());
    return old_size;
  }
  void Copy(const CArray& src) {
    if (&src != this) v_ = src.v_;
  }

  const TYPE& GetAt(INT_PTR i) const { return v_[Checked(i)]; }
  TYPE& GetAt(INT_PTR i) { return v_[Checked(i)]; }
  void SetAt(INT_PTR i, ARG_TYPE new_element) { v_[Checked(i)] = new_element; }
  TYPE& ElementAt(INT_PTR i) { return v_[Checked(i)]; }
  const TYPE& ElementAt(INT_PTR i) const { return v_[Checked(i)]; }
  TYPE& operator[](INT_PTR i) { return v_[Checked(i)]; }
  const TYPE& operator[](INT_PTR i) const { return v_[Checked(i)]; }

  // Inserts count copies of new_element before index i (0 <= i <= size).
  void InsertAt(INT_PTR i, ARG_TYPE new_element, INT_PTR count = 1) {
    if (i < 0 || i > GetSize() || count < 0) AfxThrowInvalidArgException();
    TYPE copy = new_element;  // may alias an element of this array
    v_.insert(v_.begin() + i, static_cast<size_t>(count), copy);
  }
  // Removes count elements starting at index i; the range must lie inside.
  void RemoveAt(INT_PTR i, INT_PTR count = 1) {
    if (i < 0 || count < 0 || i + count > GetSize())
      AfxThrowInvalidArgException();
    v_.erase(v_.begin() + i, v_.begin() + i + count);
  }

  // Contiguous storage of GetSize() elements; null-safe for an empty array.
  TYPE* GetData() { return v_.data(); }
  const TYPE* GetData() const { return v_.data(); }

 private:
  size_t Checked(INT_PTR i) const {
    if (i < 0 || i >= GetSize()) AfxThrowInvalidArgException();
    return static_cast<size_t>(i);
  }

  std::vector<TYPE> v_;
};

#endif  // COLLINEAR_FRAMEWORK_ARRAY_H_
