// Object references at the call boundary.
//
// `Handle` is a borrowed, non-owning view of an object. `Ref` owns one strong
// reference; it is made only through `Ref::borrow` (take a new reference to a
// borrowed object) or `Ref::steal` (adopt a reference the C API handed us), so
// every acquisition says its kind where it happens. Moving a `Ref` empties the
// source; `release()` hands the reference back to the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tamso::py {

class Handle {
 public:
  constexpr Handle() noexcept = default;
  constexpr Handle(PyObject* p) noexcept : p_(p) {}  // NOLINT: a borrowed pointer is a handle

  PyObject* ptr() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(Handle other) const noexcept { return p_ == other.p_; }
  bool is_none() const noexcept { return p_ == Py_None; }

 private:
  PyObject* p_ = nullptr;
};

class Ref {
 public:
  Ref() noexcept = default;

  static Ref borrow(Handle h) noexcept {
    Py_XINCREF(h.ptr());
    return Ref(h.ptr());
  }
  static Ref steal(PyObject* p) noexcept { return Ref(p); }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  Handle handle() const noexcept { return Handle(p_); }
  operator Handle() const noexcept { return Handle(p_); }  // NOLINT: viewing an owned object
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Gives up ownership: the caller (normally the C API) now holds the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  Ref clone() const noexcept { return borrow(Handle(p_)); }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace tamso::py
