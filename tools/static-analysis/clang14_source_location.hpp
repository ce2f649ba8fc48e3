// Analysis only, never compiled into the module: clang 14 has no
// __builtin_source_location, so libstdc++'s <source_location> declares nothing
// to it and every file that includes failure.hpp fails to parse. clang-tidy
// gets this stand-in through -include; GCC and newer clangs never see it.
#pragma once

#if defined(__clang__) && __clang_major__ < 15
#include <cstdint>

namespace std {  // NOLINT(cert-dcl58-cpp): stands in for the missing declaration

struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION(),
                                             std::uint_least32_t line = __builtin_LINE(),
                                             std::uint_least32_t column = __builtin_COLUMN()) noexcept {
        source_location loc;
        loc.file_ = file;
        loc.function_ = function;
        loc.line_ = line;
        loc.column_ = column;
        return loc;
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }
    constexpr std::uint_least32_t column() const noexcept { return column_; }

private:
    const char* file_ = "";
    const char* function_ = "";
    std::uint_least32_t line_ = 0;
    std::uint_least32_t column_ = 0;
};

}  // namespace std
#endif
