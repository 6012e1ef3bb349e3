// The module definition: its functions, their binders, and the exec step that adds them.
#include "binding.hpp"
#include "caches.hpp"
#include "docstrings.hpp"
#include "guarded.hpp"
#include "numpy.hpp"
#include "operations.hpp"
#include "switches.hpp"

namespace tonalis::py {

namespace {

using P = Name;

constexpr Name dither_params[] = {P::image, P::method,   P::levels, P::palette,       P::serpentine,
                                  P::seed,  P::strength, P::linear, P::preserve_alpha};
constexpr Name error_diffusion_params[] = {P::image,   P::method,        P::levels,
                                           P::palette, P::serpentine,    P::strength,
                                           P::linear,  P::preserve_alpha};
constexpr Name ordered_dither_params[] = {P::image,    P::matrix, P::levels,        P::palette,
                                          P::strength, P::linear, P::preserve_alpha};
constexpr Name random_dither_params[] = {P::image,    P::levels, P::palette,       P::seed,
                                         P::strength, P::linear, P::preserve_alpha};

constexpr Signature dither_sig{"dither", dither_params, 2};
constexpr Signature error_diffusion_sig{"error_diffusion", error_diffusion_params, 2};
constexpr Signature ordered_dither_sig{"ordered_dither", ordered_dither_params, 2};
constexpr Signature random_dither_sig{"random_dither", random_dither_params, 1};

template <const Signature& sig, PyObject* (*op)(const Args&)>
PyObject* binder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            Args converted;
            if (!bind_args(sig, args, nargs, kwnames, converted)) {
                return nullptr;
            }
            return op(converted);
        },
        nullptr);
}

PyObject* available_methods(PyObject*, PyObject*) noexcept {
    return guarded(available_methods_op, nullptr);
}

PyObject* available_matrices(PyObject*, PyObject*) noexcept {
    return guarded(available_matrices_op, nullptr);
}

template <const Signature& sig, PyObject* (*op)(const Args&)>
constexpr PyMethodDef dither_def(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&binder<sig, op>)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}

// In the order the exec step adds them.
PyMethodDef functions[] = {
    dither_def<dither_sig, dither_op>("dither", dither_doc),
    dither_def<ordered_dither_sig, ordered_dither_op>("ordered_dither", ordered_dither_doc),
    dither_def<error_diffusion_sig, error_diffusion_op>("error_diffusion", error_diffusion_doc),
    dither_def<random_dither_sig, random_dither_op>("random_dither", random_dither_doc),
    {"available_matrices", available_matrices, METH_NOARGS | METH_STATIC, available_matrices_doc},
    {"available_methods", available_methods, METH_NOARGS | METH_STATIC, available_methods_doc},
};

// Sets module.<name> = value and appends the name to module.__all__,
// creating that list on first use.
int add_public(PyObject* module, const char* name, PyObject* value) noexcept {
    PyObject* all_name = interned(Name::dunder_all);
    if (all_name == nullptr) {
        return -1;
    }
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) {
            return -1;
        }
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "tonalis.__all__ must be a list");
        return -1;
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, name, value);
}

int exec_module(PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "tonalis: exec step was not given a module");
        return -1;
    }
    // numpy is loaded here, once, so that no call has to check for it.
    if (!load_numpy() || guarded(apply_switches, -1) < 0) {
        return -1;
    }
    Ref version = Ref::steal(PyUnicode_FromString("0.2.0"));
    if (!version || add_public(module, "__version__", version.get()) < 0) {
        return -1;
    }
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return -1;
    }
    for (PyMethodDef& def : functions) {
        Ref function = Ref::steal(PyCMethod_New(&def, nullptr, module_name.get(), nullptr));
        if (!function || add_public(module, def.ml_name, function.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tonalis", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace tonalis::py

PyMODINIT_FUNC PyInit_tonalis(void) {
    return PyModuleDef_Init(&tonalis::py::module_def);
}
