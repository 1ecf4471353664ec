#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace cscli {

/// While it lives, rewrites one status line ("Stopping web-01 ... 12s") on a terminal every
/// second. The library's job wait blocks the calling thread and starts none of its own, so the
/// ticker runs on a thread of its own; the destructor stops it, joins it and clears the line.
class WaitTicker {
public:
    WaitTicker(int fd, std::string label);
    ~WaitTicker();
    WaitTicker(const WaitTicker&) = delete;
    WaitTicker& operator=(const WaitTicker&) = delete;

private:
    void Run();

    int m_Fd;
    std::string m_Label;
    std::chrono::steady_clock::time_point m_Start;
    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    bool m_Stop{false};
    std::thread m_Thread;
};

}  // namespace cscli
