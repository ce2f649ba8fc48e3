// Backtraces for failure reports: the calling thread's frames, symbolised with
// the program's own symbol and line tables where the build provides them.
#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "boundary/failure/report.hpp"

#if VELTRUM_HAVE_LIBBACKTRACE
#include <backtrace.h>
#else
#include <dlfcn.h>
#include <unwind.h>
#endif

namespace veltrum::report {
namespace {

// The short style looks at no more frames than this.
constexpr int kShortFrameLimit = 101;

constexpr std::string_view kShortNote =
    "note: Some details are omitted, run with `VELTRUM_BACKTRACE=full` for a verbose "
    "backtrace.\n";

// Frames of the failure machinery itself, which the short style leaves out: by
// source file where line tables exist, else by symbol name.
bool is_machinery(std::string_view name, const char* file) noexcept {
    if (file != nullptr) {
        const std::string_view path = file;
        return path.ends_with("boundary/failure/failure.cpp") ||
               path.ends_with("boundary/failure/report.cpp") ||
               path.ends_with("boundary/failure/backtrace.cpp");
    }
    return name.starts_with("veltrum::fail") || name.starts_with("veltrum::report::") ||
           name.starts_with("backtrace_") || name.starts_with("_Unwind_");
}

// Holds a demangled symbol name for as long as the entry is printed.
class Symbol {
public:
    explicit Symbol(const char* raw) noexcept {
        if (raw == nullptr) {
            return;
        }
        int status = 0;
        demangled_ = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
        name_ = demangled_ != nullptr ? demangled_ : raw;
    }
    ~Symbol() { std::free(demangled_); }
    Symbol(const Symbol&) = delete;
    Symbol& operator=(const Symbol&) = delete;

    std::string_view name() const noexcept { return name_; }

private:
    char* demangled_ = nullptr;
    std::string_view name_ = "<unknown>";
};

struct Printer {
    BacktraceStyle style;
    int printed = 0;        // frames written so far (their numbers)
    bool started = false;   // past the machinery frames at the top

    // One entry; inlined calls share the frame number of their caller.
    void entry(std::uintptr_t pc, const char* raw_name, const char* file, int line,
               bool same_frame) noexcept {
        Symbol symbol(raw_name);
        if (style == BacktraceStyle::Short && !started) {
            if (is_machinery(symbol.name(), file)) {
                return;
            }
            started = true;
        }
        Text out;
        if (same_frame && printed > 0) {
            out.append(style == BacktraceStyle::Full ? "                             " : "      ");
        } else {
            out.append(printed < 10 ? "   " : (printed < 100 ? "  " : " "));
            append_decimal(out, printed);
            out.append(": ");
            if (style == BacktraceStyle::Full) {
                char hex[2 + 16 + 1];
                auto [end, ec] = std::to_chars(hex, hex + sizeof hex, pc, 16);
                (void)ec;
                out.append("0x");
                out.append(hex, static_cast<std::size_t>(end - hex));
                out.append(" - ");
            }
            ++printed;
        }
        out.append(symbol.name());
        out.push_back('\n');
        if (file != nullptr) {
            out.append("             at ");
            out.append(file);
            out.push_back(':');
            append_decimal(out, line);
            out.push_back('\n');
        }
        write_stderr(out);
    }
};

#if VELTRUM_HAVE_LIBBACKTRACE

void ignore_error(void* /*data*/, const char* /*msg*/, int /*errnum*/) noexcept {}

// Created once (always under the report lock) and kept: libbacktrace has no
// way to free its state.
backtrace_state* symbol_state() noexcept {
    static backtrace_state* state = backtrace_create_state(nullptr, 0, ignore_error, nullptr);
    return state;
}

struct FrameWalk {
    Printer* printer;
    backtrace_state* state;
    int limit;
    int examined = 0;
};

struct PcInfo {
    Printer* printer;
    backtrace_state* state;
    bool any = false;
};

void on_symbol(void* data, std::uintptr_t /*pc*/, const char* symname, std::uintptr_t /*value*/,
               std::uintptr_t /*size*/) noexcept {
    *static_cast<const char**>(data) = symname;
}

int on_line(void* data, std::uintptr_t pc, const char* file, int line,
            const char* function) noexcept {
    auto* info = static_cast<PcInfo*>(data);
    const char* name = function;
    if (name == nullptr) {
        backtrace_syminfo(info->state, pc, on_symbol, ignore_error, &name);
    }
    info->printer->entry(pc, name, file, line, info->any);
    info->any = true;
    return 0;
}

int on_frame(void* data, std::uintptr_t pc) noexcept {
    auto* walk = static_cast<FrameWalk*>(data);
    if (walk->limit > 0 && walk->examined >= walk->limit) {
        return 1;
    }
    ++walk->examined;
    PcInfo info{walk->printer, walk->state};
    backtrace_pcinfo(walk->state, pc, on_line, ignore_error, &info);
    if (!info.any) {
        const char* name = nullptr;
        backtrace_syminfo(walk->state, pc, on_symbol, ignore_error, &name);
        walk->printer->entry(pc, name, nullptr, 0, false);
    }
    return 0;
}

void walk_frames(Printer& printer, int limit) noexcept {
    backtrace_state* state = symbol_state();
    if (state == nullptr) {
        return;
    }
    FrameWalk walk{&printer, state, limit};
    backtrace_simple(state, 0, on_frame, ignore_error, &walk);
}

#else  // without libbacktrace: exported symbol names only, no lines

struct FrameWalk {
    Printer* printer;
    int limit;
    int examined = 0;
};

_Unwind_Reason_Code on_frame(_Unwind_Context* context, void* data) noexcept {
    auto* walk = static_cast<FrameWalk*>(data);
    if (walk->limit > 0 && walk->examined >= walk->limit) {
        return _URC_END_OF_STACK;
    }
    ++walk->examined;
    int before = 0;
    std::uintptr_t pc = _Unwind_GetIPInfo(context, &before);
    if (pc == 0) {
        return _URC_END_OF_STACK;
    }
    if (before == 0) {
        --pc;
    }
    Dl_info info{};
    const char* name = nullptr;
    if (dladdr(reinterpret_cast<void*>(pc), &info) != 0) {
        name = info.dli_sname;
    }
    walk->printer->entry(pc, name, nullptr, 0, false);
    return _URC_NO_REASON;
}

void walk_frames(Printer& printer, int limit) noexcept {
    FrameWalk walk{&printer, limit};
    _Unwind_Backtrace(on_frame, &walk);
}

#endif

}  // namespace

void write_backtrace(BacktraceStyle style) noexcept {
    write_stderr("stack backtrace:\n");
    Printer printer{style};
    walk_frames(printer, style == BacktraceStyle::Short ? kShortFrameLimit : 0);
    if (style == BacktraceStyle::Short) {
        write_stderr(kShortNote);
    }
}

}  // namespace veltrum::report
