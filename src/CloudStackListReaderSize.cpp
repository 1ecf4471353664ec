#include "CloudStackListReaderSize.h"

#include <stdexcept>

#include "CloudStackListReaderText.h"
#include "StrUtil.h"

namespace CloudStackSDKWrapper::ListReading {
namespace {

bool IsOperator(char c) {
    return c == '{' || c == '}' || c == '[' || c == ']' || c == ':' || c == ',' || c == '"';
}

// The bare tokens, operators and strings of [p, end): each starts with an operator or a quote, or
// follows one or a blank. afterBreak says whether the byte before p was one.
std::size_t CountTokens(const char* p, const char* end, bool& afterBreak) {
    std::size_t tokens = 0;
#if defined(__SSE2__)
    const auto equal = [](__m128i bytes, char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i ops =
            _mm_or_si128(_mm_or_si128(_mm_or_si128(equal(bytes, '{'), equal(bytes, '}')),
                                      _mm_or_si128(equal(bytes, '['), equal(bytes, ']'))),
                         _mm_or_si128(_mm_or_si128(equal(bytes, ':'), equal(bytes, ',')), equal(bytes, '"')));
        const __m128i blanks = _mm_or_si128(_mm_or_si128(equal(bytes, ' '), equal(bytes, '\t')),
                                            _mm_or_si128(equal(bytes, '\n'), equal(bytes, '\r')));
        const auto op = static_cast<unsigned>(_mm_movemask_epi8(ops));
        const auto blank = static_cast<unsigned>(_mm_movemask_epi8(blanks));
        const unsigned breaks = op | blank;
        const unsigned previous = ((breaks << 1) | (afterBreak ? 1u : 0u)) & 0xFFFFu;
        tokens += static_cast<std::size_t>(__builtin_popcount(op | (previous & ~blank & 0xFFFFu)));
        afterBreak = (breaks & 0x8000u) != 0;
    }
#endif
    for (; p < end; ++p) {
        const bool op = IsOperator(*p);
        tokens += op || (afterBreak && !IsBlank(*p)) ? 1 : 0;
        afterBreak = op || IsBlank(*p);
    }
    return tokens;
}

}  // namespace

std::size_t IndexBytes(const std::string& body, std::size_t limit) {
    if (body.size() <= limit / 4) {
        return 4 * body.size();
    }
    bool afterBreak = true;
    return 4 * CountTokens(body.data(), body.data() + body.size(), afterBreak);
}

[[noreturn]] void Refuse(const std::string& body, std::size_t limit, const char* what) {
    throw std::runtime_error(
        StrUtil::Format("JSON answer of %zu bytes would need more than %zu bytes of memory for %s (the limit)",
                        body.size(), limit, what));
}

}  // namespace CloudStackSDKWrapper::ListReading
