// The typed getters of TeskJson over any body: Unserialize, then GetStringValue, GetIntValue,
// GetUInt64Value and TryGetCount on keys taken from the input itself (every member name of the top
// level and of the objects one level down, in its own, lower and upper case) and on the keys the
// library reads. A getter either answers or throws std::runtime_error; nothing else may happen.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "TeskJson.h"

namespace {

using cloudstack_fuzz::Require;

const char* const kLibraryKeys[] = {"count",         "id",         "name",      "jobid",     "jobstatus",
                                    "jobresultcode", "errorcode",  "errortext", "cpunumber", "memorytotal",
                                    "memory",        "sessionkey", "domainId"};

std::string Cased(std::string key, bool upper) {
    for (char& c : key) {
        if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

void Probe(const JsonObject& object, const std::string& key) {
    const JsonValue* member = TeskJson::FindMember(object, key);
    const std::string text = TeskJson::GetStringValue(object, key);
    if (member == nullptr) {
        Require(text.empty(), "text for a member that is not there", key);
    } else if (member->is_string()) {
        Require(text == *member->get_ptr<const std::string*>(), "a string member read back differently", key);
    }

    bool intRead = false;
    int intValue = 0;
    try {
        intValue = TeskJson::GetIntValue(object, key);
        intRead = true;
    } catch (const std::runtime_error&) {
        Require(member != nullptr, "GetIntValue refused a member that is not there", key);
    }
    bool uintRead = false;
    uint64_t uintValue = 0;
    try {
        uintValue = TeskJson::GetUInt64Value(object, key);
        uintRead = true;
    } catch (const std::runtime_error&) {
        Require(member != nullptr, "GetUInt64Value refused a member that is not there", key);
    }
    // One number read by both getters is the same number.
    if (intRead && uintRead && intValue >= 0) {
        Require(static_cast<uint64_t>(intValue) == uintValue, "GetIntValue and GetUInt64Value disagree", key);
    }
    if (member == nullptr || member->is_null()) {
        Require(intRead && intValue == 0 && uintRead && uintValue == 0, "a missing member is not 0", key);
    }

    long long count = -5;
    if (TeskJson::TryGetCount(object, key, count)) {
        Require(count >= 0, "a negative count", key);
        Require(object.find(key) != object.end(), "a count from a member with another name", key);
        if (uintRead)
            Require(static_cast<uint64_t>(count) == uintValue, "TryGetCount and GetUInt64Value disagree", key);
    } else {
        Require(count == -5, "TryGetCount changed its output on failure", key);
    }
}

void ProbeAll(const JsonObject& object, const std::vector<std::string>& keys) {
    for (const std::string& key : keys) {
        Probe(object, key);
        Probe(object, Cased(key, false));
        Probe(object, Cased(key, true));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    cloudstack_fuzz::LogSink log;
    const std::string body(reinterpret_cast<const char*>(data), size);
    JsonObject document;
    try {
        if (!TeskJson::Unserialize(body, document)) return 0;
    } catch (const std::runtime_error&) {
        // Refused: too deep or too costly.
        return 0;
    }
    std::vector<std::string> keys(std::begin(kLibraryKeys), std::end(kLibraryKeys));
    for (const auto& member : document) keys.push_back(member.first);
    ProbeAll(document, keys);

    std::size_t nested = 0;
    for (const auto& member : document) {
        const JsonObject* inner = TeskJson::FindObject(document, member.first);
        if (inner == nullptr || ++nested > 8) continue;
        std::vector<std::string> innerKeys(std::begin(kLibraryKeys), std::end(kLibraryKeys));
        for (const auto& innerMember : *inner) innerKeys.push_back(innerMember.first);
        ProbeAll(*inner, innerKeys);
    }
    TeskJson::Release(document);
    Require(document.empty(), "Release left members behind");
    return 0;
}
