#pragma once

#include <functional>
#include <memory>
#include <string>

#include "SimMessages.h"

// The HTTP(S) listener: cpp-httplib on a loopback address, handing every request to one handler.
namespace cssim {

struct FrontEndSettings {
    /// PEM files of the server certificate (with its chain) and its key; both empty for plain HTTP.
    std::string certificateFile;
    std::string keyFile;
    /// One line per request on stderr: method, command, status.
    bool log{false};
};

class HttpFrontEnd {
public:
    using Handler = std::function<SimResponse(const SimRequest&)>;

    HttpFrontEnd(Handler handler, FrontEndSettings settings);
    ~HttpFrontEnd();
    HttpFrontEnd(const HttpFrontEnd&) = delete;
    HttpFrontEnd& operator=(const HttpFrontEnd&) = delete;

    /// @brief Listens on @p address (see IsLoopbackAddress) and @p port (0: any free port).
    /// @return the port, once connections are served; -1 when the address is refused, cannot be bound, or the
    /// certificate or key cannot be loaded.
    int Start(const std::string& address, int port);

    /// @brief Stops listening and waits for the requests in progress; safe to call more than once.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// @brief True for a dotted IPv4 address in 127.0.0.0/8 and for "::1", the only addresses the simulator listens on.
bool IsLoopbackAddress(const std::string& address);

}  // namespace cssim
