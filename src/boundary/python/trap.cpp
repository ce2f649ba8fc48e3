// The entry trap's out-of-line parts: conversion of a caught failure and the
// escape check.
#include "boundary/python/trap.hpp"

namespace veltrum::detail {

void escape() noexcept { fail_fatal("uncaught panic at ffi boundary", here()); }

PendingError converted(ModelFailure& failure) noexcept {
    failure_caught();
    return PendingError::panic(failure.take_message());
}

void restore_unprotected(PendingError&& error) noexcept {
    try {
        std::move(error).restore();
    } catch (...) {
        escape();
    }
}

}  // namespace veltrum::detail
