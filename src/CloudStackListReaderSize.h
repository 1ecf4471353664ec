#pragma once

/// @file
/// What reading one list answer may cost before it starts: the one-pass list reader's index of the
/// body, held against TeskJson::CostLimit(). Internal to the list reader (CloudStackListReader.cpp).

#include <cstddef>
#include <string>

namespace CloudStackSDKWrapper::ListReading {

/// @brief The bytes of the index that simdjson's stage 1 builds for @p body: a 4-byte entry for
/// every operator, string and bare token, written before anything is validated. The tokens are
/// counted only when 4 bytes per byte of @p body could exceed @p limit.
std::size_t IndexBytes(const std::string& body, std::size_t limit);

/// @brief Refuses @p body, which would need more than @p limit bytes of memory for @p what.
/// @throw std::runtime_error always, with the line the caller logs
[[noreturn]] void Refuse(const std::string& body, std::size_t limit, const char* what);

}  // namespace CloudStackSDKWrapper::ListReading
