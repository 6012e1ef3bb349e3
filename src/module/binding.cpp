// Binding of fast-call arguments to parameters, and their conversion to native values.
#include "binding.hpp"

#include <array>
#include <cstring>
#include <string_view>

#include "numpy.hpp"

namespace tonalis::py {

namespace {

// Every parameter name comes before the other names.
constexpr std::size_t param_count = static_cast<std::size_t>(Name::preserve_alpha) + 1;

// Index into sig.params of the parameter named by a keyword, or -1.
// Pointer comparison with the interned names first; callers may pass names
// that are not interned (f(**json.loads(...))), so then by UTF-8 value.
Py_ssize_t find_keyword(const Signature& sig, PyObject* key) noexcept {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        PyObject* name = interned(sig.params[i]);
        if (name == nullptr) {
            PyErr_Clear();  // the comparison by value below still finds it
        } else if (key == name) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
    if (utf8 == nullptr) {
        PyErr_Clear();  // a name with lone surrogates matches no parameter
        return -1;
    }
    std::string_view text(utf8, static_cast<std::size_t>(len));
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (text == name_text(sig.params[i])) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

void raise_type_mismatch(PyObject* obj, const char* expected) noexcept {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
                 expected);
}

bool to_text(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_type_mismatch(obj, "str");
        return false;
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8 == nullptr) {
        return false;
    }
    out.assign(utf8, static_cast<std::size_t>(len));
    return true;
}

// Through long long: a long has only 32 bits on 32-bit targets, where
// values from 2**31 would fail with another message.
bool to_u32(PyObject* obj, std::uint32_t& out) noexcept {
    long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (value < 0 || value > 0xFFFFFFFFLL) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool to_bool(PyObject* obj, bool& out) noexcept {
    if (obj == Py_True || obj == Py_False) {
        out = obj == Py_True;
        return true;
    }
    // numpy's boolean scalars are accepted beside True and False.
    if (PyArray_IsScalar(obj, Bool)) {
        out = PyArrayScalar_VAL(obj, Bool) != 0;
        return true;
    }
    raise_type_mismatch(obj, "bool");
    return false;
}

// A seed: an int of up to 128 bits, two's complement, of which the low 64
// bits are kept. No 128-bit integer type: 32-bit targets' compilers have
// none.
bool to_seed(PyObject* obj, std::uint64_t& out) noexcept {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) {
        return false;
    }
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (small == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow == 0) {
        out = static_cast<std::uint64_t>(small);
        return true;
    }
    // Wider than 64 bits: split into the floor-shifted high word, which must
    // fit a signed 64-bit value, and the low 64 bits.
    Ref sixty_four = Ref::steal(PyLong_FromLong(64));
    Ref mask = Ref::steal(PyLong_FromUnsignedLongLong(~0ull));
    if (!sixty_four || !mask) {
        return false;
    }
    Ref high = Ref::steal(PyNumber_Rshift(index.get(), sixty_four.get()));
    Ref low = Ref::steal(PyNumber_And(index.get(), mask.get()));
    if (!high || !low) {
        return false;
    }
    long long high_word = PyLong_AsLongLongAndOverflow(high.get(), &overflow);
    if (high_word == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError, "Python int larger than 128 bits");
        return false;
    }
    unsigned long long low_word = PyLong_AsUnsignedLongLong(low.get());
    if (low_word == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    out = static_cast<std::uint64_t>(low_word);
    return true;
}

bool to_f32(PyObject* obj, float& out) noexcept {
    double value;
    if (PyFloat_CheckExact(obj)) {
        value = PyFloat_AS_DOUBLE(obj);
    } else {
        value = PyFloat_AsDouble(obj);
        if (value == -1.0 && PyErr_Occurred()) {
            return false;
        }
    }
    // Nearest float, ties to even; beyond the float range an infinity.
    out = static_cast<float>(value);
    return true;
}

// Adds "while processing '{name}'" to the pending exception; if that fails
// the original error is raised without the note.
void add_parameter_note(Name p) noexcept {
    Ref exc = fetch_error();
    if (!exc) {
        return;
    }
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", name_text(p)));
    PyObject* method = interned(Name::add_note);
    if (note && method != nullptr) {
        Ref result = Ref::steal(PyObject_CallMethodOneArg(exc.get(), method, note.get()));
    }
    PyErr_Clear();
    restore_error(std::move(exc));
}

bool convert(Name p, PyObject* obj, Args& out) {
    switch (p) {
        case Name::image: out.image = obj; return true;
        case Name::method: return to_text(obj, out.method);
        case Name::matrix: out.matrix = obj == Py_None ? nullptr : obj; return true;
        case Name::levels: return to_u32(obj, out.levels);
        case Name::palette: out.palette = obj == Py_None ? nullptr : obj; return true;
        case Name::serpentine: return to_bool(obj, out.serpentine);
        case Name::seed:
            if (obj == Py_None) {
                out.seed.reset();
                return true;
            } else {
                std::uint64_t seed = 0;
                if (!to_seed(obj, seed)) {
                    return false;
                }
                out.seed = seed;
                return true;
            }
        case Name::strength: return to_f32(obj, out.strength);
        case Name::linear: return to_bool(obj, out.linear);
        case Name::preserve_alpha: return to_bool(obj, out.preserve_alpha);
        default: break;
    }
    PyErr_SetString(PyExc_SystemError, "tonalis: unknown parameter");
    return false;
}

}  // namespace

bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               Args& out) {
    std::array<PyObject*, param_count> slots{};  // borrowed, by position in sig.params
    const auto positional = static_cast<Py_ssize_t>(sig.positional);
    if (nargs > positional) {
        if (positional == 1) {
            PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given",
                         sig.function, nargs);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from 1 to %zd positional arguments but %zd were given",
                         sig.function, positional, nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[static_cast<std::size_t>(i)] = args[i];
    }
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = find_keyword(sig, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.function, key);
            return false;
        }
        auto slot = static_cast<std::size_t>(index);
        if (slots[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         sig.function, name_text(sig.params[slot]));
            return false;
        }
        slots[slot] = args[nargs + k];
    }
    if (slots[0] == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'image'",
                     sig.function);
        return false;
    }
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (slots[i] == nullptr) {
            continue;
        }
        if (!convert(sig.params[i], slots[i], out)) {
            add_parameter_note(sig.params[i]);
            return false;
        }
    }
    return true;
}

}  // namespace tonalis::py
