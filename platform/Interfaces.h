// Platform layer: reference-counted interfaces.
//
// An interface is an abstract class with the three operations of the
// platform's root interface. Ownership of a reference is held by
// `TInterfacePtr<T>`, which calls _AddRef and _Release; engine objects never
// use std::shared_ptr. QueryInterface answers S_OK or E_NOINTERFACE.
#pragma once

#include <utility>

#include "platform/System.h"

inline constexpr int32_t S_OK = 0;
inline constexpr int32_t E_NOINTERFACE = static_cast<int32_t>(0x80004002u);
inline constexpr int32_t E_NOTIMPL = static_cast<int32_t>(0x80004001u);

class IInterface {
 public:
  virtual int32_t QueryInterface(const TGUID& iid, void** obj) = 0;
  virtual int32_t _AddRef() = 0;
  virtual int32_t _Release() = 0;

 protected:
  ~IInterface() = default;  // references are dropped with _Release, never deleted
};

// Holds one counted reference to an interface (nil allowed).
template <typename T>
class TInterfacePtr {
 public:
  TInterfacePtr() = default;
  TInterfacePtr(std::nullptr_t) {}
  // Takes a new reference to p.
  explicit TInterfacePtr(T* p) : p_(p) { if (p_) p_->_AddRef(); }
  TInterfacePtr(const TInterfacePtr& o) : p_(o.p_) { if (p_) p_->_AddRef(); }
  TInterfacePtr(TInterfacePtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~TInterfacePtr() { reset(); }

  TInterfacePtr& operator=(TInterfacePtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Adopts a reference that the caller already holds (no _AddRef).
  static TInterfacePtr Adopt(T* p) {
    TInterfacePtr r;
    r.p_ = p;
    return r;
  }
  // Gives up the reference without releasing it.
  T* Detach() { return std::exchange(p_, nullptr); }

  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->_Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  friend bool operator==(const TInterfacePtr& a, const TInterfacePtr& b) { return a.p_ == b.p_; }
  friend bool operator==(const TInterfacePtr& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};
