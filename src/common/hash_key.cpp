// Draws the process hash key from the operating system, once.
#include "hash_key.h"

#include <chrono>
#include <cstddef>
#include <cstring>

#include "siphash.h"

#if defined(_WIN32)
#include <windows.h>
#include <bcrypt.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__)
#include <sys/random.h>
#define QM_HAVE_GETENTROPY 1
#endif
#endif

namespace qm {
namespace {

/// Fills `out` from the system's cryptographic generator; false when it has none.
bool system_random(unsigned char* out, size_t size) noexcept {
#if defined(_WIN32)
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, static_cast<ULONG>(size),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG));
#else
#if defined(__linux__)
    size_t filled = 0;
    while (filled < size) {
        const ssize_t got = getrandom(out + filled, size - filled, 0);
        if (got > 0) {
            filled += static_cast<size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            break;  // ENOSYS on very old kernels: try the device below
        }
    }
    if (filled == size) return true;
#elif defined(QM_HAVE_GETENTROPY)
    if (getentropy(out, size) == 0) return true;  // at most 256 bytes per call; we ask 16
#endif
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t filled_dev = 0;
    while (filled_dev < size) {
        const ssize_t got = ::read(fd, out + filled_dev, size - filled_dev);
        if (got > 0) {
            filled_dev += static_cast<size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return filled_dev == size;
#endif
}

/// Last resort when the system has no random source at all: the clocks, the
/// addresses the loader chose (randomised where the system supports it) and the
/// stack, mixed by SipHash. Weaker than the real thing, never a fixed key.
HashKey fallback_key() noexcept {
    const auto wall = std::chrono::system_clock::now().time_since_epoch().count();
    const auto mono = std::chrono::steady_clock::now().time_since_epoch().count();
    const int on_stack = 0;
    const uint64_t parts[] = {
        static_cast<uint64_t>(wall), static_cast<uint64_t>(mono),
        reinterpret_cast<uintptr_t>(&on_stack), reinterpret_cast<uintptr_t>(&fallback_key),
        reinterpret_cast<uintptr_t>(&std::memcpy),
    };
    SipHasher13 first;
    first.write(parts, sizeof parts);
    SipHasher13 second(0x9e3779b97f4a7c15ull, 0);
    second.write(parts, sizeof parts);
    return {first.finish(), second.finish()};
}

HashKey draw_key() noexcept {
    unsigned char bytes[16];
    if (!system_random(bytes, sizeof bytes)) return fallback_key();
    HashKey key;
    std::memcpy(&key.k0, bytes, 8);
    std::memcpy(&key.k1, bytes + 8, 8);
    return key;
}

}  // namespace

const HashKey& process_hash_key() noexcept {
    static const HashKey key = draw_key();  // initialised once, thread-safe
    return key;
}

}  // namespace qm
