// Owned pixel memory and the working image that every engine rewrites in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <utility>

namespace tonalis {

// Where large buffers come from. The module face passes in the interpreter's
// raw allocator, which may be called without the interpreter attached and is
// seen by memory tracers; the plain C allocator serves everywhere else.
struct RawAllocator {
    void* (*allocate)(std::size_t bytes);
    void (*release)(void* block);
};

inline constexpr RawAllocator malloc_allocator{
    [](std::size_t bytes) -> void* { return std::malloc(bytes); },
    [](void* block) { std::free(block); },
};

// A block of `count` elements of a trivial type, owned by exactly one holder.
// Copying is deleted: two holders would free the block twice. `release()`
// hands the block to a new owner (the array that becomes a call's result).
template <class T>
class Buffer {
public:
    Buffer() noexcept = default;

    // An empty buffer when the byte count overflows or memory is short; the
    // contents are uninitialised.
    static Buffer allocate(std::size_t count, RawAllocator alloc) noexcept {
        Buffer b;
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            return b;
        }
        std::size_t bytes = count * sizeof(T);
        void* p = alloc.allocate(bytes == 0 ? 1 : bytes);
        if (p == nullptr) {
            return b;
        }
        b.ptr_ = static_cast<T*>(p);
        b.size_ = count;
        b.alloc_ = alloc;
        return b;
    }

    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    Buffer(Buffer&& other) noexcept
        : ptr_(std::exchange(other.ptr_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          alloc_(other.alloc_) {}

    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
            size_ = std::exchange(other.size_, 0);
            alloc_ = other.alloc_;
        }
        return *this;
    }

    ~Buffer() { reset(); }

    void reset() noexcept {
        if (ptr_ != nullptr) {
            alloc_.release(ptr_);
        }
        ptr_ = nullptr;
        size_ = 0;
    }

    // WARNING: the caller becomes responsible for freeing the block with
    // `allocator().release`, which must be read before calling this.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(ptr_, nullptr);
    }

    T* data() const noexcept { return ptr_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return ptr_ == nullptr; }
    RawAllocator allocator() const noexcept { return alloc_; }
    T& operator[](std::size_t i) const noexcept { return ptr_[i]; }

private:
    T* ptr_ = nullptr;
    std::size_t size_ = 0;
    RawAllocator alloc_ = malloc_allocator;
};

// The private copy of a caller's image. Samples are stored row by row, pixel
// by pixel, channel by channel: sample (y, x, c) is at
// (y * width + x) * channels + c. Nothing in it refers to a caller's object,
// so engines may work on it with the interpreter released.
struct Img {
    Buffer<std::uint8_t> data;  // height * width * channels samples
    std::size_t height = 0;
    std::size_t width = 0;
    std::size_t channels = 0;  // 1 for a 2-D image
    // The channel that level quantization leaves unchanged (the last of an
    // LA or RGBA image when alpha is preserved).
    std::optional<std::size_t> alpha;

    std::size_t row_samples() const noexcept { return width * channels; }
    // The channel level quantization leaves unchanged, or `channels` (no
    // channel) when every channel is quantized.
    std::size_t kept_channel() const noexcept {
        return alpha && *alpha < channels ? *alpha : channels;
    }
    std::size_t pixel_count() const noexcept { return height * width; }
};

// Where a caller's samples are: sample (y, x, c) at
// data + y * row_stride + x * pixel_stride + c * channel_stride (bytes).
struct SampleSource {
    const std::uint8_t* data = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t pixel_stride = 0;
    std::ptrdiff_t channel_stride = 0;
};

// Copies the samples at `source` into img.data, in bands of rows on up to
// `threads` threads when the image is large enough for them to pay. The
// caller's thread takes part and waits for the others, so a caller holding
// the interpreter keeps other Python code from changing the samples
// meanwhile.
void copy_samples(const Img& img, const SampleSource& source, std::size_t threads) noexcept;

}  // namespace tonalis
