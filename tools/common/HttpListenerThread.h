#pragma once

#include <httplib.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace cstools {

/// Runs the accept loop of one cpp-httplib server (plain or TLS) on a thread of its own.
///
/// httplib's stop() does nothing until the loop has marked itself running, so a Stop() that came too early would
/// leave the loop running and the join waiting forever. Start() therefore returns only once the loop runs: httplib
/// asks for its worker pool right after it marks itself running, and the listener hooks that request. No polling.
///
/// Set the server's new_task_queue before the first Start(); the listener must outlive every run of the server.
class HttpListenerThread {
public:
    explicit HttpListenerThread(httplib::Server& server) : server_(server) {}
    ~HttpListenerThread() { Stop(); }
    HttpListenerThread(const HttpListenerThread&) = delete;
    HttpListenerThread& operator=(const HttpListenerThread&) = delete;

    /// @brief Binds @p address and serves on a new thread.
    /// @param port the port to bind; 0 picks a free one.
    /// @return the bound port once the server accepts connections; -1 when it cannot bind or already runs.
    int Start(const std::string& address, int port) {
        if (thread_.joinable() || port < 0) return -1;
        const int bound =
            port == 0 ? server_.bind_to_any_port(address) : (server_.bind_to_port(address, port) ? port : -1);
        if (bound <= 0) return -1;
        HookWorkerPool();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            started_ = false;
            finished_ = false;
        }
        thread_ = std::thread([this] {
            server_.listen_after_bind();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                finished_ = true;
            }
            changed_.notify_all();
        });
        bool started = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return started_ || finished_; });
            started = started_;
        }
        if (!started) {
            thread_.join();
            return -1;
        }
        return bound;
    }

    /// @brief Stops accepting, waits for the requests in progress and ends the thread; safe to call more than once.
    void Stop() {
        if (!thread_.joinable()) return;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return started_ || finished_; });
        }
        server_.stop();
        thread_.join();
    }

    /// @brief True between a successful Start() and the next Stop().
    bool Running() const { return thread_.joinable(); }

private:
    void HookWorkerPool() {
        if (hooked_) return;
        hooked_ = true;
        const auto makePool = server_.new_task_queue;
        server_.new_task_queue = [this, makePool] {
            httplib::TaskQueue* pool = makePool();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                started_ = true;
            }
            changed_.notify_all();
            return pool;
        };
    }

    httplib::Server& server_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool started_{false};
    bool finished_{false};
    bool hooked_{false};
};

}  // namespace cstools
