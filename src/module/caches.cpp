// Interned names, created once on first use and kept for the life of the process.
//
// Two threads may arrive here at once (free-threaded interpreters run
// without a global lock, and even with one an import can switch threads).
// Each creates its own string and publishes it with a compare-and-swap: a
// single value survives, the loser drops its copy, and once published a
// value is only read. No lock is held across a call into Python, so none
// can deadlock against the interpreter or its import lock.
#include "caches.hpp"

#include <atomic>
#include <iterator>

namespace tonalis::py {

namespace {

constexpr const char* name_texts[] = {
    "image", "method",   "matrix",    "levels",         "palette",  "serpentine",
    "seed",  "strength", "linear",    "preserve_alpha", "add_note", "__all__",
    "mode",  "convert",  "fromarray", "Image",
};
static_assert(std::size(name_texts) == static_cast<std::size_t>(Name::count_));

std::atomic<PyObject*> name_slots[static_cast<std::size_t>(Name::count_)];

}  // namespace

const char* name_text(Name name) noexcept {
    return name_texts[static_cast<std::size_t>(name)];
}

PyObject* interned(Name name) noexcept {
    auto& slot = name_slots[static_cast<std::size_t>(name)];
    PyObject* current = slot.load(std::memory_order_acquire);
    if (current != nullptr) {
        return current;
    }
    PyObject* fresh = PyUnicode_InternFromString(name_text(name));
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

}  // namespace tonalis::py
