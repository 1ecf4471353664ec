#include "RawListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>

#include "HttpWire.h"
#include "LoopbackSockets.h"

namespace cstest {
namespace {

SSL_CTX* NewTlsContext(const CertificateFiles& identity, const std::string& clientCaPem) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) return nullptr;
    auto read = [](const std::string& pem) {
        return std::unique_ptr<BIO, decltype(&BIO_free)>(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                         BIO_free);
    };
    const auto certBio = read(identity.certificatePem);
    const auto keyBio = read(identity.privateKeyPem);
    std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr),
                                                     X509_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!cert || !key || SSL_CTX_use_certificate(context, cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context, key.get()) != 1 || SSL_CTX_check_private_key(context) != 1) {
        ERR_clear_error();
        SSL_CTX_free(context);
        return nullptr;
    }
    if (!clientCaPem.empty()) {
        const auto caBio = read(clientCaPem);
        std::unique_ptr<X509, decltype(&X509_free)> ca(PEM_read_bio_X509(caBio.get(), nullptr, nullptr, nullptr),
                                                       X509_free);
        if (!ca || X509_STORE_add_cert(SSL_CTX_get_cert_store(context), ca.get()) != 1 ||
            SSL_CTX_add_client_CA(context, ca.get()) != 1) {
            ERR_clear_error();
            SSL_CTX_free(context);
            return nullptr;
        }
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return context;
}

// Relays bytes between a client and the server it asked for until either side closes or fails.
void Relay(int client, std::string pending, int server) {
    auto sendAll = [](int fd, const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    };
    if (!sendAll(server, pending.data(), pending.size())) return;
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buffer[16384];
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || !sendAll(fds[1 - i].fd, buffer, static_cast<std::size_t>(n))) return;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

struct RawListener::Connection {
    int fd = -1;  // guarded by mutex_; -1 once the connection's thread has closed it
    bool done = false;
    int number = 0;
    std::thread thread;
};

RawListener::RawListener(Handler handler) : handler_(std::move(handler)) {}

RawListener::~RawListener() {
    Stop();
}

bool RawListener::Start(const std::string& address, const ListenOptions& options) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(options.port));
    if (Running() || address.rfind("127.", 0) != 0 || ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        return false;  // never listen beyond loopback
    }
    port_ = options.port;
    if (options.tls && (tls_ = NewTlsContext(*options.tls, options.clientCaPem)) == nullptr) return false;
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // SO_REUSEADDR lets a restarted server bind past TIME_WAIT; no SO_REUSEPORT, so a second listener fails.
    int yes = 1;
    socklen_t size = sizeof(addr);
    if (listenFd_ < 0 || ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) != 0 ||
        ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listenFd_, SOMAXCONN) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0 || ::pipe2(wakeFds_, O_CLOEXEC) != 0) {
        Stop();
        return false;
    }
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void RawListener::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
        for (const auto& c : connections_) {
            if (c->fd >= 0) ::shutdown(c->fd, SHUT_RDWR);
        }
    }
    stopping_.notify_all();
    if (wakeFds_[1] >= 0) {
        const char wake = 1;
        while (::write(wakeFds_[1], &wake, 1) < 0 && errno == EINTR) {
        }
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    std::list<std::unique_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all.swap(connections_);
    }
    for (auto& c : all) c->thread.join();
    for (int* fd : {&listenFd_, &wakeFds_[0], &wakeFds_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    SSL_CTX_free(tls_);
    tls_ = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = false;
}

bool RawListener::Running() const {
    return acceptThread_.joinable();
}

int RawListener::Port() const {
    return port_;
}

void RawListener::AcceptLoop() {
    // Connection threads inherit this mask: a write to a vanished client fails with EPIPE instead of
    // killing the test (SSL_write has no MSG_NOSIGNAL).
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
            return;
        }
        int yes = 1;  // answers go out in several writes; Nagle would hold the last one back
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopRequested_) {
            ::close(fd);
            return;
        }
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->done) {
                (*it)->thread.join();
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
        Connection& connection = *connections_.emplace_back(std::make_unique<Connection>());
        connection.fd = fd;
        connection.thread = std::thread([this, &connection] { Serve(connection); });
    }
}

void RawListener::Serve(Connection& connection) {
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fd = connection.fd;
    }
    SSL* ssl = tls_ != nullptr ? SSL_new(tls_) : nullptr;
    bool orderly = false;  // the answer ended the connection, as opposed to the client or Stop
    if (tls_ == nullptr || (ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1)) {
        Channel channel(fd, ssl);
        for (;;) {
            RawRequest request;
            const Got got = ReadRequest(channel, request);
            if (got == Got::kBad && !WaitUnlessStopping(0)) {
                channel.Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            }
            if (got != Got::kOk) break;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (connection.number == 0) connection.number = ++numbered_;
                request.connection = connection.number;
            }
            RawAnswer answer;
            try {
                answer = handler_(request);
            } catch (const std::exception& e) {
                answer.bytes =
                    FormatResponse(500, {{"Content-Type", "text/plain"}}, std::string("handler: ") + e.what());
                answer.close = true;
            }
            // Stop shuts the socket down before it wakes a wait, so a send after a wait fails then.
            if (WaitUnlessStopping(answer.delayMs) || !channel.Send(answer.bytes)) break;
            bool dripped = true;
            for (int i = 0; dripped && !answer.dripPiece.empty() && (answer.dripCount == 0 || i < answer.dripCount);
                 ++i) {
                dripped = !WaitUnlessStopping(answer.dripEveryMs) && channel.Send(answer.dripPiece);
            }
            if (!dripped) break;
            if (!answer.tunnel.empty() && ssl == nullptr) {
                const std::size_t colon = answer.tunnel.rfind(':');
                const int server =
                    ConnectLoopback(answer.tunnel.substr(0, colon), std::atoi(answer.tunnel.c_str() + colon + 1));
                if (server >= 0) {
                    Relay(fd, channel.TakeBuffered(), server);
                    ::close(server);
                }
                break;
            }
            if (answer.hang) {
                channel.DrainUntilClosed();
                break;
            }
            if (answer.close || WantsClose(request)) {
                orderly = true;
                break;
            }
        }
    }
    if (ssl != nullptr && orderly) SSL_shutdown(ssl);  // close_notify: the client sees a clean end of stream
    if (ssl != nullptr && !SSL_is_init_finished(ssl)) {
        // A refused handshake (no client certificate, say) sent its alert: read what the client sent until it goes,
        // so that closing with unread bytes cannot reset the connection before the client read the alert.
        ::shutdown(fd, SHUT_WR);
        Channel(fd, nullptr).DrainUntilClosed();
    }
    SSL_free(ssl);
    ERR_clear_error();
    std::lock_guard<std::mutex> lock(mutex_);
    connection.fd = -1;  // under the lock: Stop must never shut down a descriptor number that was reused
    ::close(fd);
    connection.done = true;
    ended_.notify_all();
}

void RawListener::WaitUntilNoConnection() {
    std::unique_lock<std::mutex> lock(mutex_);
    ended_.wait(lock, [this] {
        return std::all_of(connections_.begin(), connections_.end(), [](const auto& c) { return c->done; });
    });
}

bool RawListener::WaitUnlessStopping(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (ms > 0) stopping_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopRequested_; });
    return stopRequested_;
}

}  // namespace cstest
