// The replaceable transfer of TeskLibCurl: an installed function answers instead of the network,
// and its answer must meet the same bounds, cap, padding and failure kinds as one from curl.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TeskHttpResponseHeaders.h"
#include "TeskLibCurl.h"

namespace {

class TeskTransferSeamTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetTransferFunction([this](const TeskTransferRequest& request, TeskTransferReply& answer) {
            requests.push_back(request);
            answer = reply;
            return complete;
        });
    }
    void TearDown() override { SetTransferFunction(TeskTransferFunction()); }

    bool Get(std::string& body) {
        return curl.Perform(HTTP_REQ_GET, "http://mgmt.example:8080/client/api?command=listZones", "", body, limits,
                            result);
    }

    // An answer with the given status line, extra header lines and body.
    void Answer(const std::string& status, const std::vector<std::string>& lines, const std::string& body) {
        reply = TeskTransferReply();
        reply.headerLines.push_back(status + "\r\n");
        for (const std::string& line : lines) reply.headerLines.push_back(line + "\r\n");
        reply.headerLines.push_back("\r\n");
        reply.strBody = body;
    }

    TeskLibCurl curl;
    TeskLibCurlLimits limits;
    TeskLibCurlResult result;
    TeskTransferReply reply;
    bool complete{true};
    std::vector<TeskTransferRequest> requests;
};

TEST_F(TeskTransferSeamTest, RequestCarriesMethodUrlHeaderListAndBody) {
    Answer("HTTP/1.1 200 OK", {}, "{}");
    ASSERT_TRUE(curl.TeskLibCurlAppendHeader(HTTP_HDR_REQUEST, "Accept: application/json"));
    ASSERT_TRUE(curl.TeskLibCurlAppendHeader(HTTP_HDR_REQUEST, "Cookie: "));
    std::string body;
    ASSERT_TRUE(curl.Perform(HTTP_REQ_POST, "http://mgmt.example:8080/client/api?command=login", "username=u", body,
                             limits, result));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].eMethod, HTTP_REQ_POST);
    EXPECT_EQ(requests[0].strUrl, "http://mgmt.example:8080/client/api?command=login");
    EXPECT_EQ(requests[0].strBody, "username=u");
    // The list as curl is given it: an empty value travels as "Name;".
    EXPECT_EQ(requests[0].headerLines, (std::vector<std::string>{"Accept: application/json", "Cookie;"}));
    EXPECT_EQ(body, "{}");
    EXPECT_EQ(result.lHttpStatus, 200);
    EXPECT_EQ(result.strHost, "mgmt.example:8080");
}

// Transfers started side by side are answered by the function one after another, in the order they were
// started, each before StartConcurrent returns, under the bounds of a single transfer.
TEST_F(TeskTransferSeamTest, ConcurrentTransfersAreAnsweredInTheOrderStarted) {
    limits.ullMaxBodyBytes = 10;
    Answer("HTTP/1.1 200 OK", {}, "{}");
    const std::size_t first = curl.StartConcurrent(HTTP_REQ_GET, "http://mgmt.example:8080/client/api?n=1", "", limits);
    Answer("HTTP/1.1 200 OK", {}, std::string(11, 'x'));
    const std::size_t second =
        curl.StartConcurrent(HTTP_REQ_POST, "http://mgmt.example:8080/client/api?n=2", "a=b", limits);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].strUrl, "http://mgmt.example:8080/client/api?n=1");
    EXPECT_EQ(requests[1].strBody, "a=b");
    std::vector<std::size_t> ended;
    curl.AwaitConcurrent(ended);
    EXPECT_EQ(ended, (std::vector<std::size_t>{first, second}));
    std::string body;
    ASSERT_TRUE(curl.TakeConcurrent(first, body, result));
    EXPECT_EQ(body, "{}");
    EXPECT_GE(body.capacity(), body.size() + kTeskBodyPadding);
    EXPECT_FALSE(curl.TakeConcurrent(second, body, result));
    EXPECT_EQ(result.eFailure, TeskLibCurlFailure::TooLarge);
}

TEST_F(TeskTransferSeamTest, BodyIsCappedAndPaddedAsOnTheWire) {
    limits.ullMaxBodyBytes = 40000;
    std::string body;
    Answer("HTTP/1.1 200 OK", {}, std::string(40000, 'x'));
    ASSERT_TRUE(Get(body));
    EXPECT_EQ(body.size(), 40000u);
    EXPECT_GE(body.capacity(), body.size() + kTeskBodyPadding);
    EXPECT_EQ(body.c_str()[body.size() + kTeskBodyPadding - 1], '\0');

    // One byte over, in the last of several write pieces.
    Answer("HTTP/1.1 200 OK", {}, std::string(40001, 'x'));
    EXPECT_FALSE(Get(body));
    EXPECT_EQ(result.eFailure, TeskLibCurlFailure::TooLarge);
    EXPECT_NE(result.strError.find("40000"), std::string::npos) << result.strError;
    EXPECT_TRUE(body.empty());

    // An announced length over the cap is refused before any byte of the body.
    Answer("HTTP/1.1 200 OK", {"Content-Length: 40001"}, "{}");
    EXPECT_FALSE(Get(body));
    EXPECT_EQ(result.eFailure, TeskLibCurlFailure::TooLarge);
    EXPECT_EQ(result.nBytes, 0u);
}

TEST_F(TeskTransferSeamTest, HeaderLineBoundHolds) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < TeskHttpResponseHeaders::kMaxLines; ++i)
        lines.push_back("X-Line: " + std::to_string(i));
    std::string body;
    Answer("HTTP/1.1 200 OK", lines, "{}");
    ASSERT_TRUE(Get(body));
    EXPECT_EQ(curl.ResponseHeaders().LineCount(), TeskHttpResponseHeaders::kMaxLines);

    lines.push_back("X-Line: one too many");
    Answer("HTTP/1.1 200 OK", lines, "{}");
    EXPECT_FALSE(Get(body));
    EXPECT_EQ(result.eFailure, TeskLibCurlFailure::TooLarge);
    EXPECT_FALSE(result.bTransportOk);
}

TEST_F(TeskTransferSeamTest, BrokenOrMalformedAnswersAreNoAnswer) {
    std::string body;
    // No final status line: curl calls that a weird server reply.
    Answer("HTTP/1.1 100 Continue", {}, "{}");
    EXPECT_FALSE(Get(body));
    EXPECT_EQ(result.eFailure, TeskLibCurlFailure::Transport);
    reply.headerLines.assign(1, "no status line\r\n");
    EXPECT_FALSE(Get(body));
    EXPECT_EQ(result.eFailure, TeskLibCurlFailure::Transport);

    // A transfer that broke off keeps the status it had seen and the kind it was given.
    Answer("HTTP/1.1 200 OK", {}, "{\"half");
    reply.eFailure = TeskLibCurlFailure::Timeout;
    complete = false;
    EXPECT_FALSE(Get(body));
    EXPECT_EQ(result.eFailure, TeskLibCurlFailure::Timeout);
    EXPECT_EQ(result.lHttpStatus, 200);
    EXPECT_TRUE(body.empty());
}

TEST_F(TeskTransferSeamTest, RedirectTargetIsMadeAbsoluteAndCleaned) {
    Answer("HTTP/1.1 302 Found", {"Location: /other/api?sessionkey=secret"}, "");
    std::string body;
    ASSERT_TRUE(Get(body));
    EXPECT_EQ(result.lHttpStatus, 302);
    EXPECT_EQ(result.strLocation, "http://mgmt.example:8080/other/api");
}

TEST_F(TeskTransferSeamTest, EmptyFunctionRestoresTheNetwork) {
    Answer("HTTP/1.1 200 OK", {}, "{}");
    const TeskTransferFunction installed = SetTransferFunction(TeskTransferFunction());
    EXPECT_TRUE(static_cast<bool>(installed));
    std::string body;
    // curl itself refuses the scheme, before any connection: the function was not asked.
    EXPECT_FALSE(curl.Perform(HTTP_REQ_GET, "ftp://mgmt.example/", "", body, limits, result));
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(result.eFailure, TeskLibCurlFailure::Transport);
}

}  // namespace
