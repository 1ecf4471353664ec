#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "CloudStackErrorHandler.h"
#include "CloudStackOutcome.h"
#include "HostileText.h"

using namespace CloudStackSDKWrapper;

namespace {

TEST(ErrorHandlerTest, TwoHandlersShareOneRecord) {
    CCloudStackErrorState state;
    EXPECT_EQ(state.strErrorMessage, "");
    EXPECT_EQ(state.lErrorCode, 0);
    CCloudStackErrorHandler queries(&state), operations(&state);
    queries.SetErrorMessage("boom");
    queries.SetErrorCode(-7);
    EXPECT_EQ(operations.GetErrorMessage(), "boom");
    EXPECT_EQ(operations.GetErrorCode(), -7);
    // A success leaves the record as it is; a failure's code and text replace it.
    EXPECT_TRUE(operations.Report(SCloudStackOutcome::Success(200)));
    EXPECT_EQ(queries.GetErrorMessage(), "boom");
    EXPECT_EQ(queries.GetErrorCode(), -7);
    EXPECT_FALSE(
        operations.Report(SCloudStackOutcome::Failure(SCloudStackOutcome::EFailure::ApiError, 432, "unknown", 432)));
    EXPECT_EQ(queries.GetErrorCode(), 432);
    EXPECT_EQ(queries.GetErrorMessage(), "unknown");
}

TEST(ErrorHandlerTest, MessagesAreCutShortWithoutBreakingACharacter) {
    CCloudStackErrorState state;
    CCloudStackErrorHandler handler(&state);
    std::string text;
    for (int i = 0; i < 200; ++i) text += "\xC3\xA9";  // 400 bytes of two-byte characters
    handler.SetLastError(431, text);
    EXPECT_LE(state.strErrorMessage.size(), CCloudStackErrorHandler::kMaxErrorMessage);
    EXPECT_EQ(state.strErrorMessage.substr(state.strErrorMessage.size() - 3), "...");
    const std::string kept = state.strErrorMessage.substr(0, state.strErrorMessage.size() - 3);
    EXPECT_EQ(kept.size() % 2, 0u);
    EXPECT_EQ(kept, text.substr(0, kept.size()));
}

TEST(ErrorHandlerTest, ServerTextShowsAsEscapesAndTheCutNeverSplitsOne) {
    CCloudStackErrorState state;
    CCloudStackErrorHandler handler(&state);
    for (const cstest::HostileText& hostile : cstest::HostileTexts()) {
        handler.SetLastError(431, "refused: " + hostile.text);
        EXPECT_EQ(state.strErrorMessage, "refused: " + hostile.shown) << hostile.what;
    }
    // Escaped first, then cut: whatever stands at the 300-byte mark, the message keeps only whole
    // escapes and characters before its "...".
    struct Piece {
        std::string text;
        std::string shown;
    };
    const Piece pieces[] = {{"\x1b", "\\x1b"}, {"\u202e", "\\u202e"}, {"\xff", "\ufffd"}, {"\u00e9", "\u00e9"}};
    const std::size_t room = CCloudStackErrorHandler::kMaxErrorMessage - 3;
    for (const Piece& piece : pieces) {
        for (std::size_t plain = room - 12; plain <= room + 1; ++plain) {
            std::string text(plain, 'a');
            for (int i = 0; i < 10; ++i) text += piece.text;
            handler.SetLastError(431, text);
            std::string expected(std::min(plain, room), 'a');
            while (expected.size() + piece.shown.size() <= room) expected += piece.shown;
            EXPECT_EQ(state.strErrorMessage, expected + "...") << piece.shown << " after " << plain;
        }
    }
}

TEST(ErrorHandlerTest, OnlyANonZeroErrorCodeIsAnApiError) {
    long code = 5;
    std::string text = "kept";
    // 0 would tell the host that a failed call succeeded.
    EXPECT_FALSE(
        CCloudStackErrorHandler::ReadApiError(R"({"listzonesresponse":{"errorcode":0,"errortext":"x"}})", code, text));
    EXPECT_FALSE(CCloudStackErrorHandler::ReadApiError(R"({"listzonesresponse":{"errorcode":-1}})", code, text));
    EXPECT_EQ(code, 5);
    EXPECT_EQ(text, "kept");
    EXPECT_TRUE(CCloudStackErrorHandler::ReadApiError(
        R"({"a":{"errorcode":0},"listzonesresponse":{"errorcode":"431","errortext":"bad"}})", code, text));
    EXPECT_EQ(code, 431);
    EXPECT_EQ(text, "bad");
}

TEST(ErrorHandlerTest, ANullRecordReadsEmptyAndIgnoresWrites) {
    CCloudStackErrorHandler handler(nullptr);
    handler.SetErrorMessage("x");
    handler.SetErrorCode(5);
    EXPECT_EQ(handler.GetErrorMessage(), "");
    EXPECT_EQ(handler.GetErrorCode(), 0);
}

}  // namespace
