#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Accounts.h"
#include "QueryDecoder.h"

// Login sessions: the JSESSIONID cookie names one, its session key must come with every call.
namespace cssim {

using Cookies = std::vector<std::pair<std::string, std::string>>;
using SteadyClock = std::chrono::steady_clock;

struct Session {
    std::string id;   // the JSESSIONID cookie
    std::string key;  // the sessionkey
    User user;
    SteadyClock::time_point lastUse;
};

/// The live sessions of one server. Every member is safe to call from any thread.
class SessionTable {
public:
    enum class Check {
        NoSession,  // no JSESSIONID names a live session
        WrongKey,   // a session, but its key is missing or wrong: the session is gone now
        Accepted,
    };

    /// @param timeout idle time after which a session ends
    /// @param singleSession a login ends every other session
    SessionTable(std::chrono::seconds timeout, bool singleSession);

    /// @brief Opens a session for @p user, ending the one the client still carries.
    Session Open(const User& user, const Cookies& cookies, SteadyClock::time_point now);

    /// @brief Finds the session of @p cookies and checks its key: current servers want it as cookie AND as
    /// parameter, @p olderCheck accepts either (any that is present must match). Accepted fills @p user.
    Check Verify(const Cookies& cookies, const ParameterMap& params, bool olderCheck, SteadyClock::time_point now,
                 User& user);

    /// @brief Ends the session of @p cookies, if any.
    void Close(const Cookies& cookies, SteadyClock::time_point now);

    /// @brief Ends every session.
    void CloseAll();

    /// @brief Sessions that have not expired at @p now.
    std::size_t Count(SteadyClock::time_point now) const;

    /// @brief JSESSIONID and key of the latest login while that session lives; empty strings otherwise.
    std::pair<std::string, std::string> Latest(SteadyClock::time_point now) const;

private:
    bool Expired(const Session& session, SteadyClock::time_point now) const;
    std::map<std::string, Session>::iterator Find(const Cookies& cookies, SteadyClock::time_point now);
    std::string RandomText(const char* alphabet, std::size_t length);

    const std::chrono::seconds timeout_;
    const bool singleSession_;
    mutable std::mutex mutex_;
    std::map<std::string, Session> sessions_;  // by JSESSIONID
    std::string latest_;
    std::mt19937_64 random_;
};

}  // namespace cssim
