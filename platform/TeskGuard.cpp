#include "TeskGuard.h"

#include "TraceLog.h"

void TeskGuardLog(const char* function, const char* what) noexcept {
    try {
        TraceLog log(nullptr);
        log.Error(function, "failed: %s; nothing was thrown to the caller", what);
    } catch (...) {
        // No memory even for the line: the operation's result still says it failed.
    }
}
