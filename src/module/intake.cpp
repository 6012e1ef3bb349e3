// Validation of the common options and intake of the caller's image into the working image.
#include "intake.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "caches.hpp"
#include "numpy.hpp"
#include "text.hpp"

namespace tonalis::py {

namespace {

void raise_value_error(const std::string& message) noexcept {
    PyErr_SetString(PyExc_ValueError, message.c_str());
}

constexpr const char palette_not_sequence[] =
    "palette must be a sequence of colors, e.g. [\"#000\", \"#fff\"] or "
    "[(0, 0, 0), (255, 255, 255)]";
constexpr const char palette_bad_entry[] =
    "palette entries must be hex strings like '#0f380f' or (r, g, b) tuples";

// One non-text palette entry: a sequence of exactly three integers in
// 0..255. Every item is converted before the count is looked at.
bool parse_component_entry(PyObject* entry, Rgb& out) {
    if (!PySequence_Check(entry)) {
        PyErr_SetString(PyExc_TypeError, palette_bad_entry);
        return false;
    }
    Py_ssize_t n = PySequence_Size(entry);
    if (n < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, palette_bad_entry);
        return false;
    }
    // Only a three-item entry can be valid, so only three items are kept;
    // a long entry is still checked item by item, in constant memory.
    std::array<std::int64_t, 3> components{};
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(entry, i));
        long long value = item ? PyLong_AsLongLong(item.get()) : -1;
        if (!item || (value == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, palette_bad_entry);
            return false;
        }
        if (i < 3) {
            components[static_cast<std::size_t>(i)] = value;
        }
    }
    if (n != 3) {
        PyErr_Format(PyExc_ValueError,
                     "palette color must have exactly 3 components (r, g, b), got %zd", n);
        return false;
    }
    for (std::int64_t c : components) {
        if (c < 0 || c > 255) {
            raise_value_error("palette color components must be in 0..=255, got " +
                              format_list(std::span<const std::int64_t>(components)));
            return false;
        }
    }
    out = {static_cast<std::uint8_t>(components[0]), static_cast<std::uint8_t>(components[1]),
           static_cast<std::uint8_t>(components[2])};
    return true;
}

// The caller's palette as byte triples. Any iterable of entries is taken;
// the count is judged only after every entry was read, so a bad entry is
// reported in preference to a bad count. Entries past the largest palette
// are checked but not kept, so a huge iterable cannot exhaust memory.
bool parse_palette(PyObject* palette, std::vector<Rgb>& out) {
    if (PyUnicode_Check(palette)) {
        PyErr_SetString(PyExc_TypeError, palette_not_sequence);
        return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(palette));
    if (!iterator) {
        return false;
    }
    std::size_t count = 0;
    while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
        Rgb rgb{};
        if (PyUnicode_Check(entry.get())) {
            std::u32string text = code_points(entry.get());
            std::optional<Rgb> parsed = parse_hex_color(text);
            if (!parsed) {
                raise_value_error("invalid hex color " + quoted_literal(text) +
                                  "; expected '#rgb' or '#rrggbb'");
                return false;
            }
            rgb = *parsed;
        } else if (!parse_component_entry(entry.get(), rgb)) {
            return false;
        }
        if (++count <= max_palette_colors) {
            out.push_back(rgb);
        }
    }
    if (PyErr_Occurred()) {
        return false;
    }
    if (count < min_palette_colors) {
        raise_value_error("palette must contain at least 2 colors");
        return false;
    }
    if (count > max_palette_colors) {
        raise_value_error("palette must contain at most 4096 colors");
        return false;
    }
    return true;
}

bool is_uint8_array(PyObject* obj) noexcept {
    return PyArray_Check(obj) &&
           PyArray_EquivTypenums(PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj)), NPY_UINT8);
}

// PIL's image module when it is loaded. An object can only be a PIL image
// once PIL.Image has been imported, so an unloaded PIL means "no PIL image"
// without paying for a failing import on every call; a None entry in
// sys.modules (PIL blocked) likewise means no PIL.
Ref loaded_pil_image_module() noexcept {
    Ref name = Ref::steal(PyUnicode_FromString("PIL.Image"));
    Ref module = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref();
    if (!module || module.get() == Py_None) {
        PyErr_Clear();
        return Ref();
    }
    return module;
}

struct Extracted {
    Ref array;  // a uint8 ndarray
    std::optional<std::string> pil_mode;
};

bool is_kept_mode(std::string_view mode) noexcept {
    return mode == "L" || mode == "LA" || mode == "RGB" || mode == "RGBA";
}

// PIL's 16-bit grayscale modes. PIL's own conversion to RGB clips their
// samples at 255, which would turn almost any 16-bit picture white, so they
// are scaled to 8 bits here instead.
bool is_16bit_gray_mode(std::string_view mode) noexcept {
    return mode == "I;16" || mode == "I;16L" || mode == "I;16B" || mode == "I;16N";
}

// A 16-bit grayscale PIL image as an H x W x 3 uint8 array: every sample
// scaled to 0..255 and rounded (v / 257 to the nearest integer; no value
// lies halfway), then copied to the three colour channels, as the RGB
// conversion of every other mode gives them.
Ref rgb_from_16bit_gray(PyObject* pil_image) noexcept {
    Ref samples = as_array(pil_image);
    if (!samples) {
        return Ref();
    }
    // Native byte order and C layout, whatever PIL's mode stored.
    Ref native = Ref::steal(PyArray_FromAny(samples.get(), PyArray_DescrFromType(NPY_UINT16), 2, 2,
                                            NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
    if (!native) {
        return Ref();
    }
    auto* gray = reinterpret_cast<PyArrayObject*>(native.get());
    const npy_intp* dims = PyArray_DIMS(gray);
    npy_intp rgb_dims[3] = {dims[0], dims[1], 3};
    Ref rgb = Ref::steal(PyArray_SimpleNew(3, rgb_dims, NPY_UINT8));
    if (!rgb) {
        return Ref();
    }
    const auto* src = static_cast<const std::uint16_t*>(PyArray_DATA(gray));
    auto* dst =
        static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rgb.get())));
    const auto count = static_cast<std::size_t>(dims[0] * dims[1]);
    for (std::size_t i = 0; i < count; ++i) {
        const auto code = static_cast<std::uint8_t>((src[i] + 128u) / 257u);
        dst[3 * i] = code;
        dst[3 * i + 1] = code;
        dst[3 * i + 2] = code;
    }
    return rgb;
}

// A uint8 array from a numpy array, a PIL image or an array-like object.
bool extract_image(PyObject* image, Extracted& out) {
    if (is_uint8_array(image)) {
        out.array = Ref::borrow(image);
        return true;
    }
    Ref obj = Ref::borrow(image);
    if (Ref pil = loaded_pil_image_module()) {
        Ref image_class = get_attr(pil.get(), Name::image_class);
        if (!image_class) {
            return false;
        }
        int is_pil = PyObject_IsInstance(obj.get(), image_class.get());
        if (is_pil < 0) {
            PyErr_Clear();
            is_pil = 0;
        }
        if (is_pil == 1) {
            Ref mode = get_attr(obj.get(), Name::mode);
            if (!mode) {
                return false;
            }
            if (!PyUnicode_Check(mode.get())) {
                PyErr_Format(PyExc_TypeError, "PIL image mode must be a str, got '%s'",
                             Py_TYPE(mode.get())->tp_name);
                return false;
            }
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(mode.get(), &len);
            if (text == nullptr) {
                return false;
            }
            std::string_view mode_text(text, static_cast<std::size_t>(len));
            if (is_kept_mode(mode_text)) {
                out.pil_mode = std::string(mode_text);
            } else if (is_16bit_gray_mode(mode_text)) {
                obj = rgb_from_16bit_gray(obj.get());
                if (!obj) {
                    return false;
                }
                out.pil_mode = "RGB";
            } else {
                Ref rgb = Ref::steal(PyUnicode_FromString("RGB"));
                if (!rgb) {
                    return false;
                }
                obj = call_method(obj.get(), Name::convert, rgb.get());
                if (!obj) {
                    return false;
                }
                out.pil_mode = "RGB";
            }
        }
    }
    Ref array = as_array(obj.get());
    if (!array) {
        return false;
    }
    if (!is_uint8_array(array.get())) {
        std::string dtype = "<unknown>";
        auto* descr = reinterpret_cast<PyObject*>(
            PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array.get())));
        Ref text = Ref::steal(PyObject_Str(descr));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8 != nullptr) {
            dtype = utf8;
        }
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError,
                        ("expected a uint8 image array, got dtype " + dtype +
                         "; convert with np.asarray(img, dtype=np.uint8), or "
                         "(img * 255).clip(0, 255).astype(np.uint8) for float images in [0, 1]")
                            .c_str());
        return false;
    }
    out.array = std::move(array);
    return true;
}

// Where the samples are, in logical row-major order, whatever the memory layout.
SampleSource source_of(PyArrayObject* array) noexcept {
    const npy_intp* strides = PyArray_STRIDES(array);
    return {static_cast<const std::uint8_t*>(PyArray_DATA(array)), strides[0], strides[1],
            PyArray_NDIM(array) == 3 ? strides[2] : 0};
}

}  // namespace

std::u32string code_points(PyObject* text) {
    std::u32string out;
    Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    out.reserve(static_cast<std::size_t>(len));
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < len; ++i) {
        out.push_back(static_cast<char32_t>(PyUnicode_READ(kind, data, i)));
    }
    return out;
}

std::optional<Prepared> prepare(PyObject* image, std::uint32_t levels, PyObject* palette,
                                bool linear, bool preserve_alpha, float strength, Origin& origin,
                                std::size_t copy_threads) {
    if (!(strength >= 0.0f && strength <= 1.0f)) {
        raise_value_error("strength must be between 0.0 and 1.0, got " + format_f32(strength));
        return std::nullopt;
    }
    if (levels < 2 || levels > 256) {
        raise_value_error("levels must be between 2 and 256, got " + std::to_string(levels));
        return std::nullopt;
    }
    if (palette != nullptr && levels != 2) {
        raise_value_error("pass either levels or palette, not both");
        return std::nullopt;
    }
    std::vector<Rgb> triples;
    if (palette != nullptr && !parse_palette(palette, triples)) {
        return std::nullopt;
    }
    Extracted extracted;
    if (!extract_image(image, extracted)) {
        return std::nullopt;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(extracted.array.get());
    const int ndim = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    std::vector<std::size_t> shape(dims, dims + ndim);
    if (ndim != 2 && ndim != 3) {
        raise_value_error("expected a 2-D grayscale or 3-D (H, W, C) image, got a " +
                          std::to_string(ndim) + "-D array with shape " +
                          format_list(std::span<const std::size_t>(shape)));
        return std::nullopt;
    }
    for (std::size_t d : shape) {
        if (d == 0) {
            raise_value_error("image has an empty dimension: shape " +
                              format_list(std::span<const std::size_t>(shape)));
            return std::nullopt;
        }
    }
    Img img;
    img.height = shape[0];
    img.width = shape[1];
    img.channels = ndim == 3 ? shape[2] : 1;
    if (ndim == 3 && preserve_alpha && (img.channels == 2 || img.channels == 4)) {
        img.alpha = img.channels - 1;
    }
    // Checked before the copy: a grayscale image cannot take a palette, and
    // copying it first would only waste the copy.
    if (palette != nullptr && img.channels <= 2) {
        raise_value_error(
            "palette dithering needs an RGB or RGBA image; for grayscale use `levels`, "
            "or stack to RGB with np.dstack([img] * 3)");
        return std::nullopt;
    }
    // numpy keeps the element count within the address space, so this
    // product cannot overflow; the allocation may still fail.
    const std::size_t samples = img.height * img.width * img.channels;
    img.data = Buffer<std::uint8_t>::allocate(samples, interpreter_allocator);
    if (img.data.empty()) {
        PyErr_Format(PyExc_MemoryError, "cannot allocate %zu bytes for a copy of the image",
                     samples);
        return std::nullopt;
    }
    // With the interpreter held: no other Python code can change the
    // samples while they are copied.
    copy_samples(img, source_of(array), copy_threads);
    extracted.array.reset();
    origin.ndim = ndim;
    origin.pil_mode = std::move(extracted.pil_mode);

    Space space = Space::make(linear);
    std::optional<Prepared> prepared;
    if (palette != nullptr) {
        prepared.emplace(
            Prepared{std::move(img), Palette::make(std::move(triples), space), space, strength});
    } else {
        prepared.emplace(Prepared{std::move(img), Levels::make(levels, space), space, strength});
    }
    return prepared;
}

}  // namespace tonalis::py
