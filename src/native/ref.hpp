// Ref: the one owning handle for a PyObject*.
//
// Ownership rules, used throughout the native layer:
//  - A Ref owns exactly one strong reference; it is released when the Ref dies.
//  - Ref::steal(p) adopts a *new* reference (what most C API calls return).
//  - Ref::borrow(p) takes an extra reference to a *borrowed* pointer.
//  - A bare PyObject* is always borrowed: it is never decref'd by its holder.
//  - release() hands the reference back to C (a slot returning a new reference).
#pragma once
#include <Python.h>
#include <utility>

namespace morbex {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// None, True and False as owned references (immortal in 3.12, but the
// ownership rules stay uniform).
inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace morbex
