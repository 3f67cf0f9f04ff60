// PyRef: the one owner of a Python reference. It holds exactly one strong
// reference (or none), is made only through the named constructors steal() and
// borrow(), and releases its reference when it dies or is reassigned.
#pragma once

#include <Python.h>

#include <utility>

namespace colenc::py {

class PyRef {
 public:
  PyRef() noexcept = default;

  // Takes over a new reference (may be NULL, e.g. straight from a failed call).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Takes a new strong reference to a borrowed object (may be NULL).
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    // Keep the old object in a temporary and release it last: its release may
    // run Python code that reaches this handle again.
    PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  // Borrows the held object; the handle keeps its reference.
  PyObject* get() const noexcept { return obj_; }
  // Gives up the reference to the caller, who now owns it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  // Drops the held reference now.
  void reset() noexcept { PyRef().swap(*this); }
  void swap(PyRef& other) noexcept { std::swap(obj_, other.obj_); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace colenc::py
