#include "ProcessMemory.h"

#include <fstream>
#include <string>

namespace cstest {

long StatusKiB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == key) {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

AddressSpaceCap::AddressSpaceCap(std::size_t headroom) : m_startKiB(StatusKiB("VmSize:")) {
    getrlimit(RLIMIT_AS, &m_previous);
    rlimit capped = m_previous;
    capped.rlim_cur = static_cast<rlim_t>(m_startKiB) * 1024 + headroom;
    m_ok = m_startKiB > 0 && setrlimit(RLIMIT_AS, &capped) == 0;
}

AddressSpaceCap::~AddressSpaceCap() {
    setrlimit(RLIMIT_AS, &m_previous);
}

}  // namespace cstest
