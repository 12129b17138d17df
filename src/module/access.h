// The per-instance access counter: shared access for calls and reads, exclusive
// access for attribute writes, refused (not waited for) on conflict.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "errors.h"
#include "messages.h"

namespace qm {

class AccessCounter {
public:
    /// Takes shared access or raises RuntimeError "Already mutably borrowed".
    void acquire_shared() {
        int64_t seen = count_.load(std::memory_order_relaxed);
        do {
            if (seen == kExclusive) refuse(msg::kAlreadyMutablyBorrowed);
        } while (!count_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
    }
    void release_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }

    /// Takes exclusive access or raises RuntimeError "Already borrowed".
    void acquire_exclusive() {
        int64_t expected = 0;
        if (!count_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            refuse(msg::kAlreadyBorrowed);
        }
    }
    void release_exclusive() noexcept { count_.store(0, std::memory_order_release); }

private:
    static constexpr int64_t kExclusive = -1;

    [[noreturn, gnu::cold, gnu::noinline]] static void refuse(const char* message) {
        PyErr_SetString(PyExc_RuntimeError, message);
        throw PyErrorSet{};
    }

    std::atomic<int64_t> count_{0};
};

/// Shared access for the duration of a scope.
class SharedAccess {
public:
    explicit SharedAccess(AccessCounter& counter) : counter_(counter) { counter_.acquire_shared(); }
    ~SharedAccess() { counter_.release_shared(); }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    AccessCounter& counter_;
};

/// Exclusive access for the duration of a scope.
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(AccessCounter& counter) : counter_(counter) {
        counter_.acquire_exclusive();
    }
    ~ExclusiveAccess() { counter_.release_exclusive(); }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    AccessCounter& counter_;
};

}  // namespace qm
