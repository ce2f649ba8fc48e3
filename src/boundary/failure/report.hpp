// The failure report on standard error and the backtrace switch that shapes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "boundary/failure/failure.hpp"

namespace veltrum::report {

enum class BacktraceStyle : std::uint8_t { Unset = 0, Off = 1, Short = 2, Full = 3 };

// Name of the environment variable that selects the backtrace style.
inline constexpr std::string_view kBacktraceVariable = "VELTRUM_BACKTRACE";

// Maps a value of the backtrace variable (null when unset) to its style.
BacktraceStyle style_for(const char* value) noexcept;

// The process-wide style: read from the environment on first use, then fixed.
BacktraceStyle process_style() noexcept;

// Writes one report: the head (one write), then the backtrace or the hint line.
// `nesting` is the thread's failure count including this failure.
void write_report(std::string_view message, const Site& site, std::uint32_t nesting) noexcept;

// The lines written when a failure arises while this thread writes a report.
void write_nested_report(std::string_view message, const Site& site) noexcept;

// Writes to standard error, ignoring a closed or broken stream.
void write_stderr(std::string_view text) noexcept;

// The backtrace of the calling thread, from the point of failure outward.
void write_backtrace(BacktraceStyle style) noexcept;

}  // namespace veltrum::report
