// Model failures: a check that cannot go on stops the call with a message and the
// fixed source location of the check. Python-free, so the model can use it alone.
#pragma once

#include <cstdint>
#include <source_location>
#include <string_view>
#include <utility>

#include "boundary/failure/text.hpp"

namespace veltrum {

// Where a failing check lives. The model's checks carry fixed locations; the
// boundary's own invariants use here().
struct Site {
    std::string_view file;
    std::uint32_t line;
    std::uint32_t column;
};

// The site of the calling line, its path relative to the project root (the build
// maps the source directory away) with any leading "./" removed.
constexpr Site here(std::source_location loc = std::source_location::current()) noexcept {
    std::string_view file = loc.file_name();
    while (file.starts_with("./") || file.starts_with("/")) {
        file.remove_prefix(1);
    }
    return Site{file, loc.line(), loc.column()};
}

// The one exception type that travels from a failed check to the entry trap.
// It deliberately does not derive from std::exception: only the trap catches it.
class ModelFailure {
public:
    // A sink: the message is moved into the member, so by value is right.
    // cppcheck-suppress passedByValue
    ModelFailure(Text message, const Site& site) noexcept
        : message_(std::move(message)), site_(site) {}
    const Text& message() const noexcept { return message_; }
    const Site& site() const noexcept { return site_; }
    Text take_message() noexcept { return std::move(message_); }

private:
    Text message_;
    Site site_;
};

// Writes the failure report to standard error, then throws ModelFailure. Every
// failed check goes through here, so the report always precedes the unwinding.
[[noreturn]] void fail(std::string_view message, const Site& site);

// Reports the failure like fail() and then aborts the process instead of
// unwinding: the escape check of an entry, for failures nothing can catch.
[[noreturn]] void fail_fatal(std::string_view message, const Site& site) noexcept;

// Sends a failure on its way without a report: one that comes back out of
// Python code, already reported where it was first raised.
[[noreturn]] void resume_failure(Text message, const Site& site = here());

// Called by the entry trap when it has caught a failure: the thread is back in
// the state it had before the failure was raised.
void failure_caught() noexcept;

// Failures raised on this thread and not caught yet.
std::uint32_t failure_nesting() noexcept;

}  // namespace veltrum
