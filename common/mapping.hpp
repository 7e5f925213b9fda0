// The one owner of a memory mapping: base and length, move-only, unmapped
// when the owner goes, unless release() handed it on (a mapping meant to
// stay until the process ends is released).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <utility>

namespace common {

class mapping {
public:
    mapping() noexcept = default;
    // Takes what mmap answered; MAP_FAILED holds nothing.
    mapping(void* base, size_t bytes) noexcept
        : base_(base == MAP_FAILED ? nullptr : static_cast<unsigned char*>(base)), bytes_(base_ ? bytes : 0)
    {
    }
    mapping(mapping&& o) noexcept : base_(std::exchange(o.base_, nullptr)), bytes_(std::exchange(o.bytes_, 0))
    {
    }
    mapping& operator=(mapping&& o) noexcept
    {
        if (this != &o) {
            reset();
            base_ = std::exchange(o.base_, nullptr);
            bytes_ = std::exchange(o.bytes_, 0);
        }
        return *this;
    }
    mapping(const mapping&) = delete;
    mapping& operator=(const mapping&) = delete;
    ~mapping() { reset(); }

    unsigned char* get() const noexcept { return base_; }
    size_t size() const noexcept { return bytes_; }
    explicit operator bool() const noexcept { return base_ != nullptr; }
    // Gives the mapping up without unmapping it.
    unsigned char* release() noexcept
    {
        bytes_ = 0;
        return std::exchange(base_, nullptr);
    }
    // Unmaps what is held.
    void reset() noexcept
    {
        if (base_)
            ::munmap(base_, bytes_);
        base_ = nullptr;
        bytes_ = 0;
    }

private:
    unsigned char* base_ = nullptr;
    size_t bytes_ = 0;
};

// Private anonymous memory, zero-filled, readable and writable; extra_flags
// adds to MAP_PRIVATE | MAP_ANONYMOUS.  Empty, with errno set, on failure.
inline mapping map_anonymous(size_t bytes, int extra_flags = 0) noexcept
{
    return mapping(
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | extra_flags, -1, 0),
        bytes);
}

}  // namespace common
