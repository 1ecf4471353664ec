#pragma once

// Request-level helpers for the simulator's tests: requests go through Simulator::Handle(), as the listener hands
// them over, so that no socket and no timing is involved.

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "Inventory.h"
#include "Signature.h"
#include "Simulator.h"

namespace simtest {

using nlohmann::json;
using Params = std::vector<std::pair<std::string, std::string>>;

struct Answer {
    int status{0};
    json body;  // discarded when the answer is no JSON
    std::string text;
    std::vector<std::string> setCookies;
    std::string contentType;
};

struct Session {
    std::string id;
    std::string key;
};

/// Percent-encodes everything but A-Z a-z 0-9 - . _ ~, as a careful client does.
inline std::string Encode(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out += {'%', kHex[byte >> 4], kHex[byte & 15]};
        }
    }
    return out;
}

inline std::string Query(const Params& params) {
    std::string query;
    for (const auto& [name, value] : params) query += (query.empty() ? "" : "&") + name + "=" + Encode(value);
    return query;
}

inline std::string CookieValue(const std::string& setCookie) {
    const auto eq = setCookie.find('=');
    const auto end = setCookie.find(';');
    return setCookie.substr(eq + 1, end - eq - 1);
}

/// Talks to one simulator through Handle().
class Client {
public:
    explicit Client(cssim::Simulator& simulator) : simulator_(simulator) {}

    Answer Send(const std::string& method, const std::string& query, const std::string& formBody = "",
                cssim::HeaderLines headers = {}) {
        if (!formBody.empty()) headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
        const cssim::SimResponse response = simulator_.Handle({method, "/client/api?" + query, headers, formBody});
        Answer answer;
        answer.status = response.status;
        answer.text = response.body;
        answer.body = json::parse(response.body, nullptr, false);
        answer.contentType = response.contentType;
        for (const auto& [name, value] : response.headers) {
            if (name == "Set-Cookie") answer.setCookies.push_back(value);
        }
        return answer;
    }

    /// Logs in with the credentials in the query; @p extra ("&domain=...") is appended.
    Session LogIn(const std::string& user = "admin", const std::string& password = "password",
                  const std::string& extra = "") {
        const Answer answer = Send(
            "POST", "command=login&response=json&username=" + Encode(user) + "&password=" + Encode(password) + extra);
        if (answer.status != 200 || answer.setCookies.size() != 2) {
            ADD_FAILURE() << "login of " << user << " failed: " << answer.status << " " << answer.text;
            return {};
        }
        return {CookieValue(answer.setCookies[0]), CookieValue(answer.setCookies[1])};
    }

    /// A call the way a current client makes it: session key as cookie and as parameter.
    Answer Call(const Session& session, const std::string& query) {
        return Send("GET", query + "&response=json&sessionkey=" + Encode(session.key), {},
                    {{"Cookie", "JSESSIONID=" + session.id + "; sessionkey=" + session.key}});
    }

    /// A GET signed with @p apiKey and @p secretKey; no session, no cookie.
    Answer Signed(Params params, const std::string& apiKey, const std::string& secretKey) {
        params.emplace_back("apikey", apiKey);
        const std::string signature = cssim::ComputeSignature(params, secretKey);
        return Send("GET", Query(params) + "&signature=" + Encode(signature));
    }

private:
    cssim::Simulator& simulator_;
};

/// A steady clock the test turns by hand.
class ManualClock {
public:
    std::function<std::chrono::steady_clock::time_point()> Function() {
        return [this] { return start_ + std::chrono::seconds(seconds_.load()); };
    }
    void Advance(int seconds) { seconds_ += seconds; }

private:
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::atomic<int> seconds_{0};
};

/// A wall clock set to a given instant ("2026-12-08T10:15:00+0000").
inline std::function<std::chrono::system_clock::time_point()> WallClockAt(const std::string& when) {
    std::chrono::system_clock::time_point instant;
    EXPECT_TRUE(cssim::ParseExpires(when, instant)) << when;
    return [instant] { return instant; };
}

/// Generated inventories, built once per test process: generating thousands of machines is not free.
inline const cssim::Inventory& SharedGenerated(int machines) {
    static std::map<int, cssim::Inventory> built;
    auto it = built.find(machines);
    if (it == built.end()) it = built.emplace(machines, cssim::Inventory::Generated(machines)).first;
    return it->second;
}

/// The record of @p records named @p name; null when there is none.
inline json Named(const std::vector<cssim::Json>& records, const std::string& name) {
    for (const auto& record : records) {
        if (record.value("name", "") == name) return json::parse(record.dump());
    }
    return json();
}

}  // namespace simtest
