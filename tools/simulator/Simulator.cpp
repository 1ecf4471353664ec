#include "Simulator.h"

#include <atomic>
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "Accounts.h"
#include "ApiCatalogue.h"
#include "ApiRequest.h"
#include "Cloud.h"
#include "Jobs.h"
#include "Lists.h"
#include "Replies.h"
#include "Sessions.h"
#include "Signature.h"

namespace cssim {
namespace {

const char* const kManagementServerId = "3954eda0-cf30-4543-9f56-5ba90dfbc2b9";

std::string DateText(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+0000", &utc);
    return text;
}

SimResponse Capabilities() {
    Json capability = Json::object();
    capability["securitygroupsenabled"] = false;
    capability["dynamicrolesenabled"] = true;
    capability["cloudstackversion"] = "4.20.1.0";
    capability["userpublictemplateenabled"] = true;
    capability["supportELB"] = "false";
    capability["projectinviterequired"] = false;
    capability["allowusercreateprojects"] = true;
    capability["customdiskofftotalmax"] = 1024;
    capability["customdiskoffmaxsize"] = 1024;
    capability["regionsecondaryenabled"] = false;
    capability["kvmsnapshotenabled"] = true;
    capability["allowuserviewdestroyedvm"] = true;
    capability["allowuserexpungerecovervm"] = true;
    capability["allowuserexpungerecovervolume"] = true;
    capability["allowuserviewalldomainaccounts"] = false;
    capability["allowuserforcestopvm"] = true;
    capability["kubernetesserviceenabled"] = false;
    capability["kubernetesclusterexperimentalfeaturesenabled"] = false;
    capability["customhypervisordisplayname"] = "Custom";
    capability["defaultuipagesize"] = 20;
    capability["instancesstatsretentiontime"] = 720;
    capability["instancesstatsuseronly"] = false;
    capability["instancesdisksstatsretentionenabled"] = false;
    capability["instancesdisksstatsretentiontime"] = 720;
    capability["apilimitinterval"] = 1;
    capability["apilimitmax"] = 1;
    return JsonReply(200, "listcapabilitiesresponse", Json{{"capability", capability}});
}

}  // namespace

struct Simulator::Impl {
    explicit Impl(SimulatorOptions opts)
        : options(std::move(opts)),
          directory(options.inventory, options.user, options.password),
          sessions(options.sessionTimeout, options.singleSession),
          cloud(std::move(options.inventory)),  // the directory has read the users already
          jobs(JobSettings{options.jobSeconds, options.permissiveJobs, options.numericJobIds,
                           [this] { return DateText(WallNow()); }}),
          policy{options.pageSize, options.refuseUnknownIds, options.nameFilterOnEveryList},
          olderSessionCheck(options.olderSessionCheck),
          olderServerCookie(options.olderServerCookie),
          front([this](const SimRequest& request) { return Handle(request); },
                FrontEndSettings{options.tlsCertificateFile, options.tlsKeyFile, options.log}) {
        if (!options.apiKey.empty() || !options.secretKey.empty()) {
            directory.SetAdminKeys(options.apiKey, options.secretKey);
        }
    }

    SimulatorOptions options;
    Directory directory;
    SessionTable sessions;
    // Guards cloud and jobs, which change together: shared by the requests that read them (lists, job
    // status), held alone by those that change them (submits, and jobs that end) for as short as that takes.
    mutable std::shared_mutex cloudMutex;
    Cloud cloud;
    JobEngine jobs;
    // When the first pending job is due (steady clock ticks): until then no request needs to end one.
    std::atomic<SteadyClock::rep> nextDue{SteadyClock::time_point::max().time_since_epoch().count()};
    const ListPolicy policy;
    std::atomic<bool> olderSessionCheck;
    std::atomic<bool> olderServerCookie;
    std::atomic<std::size_t> requests{0};
    std::atomic<int> port{0};
    HttpFrontEnd front;

    SteadyClock::time_point Now() const { return options.clock ? options.clock() : SteadyClock::now(); }
    std::chrono::system_clock::time_point WallNow() const {
        return options.wallClock ? options.wallClock() : std::chrono::system_clock::now();
    }

    static bool RefuseControlCharacters(const ApiRequest& request, const std::string& responseKey, SimResponse& reply) {
        for (const auto& [name, value] : request.params) {
            if (HasControlCharacter(value)) {
                reply = ErrorReply(responseKey, kParameterError, kServerErrorCode,
                                   "Received value " + value + " for parameter " + name +
                                       " is invalid, contains illegal ASCII non-printable characters");
                return true;
            }
        }
        return false;
    }

    SimResponse Login(const ApiRequest& request) {
        if (request.method != "POST") {
            return PlainReply(405, "HTTP ERROR 405 Method Not Allowed: login accepts POST only\n");
        }
        if (SimResponse refused; RefuseControlCharacters(request, "loginresponse", refused)) return refused;
        const auto value = [&request](const char* name) {
            const std::string* found = request.Param(name);
            return found == nullptr ? std::string() : *found;
        };
        const std::string username = value("username");
        const std::string* domainId = request.Param("domainid");
        if (domainId == nullptr) domainId = request.Param("domainId");
        const std::optional<Domain> domain = directory.LoginDomain(request.Param("domain"), domainId);
        const std::optional<User> user =
            domain ? directory.Authenticate(username, value("password"), *domain) : std::nullopt;
        if (!user) {
            // The pause slows down password guessing; it holds no lock.
            std::this_thread::sleep_for(options.badLoginDelay);
            if (!domain) {
                return ErrorReply("loginresponse", 531, 0,
                                  domainId != nullptr && !domainId->empty()
                                      ? "Unable to find the domain with id " + *domainId
                                      : "Unable to find the domain from the path " + value("domain"));
            }
            return ErrorReply("loginresponse", 531, 0,
                              "Failed to authenticate user " + username + " in domain " +
                                  std::to_string(domain->number) + "; please provide valid credentials");
        }
        const Session session = sessions.Open(*user, request.cookies, Now());
        Json content = Json::object();
        content["username"] = user->username;
        content["userid"] = user->id;
        content["domainid"] = user->domain.id;
        content["timeout"] = options.sessionTimeout.count();
        content["account"] = user->account;
        content["firstname"] = user->firstname;
        content["lastname"] = user->lastname;
        content["type"] = std::to_string(static_cast<int>(user->accountType));
        content["registered"] = "false";
        content["sessionkey"] = session.key;
        content["is2faenabled"] = "false";
        content["is2faverified"] = "true";
        content["issuerfor2fa"] = "CloudStack";
        content["managementserverid"] = kManagementServerId;
        SimResponse reply = JsonReply(200, "loginresponse", content);
        reply.headers.emplace_back("Set-Cookie", "JSESSIONID=" + session.id + "; Path=/client");
        reply.headers.emplace_back(
            "Set-Cookie", "sessionkey=" + session.key + (olderServerCookie ? ";HttpOnly" : ";HttpOnly;SameSite=Lax"));
        return reply;
    }

    /// Who makes the call: the session's user, or the owner of the API key that signed it.
    bool Authenticate(const ApiRequest& request, User& caller, SimResponse& refusal) {
        const std::string responseKey = request.ResponseKey();
        switch (sessions.Verify(request.cookies, request.params, olderSessionCheck, Now(), caller)) {
            case SessionTable::Check::Accepted:
                return true;
            case SessionTable::Check::WrongKey:
                refusal = ErrorReply(responseKey, 401, 0, "unable to verify user credentials");
                return false;
            case SessionTable::Check::NoSession:
                break;
        }
        const std::string* apiKey = FirstValueIgnoringCase(request.pairs, "apikey");
        const std::optional<User> owner = apiKey == nullptr ? std::nullopt : directory.FindByApiKey(*apiKey);
        if (owner && CheckSignature(request.pairs, owner->secretKey, WallNow()) == SignatureVerdict::Accepted) {
            caller = *owner;
            return true;
        }
        refusal = NotAuthenticated(responseKey);
        return false;
    }

    // Ends the jobs due at @p now; the caller holds the lock alone.
    void AdvanceLocked(SteadyClock::time_point now) {
        jobs.Advance(cloud, now);
        nextDue = jobs.NextDue().time_since_epoch().count();
    }

    void AdvanceJobs(SteadyClock::time_point now) {
        if (now.time_since_epoch().count() < nextDue) return;
        std::unique_lock<std::shared_mutex> lock(cloudMutex);
        AdvanceLocked(now);
    }

    // Requests are answered side by side: one that reads takes the lock shared, and a list writes its page
    // after letting go of it; only a submit holds it alone, briefly.
    SimResponse Dispatch(const ApiRequest& request, const User& caller) {
        const std::string& command = request.command;
        if (command == "listCapabilities") return Capabilities();
        const auto now = Now();
        AdvanceJobs(now);
        if (const ListSpec* list = FindList(command)) {
            ListPage page;
            {
                std::shared_lock<std::shared_mutex> lock(cloudMutex);
                page = SelectList(*list, cloud.Table(list->kind), request, caller, policy);
            }
            return WriteList(std::move(page));
        }
        if (command == "queryAsyncJobResult") {
            std::shared_lock<std::shared_mutex> lock(cloudMutex);
            return jobs.Query(request, caller);
        }
        if (command == "listApis") {
            std::shared_lock<std::shared_mutex> lock(cloudMutex);
            return ListApis(request, cloud, policy);
        }
        std::unique_lock<std::shared_mutex> lock(cloudMutex);
        // A submit adds a pending job (and ends those due by now).
        const auto submitted = [&](SimResponse reply) {
            nextDue = jobs.NextDue().time_since_epoch().count();
            return reply;
        };
        if (command == "startVirtualMachine")
            return submitted(jobs.Submit(MachineAction::Start, request, caller, cloud, now));
        if (command == "stopVirtualMachine")
            return submitted(jobs.Submit(MachineAction::Stop, request, caller, cloud, now));
        if (command == "rebootVirtualMachine")
            return submitted(jobs.Submit(MachineAction::Reboot, request, caller, cloud, now));
        if (command == "restoreVirtualMachine")
            return submitted(jobs.Submit(MachineAction::Restore, request, caller, cloud, now));
        return ErrorReply("errorresponse", kUnknownCommand, kServerErrorCode, "Unknown API command: " + command);
    }

    SimResponse Handle(const SimRequest& request) {
        if (!IsApiPath(request.target)) {
            SimResponse reply = PlainReply(404, "<html><body><h2>404 Not Found</h2></body></html>");
            reply.contentType = "text/html;charset=iso-8859-1";
            return reply;
        }
        ++requests;
        ApiRequest api;
        if (!DecodeApiRequest(request, api)) {
            return PlainReply(400, "HTTP ERROR 400 Bad Request: malformed percent-encoding\n");
        }
        if (api.lowerCommand == "login") return Login(api);
        if (api.lowerCommand == "logout") {
            sessions.Close(api.cookies, Now());
            return JsonReply(200, "logoutresponse", Json{{"description", "success"}});
        }
        if (api.method != "GET" && api.method != "POST" && api.method != "HEAD") {
            return PlainReply(405, "HTTP ERROR 405 Method Not Allowed: " + api.method + "\n");
        }
        User caller;
        if (SimResponse refusal; !Authenticate(api, caller, refusal)) return refusal;
        if (SimResponse refused; RefuseControlCharacters(api, api.ResponseKey(), refused)) return refused;
        return Dispatch(api, caller);
    }
};

Simulator::Simulator(SimulatorOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(const std::string& address) {
    const int port = impl_->front.Start(address, impl_->options.port);
    if (port <= 0) return false;
    impl_->port = port;
    return true;
}

void Simulator::Stop() {
    impl_->front.Stop();
}

int Simulator::Port() const {
    return impl_->port;
}

SimResponse Simulator::Handle(const SimRequest& request) {
    return impl_->Handle(request);
}

void Simulator::SetCredentials(const std::string& user, const std::string& password) {
    impl_->directory.SetAdminCredentials(user, password);
}

void Simulator::SetOlderSessionCheck(bool older) {
    impl_->olderSessionCheck = older;
}

void Simulator::SetOlderServerCookie(bool older) {
    impl_->olderServerCookie = older;
}

bool Simulator::SetRecords(const std::string& listCommand, std::vector<Json> records) {
    const ListSpec* list = FindList(listCommand);
    if (list == nullptr) return false;
    std::unique_lock<std::shared_mutex> lock(impl_->cloudMutex);
    impl_->cloud.Table(list->kind).Assign(std::move(records));
    return true;
}

std::pair<std::string, std::string> Simulator::LatestSession() const {
    return impl_->sessions.Latest(impl_->Now());
}

void Simulator::EndSessions() {
    impl_->sessions.CloseAll();
}

std::string Simulator::MachineState(const std::string& name) const {
    std::unique_lock<std::shared_mutex> lock(impl_->cloudMutex);
    impl_->AdvanceLocked(impl_->Now());
    const auto position = impl_->cloud.MachineByName(name);
    return position ? StringMember(impl_->cloud.Table(Kind::VirtualMachines).Record(*position), "state") : "";
}

std::string Simulator::MachineHostName(const std::string& name) const {
    std::unique_lock<std::shared_mutex> lock(impl_->cloudMutex);
    impl_->AdvanceLocked(impl_->Now());
    const auto position = impl_->cloud.MachineByName(name);
    return position ? StringMember(impl_->cloud.Table(Kind::VirtualMachines).Record(*position), "hostname") : "";
}

std::size_t Simulator::RequestCount() const {
    return impl_->requests;
}

std::size_t Simulator::SessionCount() const {
    return impl_->sessions.Count(impl_->Now());
}

Inventory Simulator::Snapshot() const {
    std::unique_lock<std::shared_mutex> lock(impl_->cloudMutex);
    impl_->AdvanceLocked(impl_->Now());
    return impl_->cloud.Snapshot();
}

std::vector<Simulator::Credentials> Simulator::Users() const {
    std::vector<Credentials> users;
    for (const User& user : impl_->directory.Users()) {
        users.push_back({user.username, user.domain.path, user.password, user.apiKey, user.secretKey});
    }
    return users;
}

}  // namespace cssim
