// End-to-end clients for scripts/bench.sh, against a running cloudstack-sim:
//
//   e2e_client paged ADDR USER PASSWORD        Connect, then GetVMInfoList (every page, as the
//                                              library pages) on one wrapper
//   e2e_client small ADDR USER PASSWORD CALLS  Connect, then CALLS GetZoneInfoList on one wrapper
//   e2e_client fetch ADDR USER PASSWORD SIZE   the transfer alone: login and every page of
//                                              listVirtualMachines with libcurl, bodies dropped
//   e2e_client fetch-small ADDR USER PASSWORD CALLS   the transfer alone of the small calls: CALLS
//                                              listZones on one libcurl easy handle
//   e2e_client bulk ADDR USER PASSWORD MACHINES CONCURRENCY   Connect, list the machines, then stop the first
//                                              MACHINES of them, polling every second: one StopVM after
//                                              another (CONCURRENCY 0) or one StopVMs with that concurrency
//
// Output lines are "name value" pairs; CPU times are the whole process's (user + system).

#include <curl/curl.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CloudStackWrapper.h"

using CloudStackSDKWrapper::CCloudStackWrapper;

namespace {

double CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

class Clock {
public:
    double WallMs() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_wall).count();
    }
    double CpuMsSince() const { return CpuMs() - m_cpu; }

private:
    std::chrono::steady_clock::time_point m_wall{std::chrono::steady_clock::now()};
    double m_cpu{CpuMs()};
};

// Logs in and lists every account's machines; says on stderr what failed.
bool ConnectAndListEveryVm(CCloudStackWrapper& wrapper, const std::string& address, const std::string& user,
                           const std::string& password, std::vector<CloudStackSDKWrapper::SVMInfoLib>& vms) {
    wrapper.SetListAll(true);
    if (!wrapper.Connect(address, user, password)) {
        std::fprintf(stderr, "Connect failed: %s\n", wrapper.GetLastError().strErrorMessage.c_str());
        return false;
    }
    if (!wrapper.GetVMInfoList(vms)) {
        std::fprintf(stderr, "GetVMInfoList failed: %s\n", wrapper.GetLastError().strErrorMessage.c_str());
        return false;
    }
    return true;
}

int Paged(const std::string& address, const std::string& user, const std::string& password) {
    const Clock clock;
    CCloudStackWrapper wrapper;
    std::vector<CloudStackSDKWrapper::SVMInfoLib> vms;
    if (!ConnectAndListEveryVm(wrapper, address, user, password, vms)) return 1;
    std::printf("machines %zu\nwall_ms %.1f\ncpu_ms %.1f\n", vms.size(), clock.WallMs(), clock.CpuMsSince());
    return 0;
}

int Small(const std::string& address, const std::string& user, const std::string& password, int calls) {
    CCloudStackWrapper wrapper;
    if (!wrapper.Connect(address, user, password)) {
        std::fprintf(stderr, "Connect failed: %s\n", wrapper.GetLastError().strErrorMessage.c_str());
        return 1;
    }
    const Clock clock;
    std::size_t zones = 0;
    for (int i = 0; i < calls; ++i) {
        std::vector<CloudStackSDKWrapper::SZoneInfoLib> list;
        if (!wrapper.GetZoneInfoList(list)) {
            std::fprintf(stderr, "GetZoneInfoList failed: %s\n", wrapper.GetLastError().strErrorMessage.c_str());
            return 1;
        }
        zones = list.size();
    }
    std::printf("zones %zu\ncalls %d\nwall_us_per_call %.1f\ncpu_us_per_call %.1f\n", zones, calls,
                clock.WallMs() * 1e3 / calls, clock.CpuMsSince() * 1e3 / calls);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The transfer alone: the same requests with libcurl and nothing done with the bodies but to
// find the session key and the number of pages.

size_t Append(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

std::string TextAfter(const std::string& body, const std::string& key) {
    const std::size_t at = body.find("\"" + key + "\":");
    if (at == std::string::npos) return std::string();
    std::size_t from = at + key.size() + 3;
    if (from < body.size() && body[from] == '"') ++from;
    const std::size_t to = body.find_first_of("\",}", from);
    return body.substr(from, to - from);
}

// A libcurl easy handle logged in to @p address, its session key percent-encoded.
struct CurlSession {
    CURL* curl{nullptr};
    std::string body;
    std::string api;
    std::string keyParam;

    bool Login(const std::string& address, const std::string& user, const std::string& password) {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");  // keep the session cookies
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        api = "http://" + address + ":8080/client/api";
        char* escapedUser = curl_easy_escape(curl, user.c_str(), 0);
        char* escapedPassword = curl_easy_escape(curl, password.c_str(), 0);
        const std::string form =
            std::string("command=login&response=json&username=") + escapedUser + "&password=" + escapedPassword;
        curl_free(escapedUser);
        curl_free(escapedPassword);
        curl_easy_setopt(curl, CURLOPT_URL, api.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
        if (!Perform()) {
            std::fprintf(stderr, "login failed\n");
            return false;
        }
        char* escapedKey = curl_easy_escape(curl, TextAfter(body, "sessionkey").c_str(), 0);
        keyParam = escapedKey;
        curl_free(escapedKey);
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        return true;
    }

    bool Get(const std::string& query) {
        body.clear();
        const std::string url = api + query + "&sessionkey=" + keyParam;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        return Perform();
    }

    bool Perform() {
        long status = 0;
        return curl_easy_perform(curl) == CURLE_OK &&
               (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status), status == 200);
    }

    ~CurlSession() {
        if (curl != nullptr) curl_easy_cleanup(curl);
        curl_global_cleanup();
    }
};

int Fetch(const std::string& address, const std::string& user, const std::string& password, int pageSize) {
    const Clock clock;
    CurlSession session;
    if (!session.Login(address, user, password)) return 1;
    std::size_t bytes = 0;
    long pages = 1;
    for (long page = 1; page <= pages; ++page) {
        if (!session.Get("?command=listVirtualMachines&response=json&listall=true&page=" + std::to_string(page) +
                         "&pagesize=" + std::to_string(pageSize))) {
            std::fprintf(stderr, "page %ld failed\n", page);
            return 1;
        }
        if (page == 1) {
            const long count = std::atol(TextAfter(session.body, "count").c_str());
            pages = (count + pageSize - 1) / pageSize;
        }
        bytes += session.body.size();
    }
    std::printf("pages %ld\nbytes %zu\nwall_ms %.1f\ncpu_ms %.1f\n", pages, bytes, clock.WallMs(), clock.CpuMsSince());
    return 0;
}

// The small calls' transfer alone: the same listZones requests on one libcurl easy handle.
int FetchSmall(const std::string& address, const std::string& user, const std::string& password, int calls) {
    CurlSession session;
    if (!session.Login(address, user, password)) return 1;
    const Clock clock;
    for (int i = 0; i < calls; ++i) {
        if (!session.Get("?command=listZones&response=json")) {
            std::fprintf(stderr, "listZones failed\n");
            return 1;
        }
    }
    std::printf("calls %d\nwall_us_per_call %.1f\ncpu_us_per_call %.1f\n", calls, clock.WallMs() * 1e3 / calls,
                clock.CpuMsSince() * 1e3 / calls);
    return 0;
}

int Bulk(const std::string& address, const std::string& user, const std::string& password, std::size_t machines,
         unsigned concurrency) {
    CCloudStackWrapper wrapper;
    std::vector<CloudStackSDKWrapper::SVMInfoLib> vms;
    if (!ConnectAndListEveryVm(wrapper, address, user, password, vms)) return 1;
    if (vms.size() < machines) {
        std::fprintf(stderr, "fewer than %zu machines\n", machines);
        return 1;
    }
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < machines; ++i) ids.push_back(vms[i].strId);
    wrapper.SetJobPollInterval(std::chrono::milliseconds(1000));
    const Clock clock;
    std::size_t failed = 0;
    if (concurrency == 0) {
        for (const std::string& id : ids) failed += wrapper.StopVM("", id) ? 0 : 1;
    } else {
        wrapper.SetConcurrency(concurrency);
        std::vector<CloudStackSDKWrapper::CCloudStackErrorState> results;
        wrapper.StopVMs(ids, results);
        for (const auto& result : results) failed += result.lErrorCode == 0 ? 0 : 1;
    }
    std::printf("machines %zu\nfailed %zu\nwall_ms %.1f\ncpu_ms %.1f\n", ids.size(), failed, clock.WallMs(),
                clock.CpuMsSince());
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "paged" && argc == 5) return Paged(argv[2], argv[3], argv[4]);
    if (mode == "small" && argc == 6) return Small(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    if (mode == "fetch" && argc == 6) return Fetch(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    if (mode == "fetch-small" && argc == 6) return FetchSmall(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    if (mode == "bulk" && argc == 7)
        return Bulk(argv[2], argv[3], argv[4], static_cast<std::size_t>(std::atoi(argv[5])),
                    static_cast<unsigned>(std::atoi(argv[6])));
    std::fprintf(stderr,
                 "usage: %s paged ADDR USER PASSWORD | small ADDR USER PASSWORD CALLS | "
                 "fetch ADDR USER PASSWORD PAGESIZE | fetch-small ADDR USER PASSWORD CALLS | "
                 "bulk ADDR USER PASSWORD MACHINES CONCURRENCY\n",
                 argv[0]);
    return 2;
}
