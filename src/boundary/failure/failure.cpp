// Raising model failures: the per-thread bookkeeping around each failure, the
// report at the point of failure, and the out-of-memory abort.
#include "boundary/failure/failure.hpp"

#include <cstdlib>

#include "boundary/failure/report.hpp"

namespace veltrum {
namespace {

// Per thread: failures raised and not yet caught, and whether this thread is
// writing a report right now (a failure then cannot be reported, only abort).
thread_local std::uint32_t t_nesting = 0;
thread_local bool t_in_report = false;

void report_failure(std::string_view message, const Site& site) noexcept {
    if (t_in_report) {
        report::write_nested_report(message, site);
        std::abort();
    }
    ++t_nesting;
    t_in_report = true;
    report::write_report(message, site, t_nesting);
    t_in_report = false;
}

}  // namespace

void fail(std::string_view message, const Site& site) {
    report_failure(message, site);
    throw ModelFailure(Text(message), site);
}

void fail_fatal(std::string_view message, const Site& site) noexcept {
    report_failure(message, site);
    std::abort();
}

void resume_failure(Text message, const Site& site) {
    ++t_nesting;
    throw ModelFailure(std::move(message), site);
}

void failure_caught() noexcept {
    if (t_nesting > 0) {
        --t_nesting;
    }
    t_in_report = false;
}

std::uint32_t failure_nesting() noexcept { return t_nesting; }

void allocation_failed(std::size_t bytes) noexcept {
    // Assembled on the stack: there is no memory to assemble it anywhere else.
    char line[64] = "memory allocation of ";
    std::size_t used = sizeof "memory allocation of " - 1;
    auto [end, ec] = std::to_chars(line + used, line + sizeof line, bytes);
    (void)ec;
    std::string_view tail = " bytes failed\n";
    used = static_cast<std::size_t>(end - line);
    for (char c : tail) {
        line[used++] = c;
    }
    report::write_stderr(std::string_view(line, used));
    std::abort();
}

}  // namespace veltrum
