#include "Sessions.h"

#include <cstring>
#include <iterator>

namespace cssim {

SessionTable::SessionTable(std::chrono::seconds timeout, bool singleSession)
    : timeout_(timeout), singleSession_(singleSession) {
    std::random_device seed;
    random_.seed((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
}

bool SessionTable::Expired(const Session& session, SteadyClock::time_point now) const {
    return now - session.lastUse > timeout_;
}

std::map<std::string, Session>::iterator SessionTable::Find(const Cookies& cookies, SteadyClock::time_point now) {
    for (const auto& [name, value] : cookies) {
        if (name != "JSESSIONID") continue;
        const auto it = sessions_.find(value);
        if (it == sessions_.end()) continue;
        if (Expired(it->second, now)) {
            sessions_.erase(it);
            continue;
        }
        return it;
    }
    return sessions_.end();
}

std::string SessionTable::RandomText(const char* alphabet, std::size_t length) {
    std::uniform_int_distribution<std::size_t> pick(0, std::strlen(alphabet) - 1);
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text.push_back(alphabet[pick(random_)]);
    return text;
}

Session SessionTable::Open(const User& user, const Cookies& cookies, SteadyClock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        it = Expired(it->second, now) ? sessions_.erase(it) : std::next(it);
    }
    if (singleSession_) {
        sessions_.clear();
    } else if (const auto carried = Find(cookies, now); carried != sessions_.end()) {
        sessions_.erase(carried);
    }
    Session session;
    do {
        session.id = "node0" + RandomText("abcdefghijklmnopqrstuvwxyz0123456789", 25) + ".node0";
    } while (sessions_.count(session.id) != 0);
    session.key = RandomText("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", 27);
    session.user = user;
    session.lastUse = now;
    latest_ = session.id;
    sessions_.emplace(session.id, session);
    return session;
}

SessionTable::Check SessionTable::Verify(const Cookies& cookies, const ParameterMap& params, bool olderCheck,
                                         SteadyClock::time_point now, User& user) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = Find(cookies, now);
    if (it == sessions_.end()) return Check::NoSession;
    const std::string& key = it->second.key;
    const std::string* cookieKey = nullptr;
    for (const auto& [name, value] : cookies) {
        if (name == "sessionkey") cookieKey = &value;  // the last one sent counts
    }
    const auto param = params.find("sessionkey");
    const std::string* paramKey = param == params.end() ? nullptr : &param->second;
    bool accepted = false;
    if (olderCheck) {
        accepted = (cookieKey != nullptr || paramKey != nullptr) && (cookieKey == nullptr || *cookieKey == key) &&
                   (paramKey == nullptr || *paramKey == key);
    } else {
        accepted = cookieKey != nullptr && paramKey != nullptr && *cookieKey == key && *paramKey == key;
    }
    if (!accepted) {
        // The server invalidates a session whose key does not match: a stolen JSESSIONID alone is worth nothing.
        sessions_.erase(it);
        return Check::WrongKey;
    }
    it->second.lastUse = now;
    user = it->second.user;
    return Check::Accepted;
}

void SessionTable::Close(const Cookies& cookies, SteadyClock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = Find(cookies, now);
    if (it != sessions_.end()) sessions_.erase(it);
}

void SessionTable::CloseAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.clear();
}

std::size_t SessionTable::Count(SteadyClock::time_point now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t alive = 0;
    for (const auto& entry : sessions_) alive += Expired(entry.second, now) ? 0 : 1;
    return alive;
}

std::pair<std::string, std::string> SessionTable::Latest(SteadyClock::time_point now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(latest_);
    if (it == sessions_.end() || Expired(it->second, now)) return {};
    return {it->first, it->second.key};
}

}  // namespace cssim
