// Owned message text for failures and error messages. Its allocator treats an
// out-of-memory condition the way the module treats every allocation of its own
// data: a one-line notice on standard error, then abort.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

namespace veltrum {

[[noreturn]] void allocation_failed(std::size_t bytes) noexcept;

template <class T>
struct AbortingAllocator {
    using value_type = T;

    AbortingAllocator() = default;
    template <class U>
    constexpr AbortingAllocator(const AbortingAllocator<U>& /*other*/) noexcept {}  // NOLINT

    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) {
            allocation_failed(SIZE_MAX);
        }
        void* p = ::operator new(n * sizeof(T), std::nothrow);
        if (p == nullptr) {
            allocation_failed(n * sizeof(T));
        }
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t /*n*/) noexcept { ::operator delete(p); }

    template <class U>
    bool operator==(const AbortingAllocator<U>& /*other*/) const noexcept {
        return true;
    }
};

using Text = std::basic_string<char, std::char_traits<char>, AbortingAllocator<char>>;

// Appends the decimal form of an integer; message building only.
template <class Int>
void append_decimal(Text& out, Int value) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;  // 24 characters hold every 64-bit integer
    out.append(digits, static_cast<std::size_t>(end - digits));
}

}  // namespace veltrum
