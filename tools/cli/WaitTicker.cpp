#include "WaitTicker.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace cscli {

namespace {

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a status line is not worth failing for
        done += static_cast<std::size_t>(n);
    }
}

// Carriage return, then erase to the end of the line: the line is rewritten in place.
const char* const kRewrite = "\r\033[K";

}  // namespace

WaitTicker::WaitTicker(int fd, std::string label)
    : m_Fd(fd), m_Label(std::move(label)), m_Start(std::chrono::steady_clock::now()) {
    try {
        m_Thread = std::thread(&WaitTicker::Run, this);
    } catch (const std::system_error&) {
        // Without a thread the wait simply shows no progress.
    }
}

WaitTicker::~WaitTicker() {
    if (!m_Thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Stop = true;
    }
    m_Wake.notify_all();
    m_Thread.join();
    WriteAll(m_Fd, kRewrite);
}

void WaitTicker::Run() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    while (!m_Stop) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_Start);
        WriteAll(m_Fd, kRewrite + m_Label + " ... " + std::to_string(elapsed.count()) + "s");
        // The next deadline counts from the start, so the figure neither drifts nor skips.
        m_Wake.wait_until(lock, m_Start + elapsed + std::chrono::seconds(1), [this] { return m_Stop; });
    }
}

}  // namespace cscli
