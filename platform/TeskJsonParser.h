#pragma once

/// @file
/// Base of the classes that turn answer bodies into records.

#include "TeskJson.h"
#include "TraceLog.h"

/// @brief Base of the parsers: owns the log that parse failures are written to.
class TeskJsonParser {
public:
    TeskJsonParser();
    virtual ~TeskJsonParser();
    TeskJsonParser(const TeskJsonParser&) = delete;
    TeskJsonParser& operator=(const TeskJsonParser&) = delete;

protected:
    TraceLog m_Log;
};
