// Iterators of the host's property-object library: an abstract forward
// iterator, and a proxy that owns one and hands its elements on converted
// to another pointer type.
#ifndef COLLINEAR_CALCULATOR_HOST_GENERIC_ITERATOR_H_
#define COLLINEAR_CALCULATOR_HOST_GENERIC_ITERATOR_H_

#include <memory>

namespace vk_std {

// Walks a sequence first to last. get() is meaningful only while
// is_valid(); clone() gives an independent iterator at the same position.
template <class T>
class generic_iterator {
 public:
  virtual ~generic_iterator() = default;
  virtual bool is_valid() const = 0;
  virtual T get() const = 0;
  virtual void next() = 0;
  virtual generic_iterator* clone() const = 0;
};

// Owns an iterator over From and yields every one of its elements as To.
// An empty proxy (null iterator) is never valid.
template <class To, class From>
class generic_iterator_proxy : public generic_iterator<To> {
 public:
  explicit generic_iterator_proxy(generic_iterator<From>* it = nullptr)
      : it_(it) {}
  generic_iterator_proxy(const generic_iterator_proxy& o)
      : it_(o.it_ ? o.it_->clone() : nullptr) {}
  generic_iterator_proxy& operator=(const generic_iterator_proxy& o) {
    if (this != &o) it_.reset(o.it_ ? o.it_->clone() : nullptr);
    return *this;
  }

  bool is_valid() const override { return it_ && it_->is_valid(); }
  To get() const override { return static_cast<To>(it_->get()); }
  void next() override {
    if (it_) it_->next();
  }
  generic_iterator_proxy* clone() const override {
    return new generic_iterator_proxy(*this);
  }

 private:
  std::unique_ptr<generic_iterator<From>> it_;
};

}  // namespace vk_std

#endif  // COLLINEAR_CALCULATOR_HOST_GENERIC_ITERATOR_H_
