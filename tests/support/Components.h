#pragma once

// The library's components wired as the wrapper wires them, for fixtures that drive them directly.

#include "CloudStackConnection.h"
#include "CloudStackOperations.h"
#include "CloudStackParser.h"
#include "CloudStackQueries.h"

namespace cstest {

struct Components {
    CloudStackSDKWrapper::CCloudStackConnection connection;
    CloudStackSDKWrapper::CCloudStackParser parser;
    CloudStackSDKWrapper::CCloudStackErrorState errors;
    CloudStackSDKWrapper::CCloudStackQueries queries{&connection, &parser, &errors};
    CloudStackSDKWrapper::CCloudStackOperations operations{&queries, &errors};
};

}  // namespace cstest
