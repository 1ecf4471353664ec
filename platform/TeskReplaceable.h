#pragma once

#include <atomic>
#include <mutex>
#include <utility>

/// @brief A process-wide function that tests may replace (the network of a transfer, the sleep of a
/// job wait). Outside tests nothing is installed, and asking for the current one takes no lock: only
/// a flag is read. The installed function is copied out, so that it runs without the lock held and
/// may itself install another.
template <typename Function>
class TeskReplaceable {
public:
    /// @brief The installed function, or an empty one.
    Function Current() const {
        if (!m_installed.load(std::memory_order_acquire)) return Function();
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_function;
    }

    /// @brief Installs @p function (an empty one restores the real behaviour); returns the one it replaces.
    Function Replace(Function function) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Function previous = std::move(m_function);
        m_function = std::move(function);
        m_installed.store(static_cast<bool>(m_function), std::memory_order_release);
        return previous;
    }

private:
    mutable std::mutex m_mutex;
    Function m_function;
    std::atomic<bool> m_installed{false};
};
