#include "Compression.h"

#include <zlib.h>

#include <vector>

namespace cstest {

std::string DeflateRepeated(const std::string& unit, std::size_t times) {
    z_stream stream{};
    if (times < 3 || deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) return std::string();
    std::vector<char> buffer(1 << 16);
    auto run = [&stream, &unit, &buffer](int flush, bool input) {
        std::string out;
        stream.next_in = input ? reinterpret_cast<Bytef*>(const_cast<char*>(unit.data())) : Z_NULL;
        stream.avail_in = input ? static_cast<uInt>(unit.size()) : 0;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
            stream.avail_out = static_cast<uInt>(buffer.size());
            deflate(&stream, flush);
            out.append(buffer.data(), buffer.size() - stream.avail_out);
        } while (stream.avail_out == 0);
        return out;
    };
    const std::string first = run(Z_FULL_FLUSH, true);
    const std::string next = run(Z_FULL_FLUSH, true);
    const std::string again = run(Z_FULL_FLUSH, true);
    const std::string end = run(Z_FINISH, false);
    deflateEnd(&stream);
    if (next != again) return std::string();
    std::string body;
    body.reserve(first.size() + next.size() * (times - 1) + end.size());
    body += first;
    for (std::size_t i = 1; i < times; ++i) body += next;
    return body + end;
}

std::string GzipRepeated(const std::string& unit, std::size_t times) {
    const std::string deflated = DeflateRepeated(unit, times);
    if (deflated.empty()) return std::string();
    const uLong unitCrc = crc32(0L, reinterpret_cast<const Bytef*>(unit.data()), static_cast<uInt>(unit.size()));
    uLong crc = 0;
    for (std::size_t i = 0; i < times; ++i) crc = crc32_combine(crc, unitCrc, static_cast<z_off_t>(unit.size()));
    std::string body("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03", 10);
    body += deflated;
    const auto size = static_cast<unsigned long>(unit.size() * times);
    for (const unsigned long word : {static_cast<unsigned long>(crc), size}) {
        for (int shift = 0; shift < 32; shift += 8) body += static_cast<char>((word >> shift) & 0xff);
    }
    return body;
}

}  // namespace cstest
