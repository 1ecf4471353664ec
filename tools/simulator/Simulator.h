#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "HttpFrontEnd.h"
#include "Inventory.h"
#include "SimMessages.h"

namespace cssim {

/// How a simulator behaves; the defaults are those of a current management server.
struct SimulatorOptions {
    /// The root admin of ROOT: user name (also its account's name) and password.
    std::string user{"admin"};
    std::string password{"password"};
    /// The root admin's API key and secret key; empty: derived from its user id (DerivedUserKey).
    std::string apiKey;
    std::string secretKey;
    /// The server's default.page.size: the most items in one answer and the largest pagesize accepted.
    int pageSize{500};
    /// How long an async job stays pending; 0 means finished by the first poll.
    double jobSeconds{0.0};
    /// Accept the session key as cookie OR parameter, as servers did before api.sessionkey.check.locations.
    bool olderSessionCheck{false};
    /// The sessionkey cookie as servers set it before SameSite: "sessionkey=<key>;HttpOnly".
    bool olderServerCookie{false};
    /// A login ends every other session, as when one client is the server's only user.
    bool singleSession{false};
    /// Start, stop and reboot succeed whatever the machine's state, and a poll for a job id the simulator never
    /// issued reports a finished job: for clients whose job ids come from elsewhere.
    bool permissiveJobs{false};
    /// Job ids are whole numbers, sent as JSON numbers ("jobid":17164), as older servers send them.
    bool numericJobIds{false};
    /// An id filter that is no UUID and names no record is refused (431); off, it just matches nothing.
    bool refuseUnknownIds{true};
    /// Every list honours name and keyword; off, only listVirtualMachines does and the other lists ignore them.
    bool nameFilterOnEveryList{true};
    /// One line per request on stderr (method, command, status).
    bool log{false};
    /// The server answers a failed login only after a deliberate pause.
    std::chrono::milliseconds badLoginDelay{350};
    /// Idle time after which a session expires, like the login answer's "timeout".
    std::chrono::seconds sessionTimeout{1800};
    /// The port Start() listens on; 0 picks a free one (see Port()).
    int port{8080};
    /// PEM files of a server certificate and its key: Start() then serves HTTPS. Both or neither.
    std::string tlsCertificateFile;
    std::string tlsKeyFile;
    Inventory inventory{Inventory::BuiltIn()};
    /// Time source for job completion and session expiry; steady_clock when empty (tests inject their own).
    std::function<std::chrono::steady_clock::time_point()> clock;
    /// Time of day for signature expiry and the dates in answers; system_clock when empty.
    std::function<std::chrono::system_clock::time_point()> wallClock;
};

/// A management server on <address>:<port>/client/api, serving its inventory to any number of sessions.
/// Requests are served on a thread pool; every public member is safe to call from any thread.
class Simulator {
public:
    static constexpr int kPort = 8080;

    explicit Simulator(SimulatorOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    /// Listens on @p address (127.0.0.0/8 or ::1) at the options' port; returns once connections are served,
    /// false when the address is refused or cannot be bound, or the certificate or key cannot be loaded.
    bool Start(const std::string& address);

    /// Stops listening and waits for the requests in progress; safe to call more than once.
    void Stop();

    /// The port the last successful Start() bound; 0 before.
    int Port() const;

    /// Answers one request as the server would; the listener uses it too. Paths outside /client/api get 404,
    /// methods other than GET, POST and HEAD (login: POST only) get 405.
    SimResponse Handle(const SimRequest& request);

    void SetCredentials(const std::string& user, const std::string& password);
    void SetOlderSessionCheck(bool older);
    void SetOlderServerCookie(bool older);

    /// Replaces the records a list command (listZones, ...) serves; false for another command.
    bool SetRecords(const std::string& listCommand, std::vector<Json> records);

    /// JSESSIONID and session key of the most recent login while that session lives; empty strings otherwise.
    std::pair<std::string, std::string> LatestSession() const;

    /// Ends every session, as a restart or a time-out would.
    void EndSessions();

    /// The state of the machine named @p name ("Running", "Stopped", ...); empty when there is none.
    std::string MachineState(const std::string& name) const;

    /// The hostname member of the machine named @p name; empty when it has none.
    std::string MachineHostName(const std::string& name) const;

    /// Requests that reached /client/api since construction.
    std::size_t RequestCount() const;

    /// Sessions currently alive.
    std::size_t SessionCount() const;

    /// The inventory as it stands now, with every change the jobs made.
    Inventory Snapshot() const;

    /// User name, domain path, password, API key and secret key of every user, the root admin first.
    struct Credentials {
        std::string user;
        std::string domainPath;
        std::string password;
        std::string apiKey;
        std::string secretKey;
    };
    std::vector<Credentials> Users() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace cssim
