#pragma once

// This process's memory as the kernel counts it, and a cap on it for tests whose point is the memory a
// call may take. Sanitizers reserve terabytes of address space, so under them no cap can work.

#include <sys/resource.h>

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CSTEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CSTEST_SANITIZED 1
#endif
#endif

namespace cstest {

/// @return the figure of @p key ("VmSize:", "VmPeak:") in /proc/self/status, in KiB; 0 when absent.
long StatusKiB(const char* key);

/// Caps the process's address space at its size now plus @p headroom bytes while it lives, so that any
/// allocation beyond it fails there and then.
class AddressSpaceCap {
public:
    explicit AddressSpaceCap(std::size_t headroom);
    ~AddressSpaceCap();
    AddressSpaceCap(const AddressSpaceCap&) = delete;
    AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;
    /// @return true when the cap is in force.
    bool Ok() const { return m_ok; }
    /// @return the process's size when the cap was set.
    long StartKiB() const { return m_startKiB; }

private:
    rlimit m_previous{};
    long m_startKiB{0};
    bool m_ok{false};
};

}  // namespace cstest
