// Transfers that run at once: lanes of easy handles in the one multi handle of a TeskLibCurl, driven
// from the caller's thread. Each lane keeps every bound of Perform: the same options, callbacks,
// limits and failure kinds.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "TeskLibCurlParts.h"

using namespace teskcurl;

namespace {

// Above curl's default (four per handle in the multi handle at the time), so that the connections of
// a batch stay open for the next one.
constexpr long kMinCachedConnections = 4;

void Release(Lane& lane) {
    Wipe(lane.url);
    Wipe(lane.body);
    lane.headers.reset();
    lane.response.clear();
    lane.result = TeskLibCurlResult();
    lane.state = Lane::State::Free;
    lane.reported = false;
}

// The lane's own options for this transfer; false when curl refused one.
bool Prepare(Lane& lane, _http_req_type_ method, curl_slist* headers, std::string& error) {
    const CURLcode code =
        SetRequestOptions(lane.easy.get(), method, lane.url, lane.body, headers, lane.limits, lane.applied);
    if (code == CURLE_OK) return true;
    error = CurlErrorText(code, lane.errorBuffer);
    return false;
}

// A copy of the connection's header list: the list may be rebuilt for the next request while this
// transfer still runs.
bool CopyHeaders(const curl_slist* from, std::unique_ptr<curl_slist, SlistDeleter>& to) {
    to.reset();
    for (const curl_slist* item = from; item != nullptr; item = item->next) {
        curl_slist* head = curl_slist_append(to.get(), item->data);
        if (head == nullptr) return false;
        if (!to) to.reset(head);
    }
    return true;
}

}  // namespace

void TeskLibCurl::Impl::DropLanes() {
    for (const std::unique_ptr<Lane>& lane : lanes) {
        if (lane->added) curl_multi_remove_handle(multi.get(), lane->easy.get());
        lane->added = false;
        Release(*lane);
    }
    nBusyLanes = 0;
}

void TeskLibCurl::Impl::RouteMessage(const CURLMsg& message) {
    if (message.msg != CURLMSG_DONE) return;
    for (const std::unique_ptr<Lane>& lane : lanes) {
        if (lane->easy.get() != message.easy_handle || lane->state != Lane::State::Running) continue;
        Lane& done = *lane;
        --nBusyLanes;
        done.state = Lane::State::Ended;
        Settle(done.easy.get(), true, done.transfer, message.data.result, done.errorBuffer, done.url, done.limits,
               done.started, done.response, done.result);
        done.added = false;
        return;
    }
}

std::size_t TeskLibCurl::StartConcurrent(_http_req_type_ method, const std::string& url, std::string body,
                                         const TeskLibCurlLimits& limits) {
    Impl& impl = *m_pImpl;
    const bool idle = std::all_of(impl.lanes.begin(), impl.lanes.end(),
                                  [](const std::unique_ptr<Lane>& lane) { return lane->state == Lane::State::Free; });
    // New settings drop every handle; a batch under way keeps the ones it started with.
    if (impl.bTlsChanged && idle) {
        impl.bTlsChanged = false;
        impl.SetUp();
    }
    std::size_t index = 0;
    while (index < impl.lanes.size() && impl.lanes[index]->state != Lane::State::Free) ++index;
    if (index == impl.lanes.size()) {
        impl.lanes.push_back(std::make_unique<Lane>());
        if (impl.multi) {
            const long cached = std::max(kMinCachedConnections, static_cast<long>(impl.lanes.size()) + 1);
            curl_multi_setopt(impl.multi.get(), CURLMOPT_MAXCONNECTS, cached);
        }
    }
    Lane& lane = *impl.lanes[index];
    lane.started = Clock::now();
    lane.limits = limits;
    lane.url = url;
    lane.body = std::move(body);
    lane.result = TeskLibCurlResult();
    lane.result.strHost = impl.HostOf(url);
    lane.response.clear();
    lane.reported = false;
    lane.state = Lane::State::Ended;
    lane.transfer.Begin(lane.started, limits);
    lane.errorBuffer[0] = '\0';

    auto refuse = [&lane, index](TeskLibCurlFailure failure, const std::string& text) {
        lane.result.eFailure = failure;
        lane.result.strError = text;
        return index;
    };
    TeskLibCurlFailure kind = TeskLibCurlFailure::None;
    std::string refusal = impl.RefusalBeforeSending(StartsWithNoCase(url, "https://"), kind);
    if (refusal.empty() && !lane.easy) {
        lane.easy.reset(curl_easy_init());
        kind = TeskLibCurlFailure::Transport;
        refusal = !lane.easy ? "curl could not create its handles"
                             : impl.Configure(lane.easy.get(), lane.transfer, lane.errorBuffer);
        if (!refusal.empty()) lane.easy.reset();
    }
    if (!refusal.empty()) return refuse(kind, refusal);
    if (!CopyHeaders(impl.headers.get(), lane.headers)) {
        return refuse(TeskLibCurlFailure::Transport, "out of memory for the request header lines");
    }
    if (const TeskTransferFunction replacement = CurrentTransfer()) {
        const CURLcode replayed =
            ReplayTransfer(replacement, method, lane.url, lane.body, lane.headers.get(), lane.transfer);
        impl.Settle(nullptr, false, lane.transfer, replayed, lane.errorBuffer, lane.url, limits, lane.started,
                    lane.response, lane.result);
        return index;
    }
    std::string error;
    if (!Prepare(lane, method, lane.headers.get(), error)) return refuse(TeskLibCurlFailure::Transport, error);
    if (curl_multi_add_handle(impl.multi.get(), lane.easy.get()) != CURLM_OK) {
        return refuse(TeskLibCurlFailure::Transport, "curl could not start the transfer");
    }
    lane.added = true;
    lane.state = Lane::State::Running;
    ++impl.nBusyLanes;
    // One round of work at once: on a connection that is already open the request goes out now, so
    // that the server works on it while the caller does something else.
    int running = 0;
    if (curl_multi_perform(impl.multi.get(), &running) == CURLM_OK) {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(impl.multi.get(), &left)) impl.RouteMessage(*message);
    }
    return index;
}

void TeskLibCurl::AwaitConcurrent(std::vector<std::size_t>& ended) {
    Impl& impl = *m_pImpl;
    CURLM* multi = impl.multi.get();
    for (;;) {
        for (std::size_t i = 0; i < impl.lanes.size(); ++i) {
            Lane& lane = *impl.lanes[i];
            if (lane.state == Lane::State::Ended && !lane.reported) {
                lane.reported = true;
                ended.push_back(i);
            }
        }
        if (!ended.empty() || impl.nBusyLanes == 0) return;

        const std::size_t busy = impl.nBusyLanes;
        int running = 0;
        const CURLMcode performed = curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) impl.RouteMessage(*message);
        // The limits of each transfer, as Perform watches its own; the wait ends when the first is due.
        const Clock::time_point now = Clock::now();
        long wait = 1000;
        for (const std::unique_ptr<Lane>& pointer : impl.lanes) {
            Lane& lane = *pointer;
            if (lane.state != Lane::State::Running) continue;
            std::string reason;
            if (performed != CURLM_OK) {
                lane.transfer.Fail(TeskLibCurlFailure::Transport, curl_multi_strerror(performed));
            } else if (lane.transfer.watch.Expired(now, reason)) {
                lane.transfer.Fail(TeskLibCurlFailure::Timeout, reason);
            } else {
                wait = std::min(wait, lane.transfer.watch.MsUntilNextCheck(now));
                continue;
            }
            --impl.nBusyLanes;
            lane.state = Lane::State::Ended;
            impl.Settle(lane.easy.get(), true, lane.transfer, CURLE_OK, lane.errorBuffer, lane.url, lane.limits,
                        lane.started, lane.response, lane.result);
            lane.added = false;
        }
        // Something ended in this round (a message or a limit): named at the top of the loop.
        if (impl.nBusyLanes != busy) continue;
        long curlWait = -1;
        if (curl_multi_timeout(multi, &curlWait) == CURLM_OK && curlWait >= 0 && curlWait < wait) wait = curlWait;
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait), nullptr);
    }
}

void TeskLibCurl::WaitConcurrent(std::size_t lane) {
    Impl& impl = *m_pImpl;
    if (lane >= impl.lanes.size()) return;
    std::vector<std::size_t> ended;
    while (impl.lanes[lane]->state == Lane::State::Running) {
        ended.clear();
        AwaitConcurrent(ended);
        // Only this lane was waited for: the others are named again by the next AwaitConcurrent.
        for (const std::size_t other : ended) {
            if (other != lane) impl.lanes[other]->reported = false;
        }
    }
}

bool TeskLibCurl::TakeConcurrent(std::size_t lane, std::string& response, TeskLibCurlResult& result) {
    Impl& impl = *m_pImpl;
    if (lane >= impl.lanes.size() || impl.lanes[lane]->state != Lane::State::Ended) {
        result = TeskLibCurlResult();
        result.eFailure = TeskLibCurlFailure::Transport;
        result.strError = "no ended transfer on this lane";
        response.clear();
        return false;
    }
    Lane& done = *impl.lanes[lane];
    result = std::move(done.result);
    response.swap(done.response);
    // The answer's header lines are the last answer's now; the lane's next transfer clears what it
    // gets in exchange.
    std::swap(impl.transfer.headers, done.transfer.headers);
    Release(done);
    return result.bTransportOk;
}

void TeskLibCurl::CancelConcurrent(std::size_t lane) {
    Impl& impl = *m_pImpl;
    if (lane >= impl.lanes.size()) return;
    Lane& cancelled = *impl.lanes[lane];
    if (cancelled.state == Lane::State::Running) --impl.nBusyLanes;
    // A handle removed before its transfer ended takes its connection with it.
    if (cancelled.added) curl_multi_remove_handle(impl.multi.get(), cancelled.easy.get());
    cancelled.added = false;
    cancelled.transfer.body.Reset();
    Release(cancelled);
}
