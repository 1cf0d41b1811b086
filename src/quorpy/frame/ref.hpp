// Owned reference to a Python object.
//
// A raw PyObject* in this code base is always borrowed. Ownership is spelled out with
// Ref: made only through steal() or borrow(), dropped by the destructor, handed back to
// CPython with release(). Error paths therefore need no cleanup code of their own.
#pragma once

#include <Python.h>

#include <utility>

namespace quorpy {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace quorpy
