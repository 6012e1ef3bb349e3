// Process-wide objects created on first use: interned names and numpy's C API table.
//
// Two threads may arrive here at once (free-threaded interpreters run
// without a global lock, and even with one an import can switch threads).
// Each creates its own value and publishes it with a compare-and-swap: a
// single value survives, the loser drops its copy, and once published a
// value is only read. No lock is held across a call into Python, so none
// can deadlock against the interpreter or its import lock.
#define TONALIS_DEFINE_NUMPY_API
#include "numpy.hpp"
#include "caches.hpp"

#include <atomic>

namespace tonalis::py {

namespace {

constexpr const char* name_texts[] = {
    "image", "method", "matrix", "levels", "palette", "serpentine", "seed", "strength",
    "linear", "preserve_alpha",
    "add_note", "__all__", "__name__", "__module__",
    "mode", "convert", "fromarray", "asarray", "dtype", "kind", "shape", "astype", "flatten",
    "tolist", "Image",
};
static_assert(std::size(name_texts) == static_cast<std::size_t>(Name::count_));

std::atomic<PyObject*> name_slots[static_cast<std::size_t>(Name::count_)];

// Whether numpy's table may be read. The numpy macros read PyArray_API and
// PyArray_RUNTIME_VERSION as plain variables, so exactly one thread may
// write them, and every reader must see that write through this gate.
enum NumpyState : int { numpy_absent, numpy_publishing, numpy_ready };
std::atomic<int> numpy_state{numpy_absent};

}  // namespace

PyObject* interned(Name name) noexcept {
    auto& slot = name_slots[static_cast<std::size_t>(name)];
    PyObject* current = slot.load(std::memory_order_acquire);
    if (current != nullptr) {
        return current;
    }
    PyObject* fresh = PyUnicode_InternFromString(name_texts[static_cast<std::size_t>(name)]);
    if (fresh == nullptr) {
        return nullptr;
    }
    PyObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
        return fresh;  // kept until the process ends
    }
    Py_DECREF(fresh);
    return expected;
}

bool ensure_numpy() noexcept {
    if (numpy_state.load(std::memory_order_acquire) == numpy_ready) {
        return true;
    }
    // numpy's own import_array() stores into the two variables with no
    // ordering, which races when two threads load the table at once. Here
    // each thread checks the table in locals; only the winner of the gate
    // stores it.
    Ref module = Ref::steal(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        module = Ref::steal(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    if (!module) {
        return false;
    }
    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) {
        return false;
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "numpy's _ARRAY_API is not a capsule");
        return false;
    }
    auto api = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (api == nullptr) {
        return false;
    }
    auto abi_version = reinterpret_cast<unsigned (*)()>(api[0])();
    if (abi_version > NPY_VERSION) {
        PyErr_Format(PyExc_ImportError,
                     "tonalis was built against numpy ABI version 0x%x but this numpy is 0x%x",
                     static_cast<int>(NPY_VERSION), static_cast<int>(abi_version));
        return false;
    }
    auto feature_version = reinterpret_cast<unsigned (*)()>(api[211])();
    if (feature_version < NPY_FEATURE_VERSION) {
        PyErr_Format(PyExc_ImportError,
                     "tonalis needs numpy C-API version 0x%x or newer, this numpy has 0x%x",
                     static_cast<int>(NPY_FEATURE_VERSION), static_cast<int>(feature_version));
        return false;
    }
    int expected = numpy_absent;
    if (numpy_state.compare_exchange_strong(expected, numpy_publishing,
                                            std::memory_order_acquire)) {
        PyArray_RUNTIME_VERSION = static_cast<int>(feature_version);
        PyArray_API = api;  // lives as long as numpy, which is never unloaded
        numpy_state.store(numpy_ready, std::memory_order_release);
        return true;
    }
    // Another thread is between two plain stores, with no call in between:
    // the wait is a few instructions long.
    while (numpy_state.load(std::memory_order_acquire) != numpy_ready) {
    }
    return true;
}

}  // namespace tonalis::py
