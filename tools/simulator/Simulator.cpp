#include "Simulator.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "QueryDecoder.h"
#include "TextMatch.h"

namespace cssim {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kJsonType = "application/json;charset=UTF-8";
const char* const kDomainId = "8c682961-f32e-4d08-a61a-6e2fdec2d9d7";
const char* const kUserId = "c0af26a7-7b31-4dd1-8597-749503c49a29";
const char* const kAccountId = "550c68f9-5da2-4299-8225-e91853601d7e";
const char* const kManagementServerId = "3954eda0-cf30-4543-9f56-5ba90dfbc2b9";
const int kParameterError = 431;
const int kServerErrorCode = 9999;
const int kPageSizeErrorCode = 4350;
const std::size_t kKeptJobResults = 10000;

/// What the HTTP layer hands over: enough of the request to answer it.
struct ApiCall {
    std::string method;
    std::string query;  // raw, still percent-encoded
    std::string formBody;
    std::vector<std::string> cookieLines;
};

struct Reply {
    int status{200};
    std::string contentType{kJsonType};
    std::string body;
    std::vector<std::string> setCookies;
};

struct Session {
    std::string key;
    std::string user;
    Clock::time_point lastUse;
};

struct Job {
    std::string id;
    std::string vmId;
    std::string user;
    bool start{true};
    Clock::time_point due;
    std::string created;
    bool done{false};
    int resultCode{0};  // 0 while pending and on success
    std::string errorText;
    Json machine;  // the machine as the finished job left it
    std::string completed;
};

/// One filter of a list command: request parameter -> record member.
struct FieldFilter {
    const char* parameter;
    const char* member;
};

struct ListCommand {
    const char* name;
    const char* itemKey;
    std::vector<Json> Inventory::*records;
    bool accountScoped;
    std::vector<FieldFilter> idFilters;    // exact, the value must look like an id
    std::vector<FieldFilter> textFilters;  // exact but case-insensitive (states, types)
};

const std::vector<ListCommand>& ListCommands() {
    static const std::vector<ListCommand> commands{
        {"listProjects", "project", &Inventory::projects, true, {{"id", "id"}}, {{"state", "state"}}},
        {"listZones", "zone", &Inventory::zones, false, {{"id", "id"}}, {{"networktype", "networktype"}}},
        {"listPods", "pod", &Inventory::pods, false, {{"id", "id"}, {"zoneid", "zoneid"}}, {}},
        {"listClusters",
         "cluster",
         &Inventory::clusters,
         false,
         {{"id", "id"}, {"zoneid", "zoneid"}, {"podid", "podid"}},
         {{"hypervisor", "hypervisortype"}, {"allocationstate", "allocationstate"}}},
        {"listHosts",
         "host",
         &Inventory::hosts,
         false,
         {{"id", "id"}, {"zoneid", "zoneid"}, {"podid", "podid"}, {"clusterid", "clusterid"}},
         {{"state", "state"}, {"type", "type"}, {"resourcestate", "resourcestate"}}},
        {"listVirtualMachines",
         "virtualmachine",
         &Inventory::virtualmachines,
         true,
         {{"id", "id"}, {"zoneid", "zoneid"}, {"hostid", "hostid"}},
         {{"state", "state"}}},
    };
    return commands;
}

std::string Dump(const Json& document) {
    // Values echo client input, which need not be valid UTF-8.
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Reply JsonReply(int status, const std::string& responseKey, Json content) {
    Json document = Json::object();
    document[responseKey] = std::move(content);
    Reply reply;
    reply.status = status;
    reply.body = Dump(document);
    return reply;
}

/// The server's error envelope; its HTTP status always equals errorcode.
Reply ErrorReply(const std::string& responseKey, int code, int serverCode, const std::string& text) {
    Json content = Json::object();
    content["uuidList"] = Json::array();
    content["errorcode"] = code;
    if (serverCode != 0) content["cserrorcode"] = serverCode;
    content["errortext"] = text;
    return JsonReply(code, responseKey, std::move(content));
}

Reply MissingParameter(const std::string& command, const std::string& parameter) {
    return ErrorReply(command + "response", kParameterError, kServerErrorCode,
                      "Unable to execute API command " + command + " due to missing parameter " + parameter);
}

Reply InvalidValue(const std::string& command, const std::string& parameter, const std::string& value) {
    return ErrorReply(command + "response", kParameterError, kServerErrorCode,
                      "Unable to execute API command " + command + " due to invalid value. Invalid parameter " +
                          parameter + " value=" + value +
                          " due to incorrect long value format, or entity does not exist or due to incorrect "
                          "parameter annotation for the field in api cmd class.");
}

std::string StringMember(const Json& record, const char* key) {
    const auto it = record.find(key);
    return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string WallClockText() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+0000", &utc);
    return text;
}

bool ParseLong(const std::string& text, long long& value) {
    // Paging values are 32-bit on the server; nine digits keep the arithmetic far from overflow.
    if (text.empty() || text.size() > 10) return false;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size() || text.size() - i > 9) return false;
    long long result = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        result = result * 10 + (text[i] - '0');
    }
    value = text[0] == '-' ? -result : result;
    return true;
}

std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text.substr(0, 80)) {
        const auto byte = static_cast<unsigned char>(c);
        out.push_back(byte >= 0x20 && byte < 0x7f ? c : '?');
    }
    return out.empty() ? "-" : out;
}

bool IsFormBody(const std::string& contentType) {
    return ToLowerAscii(contentType).rfind("application/x-www-form-urlencoded", 0) == 0;
}

std::string HeaderValue(const HeaderLines& headers, const std::string& name) {
    for (const auto& [key, value] : headers) {
        if (ToLowerAscii(key) == name) return value;
    }
    return {};
}

Reply PlainReply(int status, const std::string& body) {
    Reply reply;
    reply.status = status;
    reply.contentType = "text/plain;charset=utf-8";
    reply.body = body;
    return reply;
}

std::string RawQuery(const std::string& target) {
    const auto mark = target.find('?');
    return mark == std::string::npos ? std::string() : target.substr(mark + 1);
}

}  // namespace

bool IsLoopbackAddress(const std::string& address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    return (ntohl(parsed.s_addr) >> 24) == 127;
}

struct Simulator::Impl {
    explicit Impl(SimulatorOptions opts) : options(std::move(opts)), inventory(std::move(options.inventory)) {
        std::random_device seed;
        random.seed((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
    }

    SimulatorOptions options;
    httplib::Server server;
    std::thread listener;
    std::atomic<bool> listenerDone{false};
    std::atomic<std::size_t> requests{0};

    mutable std::mutex mutex;  // guards everything below
    Inventory inventory;
    std::map<std::string, Session> sessions;  // by JSESSIONID
    std::map<std::string, Job> jobs;          // by job id
    std::vector<std::string> pendingJobs;     // in creation order
    std::deque<std::string> finishedJobs;     // in completion order, the oldest forgotten first
    std::mt19937_64 random;
    std::size_t placements{0};
    std::string latestSessionId;

    Clock::time_point Now() const { return options.clock ? options.clock() : Clock::now(); }

    std::string RandomText(const char* alphabet, std::size_t alphabetSize, std::size_t length) {
        std::uniform_int_distribution<std::size_t> pick(0, alphabetSize - 1);
        std::string text;
        for (std::size_t i = 0; i < length; ++i) text.push_back(alphabet[pick(random)]);
        return text;
    }

    std::string NewUuid() {
        const std::string hex = RandomText("0123456789abcdef", 16, 32);
        return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-4" + hex.substr(13, 3) + "-" +
               "89ab"[static_cast<std::size_t>(hex[16]) % 4] + hex.substr(17, 3) + "-" + hex.substr(20, 12);
    }

    static bool RefuseControlCharacters(const ParameterMap& params, const std::string& responseKey, Reply& reply) {
        for (const auto& [name, value] : params) {
            if (HasControlCharacter(value)) {
                reply = ErrorReply(responseKey, kParameterError, kServerErrorCode,
                                   "Received value " + value + " for parameter " + name +
                                       " is invalid, contains illegal ASCII non-printable characters");
                return true;
            }
        }
        return false;
    }

    // ----------------------------------------------------------------------------------------------------------
    // Sessions

    Session* FindSession(const std::vector<std::pair<std::string, std::string>>& cookies, Clock::time_point now,
                         std::string* sessionId) {
        for (const auto& [name, value] : cookies) {
            if (name != "JSESSIONID") continue;
            const auto it = sessions.find(value);
            if (it == sessions.end()) continue;
            if (now - it->second.lastUse > options.sessionTimeout) {
                sessions.erase(it);
                continue;
            }
            if (sessionId != nullptr) *sessionId = value;
            return &it->second;
        }
        return nullptr;
    }

    bool SessionKeyAccepted(const Session& session, const std::vector<std::pair<std::string, std::string>>& cookies,
                            const ParameterMap& params) const {
        const std::string* cookieKey = nullptr;
        for (const auto& [name, value] : cookies) {
            if (name == "sessionkey") cookieKey = &value;  // the last one sent counts
        }
        const auto param = params.find("sessionkey");
        const std::string* paramKey = param == params.end() ? nullptr : &param->second;
        if (options.olderSessionCheck) {
            if (cookieKey == nullptr && paramKey == nullptr) return false;
            return (cookieKey == nullptr || *cookieKey == session.key) &&
                   (paramKey == nullptr || *paramKey == session.key);
        }
        return cookieKey != nullptr && paramKey != nullptr && *cookieKey == session.key && *paramKey == session.key;
    }

    Reply Login(const ApiCall& call, const ParameterMap& params,
                const std::vector<std::pair<std::string, std::string>>& cookies) {
        if (call.method != "POST") {
            Reply reply;
            reply.status = 405;
            reply.contentType = "text/plain;charset=utf-8";
            reply.body = "HTTP ERROR 405 Method Not Allowed: login accepts POST only\n";
            return reply;
        }
        if (Reply refused; RefuseControlCharacters(params, "loginresponse", refused)) return refused;
        const auto value = [&params](const char* name) {
            const auto it = params.find(name);
            return it == params.end() ? std::string() : it->second;
        };
        const std::string user = value("username");
        const std::string domain = value("domain");
        const bool rootDomain = domain.empty() || domain == "/" || domain == "ROOT" || domain == "/ROOT" ||
                                domain == "ROOT/" || domain == "/ROOT/";
        bool accepted = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            accepted = rootDomain && user == options.user && value("password") == options.password;
        }
        if (!accepted) {
            // The pause slows down password guessing; it must not hold the lock.
            std::this_thread::sleep_for(options.badLoginDelay);
            return ErrorReply("loginresponse", 531, 0,
                              "Failed to authenticate user " + user + " in domain 1; please provide valid credentials");
        }

        std::lock_guard<std::mutex> lock(mutex);
        const auto now = Now();
        for (auto it = sessions.begin(); it != sessions.end();) {
            it = now - it->second.lastUse > options.sessionTimeout ? sessions.erase(it) : std::next(it);
        }
        // A new login replaces the session the client still carries.
        std::string oldId;
        if (options.singleSession) {
            sessions.clear();
        } else if (FindSession(cookies, now, &oldId) != nullptr) {
            sessions.erase(oldId);
        }

        static const char kIdAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        static const char kKeyAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        std::string id;
        do {
            id = "node0" + RandomText(kIdAlphabet, sizeof kIdAlphabet - 1, 25) + ".node0";
        } while (sessions.count(id) != 0);
        Session session{RandomText(kKeyAlphabet, sizeof kKeyAlphabet - 1, 27), user, now};

        Json content = Json::object();
        content["username"] = user;
        content["userid"] = kUserId;
        content["domainid"] = kDomainId;
        content["timeout"] = options.sessionTimeout.count();
        content["account"] = user;
        content["firstname"] = "Admin";
        content["lastname"] = "User";
        content["type"] = "1";
        content["registered"] = "false";
        content["sessionkey"] = session.key;
        content["is2faenabled"] = "false";
        content["is2faverified"] = "true";
        content["issuerfor2fa"] = "CloudStack";
        content["managementserverid"] = kManagementServerId;
        Reply reply = JsonReply(200, "loginresponse", std::move(content));
        reply.setCookies.push_back("JSESSIONID=" + id + "; Path=/client");
        reply.setCookies.push_back("sessionkey=" + session.key +
                                   (options.olderServerCookie ? ";HttpOnly" : ";HttpOnly;SameSite=Lax"));
        sessions.emplace(id, std::move(session));
        latestSessionId = id;
        return reply;
    }

    Reply Logout(const std::vector<std::pair<std::string, std::string>>& cookies) {
        std::lock_guard<std::mutex> lock(mutex);
        std::string id;
        if (FindSession(cookies, Now(), &id) != nullptr) sessions.erase(id);
        return JsonReply(200, "logoutresponse", Json{{"description", "success"}});
    }

    // ----------------------------------------------------------------------------------------------------------
    // Jobs

    Json* FindMachineById(const std::string& id) {
        for (auto& vm : inventory.virtualmachines) {
            if (StringMember(vm, "id") == id) return &vm;
        }
        return nullptr;
    }

    const Json* FindMachineByName(const std::string& name) const {
        for (const auto& vm : inventory.virtualmachines) {
            if (StringMember(vm, "name") == name) return &vm;
        }
        return nullptr;
    }

    /// A usable host in the machine's zone, taken in turn so that machines spread.
    const Json* PickHost(const Json& vm) {
        const std::string zone = StringMember(vm, "zoneid");
        std::vector<const Json*> candidates;
        for (const auto& host : inventory.hosts) {
            const std::string resourceState = StringMember(host, "resourcestate");
            if (StringMember(host, "state") == "Up" && (resourceState.empty() || resourceState == "Enabled") &&
                (zone.empty() || StringMember(host, "zoneid") == zone)) {
                candidates.push_back(&host);
            }
        }
        if (candidates.empty()) return nullptr;
        return candidates[placements++ % candidates.size()];
    }

    void CompleteJob(Job& job) {
        job.done = true;
        job.completed = WallClockText();
        if (job.resultCode != 0) return;  // decided when the job was created
        Json* vm = FindMachineById(job.vmId);
        if (vm == nullptr) return;
        if (job.start) {
            const Json* host = PickHost(*vm);
            if (host == nullptr) {
                (*vm)["state"] = "Stopped";
                job.resultCode = 533;
                job.errorText = "Unable to create a deployment for VM instance {\"name\":\"" +
                                StringMember(*vm, "name") + "\",\"uuid\":\"" + job.vmId + "\"}";
                return;
            }
            (*vm)["state"] = "Running";
            PlaceMachineOnHost(*vm, *host);
        } else {
            (*vm)["state"] = "Stopped";
            RemoveMachineFromHost(*vm);
        }
        MarkMachineUpdated(*vm, job.completed);
        job.machine = *vm;
    }

    /// Jobs finish lazily: whenever anyone looks, every job that is due completes, oldest first.
    void AdvanceJobs(Clock::time_point now) {
        for (auto it = pendingJobs.begin(); it != pendingJobs.end();) {
            Job& job = jobs.at(*it);
            if (job.due > now) {
                ++it;
                continue;
            }
            CompleteJob(job);
            finishedJobs.push_back(*it);
            it = pendingJobs.erase(it);
        }
        // Like the server's job expiry: results are kept for a while, not forever.
        while (finishedJobs.size() > kKeptJobResults) {
            jobs.erase(finishedJobs.front());
            finishedJobs.pop_front();
        }
    }

    Reply MachineAction(bool start, const ParameterMap& params, const Session& session, Clock::time_point now) {
        const std::string command = start ? "startvirtualmachine" : "stopvirtualmachine";
        const auto idParam = params.find("id");
        if (idParam == params.end() || idParam->second.empty()) return MissingParameter(command, "id");
        Json* vm = FindMachineById(idParam->second);
        if (vm == nullptr) return InvalidValue(command, "id", idParam->second);

        Job job;
        job.id = NewUuid();
        job.vmId = idParam->second;
        job.user = session.user;
        job.start = start;
        job.due = now + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(options.jobSeconds > 0 ? options.jobSeconds : 0.0));
        job.created = WallClockText();
        const std::string state = StringMember(*vm, "state");
        if (start && state == "Running" && !options.permissiveJobs) {
            job.resultCode = kParameterError;
            job.errorText =
                "The virtual machine " + job.vmId + " (" + StringMember(*vm, "name") + ") is already running";
        } else if (job.due > now) {
            (*vm)["state"] = start ? "Starting" : "Stopping";
        }
        const std::string jobId = job.id;
        pendingJobs.push_back(jobId);
        jobs.emplace(jobId, std::move(job));
        AdvanceJobs(now);
        return JsonReply(200, command + "response", Json{{"jobid", jobId}});
    }

    Reply QueryJob(const ParameterMap& params, const Session& session) {
        const std::string command = "queryasyncjobresult";
        const auto idParam = params.find("jobid");
        if (idParam == params.end() || idParam->second.empty()) return MissingParameter(command, "jobid");
        const auto found = jobs.find(idParam->second);
        if (found != jobs.end()) return JobAnswer(found->second);
        if (!options.permissiveJobs) return InvalidValue(command, "jobid", idParam->second);
        Job job;
        job.id = idParam->second;
        job.user = session.user;
        job.done = true;
        job.created = job.completed = WallClockText();
        job.machine = Json::object();
        return JobAnswer(job);
    }

    static Reply JobAnswer(const Job& job) {
        const std::string command = "queryasyncjobresult";

        const bool failed = job.done && job.resultCode != 0;
        Json content = Json::object();
        content["accountid"] = kAccountId;
        content["account"] = job.user;
        content["domainid"] = kDomainId;
        content["domainpath"] = "ROOT";
        content["userid"] = kUserId;
        content["cmd"] = std::string("org.apache.cloudstack.api.command.admin.vm.") +
                         (job.start ? "StartVMCmdByAdmin" : "StopVMCmdByAdmin");
        content["jobprocstatus"] = 0;
        content["jobresultcode"] = job.done ? job.resultCode : 0;
        if (job.done) {
            content["jobresulttype"] = "object";
            content["jobresult"] = failed ? Json{{"errorcode", job.resultCode}, {"errortext", job.errorText}}
                                          : Json{{"virtualmachine", job.machine}};
        }
        content["jobinstancetype"] = "VirtualMachine";
        content["jobinstanceid"] = job.vmId;
        if (!failed) {
            content["managementserverid"] = kManagementServerId;
            content["managementservername"] = "mgmt-01";
        }
        content["created"] = job.created;
        if (job.done) content["completed"] = job.completed;
        content["jobid"] = job.id;
        content["jobstatus"] = !job.done ? 0 : failed ? 2 : 1;
        return JsonReply(200, command + "response", std::move(content));
    }

    // ----------------------------------------------------------------------------------------------------------
    // Lists

    Reply List(const ListCommand& list, const ParameterMap& params, const Session& session) {
        const std::string command = ToLowerAscii(list.name);
        const auto param = [&params](const char* name) -> const std::string* {
            const auto it = params.find(name);
            return it == params.end() ? nullptr : &it->second;
        };

        const std::vector<Json>& records = inventory.*(list.records);
        const std::string* pageText = param("page");
        const std::string* sizeText = param("pagesize");
        long long page = 1;
        long long pageSize = options.pageSize;
        if ((pageText == nullptr) != (sizeText == nullptr)) {
            return MissingParameter(command, pageText == nullptr ? "page" : "pagesize");
        }
        if (pageText != nullptr) {
            if (!ParseLong(*pageText, page)) return InvalidValue(command, "page", *pageText);
            if (!ParseLong(*sizeText, pageSize)) return InvalidValue(command, "pagesize", *sizeText);
            if (pageSize > options.pageSize) {
                return ErrorReply(
                    command + "response", kParameterError, kPageSizeErrorCode,
                    "Page size can't exceed max allowed page size value: " + std::to_string(options.pageSize));
            }
            if (pageSize == -1) {
                page = 1;  // the server's "no limit"
                pageSize = static_cast<long long>(records.size()) + 1;
            } else if (pageSize < 1) {
                return ErrorReply(command + "response", kParameterError, kServerErrorCode,
                                  "Page size must be a positive number, or -1 for no limit");
            }
            if (page < 1) {
                return ErrorReply(command + "response", kParameterError, kServerErrorCode,
                                  "Page number must be a positive number");
            }
        }

        for (const auto& filter : list.idFilters) {
            const std::string* value = param(filter.parameter);
            if (!options.refuseUnknownIds || value == nullptr || value->empty() || IsUuid(*value)) continue;
            bool known = false;
            for (const auto& record : records) known = known || StringMember(record, filter.member) == *value;
            if (!known) return InvalidValue(command, filter.parameter, *value);
        }
        const std::string* listAll = param("listall");
        const bool scoped = list.accountScoped && (listAll == nullptr || ToLowerAscii(*listAll) != "true");

        const bool byName = options.nameFilterOnEveryList || std::string(list.name) == "listVirtualMachines";
        std::vector<const Json*> matches;
        for (const auto& record : records) {
            if (Matches(list, record, params, session, scoped, byName)) matches.push_back(&record);
        }

        const std::string responseKey = command + "response";
        if (matches.empty()) return JsonReply(200, responseKey, Json::object());
        Json content = Json::object();
        content["count"] = matches.size();
        const auto total = static_cast<unsigned long long>(matches.size());
        const auto size = static_cast<unsigned long long>(pageSize);
        const auto skipPages = static_cast<unsigned long long>(page - 1);
        if (skipPages > (total - 1) / size) return JsonReply(200, responseKey, std::move(content));
        const auto first = skipPages * size;
        const auto end = std::min(total, first + size);
        Json items = Json::array();
        for (auto i = first; i < end; ++i) items.push_back(*matches[static_cast<std::size_t>(i)]);
        content[list.itemKey] = std::move(items);
        return JsonReply(200, responseKey, std::move(content));
    }

    static bool OwnedBy(const Json& record, const std::string& account) {
        if (record.contains("account")) return StringMember(record, "account") == account;
        const auto owner = record.find("owner");
        if (owner == record.end() || !owner->is_array()) return true;
        for (const auto& entry : *owner) {
            if (entry.is_object() && StringMember(entry, "account") == account) return true;
        }
        return false;
    }

    static bool Matches(const ListCommand& list, const Json& record, const ParameterMap& params, const Session& session,
                        bool scoped, bool byName) {
        if (scoped && !OwnedBy(record, session.user)) return false;
        for (const auto& filter : list.idFilters) {
            const auto it = params.find(filter.parameter);
            if (it != params.end() && !it->second.empty() && StringMember(record, filter.member) != it->second) {
                return false;
            }
        }
        for (const auto& filter : list.textFilters) {
            const auto it = params.find(filter.parameter);
            if (it != params.end() && !it->second.empty() &&
                ToLowerAscii(StringMember(record, filter.member)) != ToLowerAscii(it->second)) {
                return false;
            }
        }
        if (!byName) return true;
        for (const char* name : {"name", "keyword"}) {
            const auto it = params.find(name);
            if (it != params.end() && !NameFilterMatches(StringMember(record, "name"), it->second)) return false;
        }
        return true;
    }

    // ----------------------------------------------------------------------------------------------------------

    Reply Handle(const ApiCall& call) {
        ++requests;
        ParameterMap params;
        // The container merges the form body into the query parameters; a body value wins.
        if (!DecodeQuery(call.query, params) || !DecodeQuery(call.formBody, params)) {
            Reply reply;
            reply.status = 400;
            reply.contentType = "text/plain;charset=utf-8";
            reply.body = "HTTP ERROR 400 Bad Request: malformed percent-encoding\n";
            return reply;
        }
        const auto commandParam = params.find("command");
        const std::string command = commandParam == params.end() ? std::string() : commandParam->second;
        const std::string lower = ToLowerAscii(command);
        const std::string responseKey = lower.empty() ? "errorresponse" : lower + "response";
        const auto cookies = ParseCookies(call.cookieLines);

        if (lower == "login") return Login(call, params, cookies);
        if (call.method != "GET" && call.method != "POST" && call.method != "HEAD") {
            return PlainReply(405, "HTTP ERROR 405 Method Not Allowed: " + call.method + "\n");
        }
        if (lower == "logout") return Logout(cookies);

        std::lock_guard<std::mutex> lock(mutex);
        const auto now = Now();
        AdvanceJobs(now);
        std::string sessionId;
        Session* session = FindSession(cookies, now, &sessionId);
        if (session == nullptr) {
            return ErrorReply(responseKey, 401, 0, "unable to verify user credentials and/or request signature");
        }
        if (!SessionKeyAccepted(*session, cookies, params)) {
            sessions.erase(sessionId);
            return ErrorReply(responseKey, 401, 0, "unable to verify user credentials");
        }
        session->lastUse = now;
        if (Reply refused; RefuseControlCharacters(params, responseKey, refused)) return refused;

        for (const auto& list : ListCommands()) {
            if (command == list.name) return List(list, params, *session);
        }
        if (command == "startVirtualMachine") return MachineAction(true, params, *session, now);
        if (command == "stopVirtualMachine") return MachineAction(false, params, *session, now);
        if (command == "queryAsyncJobResult") return QueryJob(params, *session);
        return ErrorReply("errorresponse", 432, kServerErrorCode, "Unknown API command: " + command);
    }

    Reply Handle(const SimRequest& request) {
        const std::string path = request.target.substr(0, request.target.find('?'));
        if (path != "/client/api" && path.rfind("/client/api/", 0) != 0) {
            Reply reply = PlainReply(404, "<html><body><h2>404 Not Found</h2></body></html>");
            reply.contentType = "text/html;charset=iso-8859-1";
            return reply;
        }
        ApiCall call;
        call.method = request.method;
        call.query = RawQuery(request.target);
        if (IsFormBody(HeaderValue(request.headers, "content-type"))) call.formBody = request.body;
        for (const auto& [name, value] : request.headers) {
            if (ToLowerAscii(name) == "cookie") call.cookieLines.push_back(value);
        }
        return Handle(call);
    }

    void Serve(const httplib::Request& request, httplib::Response& response) {
        SimRequest simRequest{request.method, request.target, {}, request.body};
        for (const auto& [name, value] : request.headers) simRequest.headers.emplace_back(name, value);
        const Reply reply = Handle(simRequest);
        response.status = reply.status;
        for (const auto& cookie : reply.setCookies) response.headers.emplace("Set-Cookie", cookie);
        response.set_content(reply.body, reply.contentType.c_str());
    }

    void Log(const httplib::Request& request, const httplib::Response& response) const {
        // Only the command name: parameters carry the password and the session key.
        std::string what = request.path;
        if (request.path == "/client/api") {
            ParameterMap params;
            DecodeQuery(RawQuery(request.target), params);
            if (IsFormBody(request.get_header_value("Content-Type"))) DecodeQuery(request.body, params);
            const auto it = params.find("command");
            what = it == params.end() ? std::string() : it->second;
        }
        std::fprintf(stderr, "%s %s %d\n", Printable(request.method).c_str(), Printable(what).c_str(), response.status);
    }
};

Simulator::Simulator(SimulatorOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    Impl* impl = impl_.get();
    const auto serve = [impl](const httplib::Request& request, httplib::Response& response) {
        impl->Serve(request, response);
    };
    // httplib's default adds SO_REUSEPORT, which would let a second simulator share the address and receive
    // half of the connections; without it a taken address makes Start() fail as it should.
    impl->server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Clients keep connections open between calls, and each open one holds a worker: room for many clients,
    // and no early close that would make a client reconnect every few calls.
    impl->server.new_task_queue = [] { return new httplib::ThreadPool(32); };
    impl->server.set_keep_alive_max_count(1000);
    impl->server.Get("/client/api", serve);
    impl->server.Post("/client/api", serve);
    // A POST with neither Content-Length nor chunked body (curl -X POST) has an empty body for the server's
    // container; httplib would refuse it with 400 before routing, so answer it here.
    impl->server.set_pre_routing_handler([impl](const httplib::Request& request, httplib::Response& response) {
        if (request.method != "POST" || request.path != "/client/api" || request.has_header("Content-Length") ||
            request.has_header("Transfer-Encoding")) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        impl->Serve(request, response);
        return httplib::Server::HandlerResponse::Handled;
    });
    if (impl->options.log) {
        impl->server.set_logger([impl](const httplib::Request& request, const httplib::Response& response) {
            impl->Log(request, response);
        });
    }
}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(const std::string& address) {
    if (!IsLoopbackAddress(address) || impl_->listener.joinable()) return false;
    if (!impl_->server.bind_to_port(address, kPort)) return false;
    impl_->listenerDone = false;
    impl_->listener = std::thread([impl = impl_.get()] {
        impl->server.listen_after_bind();
        impl->listenerDone = true;
    });
    // The socket already accepts connections; waiting here makes a later Stop() reliable.
    while (!impl_->server.is_running() && !impl_->listenerDone)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void Simulator::Stop() {
    if (!impl_->listener.joinable()) return;
    impl_->server.stop();
    impl_->listener.join();
}

SimResponse Simulator::Handle(const SimRequest& request) {
    const Reply reply = impl_->Handle(request);
    SimResponse response;
    response.status = reply.status;
    for (const auto& cookie : reply.setCookies) response.headers.emplace_back("Set-Cookie", cookie);
    response.body = reply.body;
    response.contentType = reply.contentType;
    return response;
}

void Simulator::SetCredentials(const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->options.user = user;
    impl_->options.password = password;
}

void Simulator::SetOlderSessionCheck(bool older) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->options.olderSessionCheck = older;
}

void Simulator::SetOlderServerCookie(bool older) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->options.olderServerCookie = older;
}

bool Simulator::SetRecords(const std::string& listCommand, std::vector<Json> records) {
    for (const auto& list : ListCommands()) {
        if (listCommand != list.name) continue;
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->inventory.*(list.records) = std::move(records);
        return true;
    }
    return false;
}

std::pair<std::string, std::string> Simulator::LatestSession() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const auto it = impl_->sessions.find(impl_->latestSessionId);
    if (it == impl_->sessions.end() || impl_->Now() - it->second.lastUse > impl_->options.sessionTimeout) return {};
    return {it->first, it->second.key};
}

void Simulator::EndSessions() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->sessions.clear();
}

std::string Simulator::MachineState(const std::string& name) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->AdvanceJobs(impl_->Now());
    const Json* vm = impl_->FindMachineByName(name);
    return vm == nullptr ? std::string() : StringMember(*vm, "state");
}

std::string Simulator::MachineHostName(const std::string& name) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->AdvanceJobs(impl_->Now());
    const Json* vm = impl_->FindMachineByName(name);
    return vm == nullptr ? std::string() : StringMember(*vm, "hostname");
}

std::size_t Simulator::RequestCount() const {
    return impl_->requests;
}

std::size_t Simulator::SessionCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->sessions.size();
}

Inventory Simulator::Snapshot() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->AdvanceJobs(impl_->Now());
    return impl_->inventory;
}

}  // namespace cssim
