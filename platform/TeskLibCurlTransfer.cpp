// One transfer's callbacks, and the seam that replaces the network for tests and fuzz targets.

#include <algorithm>
#include <limits>
#include <list>
#include <string>
#include <utility>

#include "StrUtil.h"
#include "TeskLibCurlParts.h"
#include "TeskReplaceable.h"

namespace teskcurl {

curl_off_t AnnouncedLength(const TeskHttpResponseHeaders& headers) {
    std::list<std::string> lines;
    if (!headers.Find("Content-Length", lines)) {
        return -1;
    }
    const std::string value = TeskHttpResponseHeaders::ValueOf(lines.back());
    curl_off_t length = 0;
    bool digits = false;
    for (std::size_t at = 0; at < value.size() && value[at] >= '0' && value[at] <= '9'; ++at) {
        if (length > (std::numeric_limits<curl_off_t>::max() - 9) / 10) {
            return -1;
        }
        length = length * 10 + (value[at] - '0');
        digits = true;
    }
    return digits ? length : -1;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    // Chunked or compressed answers carry no usable length, so the cap is enforced here, on
    // the decompressed bytes, as they arrive.
    if (transfer->maxBody > 0 && transfer->received + bytes > transfer->maxBody) {
        transfer->Fail(TeskLibCurlFailure::TooLarge,
                       StrUtil::Format("answer body larger than the limit of %llu bytes", transfer->maxBody));
        return 0;
    }
    if (!transfer->body.Append(data, bytes)) {
        transfer->Fail(TeskLibCurlFailure::Transport, "out of memory for the answer body");
        return 0;
    }
    transfer->received += bytes;
    return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    transfer->headerBytes += bytes;
    try {
        const bool wasComplete = transfer->headers.Complete();
        if (!transfer->headers.AddLine(data, bytes)) {
            transfer->Fail(TeskLibCurlFailure::TooLarge,
                           StrUtil::Format("answer has more than %zu header lines or %zu bytes of them",
                                           TeskHttpResponseHeaders::kMaxLines, TeskHttpResponseHeaders::kMaxBytes));
            return 0;
        }
        if (!wasComplete && transfer->headers.Complete() && transfer->headers.Status() >= 200) {
            curl_off_t length = -1;
            if (transfer->replayed) {
                length = AnnouncedLength(transfer->headers);
            } else if (curl_easy_getinfo(transfer->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) {
                length = -1;
            }
            if (length > 0 &&
                (transfer->maxBody == 0 || static_cast<unsigned long long>(length) <= transfer->maxBody)) {
                // Large inventories arrive in many small pieces: one allocation up front.
                transfer->body.Expect(static_cast<unsigned long long>(length));
            }
        }
    } catch (const std::exception&) {
        transfer->Fail(TeskLibCurlFailure::Transport, "out of memory for the answer's header lines");
        return 0;
    }
    return bytes;
}

int OnProgress(void* user, curl_off_t /*dltotal*/, curl_off_t dlnow, curl_off_t /*ultotal*/, curl_off_t /*ulnow*/) {
    auto* transfer = static_cast<Transfer*>(user);
    const unsigned long long body = dlnow > 0 ? static_cast<unsigned long long>(dlnow) : 0;
    transfer->watch.Record(Clock::now(), transfer->headerBytes + body);
    return 0;
}

// ---------------------------------------------------------------------------
// Replaced transfer

namespace {

TeskReplaceable<TeskTransferFunction>& TransferSeam() {
    static TeskReplaceable<TeskTransferFunction> seam;
    return seam;
}

}  // namespace

TeskTransferFunction CurrentTransfer() {
    return TransferSeam().Current();
}

std::string RedirectTarget(const std::string& url, const TeskHttpResponseHeaders& headers) {
    std::list<std::string> lines;
    if (!headers.Find("Location", lines)) {
        return std::string();
    }
    std::string value = TeskHttpResponseHeaders::ValueOf(lines.front());
    StrUtil::TrimRight(value, " \t\r\n");
    std::string target;
    CURLU* handle = curl_url();
    char* full = nullptr;
    if (handle != nullptr && !value.empty() && curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_set(handle, CURLUPART_URL, value.c_str(), 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_URL, &full, 0) == CURLUE_OK) {
        target = full;
    }
    curl_free(full);
    curl_url_cleanup(handle);
    return target;
}

// The reply is pushed through curl's own header
// and write callbacks, so that the answer meets every bound a real one meets; what curl itself
// would refuse (an announced length over the cap, an answer without a final status line) gets
// curl's code.
CURLcode ReplayTransfer(const TeskTransferFunction& function, _http_req_type_ method, const std::string& url,
                        const std::string& body, const curl_slist* list, Transfer& transfer) {
    transfer.replayed = true;
    TeskTransferRequest request;
    request.eMethod = method;
    request.strUrl = url;
    if (method == HTTP_REQ_POST) {
        request.strBody = body;
    }
    for (const curl_slist* item = list; item != nullptr; item = item->next) {
        request.headerLines.emplace_back(item->data);
    }
    TeskTransferReply reply;
    const bool complete = function(request, reply);
    for (std::string& line : reply.headerLines) {
        if (OnHeader(&line[0], 1, line.size(), &transfer) != line.size()) {
            return CURLE_WRITE_ERROR;
        }
    }
    const TeskHttpResponseHeaders& headers = transfer.headers;
    if (complete && (!headers.Complete() || headers.Status() < 200)) {
        return CURLE_WEIRD_SERVER_REPLY;
    }
    if (headers.Complete() && transfer.maxBody > 0) {
        const curl_off_t length = AnnouncedLength(headers);
        if (length > 0 && static_cast<unsigned long long>(length) > transfer.maxBody) {
            return CURLE_FILESIZE_EXCEEDED;
        }
    }
    // In pieces of curl's own write size.
    for (std::size_t at = 0; at < reply.strBody.size(); at += CURL_MAX_WRITE_SIZE) {
        const std::size_t piece = std::min<std::size_t>(CURL_MAX_WRITE_SIZE, reply.strBody.size() - at);
        if (OnBody(&reply.strBody[at], 1, piece, &transfer) != piece) {
            return CURLE_WRITE_ERROR;
        }
    }
    if (!complete) {
        transfer.Fail(reply.eFailure == TeskLibCurlFailure::None ? TeskLibCurlFailure::Transport : reply.eFailure,
                      "no complete answer from the replaced transfer");
        return CURLE_RECV_ERROR;
    }
    return CURLE_OK;
}

}  // namespace teskcurl

TeskTransferFunction SetTransferFunction(TeskTransferFunction function) {
    return teskcurl::TransferSeam().Replace(std::move(function));
}
