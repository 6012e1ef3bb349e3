// The one owner of Python references in the module face, and the interpreter-release guard.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tonalis::py {

// An owned reference (or none). A raw pointer becomes owned only through
// `Ref::steal` (a new reference the caller was given) or `Ref::borrow` (a
// borrowed one, incremented here); `release()` hands the reference on to an
// API that steals it. Copying is explicit through `borrow(ref.get())`.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Py_CLEAR(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// Detaches the calling thread from the interpreter for the guard's lifetime,
// so other Python threads run while an engine works on owned memory. No
// Python object may be touched until the guard is gone.
class Detached {
public:
    Detached() noexcept : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

// The pending exception, taken out of the thread state, and put back.
// Exceptions are normalised so that notes can be added to them.
inline Ref fetch_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) {
        return Ref();
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) {
        PyException_SetTraceback(value, tb);
    }
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

inline void restore_error(Ref exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    if (value == nullptr) {
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace tonalis::py
