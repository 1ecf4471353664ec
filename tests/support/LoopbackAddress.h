#pragma once

#include <unistd.h>

#include <string>

namespace cstest {

/// The loopback address that this test process binds its servers to. The endpoint's port is
/// fixed at 8080, so processes that run at the same time are kept apart by address: the
/// process id picks one of 127.2.0.0 to 127.65.255.255, never 127.0.0.1.
inline std::string ProcessLoopbackAddress() {
    const unsigned pid = static_cast<unsigned>(getpid());
    return "127." + std::to_string(2 + ((pid >> 16) & 0x3f)) + "." + std::to_string((pid >> 8) & 0xff) + "." +
           std::to_string(pid & 0xff);
}

}  // namespace cstest
