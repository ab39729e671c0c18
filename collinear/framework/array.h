// Growable array of the framework layer, an MFC-compatible subset. TYPE is
// the stored type, ARG_TYPE the type in which elements are passed in. Any
// element index outside 0..GetSize()-1 and any negative size raise
// CInvalidArgException. Growth is geometric: Add and SetSize cost amortised
// O(1) per element; SetSize to a smaller size keeps the capacity. Arrays of
// numbers grow with realloc, which moves large blocks without copying.
#ifndef COLLINEAR_FRAMEWORK_ARRAY_H_
#define COLLINEAR_FRAMEWORK_ARRAY_H_

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include <collinear/framework/exception.h>
#include <collinear/framework/object.h>

using INT_PTR = std::ptrdiff_t;

namespace collinear::detail {

// Storage of arithmetic elements in one malloc block grown with realloc:
// large blocks then grow by remapping pages instead of copying, so that a
// least-squares engine fed row by row costs about what a pre-sized one
// does. The subset of std::vector that CArray uses.
template <class T>
class ReallocStorage {
  static_assert(std::is_arithmetic_v<T>, "for plain numbers only");

 public:
  ReallocStorage() = default;
  ReallocStorage(const ReallocStorage& o) { *this = o; }
  ReallocStorage& operator=(const ReallocStorage& o) {
    if (this != &o) {
      Reserve(o.size_);
      if (o.size_) std::memcpy(p_, o.p_, o.size_ * sizeof(T));
      size_ = o.size_;
    }
    return *this;
  }
  ~ReallocStorage() { std::free(p_); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return p_; }
  const T* data() const { return p_; }
  T& operator[](size_t i) { return p_[i]; }
  const T& operator[](size_t i) const { return p_[i]; }

  void clear() { size_ = 0; }
  void resize(size_t n) {
    if (n > cap_) Reserve(Grown(n));
    if (n > size_) std::memset(p_ + size_, 0, (n - size_) * sizeof(T));
    size_ = n;
  }
  void push_back(T v) {
    if (size_ == cap_) Reserve(Grown(size_ + 1));
    p_[size_++] = v;
  }
  void insert(size_t at, size_t count, T v) {
    if (size_ + count > cap_) Reserve(Grown(size_ + count));
    std::memmove(p_ + at + count, p_ + at, (size_ - at) * sizeof(T));
    for (size_t k = 0; k < count; ++k) p_[at + k] = v;
    size_ += count;
  }
  void append(const T* src, size_t count) {
    if (size_ + count > cap_) Reserve(Grown(size_ + count));
    if (count) std::memcpy(p_ + size_, src, count * sizeof(T));
    size_ += count;
  }
  void erase(size_t at, size_t count) {
    std::memmove(p_ + at, p_ + at + count, (size_ - at - count) * sizeof(T));
    size_ -= count;
  }
  void shrink_to_fit() {
    if (size_ == 0) {
      std::free(p_);
      p_ = nullptr;
      cap_ = 0;
    } else if (size_ < cap_) {
      Realloc(size_);
    }
  }

 private:
  size_t Grown(size_t need) const { return need > 2 * cap_ ? need : 2 * cap_; }
  void Reserve(size_t n) {
    if (n > cap_) Realloc(n);
  }
  void Realloc(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    void* q = std::realloc(p_, n * sizeof(T));
    if (!q) throw std::bad_alloc();
    p_ = static_cast<T*>(q);
    cap_ = n;
  }

  T* p_ = nullptr;
  size_t size_ = 0, cap_ = 0;
};

template <class T>
using ArrayStorage = std::
    conditional_t<std::is_arithmetic_v<T>, ReallocStorage<T>, std::vector<T>>;

}  // namespace collinear::detail

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
    if constexpr (std::is_arithmetic_v<TYPE>) {
      const collinear::detail::ArrayStorage<TYPE> copy = src.v_;  // may alias
      v_.append(copy.data(), copy.size());
    } else {
      const std::vector<TYPE> copy = src.v_;  // src may be this array
      v_.insert(v_.end(), copy.begin(), copy.end());
    }
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
    if constexpr (std::is_arithmetic_v<TYPE>)
      v_.insert(static_cast<size_t>(i), static_cast<size_t>(count), copy);
    else
      v_.insert(v_.begin() + i, static_cast<size_t>(count), copy);
  }
  // Removes count elements starting at index i; the range must lie inside.
  void RemoveAt(INT_PTR i, INT_PTR count = 1) {
    if (i < 0 || count < 0 || i + count > GetSize())
      AfxThrowInvalidArgException();
    if constexpr (std::is_arithmetic_v<TYPE>)
      v_.erase(static_cast<size_t>(i), static_cast<size_t>(count));
    else
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

  collinear::detail::ArrayStorage<TYPE> v_;
};

#endif  // COLLINEAR_FRAMEWORK_ARRAY_H_
