#include <gtest/gtest.h>

#include "CloudStackErrorHandler.h"

using namespace CloudStackSDKWrapper;

namespace {

TEST(ErrorHandlerTest, TwoHandlersShareOneRecord) {
    CCloudStackErrorState state;
    EXPECT_EQ(state.strErrorMessage, "");
    EXPECT_EQ(state.lErrorCode, 0);
    CCloudStackErrorHandler queries(nullptr, &state), operations(nullptr, &state);
    queries.SetErrorMessage("boom");
    queries.SetErrorCode(-7);
    EXPECT_EQ(operations.GetErrorMessage(), "boom");
    EXPECT_EQ(operations.GetErrorCode(), -7);
    operations.SetLastErrorFromResponse("{\"x\":{\"errorcode\":431}}");
    operations.SetLastErrorFromResponse("");
    EXPECT_EQ(queries.GetErrorMessage(), "boom");
    EXPECT_EQ(queries.GetErrorCode(), -7);
}

TEST(ErrorHandlerTest, ANullRecordReadsEmptyAndIgnoresWrites) {
    CCloudStackErrorHandler handler(nullptr, nullptr);
    handler.SetErrorMessage("x");
    handler.SetErrorCode(5);
    EXPECT_EQ(handler.GetErrorMessage(), "");
    EXPECT_EQ(handler.GetErrorCode(), 0);
}

}  // namespace
