// Counted reference to a component-model interface: holding one keeps the
// object alive; copies add a reference, destruction and reset give it back.
#ifndef COLLINEAR_CALCULATOR_HOST_COM_PTR_H_
#define COLLINEAR_CALCULATOR_HOST_COM_PTR_H_

#include <utility>

#include <collinear/calculator/host/unknown.h>

namespace collinear {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes a new reference to p (null allowed).
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr& operator=(const ComPtr& o) {
    if (this != &o) reset(o.p_);
    return *this;
  }
  ComPtr& operator=(ComPtr&& o) noexcept {
    if (this != &o) {
      T* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      if (old) old->Release();
    }
    return *this;
  }
  ~ComPtr() {
    if (p_) p_->Release();
  }

  // Takes over a reference the caller already owns (no AddRef).
  static ComPtr Adopt(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  // Queries any interface pointer for T (interface id iid); empty when the
  // object lacks it.
  template <class U>
  static ComPtr Query(U* from, const GUID& iid) {
    void* out = nullptr;
    if (from && from->QueryInterface(iid, &out) >= 0)
      return Adopt(static_cast<T*>(out));
    return ComPtr();
  }

  // Holds a new reference to p instead (null allowed).
  void reset(T* p = nullptr) {
    if (p) p->AddRef();
    T* old = std::exchange(p_, p);
    if (old) old->Release();
  }
  // Gives up the reference without releasing it, for the caller to own.
  T* detach() { return std::exchange(p_, nullptr); }
  // Releases the held reference and exposes the slot for an out-argument.
  T** put() {
    reset();
    return &p_;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

}  // namespace collinear

#endif  // COLLINEAR_CALCULATOR_HOST_COM_PTR_H_
