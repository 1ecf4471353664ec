#pragma once

#include <cstddef>
#include <string>

namespace cstest {

/// @brief A raw deflate stream (Content-Encoding: deflate) of @p unit repeated @p times, made in
/// the time of three units: after a full flush the compressor starts afresh, so every repetition
/// after the first compresses to the same bytes, and a body of gibibytes costs megabytes.
/// @return empty when @p times is under 3 or zlib fails (callers assert on it)
std::string DeflateRepeated(const std::string& unit, std::size_t times);

/// @brief The same as a gzip member (Content-Encoding: gzip): header, stream, CRC-32 and size.
/// @return empty when DeflateRepeated is
std::string GzipRepeated(const std::string& unit, std::size_t times);

}  // namespace cstest
