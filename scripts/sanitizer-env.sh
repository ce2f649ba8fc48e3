# Sourced by the sanitizer stages, after lib.sh. use_sanitize_build (after
# use_target_python) sets SANITIZE_BUILD, the build directory of the module and
# C++ tests made with ASan and UBSan; sanitizer_env sets SANITIZED, the `env`
# prefix that runs the ordinary interpreter on it.
#
# The interpreter is not built with the sanitizer, so its runtime is preloaded;
# libstdc++ too, or ASan cannot find the real __cxa_throw when the module throws.
# PYTHONMALLOC=malloc makes every object, the 104-byte instances included, a
# malloc block with red zones around it (the small-object allocator would hide
# an overflow inside its pools). The interpreter keeps much of its memory until
# exit, so leak detection is off: leaks are the memcheck and soak stages'.

use_sanitize_build() {
    SANITIZE_BUILD="$ROOT/build/sanitize$BUILD_SUFFIX"
    # Every sanitizer report, of the test process or of any child it starts,
    # lands here as a file of its own: a child that dies of a finding can never
    # pass for one that was expected to fail.
    SANITIZER_REPORTS="$SANITIZE_BUILD/reports"
}

sanitizer_env() {
    local asan_runtime cxx_runtime
    asan_runtime="$(g++ -print-file-name=libasan.so)"
    cxx_runtime="$(g++ -print-file-name=libstdc++.so)"
    [ -f "$asan_runtime" ] || die "no libasan.so next to g++"
    rm -rf "$SANITIZER_REPORTS"
    mkdir -p "$SANITIZER_REPORTS"
    SANITIZED=(env LD_PRELOAD="$asan_runtime $cxx_runtime"
        ASAN_OPTIONS="detect_leaks=0:strict_init_order=1:check_initialization_order=1:log_path=$SANITIZER_REPORTS/asan"
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$SANITIZER_REPORTS/ubsan"
        PYTHONMALLOC=malloc PYTHONFAULTHANDLER=1 VELTRUM_SANITIZED=1
        PYTHONPATH="$SANITIZE_BUILD")
}

# Fails, showing them, when the sanitizers reported anything so far.
sanitizer_reports_check() {
    local reports=("$SANITIZER_REPORTS"/*)
    [ -e "${reports[0]}" ] || return 0
    for report in "${reports[@]}"; do
        printf '\n--- %s\n' "$report" >&2
        cat "$report" >&2
    done
    die "the sanitizers reported ${#reports[@]} finding(s)"
}
