// The environment switches TONALIS_ISA and TONALIS_NUM_THREADS, read once by the exec step.
//
// They follow the ecosystem's conventions (numpy's NPY_DISABLE_CPU_FEATURES,
// OMP_NUM_THREADS), so that a user can cap threads in a container or a
// process pool and rule out a processor path, without an API of their own.
#include "switches.hpp"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "machine.hpp"
#include "pyref.hpp"
#include "text.hpp"

namespace tonalis::py {

namespace {

struct IsaName {
    std::string_view name;
    VectorIsa isa;
};

constexpr IsaName isa_names[] = {
    {"baseline", VectorIsa::baseline},
    {"avx2", VectorIsa::avx2},
    {"avx512", VectorIsa::avx512},
};

std::string_view trimmed(std::string_view text) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i]) {
            return false;
        }
    }
    return true;
}

std::optional<VectorIsa> parse_isa(std::string_view text) noexcept {
    for (const IsaName& entry : isa_names) {
        if (equal_ignoring_case(text, entry.name)) {
            return entry.isa;
        }
    }
    return std::nullopt;
}

// Digits only, at least 1. Counts above max_workers all mean max_workers,
// so the value is held saturated just above it.
std::optional<std::size_t> parse_threads(std::string_view text) noexcept {
    if (text.empty()) {
        return std::nullopt;
    }
    std::size_t value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::size_t>(ch - '0');
        value = std::min(value * 10 + digit, max_workers + 1);
    }
    if (value == 0) {
        return std::nullopt;
    }
    return value;
}

// The variable's value with blanks trimmed, or nothing when unset or empty.
std::optional<std::string_view> read_switch(const char* variable) noexcept {
    const char* value = std::getenv(variable);
    if (value == nullptr) {
        return std::nullopt;
    }
    const std::string_view text = trimmed(value);
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

// Both compiled modules read the switches as they load, each with its own
// copy of this code; the interpreter's shared dictionary remembers which
// warnings were given, so that each is given once. A warning turned into
// an error is not remembered: every import it fails fails the same way.
// -1 when the warning was turned into an error or the dictionary failed.
int warn_ignored(const char* variable, std::string_view value, const std::string& accepted) {
    const std::string message = std::string(variable) + "=" + quoted_literal(decode_utf8(value)) +
                                " is ignored; accepted values: " + accepted;
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (shared == nullptr) {  // none: every module warns
        return PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1);
    }
    const Ref key =
        Ref::steal(PyUnicode_FromString(("tonalis switch warning: " + message).c_str()));
    if (!key) {
        return -1;
    }
    const int seen = PyDict_Contains(shared, key.get());
    if (seen != 0) {
        return seen < 0 ? -1 : 0;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) {
        return -1;
    }
    return PyDict_SetItem(shared, key.get(), Py_True);
}

}  // namespace

int apply_switches() {
    if (const auto text = read_switch("TONALIS_ISA")) {
        if (const auto isa = parse_isa(*text)) {
            set_vector_isa_ceiling(*isa);
        } else {
            const std::string accepted = join_list(
                isa_names,
                [](std::string& out, const IsaName& e) { append_quoted_name(out, e.name); });
            if (warn_ignored("TONALIS_ISA", *text, accepted) < 0) {
                return -1;
            }
        }
    }
    if (const auto text = read_switch("TONALIS_NUM_THREADS")) {
        if (const auto threads = parse_threads(*text)) {
            set_worker_ceiling(*threads);
        } else if (warn_ignored("TONALIS_NUM_THREADS", *text, "a whole number from 1 up") < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace tonalis::py
