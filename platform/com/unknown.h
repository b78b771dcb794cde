// IUnknown-style objects: the base interface with QueryInterface and
// reference counting, the ComPtr smart pointer, and ComObject, the helper
// from which every concrete class of the platform and of the sink derives.
#pragma once

#include <atomic>
#include <tuple>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"

namespace korvane {

struct IUnknown {
  static constexpr Guid iid = "{00000000-0000-0000-C000-000000000046}"_guid;
  virtual HRESULT QueryInterface(const Guid& iid, void** out) noexcept = 0;
  virtual std::uint32_t AddRef() noexcept = 0;
  virtual std::uint32_t Release() noexcept = 0;

protected:
  ~IUnknown() = default;
};

template <typename T>
class ComPtr {
public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(const ComPtr<U>& o) : ComPtr(static_cast<T*>(o.get())) {}
  ~ComPtr() { reset(); }

  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Adopts a pointer whose reference the caller already owns.
  static ComPtr attach(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  T* detach() { return std::exchange(p_, nullptr); }

  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // For out parameters: releases what it held and hands out its slot.
  T** put() {
    reset();
    return &p_;
  }
  void** putVoid() { return reinterpret_cast<void**>(put()); }

  // QueryInterface; empty when the object does not offer U.
  template <typename U>
  ComPtr<U> as() const {
    ComPtr<U> out;
    if (p_) p_->QueryInterface(U::iid, out.putVoid());
    return out;
  }
  // QueryInterface that throws ComError(E_NOINTERFACE) when it fails.
  template <typename U>
  ComPtr<U> query() const {
    ComPtr<U> out;
    HRESULT h = p_ ? p_->QueryInterface(U::iid, out.putVoid()) : E_POINTER;
    if (failed(h)) throw ComError(h, describe(h));
    return out;
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }

private:
  T* p_ = nullptr;
};

namespace detail {
template <typename I, typename = void>
struct HasBase : std::false_type {};
template <typename I>
struct HasBase<I, std::void_t<typename I::Base>> : std::true_type {};

// True when `iid` names I or one of the interfaces it extends (through I::Base).
template <typename I>
constexpr bool offers(const Guid& iid) {
  if (iid == I::iid) return true;
  if constexpr (HasBase<I>::value) return offers<typename I::Base>(iid);
  return false;
}

std::atomic<long>& liveObjectCount();
} // namespace detail

// Number of ComObjects alive in the process; libraries use it to answer
// DllCanUnloadNow.
long liveComObjects();

// Implements IUnknown for a class deriving from one or more interfaces.
// The first interface is the object's canonical IUnknown.
template <typename... Interfaces>
class ComObject : public Interfaces... {
  using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;

public:
  ComObject() { ++detail::liveObjectCount(); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT QueryInterface(const Guid& iid, void** out) noexcept override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IUnknown::iid) {
      *out = static_cast<IUnknown*>(static_cast<First*>(this));
    } else {
      (void)((detail::offers<Interfaces>(iid) ? (*out = static_cast<Interfaces*>(this), true)
                                              : false) ||
             ...);
    }
    if (!*out) return queryExtra(iid, out);
    AddRef();
    return S_OK;
  }
  std::uint32_t AddRef() noexcept override { return ++refs_; }
  std::uint32_t Release() noexcept override {
    std::uint32_t n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  // The canonical IUnknown of this object.
  IUnknown* unknown() { return static_cast<IUnknown*>(static_cast<First*>(this)); }

protected:
  virtual ~ComObject() { --detail::liveObjectCount(); }
  // Hook for interfaces an object offers beyond its bases (tear-offs).
  virtual HRESULT queryExtra(const Guid&, void**) noexcept { return E_NOINTERFACE; }

private:
  std::atomic<std::uint32_t> refs_{0};
};

// Creates a ComObject-derived T holding one reference.
template <typename T, typename... Args>
ComPtr<T> makeCom(Args&&... args) {
  return ComPtr<T>(new T(std::forward<Args>(args)...));
}

} // namespace korvane
