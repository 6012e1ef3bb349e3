// The finished working image handed back as a new array, or a PIL image for PIL input.
#include "output.hpp"

#include "caches.hpp"
#include "numpy.hpp"

namespace tonalis::py {

namespace {

// The result array's base object is a capsule that owns the pixel buffer
// and frees it, with the allocator it came from, when the last view of the
// array goes away.
constexpr const char buffer_capsule_name[] = "tonalis.pixels";

struct OwnedBlock {
    void* block;
    void (*release)(void*);
};

void free_pixels(PyObject* capsule) noexcept {
    auto* owned = static_cast<OwnedBlock*>(PyCapsule_GetPointer(capsule, buffer_capsule_name));
    if (owned == nullptr) {
        PyErr_Clear();  // a destructor cannot report; this capsule was ours, so it never fails
        return;
    }
    owned->release(owned->block);
    PyMem_RawFree(owned);
}

Ref buffer_owner(Buffer<std::uint8_t>& data) noexcept {
    auto* owned = static_cast<OwnedBlock*>(PyMem_RawMalloc(sizeof(OwnedBlock)));
    if (owned == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate the result's buffer owner");
        return Ref();
    }
    owned->release = data.allocator().release;
    owned->block = data.data();
    Ref capsule = Ref::steal(PyCapsule_New(owned, buffer_capsule_name, free_pixels));
    if (!capsule) {
        PyMem_RawFree(owned);
        return Ref();
    }
    data.release();  // the capsule owns the block from here on
    return capsule;
}

Ref wrap_array(Img& img, int ndim) noexcept {
    npy_intp dims[3] = {static_cast<npy_intp>(img.height), static_cast<npy_intp>(img.width),
                        static_cast<npy_intp>(img.channels)};
    npy_intp strides[3];
    strides[ndim - 1] = 1;
    for (int i = ndim - 1; i > 0; --i) {
        strides[i - 1] = strides[i] * dims[i];
    }
    void* pixels = img.data.data();
    Ref owner = buffer_owner(img.data);
    if (!owner) {
        return Ref();
    }
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_UINT8);
    if (descr == nullptr) {
        return Ref();
    }
    // NewFromDescr steals the descriptor; SetBaseObject steals the owner even
    // when it fails, and the array then frees nothing of its own.
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, dims, strides, pixels,
                                                NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) {
        return Ref();
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
        return Ref();
    }
    return array;
}

}  // namespace

PyObject* into_output(Img img, const Origin& origin) noexcept {
    Ref array = wrap_array(img, origin.ndim == 2 ? 2 : 3);
    if (!array || !origin.pil_mode) {
        return array.release();
    }
    Ref pil = Ref::steal(PyImport_ImportModule("PIL.Image"));
    if (!pil) {
        return nullptr;
    }
    PyObject* method = interned(Name::fromarray);
    if (method == nullptr) {
        return nullptr;
    }
    if (*origin.pil_mode == "LA") {
        Ref mode = Ref::steal(PyUnicode_FromString("LA"));
        if (!mode) {
            return nullptr;
        }
        PyObject* call[] = {pil.get(), array.get(), mode.get()};
        return PyObject_VectorcallMethod(method, call, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    PyObject* call[] = {pil.get(), array.get()};
    return PyObject_VectorcallMethod(method, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace tonalis::py
