// The failure report on standard error: head, hint line, backtrace switch.
#include "boundary/failure/report.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace veltrum::report {
namespace {

// One report at a time, so the reports of two threads never interleave.
std::mutex g_report_lock;

// Only the first report of the process (with backtraces off) carries the hint.
std::atomic<bool> g_first_report{true};

std::atomic<std::uint8_t> g_style{static_cast<std::uint8_t>(BacktraceStyle::Unset)};

constexpr std::string_view kHintLine =
    "note: run with `VELTRUM_BACKTRACE=1` environment variable to display a backtrace\n";

// The kernel's id of the calling thread. glibc wraps the system call as
// gettid() only from 2.30; called directly it works with any glibc.
long thread_id() noexcept { return syscall(SYS_gettid); }

void append_location(Text& out, const Site& site) {
    out.append(site.file);
    out.push_back(':');
    append_decimal(out, site.line);
    out.push_back(':');
    append_decimal(out, site.column);
}

}  // namespace

void write_stderr(std::string_view text) noexcept {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // closed or broken: the report is dropped
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

BacktraceStyle style_for(const char* value) noexcept {
    if (value == nullptr || std::strcmp(value, "0") == 0) {
        return BacktraceStyle::Off;
    }
    if (std::strcmp(value, "full") == 0) {
        return BacktraceStyle::Full;
    }
    return BacktraceStyle::Short;
}

BacktraceStyle process_style() noexcept {
    std::uint8_t cached = g_style.load();
    if (cached != static_cast<std::uint8_t>(BacktraceStyle::Unset)) {
        return static_cast<BacktraceStyle>(cached);
    }
    auto chosen = static_cast<std::uint8_t>(style_for(std::getenv(kBacktraceVariable.data())));
    // The first stored value wins; a thread that loses the race uses it.
    if (g_style.compare_exchange_strong(cached, chosen)) {
        return static_cast<BacktraceStyle>(chosen);
    }
    return static_cast<BacktraceStyle>(cached);
}

void write_report(std::string_view message, const Site& site, std::uint32_t nesting) noexcept {
    // A failure raised while another is still travelling always gets every frame.
    BacktraceStyle style = nesting >= 2 ? BacktraceStyle::Full : process_style();

    Text head;
    head.reserve(64 + site.file.size() + message.size());
    head.append("\nthread '<unnamed>' (");
    append_decimal(head, thread_id());
    head.append(") panicked at ");
    append_location(head, site);
    head.append(":\n");
    head.append(message);
    head.push_back('\n');

    std::lock_guard<std::mutex> lock(g_report_lock);
    write_stderr(head);  // one write keeps the head whole among other output
    if (style == BacktraceStyle::Off) {
        if (g_first_report.exchange(false)) {
            write_stderr(kHintLine);
        }
    } else {
        write_backtrace(style);
    }
}

void write_nested_report(std::string_view message, const Site& site) noexcept {
    Text text("panicked at ");
    append_location(text, site);
    text.append(":\n");
    text.append(message);
    text.append("\nthread panicked while processing panic. aborting.\n");
    write_stderr(text);
}

}  // namespace veltrum::report
