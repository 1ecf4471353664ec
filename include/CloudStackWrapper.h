#pragma once

/// @file
/// The one header a host program includes: the wrapper class and every record it fills.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CloudStackErrorState.h"
#include "CloudStackRecords.h"
#include "TeskExport.h"
#include "TraceLog.h"

namespace CloudStackSDKWrapper {

class CCloudStackConnection;
class CCloudStackParser;
class CCloudStackQueries;
class CCloudStackOperations;

/// @brief Parameters of a generic API call: name and value pairs, sent in this order.
using CloudStackParams = std::vector<std::pair<std::string, std::string>>;

/// @brief What CCloudStackWrapper::SetJobProgress calls after every poll of an async job: the job's
/// id, the status the poll read (0 pending, 1 succeeded, anything else failed) and the time waited
/// so far. Returning false ends the wait of a pending job.
using CloudStackJobProgress =
    std::function<bool(const std::string& jobId, int jobStatus, std::chrono::milliseconds elapsed)>;

/// @brief One command of CCloudStackWrapper::CallAndWaitMany: what Call takes.
struct CloudStackRequest {
    std::string command;      ///< the API command, such as "rebootVirtualMachine"
    CloudStackParams params;  ///< name and value pairs, sent in this order
};

/// @brief How one command of CCloudStackWrapper::CallAndWaitMany ended.
struct CloudStackResult {
    bool bOk{false};              ///< the command and its job (if it named one) succeeded
    std::string strJson;          ///< on success, what CallAndWait gives: the job's "jobresult", or the answer
    CCloudStackErrorState error;  ///< on failure, why, as GetLastError would say after CallAndWait; code 0 on success
};

/// @brief Client of one management server's HTTP API.
///
/// Every call is synchronous and returns true on success, filling the vector or record
/// that the caller passed; lists append after what the vector already holds. Every public
/// call clears the last error when it starts, and a call that returns false leaves in it why
/// (GetLastError).
///
/// No exception leaves a call: one that memory runs out in returns false with
/// CS_ERROR_OUT_OF_MEMORY, any other failure inside the library with CS_ERROR_INTERNAL, each with
/// one log line.
///
/// Threads: the library starts none. One wrapper is for one thread at a time: calls on one
/// wrapper from two threads at once are undefined behaviour. Two wrappers may be used from two
/// threads at once: each has its own connection, curl handle and error state, and a request takes
/// no process-wide lock. What they share, and why that is safe: curl's global set-up, done once
/// under std::call_once by the first wrapper; the log sink of TraceLog::SetSink, which is taken
/// under a short lock and then called with no lock of the library held, from whichever thread
/// writes a line (a sink must accept lines from several threads at once); standard error, where
/// lines go without a sink, one whole line per write. The bulk calls (StartVMs, StopVMs,
/// CallAndWaitMany) run their requests side by side from the calling thread too, through curl's multi
/// interface.
class CLOUDSTACK_EXPORT CCloudStackWrapper {
public:
    /// @brief A wrapper with no connection yet. Sends nothing.
    CCloudStackWrapper();
    /// @brief Sends nothing; forgets the session, the credentials and any key pair.
    ~CCloudStackWrapper();
    CCloudStackWrapper(const CCloudStackWrapper&) = delete;
    CCloudStackWrapper& operator=(const CCloudStackWrapper&) = delete;

    /// @brief Logs in to the management server with a user of the ROOT domain.
    /// @param server a bare host name or address (meaning http://SERVER:8080/client/api),
    /// host:port (http://host:port/client/api), or an http:// or https:// URL with an optional
    /// port and path (default path /client/api)
    /// @param user user name
    /// @param password password, sent in the body of the login POST, never in the URL
    /// @return true when the server accepted the login and a session key arrived
    bool Connect(const std::string& server, const std::string& user, const std::string& password);

    /// @brief Logs in like Connect, with a user of the given domain.
    /// @param server as for Connect
    /// @param user user name
    /// @param password password, sent in the body of the login POST, never in the URL
    /// @param domain the domain's path, such as "/" or "ROOT/customers/acme"; empty means ROOT
    /// @return true when the server accepted the login and a session key arrived
    bool Connect(const std::string& server, const std::string& user, const std::string& password,
                 const std::string& domain);

    /// @brief Uses an API key pair instead of a login: every later request is signed.
    /// Checks the keys with one cheap signed call (listCapabilities).
    /// @param server as for Connect
    /// @param apiKey the user's API key
    /// @param secretKey the user's secret key; it signs requests and is never sent
    /// @return true when the server accepted the signed call
    bool ConnectWithApiKey(const std::string& server, const std::string& apiKey, const std::string& secretKey);

    /// @brief Logs out of a password session (one "logout" request) and forgets the server, the
    /// session, the credentials and any key pair: until the next Connect or ConnectWithApiKey, every
    /// call fails with CS_ERROR_NOT_CONNECTED and sends nothing. (A failed Connect, by contrast,
    /// leaves the server named: calls after it still go out, without a session.)
    /// @return true, also when there was no session
    bool Disconnect();

    /// @brief Trusts the certificates of this PEM file besides the system's CA store (https only).
    /// A path that holds a NUL character is refused (CS_ERROR_INVALID_ARGUMENT in the last error)
    /// and the file trusted before stays.
    /// @param path the PEM file; empty for none
    void SetCaFile(const std::string& path);

    /// @brief Verification of the server's certificate and host name (on by default). Off is for
    /// test clouds only, and every Connect then writes a warning line.
    /// @param verify false switches both checks off
    void SetVerifyPeer(bool verify);

    /// @brief Sends every later request through a proxy. The library never reads http_proxy,
    /// https_proxy or no_proxy from the environment: the host decides (per server, if it likes).
    /// An https server is reached through a CONNECT tunnel, a plain http one with requests in
    /// absolute form; a socks5h proxy resolves the server's name itself. A failure on the way
    /// (the proxy's name does not resolve, it refuses the connection, it answers CONNECT with an
    /// error, or an http proxy answers 407, 502, 503 or 504 itself) is CS_ERROR_PROXY with a message
    /// naming the proxy's host:port; the credentials of the URL appear in no message or log line.
    /// @param url "http://", "https://" or "socks5h://", a host, an optional port (default 1080;
    /// 443 for https) and optional "user:password@" (percent-encoded); empty (the default) for none
    /// @return false for a URL of another form, with CS_ERROR_INVALID_ARGUMENT; Connect and every
    /// request then fail the same way, sending nothing, until a URL is accepted (or an empty one)
    bool SetProxy(const std::string& url);

    /// @brief Presents a client certificate to https servers that demand one (mutual TLS). The
    /// files are read at once and again at every Connect and ConnectWithApiKey, before anything is
    /// sent. A server that demands a certificate and gets none (or refuses it) fails with CS_ERROR_TLS
    /// and a message that says so.
    /// @param certFile the PEM certificate, optionally followed by the chain of CAs that signed it;
    /// empty (the default) for none
    /// @param keyFile its unencrypted PEM private key; empty when the key is in @p certFile
    /// @return false with CS_ERROR_INVALID_ARGUMENT and a message naming the file when a file is
    /// missing or unreadable, holds no certificate or key, or the key does not match; Connect
    /// fails the same way until the files are mended or replaced
    bool SetClientCertificate(const std::string& certFile, const std::string& keyFile);

    /// @brief Switches on trace lines for the connection (request summaries, URLs with secrets masked).
    void EnableDebug();

    /// @brief Does nothing; kept for hosts that call it.
    void Test();

    /// @brief The last error: cleared by every public call when it starts.
    /// @return after a call that returned false, why (see ECloudStackErrorCode); valid as long
    /// as the wrapper
    const CCloudStackErrorState& GetLastError() const;

    /// @brief When on, the lists of virtual machines and projects, and the lookups made through
    /// them, ask for every account's records ("listall=true"), as an administrator may.
    /// @param listAll on or off; off by default
    void SetListAll(bool listAll);

    /// @brief Pause between two polls of an async job that is still pending. The first poll is
    /// always sent at once. Any value works: zero or less polls again as soon as an answer arrived,
    /// and a pause longer than about 24 days is cut to that.
    /// @param interval the pause; 10 s by default
    void SetJobPollInterval(std::chrono::milliseconds interval);

    /// @brief Longest wait for an async job. A job still pending when it has passed makes the
    /// call false with CS_ERROR_JOB_TIMEOUT and the job id in the message; the job goes on on
    /// the server. Any value works: zero or less means none, and so does one too long to count in
    /// milliseconds (such as std::chrono::seconds::max()).
    /// @param timeout the limit; 0 (the default) for none
    void SetJobTimeout(std::chrono::seconds timeout);

    /// @brief A function called after every poll of every job wait (StartVM, StopVM, CallAndWait,
    /// WaitForJob, and each job of StartVMs, StopVMs and CallAndWaitMany), on the calling thread, with the
    /// job's id, the status the poll read and the time waited. Returning false while the job is pending
    /// ends the wait at once: the call is false with CS_ERROR_WAIT_STOPPED and the job id in the message,
    /// and the job goes on on the server; in a bulk call it ends every wait, and the function is not
    /// called again during that call. After the poll that saw the job end, the return value changes
    /// nothing for that job (in a bulk call, false still ends the other waits). The function must not
    /// call this wrapper. An exception it throws does not pass through the library: the call returns
    /// false with CS_ERROR_INTERNAL (CS_ERROR_OUT_OF_MEMORY for std::bad_alloc).
    /// @param progress the function; an empty one for none (the default)
    void SetJobProgress(CloudStackJobProgress progress);

    /// @brief The most commands the bulk calls (StartVMs, StopVMs, CallAndWaitMany) keep in progress at
    /// once: a command is in progress from its submit until its job's end is known, and the next one is
    /// sent when one ends. The server runs the jobs side by side; its own job queue is the limit, and a
    /// few dozen concurrent deploys are known to make it refuse work. Each command in progress has at
    /// most one request (its submit or a poll) under way.
    /// @param concurrency 1 to 64 (a larger value means 64); 0 restores the default, 4
    void SetConcurrency(unsigned concurrency);

    /// @brief Starts many virtual machines at once: every machine's command is sent (at most the
    /// SetConcurrency bound in progress at a time) and their jobs are polled together, each pending job
    /// once per job poll interval. The job timeout and the progress callback apply to each job; a
    /// callback that returns false stops every wait: each machine whose job is still pending gets
    /// CS_ERROR_WAIT_STOPPED with its job id (the jobs go on on the server), and machines not yet sent
    /// are not sent (CS_ERROR_WAIT_STOPPED too). An empty id is CS_ERROR_INVALID_ARGUMENT for its
    /// machine, and nothing is sent for it. After a password login, a session that ended is renewed by
    /// one login, however many requests the server refused.
    /// @param ids the machines' ids (StartVM looks a name up; here every entry is an id)
    /// @param results resized to the size of @p ids: results[i] says how machine i ended, code 0 for
    /// success, and otherwise the code and message StartVM would leave in the last error. Each is written
    /// as soon as its machine is done, so that the progress callback (on the calling thread) may count
    /// them; until then it holds CS_ERROR_UNFINISHED.
    /// @return true when every machine started; otherwise false, and the last error holds the code of the
    /// first machine that failed (in the order of @p ids) with a message that counts the failures
    /// ("2 of 37 failed; the first, item 5 (startVirtualMachine): ...")
    bool StartVMs(const std::vector<std::string>& ids, std::vector<CCloudStackErrorState>& results);
    /// @brief Stops many virtual machines at once, as StartVMs starts them.
    /// @param ids the machines' ids
    /// @param results resized to the size of @p ids; results[i] says how machine i ended, code 0 for success
    /// @return true when every machine stopped; otherwise false, with the last error as for StartVMs
    bool StopVMs(const std::vector<std::string>& ids, std::vector<CCloudStackErrorState>& results);
    /// @brief CallAndWait for many commands at once, as StartVMs runs its machines' commands: each
    /// command is sent as Call sends it and, when its answer names a job, its job is waited for.
    /// @param requests the commands, each with its parameters
    /// @param results resized to the size of @p requests: results[i] says how command i ended, written as
    /// soon as it has (CS_ERROR_UNFINISHED until then), as for StartVMs
    /// @return true when every command succeeded; otherwise false, with the last error as for StartVMs
    bool CallAndWaitMany(const std::vector<CloudStackRequest>& requests, std::vector<CloudStackResult>& results);

    /// @brief Lists the projects of the caller's account.
    /// @param projects receives the records, after what it already holds
    /// @param reserved not used
    /// @return true when every page arrived and was read
    bool GetProjectInfoList(std::vector<SProjectInfoLib>& projects, unsigned long long reserved = 0);
    /// @brief Lists every zone.
    /// @param zones receives the records, after what it already holds
    /// @param reserved not used
    /// @return true when every page arrived and was read
    bool GetZoneInfoList(std::vector<SZoneInfoLib>& zones, unsigned long long reserved = 0);
    /// @brief Lists every pod.
    /// @param pods receives the records, after what it already holds
    /// @param reserved not used
    /// @return true when every page arrived and was read
    bool GetPodInfoList(std::vector<SPodInfoLib>& pods, unsigned long long reserved = 0);
    /// @brief Lists every cluster.
    /// @param clusters receives the records, after what it already holds
    /// @param reserved not used
    /// @return true when every page arrived and was read
    bool GetClusterInfoList(std::vector<SClusterInfoLib>& clusters, unsigned long long reserved = 0);
    /// @brief Fetches one cluster by id or, when @p id is empty, by exact name (letter case aside).
    /// @param name the cluster's name, used when @p id is empty
    /// @param id the cluster's id
    /// @param cluster written only on success
    /// @param reserved not used
    /// @return true when the cluster was found
    bool GetClusterInfo(const std::string& name, const std::string& id, SClusterInfoLib& cluster,
                        unsigned long long reserved = 0);
    /// @brief Lists every host.
    /// @param hosts receives the records, after what it already holds
    /// @param reserved not used
    /// @return true when every page arrived and was read
    bool GetHostInfoList(std::vector<SHostInfoLib>& hosts, unsigned long long reserved = 0);
    /// @brief Fetches one host by id or, when @p id is empty, by exact name (letter case aside).
    /// @param name the host's name, used when @p id is empty
    /// @param id the host's id
    /// @param host written only on success
    /// @param reserved not used
    /// @return true when the host was found
    bool GetHostInfo(const std::string& name, const std::string& id, SHostInfoLib& host,
                     unsigned long long reserved = 0);
    /// @brief Lists the virtual machines of the caller's account.
    /// @param vms receives the records, after what it already holds
    /// @param reserved not used
    /// @return true when every page arrived and was read
    bool GetVMInfoList(std::vector<SVMInfoLib>& vms, unsigned long long reserved = 0);
    /// @brief Fetches one virtual machine by id or, when @p id is empty, by exact name (letter case aside).
    /// @param name the machine's name, used when @p id is empty
    /// @param id the machine's id
    /// @param vm written only on success
    /// @param reserved not used
    /// @return true when the machine was found
    bool GetVMInfo(const std::string& name, const std::string& id, SVMInfoLib& vm, unsigned long long reserved = 0);

    /// @brief Starts a virtual machine and waits for the server's job to end, polling at the job
    /// poll interval.
    /// @param name the machine's name, used when @p id is empty
    /// @param id the machine's id
    /// @return true when the job succeeded
    bool StartVM(const std::string& name, const std::string& id);
    /// @brief Stops a virtual machine, like StartVM.
    /// @param name the machine's name, used when @p id is empty
    /// @param id the machine's id
    /// @return true when the job succeeded
    bool StopVM(const std::string& name, const std::string& id);

    /// @brief Sends any API command with "response=json" and the given parameters (values
    /// percent-encoded, in the order given): GET for commands whose name starts with "list",
    /// "get" or "query", POST otherwise. A parameter name or value (or any other string argument of
    /// any call) that holds a NUL character is refused with CS_ERROR_INVALID_ARGUMENT; nothing is sent.
    ///
    /// The answer's inner object is the member "<command lower-cased>response" when there is one;
    /// otherwise the one member whose name ends in "response", when exactly one does (the server
    /// answers some commands under an older name: restoreVirtualMachine under "restorevmresponse");
    /// otherwise the answer is not the command's (CS_ERROR_BAD_ANSWER). CallAndWait, CallList and the
    /// power calls find it the same way.
    /// @param command the API command, such as "listTemplates"
    /// @param params name and value pairs
    /// @param json on success, the inner object's JSON text exactly as the server sent it: its bytes,
    /// member order and escapes (the whole answer is still parsed and checked)
    /// @return true for a successful answer
    bool Call(const std::string& command, const CloudStackParams& params, std::string& json);

    /// @brief Call, then, when the answer holds a "jobid" (a string, or a number as older servers
    /// send it), waits for that job as WaitForJob does. An answer without one is the result itself;
    /// a job id that is neither is CS_ERROR_BAD_ANSWER.
    /// @param command the API command
    /// @param params name and value pairs
    /// @param json on success, the job's "jobresult" as JSON text written anew from the parsed answer
    /// (members in name order); the inner object as the server sent it when there was no job
    /// @return true when the call and its job succeeded; a failed job is false with its error in
    /// the last error
    bool CallAndWait(const std::string& command, const CloudStackParams& params, std::string& json);

    /// @brief Call for a list command, fetching every page as the built-in lists do.
    /// @param command the list command, such as "listTemplates"
    /// @param params name and value pairs; "page" and "pagesize" are the wrapper's
    /// @param json on success, one JSON array of every item under the answer's item key, each
    /// written anew from the parsed answer (members in name order). An answer with no items ({})
    /// is an empty array; an answer whose inner object holds members but no array is no list
    /// ("listCapabilities"): false with CS_ERROR_BAD_ANSWER, and Call is the call for it.
    /// @return true when every page arrived and was read
    bool CallList(const std::string& command, const CloudStackParams& params, std::string& json);

    /// @brief Waits for an async job the host already has (from Call, or from an earlier run that
    /// did not wait): polls "queryAsyncJobResult" for exactly this id at once and then every job
    /// poll interval, until the job ends, the job timeout has passed (CS_ERROR_JOB_TIMEOUT) or the
    /// progress callback stops the wait (CS_ERROR_WAIT_STOPPED). An answer about another job is
    /// CS_ERROR_BAD_ANSWER. A failed job is false with the job's own error code and text, or with
    /// CS_ERROR_JOB_FAILED and the job id when it gave no code.
    /// @param jobId the job's id, as the server gave it (a number as its decimal text)
    /// @param json on success, the job's "jobresult" as CallAndWait gives it ("{}" when it has none)
    /// @return true when the job succeeded
    bool WaitForJob(const std::string& jobId, std::string& json);

private:
    TraceLog m_Log;  // unused: kept, with its place, for the layout hosts were built with
    CCloudStackErrorState m_ErrorState;
    std::unique_ptr<CCloudStackConnection> m_pConnection;
    std::unique_ptr<CCloudStackParser> m_pParser;
    std::unique_ptr<CCloudStackQueries> m_pQueries;
    std::unique_ptr<CCloudStackOperations> m_pOperations;
};

}  // namespace CloudStackSDKWrapper
