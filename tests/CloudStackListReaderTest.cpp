// The one-pass list reader against the tree walk it replaced: both must decide every body the
// same way, down to each field, the page figures and the error line.

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "CloudStackParser.h"
#include "CloudStackRecordFields.h"
#include "LogCapture.h"

using namespace CloudStackSDKWrapper;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The *.json files of a folder, sorted; none when the folder does not exist.
std::vector<std::string> JsonFiles(const std::string& folder) {
    std::vector<std::string> files;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) files.push_back(folder + "/" + name);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// ---------------------------------------------------------------------------------------------
// Every field of every record, as text, so that a difference names the field.

std::string Dump(const SBaseInfoLib& r) {
    return "name=" + r.strName + "|id=" + r.strId;
}
std::string Dump(const SProjectInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + "|displaytext=" + r.strDisplayText + "|state=" + r.strState +
           "|domainId=" + r.strDomainId + "|domain=" + r.strDomain + "|account=" + r.strAccount +
           "|projectaccountname=" + r.strProjectAccountName;
}
std::string Dump(const SZoneInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + "|allocationstate=" + r.strAllocationState;
}
std::string Dump(const SPodInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + "|allocationstate=" + r.strAllocationState +
           "|zoneid=" + r.strZoneId + "|zonename=" + r.strZoneName + "|gateway=" + r.strGateway +
           "|netmask=" + r.strNetmask;
}
std::string Dump(const SClusterInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + "|podid=" + r.strPodId + "|podname=" + r.strPodName +
           "|zoneid=" + r.strZoneId + "|zonename=" + r.strZoneName + "|hypervisortype=" + r.strHypervisorType +
           "|clustertype=" + r.strClusterType + "|allocationstate=" + r.strAllocationState +
           "|managedstate=" + r.strManagedState;
}
std::string Dump(const SHostInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + "|state=" + r.strState + "|type=" + r.strType +
           "|ipaddress=" + r.strIpAddress + "|zoneid=" + r.strZoneId + "|zonename=" + r.strZoneName +
           "|podid=" + r.strPodId + "|podname=" + r.strPodName + "|clusterid=" + r.strClusterId +
           "|clustername=" + r.strClusterName + "|clustertype=" + r.strClusterType + "|version=" + r.strVersion +
           "|hypervisor=" + r.strHypervisor + "|cpunumber=" + std::to_string(r.nCpuNumber) +
           "|cpuspeed=" + std::to_string(r.nCpuSpeed) + "|cpuallocated=" + r.strCpuAllocated +
           "|cpuused=" + r.strCpuUsed + "|memorytotal=" + std::to_string(r.ullMemoryTotal) +
           "|memoryallocated=" + std::to_string(r.ullMemoryAllocated) +
           "|memoryused=" + std::to_string(r.ullMemoryUsed);
}
std::string Dump(const SVMInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + "|displayname=" + r.strDisplayName + "|state=" + r.strState +
           "|hypervisor=" + r.strHypervisor + "|instancename=" + r.strInstanceName + "|account=" + r.strAccount +
           "|userid=" + r.strUserId + "|username=" + r.strUserName + "|domainId=" + r.strDomainId +
           "|domain=" + r.strDomain + "|zoneid=" + r.strZoneId + "|zoneName=" + r.strZoneName +
           "|hostid=" + r.strHostId + "|hostname=" + r.strHostName + "|templateid=" + r.strTemplateId +
           "|templatename=" + r.strTemplateName + "|templatedisplaytext=" + r.strTemplateDisplayText +
           "|cpunumber=" + std::to_string(r.nCpuNumber) + "|cpuspeed=" + std::to_string(r.nCpuSpeed) +
           "|memory=" + std::to_string(r.ullMemory) + "|guestosid=" + r.strGuestOsId + "|ostypeid=" + r.strOsTypeId;
}

// What a caller can see of one parse.
struct Observed {
    bool result{false};
    std::vector<std::string> records;
    long long count{777};
    std::size_t items{777};
    std::vector<std::string> lines;  // error messages (the function field names the route)

    std::string Describe() const {
        std::string text = std::string("result=") + (result ? "true" : "false") + " count=" + std::to_string(count) +
                           " items=" + std::to_string(items) + "\n";
        for (const std::string& record : records) text += "  record " + record + "\n";
        for (const std::string& line : lines) text += "  line " + line.substr(0, 300) + "\n";
        return text;
    }
    bool operator==(const Observed& o) const {
        return result == o.result && records == o.records && count == o.count && items == o.items && lines == o.lines;
    }
};

enum class Route { Reference, OnePassInPlace, OnePassCopied, OnePassWithoutPage };

template <typename T>
Observed Parse(Route route, const std::string& text, const std::string& responseKey, const std::string& itemKey) {
    // One record before the answer's, which must stay first.
    std::vector<T> records(1);
    records[0].strName = "kept";
    SListPageInfo page{777, 777};
    Observed observed;
    cstest::LogCapture log;
    CCloudStackParser parser;
    switch (route) {
        case Route::Reference:
            observed.result = parser.ParseNestedListReference(text, responseKey, itemKey, records, &page);
            break;
        case Route::OnePassInPlace: {
            std::string padded;
            padded.reserve(text.size() + CCloudStackParser::kBodyPadding);
            padded = text;
            EXPECT_GE(padded.capacity(), padded.size() + CCloudStackParser::kBodyPadding);
            observed.result = parser.ParseNestedList(padded, responseKey, itemKey, records, &page);
            break;
        }
        case Route::OnePassCopied: {
            std::string tight(text);
            tight.shrink_to_fit();
            observed.result = parser.ParseNestedList(tight, responseKey, itemKey, records, &page);
            break;
        }
        case Route::OnePassWithoutPage:
            observed.result = parser.ParseNestedList(text, responseKey, itemKey, records);
            page = {777, 777};
            break;
    }
    for (const T& record : records) observed.records.push_back(Dump(record));
    observed.count = page.nCount;
    observed.items = page.nItems;
    for (const TraceLogRecord& record : log.Records()) observed.lines.push_back(record.message);
    return observed;
}

// Runs every route over one body and reports the first that differs from the reference.
template <typename T>
::testing::AssertionResult SameDecision(const std::string& text, const std::string& responseKey,
                                        const std::string& itemKey) {
    const Observed reference = Parse<T>(Route::Reference, text, responseKey, itemKey);
    Observed referenceWithoutPage = reference;
    referenceWithoutPage.count = 777;
    referenceWithoutPage.items = 777;
    for (const Route route : {Route::OnePassInPlace, Route::OnePassCopied, Route::OnePassWithoutPage}) {
        const Observed onePass = Parse<T>(route, text, responseKey, itemKey);
        const Observed& expected = route == Route::OnePassWithoutPage ? referenceWithoutPage : reference;
        if (!(onePass == expected)) {
            return ::testing::AssertionFailure()
                   << "route " << static_cast<int>(route) << " differs on body (" << text.size()
                   << " bytes): " << text.substr(0, 600) << "\nreference:\n"
                   << expected.Describe() << "one pass:\n"
                   << onePass.Describe();
        }
    }
    return ::testing::AssertionSuccess();
}

// The six envelopes, each as a function over one body.
struct Envelope {
    const char* responseKey;
    const char* itemKey;
    std::function<::testing::AssertionResult(const std::string&, const std::string&, const std::string&)> check;
    std::vector<std::string> keys;  // the record's keys, as its converter names them
};

const std::vector<Envelope>& Envelopes() {
    static const std::vector<Envelope> envelopes = {
        {"listprojectsresponse",
         "project",
         SameDecision<SProjectInfoLib>,
         {"id", "name", "displaytext", "state", "domainid", "domain", "account", "projectaccountname"}},
        {"listzonesresponse", "zone", SameDecision<SZoneInfoLib>, {"id", "name", "allocationstate"}},
        {"listpodsresponse",
         "pod",
         SameDecision<SPodInfoLib>,
         {"id", "name", "allocationstate", "zoneid", "zonename", "gateway", "netmask"}},
        {"listclustersresponse",
         "cluster",
         SameDecision<SClusterInfoLib>,
         {"id", "name", "podid", "podname", "zoneid", "zonename", "hypervisortype", "clustertype", "allocationstate",
          "managedstate"}},
        {"listhostsresponse",
         "host",
         SameDecision<SHostInfoLib>,
         {"id",        "name",     "state",        "type",        "ipaddress",   "zoneid",          "zonename",
          "podid",     "podname",  "clusterid",    "clustername", "clustertype", "version",         "hypervisor",
          "cpunumber", "cpuspeed", "cpuallocated", "cpuused",     "memorytotal", "memoryallocated", "memoryused"}},
        {"listvirtualmachinesresponse",
         "virtualmachine",
         SameDecision<SVMInfoLib>,
         {"id",        "name",     "displayname", "state",      "hypervisor",   "instancename",
          "account",   "userid",   "username",    "domainid",   "domain",       "zoneid",
          "zonename",  "hostid",   "hostname",    "templateid", "templatename", "templatedisplaytext",
          "cpunumber", "cpuspeed", "memory",      "guestosid",  "ostypeid"}},
    };
    return envelopes;
}

// ---------------------------------------------------------------------------------------------
// Answers built at random from the parts that have ever made two JSON readers disagree.

class NastyAnswers {
public:
    explicit NastyAnswers(uint32_t seed) : m_random(seed) {}

    std::string Answer(const Envelope& envelope) {
        std::string out = Blank() + "{" + Blank();
        const int before = Below(3);
        for (int i = 0; i < before; ++i) out += Member(Word(), Value(2)) + ",";
        // The response key: usually once, sometimes twice or not at all, or holding no object.
        const int responses = Pick({0, 1, 1, 1, 1, 1, 1, 1, 1, 2});
        for (int i = 0; i < responses; ++i) {
            if (i > 0) out += ",";
            out += Member(envelope.responseKey, Below(12) == 0 ? Value(2) : Response(envelope));
        }
        if (responses == 0) out += Member(Word(), Response(envelope));
        if (Below(3) == 0) out += "," + Member(Word(), Value(2));
        out += Blank() + "}" + Blank();
        return out;
    }

    // Breaks a body the way a network or a broken server would.
    std::string Mutate(std::string text) {
        static const char kBytes[] =
            "{}[]:,\"\\ \t\n\r0123456789-+.eEtrufalsn\x01\x1f\x7f\xc3\xa9\xe9\xff\xed\xa0\x80\0";
        const int changes = 1 + Below(3);
        for (int i = 0; i < changes && !text.empty(); ++i) {
            const std::size_t at = static_cast<std::size_t>(Below(static_cast<int>(text.size())));
            const char byte = kBytes[Below(static_cast<int>(sizeof(kBytes) - 1))];
            switch (Below(5)) {
                case 0:
                    text[at] = byte;
                    break;
                case 1:
                    text.erase(at, 1);
                    break;
                case 2:
                    text.insert(at, 1, byte);
                    break;
                case 3:
                    text.resize(at);
                    break;
                default:
                    text.insert(at, Below(2) == 0 ? "\\u" : "\xef\xbb\xbf");
                    break;
            }
        }
        return text;
    }

private:
    int Below(int n) { return static_cast<int>(m_random() % static_cast<uint32_t>(n)); }
    template <typename V>
    V Pick(std::initializer_list<V> values) {
        return values.begin()[Below(static_cast<int>(values.size()))];
    }

    std::string Blank() {
        switch (Below(8)) {
            case 0:
                return " ";
            case 1:
                return "\n\t ";
            case 2:
                return "\r\n";
            default:
                return "";
        }
    }

    std::string Word() { return Pick({"uuidList", "owner", "nic", "tags", "details", "x", "Count", "ERRORCODE", ""}); }

    std::string Member(const std::string& quotedKeyText, const std::string& value) {
        return Blank() + "\"" + quotedKeyText + "\"" + Blank() + ":" + Blank() + value + Blank();
    }

    std::string Response(const Envelope& envelope) {
        std::vector<std::string> members;
        // "count": the page figures read it, whatever it holds; the last one counts.
        for (int i = Pick({0, 1, 1, 1, 2}); i > 0; --i) members.push_back(Member("count", CountValue()));
        if (Below(8) == 0) members.push_back(Member("errorcode", Value(3)));
        const int items = Pick({0, 1, 1, 1, 1, 1, 1, 1, 1, 2});
        for (int i = 0; i < items; ++i) {
            members.push_back(Member(envelope.itemKey, Below(10) == 0 ? Value(3) : Items(envelope)));
        }
        if (Below(3) == 0) members.push_back(Member(Word(), Value(3)));
        std::shuffle(members.begin(), members.end(), m_random);
        return "{" + Join(members) + "}";
    }

    std::string CountValue() {
        return Pick<std::string>({"3", "0", "-1", "-0", "\"7\"", "\"-7\"", "\"+7\"", "2.0", "1e1", "null", "{}", "[]",
                                  "9223372036854775807", "9223372036854775808", "18446744073709551616", "\"x\"", "true",
                                  "\"1\\u0030\""});
    }

    std::string Items(const Envelope& envelope) {
        std::vector<std::string> items;
        for (int i = Below(5); i > 0; --i) items.push_back(Below(6) == 0 ? Value(4) : Record(envelope));
        return "[" + Join(items) + "]";
    }

    std::string Record(const Envelope& envelope) {
        std::vector<std::string> members;
        for (int i = Below(10); i > 0; --i) {
            const std::string& key =
                envelope.keys[static_cast<std::size_t>(Below(static_cast<int>(envelope.keys.size())))];
            members.push_back(Member(Spelling(key), FieldValue()));
        }
        for (int i = Below(3); i > 0; --i) members.push_back(Member(Word(), Value(5)));
        std::shuffle(members.begin(), members.end(), m_random);
        return "{" + Join(members) + "}";
    }

    // The key as the converter names it, in another case, or with an escape.
    std::string Spelling(const std::string& key) {
        std::string spelled = key;
        switch (Below(8)) {
            case 0:
                for (char& c : spelled) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
                break;
            case 1:
                for (char& c : spelled) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
                break;
            case 2:
                spelled[0] = static_cast<char>(spelled[0] >= 'a' && spelled[0] <= 'z' ? spelled[0] - 32 : spelled[0]);
                break;
            case 3: {
                char hex[8];
                std::snprintf(hex, sizeof(hex), "\\u%04x", static_cast<unsigned char>(spelled[0]));
                spelled = hex + spelled.substr(1);
                break;
            }
            default:
                break;
        }
        return spelled;
    }

    std::string FieldValue() {
        switch (Below(4)) {
            case 0:
                return Pick<std::string>({"0",
                                          "-0",
                                          "1",
                                          "-1",
                                          "42",
                                          "2147483647",
                                          "2147483648",
                                          "-2147483648",
                                          "-2147483649",
                                          "4294967295",
                                          "4294967296",
                                          "9223372036854775807",
                                          "9223372036854775808",
                                          "-9223372036854775808",
                                          "-9223372036854775809",
                                          "18446744073709551615",
                                          "18446744073709551616",
                                          "123456789012345678901234567890",
                                          "1e2",
                                          "1E+2",
                                          "1e-2",
                                          "-0.0",
                                          "0.5",
                                          "2.0",
                                          "1.5e300",
                                          "1e-400",
                                          "3.141592653589793",
                                          "-1e5",
                                          "1e400"});
            case 1:
                return Pick<std::string>({"\"12.5%\"", "\"\"", "\"123\"", "\"-5\"", "\"+5\"", "\" 5\"", "\"5 \"",
                                          "\"0x10\"", "\"18446744073709551615\"", "\"18446744073709551616\"",
                                          "\"2147483648\"", "\"-2147483648\"", "\"4\\u0032\"", "\"-\""});
            case 2:
                return Pick<std::string>({"true", "false", "null", "{}", "[]", "{\"a\":1}", "[1,[2,{\"b\":null}]]"});
            default:
                return Text();
        }
    }

    std::string Text() {
        return Pick<std::string>({"\"zone-eu1\"", "\"Z\\u00fcrich\"", "\"\\ud83d\\ude00\"", "\"a\\\"b\\\\c\\/d\"",
                                  "\"\\b\\f\\n\\r\\t\"", "\"nul\\u0000byte\"", "\"Caf\xc3\xa9 \xe6\x9d\xb1\"",
                                  "\"017e4c46-d7f2-4612-a2b8-4c07d998a2ba\"", "\"\\u00\"", "\"\\x41\"", "\"\\udc00\"",
                                  "\"\\ud800\\u0041\"", "\"\\ud800\"", "\"\\uDBFF\\uDFFF\"",
                                  "\"a long text that does not fit into a short string at all\""});
    }

    std::string Value(int depth) {
        if (depth > 7) return FieldValue();
        switch (Below(6)) {
            case 0: {
                std::vector<std::string> members;
                for (int i = Below(4); i > 0; --i) members.push_back(Member(Word(), Value(depth + 1)));
                return "{" + Join(members) + "}";
            }
            case 1: {
                std::vector<std::string> items;
                for (int i = Below(4); i > 0; --i) items.push_back(Value(depth + 1));
                return "[" + Join(items) + "]";
            }
            default:
                return FieldValue();
        }
    }

    static std::string Join(const std::vector<std::string>& parts) {
        std::string out;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) out += ",";
            out += parts[i];
        }
        return out;
    }

    std::mt19937 m_random;
};

// ---------------------------------------------------------------------------------------------
class CloudStackListReaderTest : public ::testing::Test {};

TEST_F(CloudStackListReaderTest, EveryFixtureUnderEveryEnvelope) {
    const std::vector<std::string> files = JsonFiles(CLOUDSTACK_FIXTURES_DIR);
    ASSERT_GE(files.size(), 20u);
    for (const std::string& file : files) {
        const std::string body = ReadFile(file);
        for (const Envelope& envelope : Envelopes()) {
            EXPECT_TRUE(envelope.check(body, envelope.responseKey, envelope.itemKey)) << file;
        }
    }
}

TEST_F(CloudStackListReaderTest, EveryCorpusFile) {
    // Bodies that once made the two readers disagree, or came close; a file's name says its envelope.
    const std::vector<std::string> files = JsonFiles(std::string(CLOUDSTACK_FIXTURES_DIR) + "/../corpus/list");
    ASSERT_FALSE(files.empty());
    for (const std::string& file : files) {
        const std::string body = ReadFile(file);
        for (const Envelope& envelope : Envelopes()) {
            EXPECT_TRUE(envelope.check(body, envelope.responseKey, envelope.itemKey)) << file;
        }
    }
}

// More answers for a long hunt: CLOUDSTACK_LIST_ANSWERS=1000000 and a seed in CLOUDSTACK_LIST_SEED.
int Iterations() {
    const char* text = std::getenv("CLOUDSTACK_LIST_ANSWERS");
    return text != nullptr ? std::atoi(text) : 3000;
}
uint32_t Seed(uint32_t fallback) {
    const char* text = std::getenv("CLOUDSTACK_LIST_SEED");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

TEST_F(CloudStackListReaderTest, GeneratedNastyAnswers) {
    NastyAnswers answers(Seed(20251030));
    for (int i = 0; i < Iterations(); ++i) {
        const Envelope& envelope = Envelopes()[static_cast<std::size_t>(i) % Envelopes().size()];
        ASSERT_TRUE(envelope.check(answers.Answer(envelope), envelope.responseKey, envelope.itemKey)) << "answer " << i;
    }
}

TEST_F(CloudStackListReaderTest, GeneratedAnswersBrokenInTransit) {
    NastyAnswers answers(Seed(424242));
    for (int i = 0; i < Iterations(); ++i) {
        const Envelope& envelope = Envelopes()[static_cast<std::size_t>(i) % Envelopes().size()];
        const std::string body = answers.Mutate(answers.Answer(envelope));
        ASSERT_TRUE(envelope.check(body, envelope.responseKey, envelope.itemKey)) << "answer " << i;
    }
}

TEST_F(CloudStackListReaderTest, ARealisticAnswerOfManyMachines) {
    // The fixture's machines many times over, each with its own name, as one long page.
    const std::string fixture = ReadFile(std::string(CLOUDSTACK_FIXTURES_DIR) + "/listVirtualMachines.json");
    const std::size_t open = fixture.find('[');
    const std::size_t close = fixture.rfind(']');
    ASSERT_NE(open, std::string::npos);
    const std::string machines = fixture.substr(open + 1, close - open - 1);
    std::string body = R"({"listvirtualmachinesresponse":{"count":600,"virtualmachine":[)";
    for (int i = 0; i < 300; ++i) {
        std::string copy = machines;
        for (std::size_t at = copy.find("\"name\":\""); at != std::string::npos;
             at = copy.find("\"name\":\"", at + 1)) {
            copy.insert(at + 8, std::to_string(i) + "-");
        }
        body += (i > 0 ? "," : "") + copy;
    }
    body += "]}}";
    const Envelope& vms = Envelopes().back();
    EXPECT_TRUE(vms.check(body, vms.responseKey, vms.itemKey));
    std::vector<SVMInfoLib> records;
    CCloudStackParser parser;
    ASSERT_TRUE(parser.ParseNestedList(body, vms.responseKey, vms.itemKey, records));
    ASSERT_EQ(records.size(), 600u);
    EXPECT_EQ(records[599].strName, "299-db-01");
}

// The names of the fields that a dump shows empty or 0.
std::string UnfilledFields(const std::string& dump) {
    std::string unfilled;
    std::stringstream fields(dump);
    for (std::string field; std::getline(fields, field, '|');) {
        const std::size_t equals = field.find('=');
        if (equals + 1 == field.size() || field.compare(equals + 1, std::string::npos, "0") == 0) {
            unfilled += " " + field.substr(0, equals);
        }
    }
    return unfilled;
}

// An object with every key of the record type's one table, each holding a value of its own, as the
// server spells the keys and in upper case: the tree (Convert) and the one pass fill the same record,
// and every field of it.
template <typename T>
::testing::AssertionResult BothRoutesFillEveryField(const Envelope& envelope) {
    for (const bool upper : {false, true}) {
        std::string members;
        T expected{};
        uint32_t n = 0;
        for (const RecordFields::Field<T>& field : RecordFields::Table<T>::kFields) {
            std::string key = field.key;
            for (char& c : key) c = upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
            members += std::string(members.empty() ? "" : ",") + "\"" + key + "\":";
            ++n;
            switch (field.type) {
                case RecordFields::FieldType::Text:
                    expected.*field.text = "v" + std::to_string(n);
                    members += "\"" + expected.*field.text + "\"";
                    break;
                case RecordFields::FieldType::Int32:
                    expected.*field.int32 = static_cast<int32_t>(n);
                    members += std::to_string(n);
                    break;
                case RecordFields::FieldType::UInt64:
                    expected.*field.uint64 = (uint64_t{1} << 40) + n;
                    members += "\"" + std::to_string(expected.*field.uint64) + "\"";
                    break;
            }
        }
        const std::string unfilled = UnfilledFields(Dump(expected));
        if (!unfilled.empty()) return ::testing::AssertionFailure() << "no key for" << unfilled;

        CCloudStackParser parser;
        JsonObject object;
        T tree{};
        if (!TeskJson::Unserialize("{" + members + "}", object) || !parser.Convert(object, tree)) {
            return ::testing::AssertionFailure() << "tree route refused {" << members << "}";
        }
        std::vector<T> list;
        const std::string body = std::string("{\"") + envelope.responseKey + "\":{\"count\":1,\"" + envelope.itemKey +
                                 "\":[{" + members + "}]}}";
        if (!parser.ParseNestedList(body, envelope.responseKey, envelope.itemKey, list) || list.size() != 1) {
            return ::testing::AssertionFailure() << "one pass refused " << body;
        }
        if (Dump(tree) != Dump(expected) || Dump(list[0]) != Dump(expected)) {
            return ::testing::AssertionFailure() << "from " << body << "\nexpected " << Dump(expected) << "\ntree     "
                                                 << Dump(tree) << "\none pass " << Dump(list[0]);
        }
    }
    return ::testing::AssertionSuccess();
}

TEST_F(CloudStackListReaderTest, OneKeyTableFeedsTheTreeAndTheOnePass) {
    const std::vector<Envelope>& envelopes = Envelopes();
    EXPECT_TRUE(BothRoutesFillEveryField<SProjectInfoLib>(envelopes[0]));
    EXPECT_TRUE(BothRoutesFillEveryField<SZoneInfoLib>(envelopes[1]));
    EXPECT_TRUE(BothRoutesFillEveryField<SPodInfoLib>(envelopes[2]));
    EXPECT_TRUE(BothRoutesFillEveryField<SClusterInfoLib>(envelopes[3]));
    EXPECT_TRUE(BothRoutesFillEveryField<SHostInfoLib>(envelopes[4]));
    EXPECT_TRUE(BothRoutesFillEveryField<SVMInfoLib>(envelopes[5]));
}

// ---------------------------------------------------------------------------------------------
// Cases where the two readers could most easily part, each checked on its own and pinned to what
// the tree walk decides.

class CloudStackListReaderCaseTest : public ::testing::Test {
protected:
    static ::testing::AssertionResult Same(const std::string& body) {
        const Envelope& vms = Envelopes().back();
        return vms.check(body, vms.responseKey, vms.itemKey);
    }
    static std::string Vm(const std::string& members) {
        return R"({"listvirtualmachinesresponse":{"count":1,"virtualmachine":[{)" + members + "}]}}";
    }
    static std::vector<SVMInfoLib> Records(const std::string& body, bool expected = true) {
        std::vector<SVMInfoLib> records;
        CCloudStackParser parser;
        EXPECT_EQ(parser.ParseNestedList(body, "listvirtualmachinesresponse", "virtualmachine", records), expected)
            << body;
        return records;
    }
    cstest::LogCapture m_log;
};

TEST_F(CloudStackListReaderCaseTest, NumbersInTextFieldsKeepTheirJsonText) {
    for (const char* number : {"-0", "1e2", "1E+2", "-0.0", "0.1", "18446744073709551616", "1e-400",
                               "123456789012345678901234567890", "9223372036854775808", "-9223372036854775809"}) {
        EXPECT_TRUE(Same(Vm(std::string(R"("name":)") + number))) << number;
    }
    EXPECT_EQ(Records(Vm(R"("name":-0,"displayname":1e2,"state":true)"))[0].strName, "0");
    EXPECT_EQ(Records(Vm(R"("displayname":1e2)"))[0].strDisplayName, "100.0");
}

TEST_F(CloudStackListReaderCaseTest, DuplicateAndOtherCaseKeysPickTheTreesValue) {
    EXPECT_TRUE(Same(Vm(R"("name":"first","name":"last")")));
    EXPECT_EQ(Records(Vm(R"("name":"first","name":"last")"))[0].strName, "last");
    // The exact name (the server's, in lower case), then the smallest other spelling in byte order.
    EXPECT_TRUE(Same(Vm(R"("ZONENAME":"upper","zonename":"lower","ZoneName":"mixed")")));
    EXPECT_EQ(Records(Vm(R"("ZoneName":"mixed","ZONENAME":"upper")"))[0].strZoneName, "upper");
    EXPECT_EQ(Records(Vm(R"("zonename":"exact","zoneName":"mixed","ZONENAME":"upper")"))[0].strZoneName, "exact");
    EXPECT_EQ(Records(Vm(R"("ZONENAME":"upper","zonename":"lower")"))[0].strZoneName, "lower");
    EXPECT_TRUE(Same(Vm(R"("memory":"x","MEMORY":7)")));
    EXPECT_EQ(Records(Vm(R"("\u006eame":"escaped")"))[0].strName, "escaped");
}

TEST_F(CloudStackListReaderCaseTest, BadValueInADuplicateThatLosesIsNeverRead) {
    EXPECT_TRUE(Same(Vm(R"("memory":1.5,"memory":2048)")));
    EXPECT_EQ(Records(Vm(R"("memory":1.5,"memory":2048)"))[0].ullMemory, 2048u);
    EXPECT_TRUE(Same(Vm(R"("memory":2048,"memory":1.5)")));
    EXPECT_TRUE(Records(Vm(R"("memory":2048,"memory":1.5)"), false).empty());
}

TEST_F(CloudStackListReaderCaseTest, AnAnswerBrokenAfterABadValueIsNoJsonAndAppendsNothing) {
    // The tree walk never converts a body that is not JSON: nothing is appended, and the one line
    // says that the body is no JSON, not that a value could not be converted.
    const std::string body = R"({"listvirtualmachinesresponse":{"virtualmachine":[{"name":"a"},{"memory":-1}, tru]}})";
    EXPECT_TRUE(Same(body));
    EXPECT_TRUE(Records(body, false).empty());
    ASSERT_EQ(m_log.Count(), 1u);
    EXPECT_EQ(m_log.Records()[0].message.rfind("Unexpected json list [virtualmachine] - not a JSON object; body: ", 0),
              0u);
}

TEST_F(CloudStackListReaderCaseTest, BodiesSimdjsonReadsDifferentlyGoToTheTree) {
    // nlohmann skips a byte-order mark and takes integers beyond 64 bits as doubles.
    EXPECT_TRUE(Same("\xef\xbb\xbf" + Vm(R"("name":"bom")")));
    EXPECT_EQ(Records("\xef\xbb\xbf" + Vm(R"("name":"bom")"))[0].strName, "bom");
    EXPECT_TRUE(Same(Vm(R"("nic":[{"x":1e400}],"name":"a")")));
    EXPECT_TRUE(Same(Vm(R"("nic":[{"x":1e-400}],"name":"a")")));
    EXPECT_TRUE(Same(Vm(R"("nic":[)" + std::string(400, '9') + R"(],"name":"a")")));
    // The response key twice: the tree keeps the last.
    EXPECT_TRUE(Same(R"({"listvirtualmachinesresponse":{"virtualmachine":[{"name":"a"}]},)"
                     R"("listvirtualmachinesresponse":{"virtualmachine":[{"name":"b"}]}})"));
}

TEST_F(CloudStackListReaderCaseTest, EverythingSkippedIsValidatedAsStrictly) {
    for (const char* nested :
         {R"([1 2])", R"({"a" 1})",  R"([1,])",     R"({"a":1,})",      R"(tru)",      R"(nul)",       R"(01)",
          R"(1.)",    R"(.5)",       R"(-)",        R"("\x")",          R"("\ud800")", R"("\udc00x")", "\"a\x01\"",
          "\"\xff\"", R"([1]])",     R"({"a":1}})", "\"\xed\xa0\x80\"", R"(+1)",       R"(1e)",        R"(0x1)",
          R"(NaN)",   R"(Infinity)", "\"caf\xc3\"", R"('a')",           R"([,1])",     R"({,})",       "\f1"}) {
        const std::string body = Vm(std::string(R"("name":"a","nic":[{"x":)") + nested + "}]");
        EXPECT_TRUE(Same(body)) << nested;
        m_log.Clear();
        EXPECT_TRUE(Records(body, false).empty()) << nested;
        ASSERT_EQ(m_log.Count(), 1u) << nested;
        EXPECT_NE(m_log.Records()[0].message.find("- not a JSON object; body: "), std::string::npos) << nested;
    }
}

TEST_F(CloudStackListReaderCaseTest, WhitespaceAndTrailingContent) {
    EXPECT_TRUE(Same(" \t\r\n" + Vm(R"("name" : "a" )") + " \n"));
    EXPECT_TRUE(Same(Vm(R"("name":"a")") + " x"));
    EXPECT_TRUE(Same(Vm(R"("name":"a")") + "{}"));
    EXPECT_TRUE(Same(Vm(R"("name":"a")") + std::string(1, '\0')));
    EXPECT_TRUE(Same(Vm(R"("name":"a")").substr(0, 40)));
    EXPECT_TRUE(Same(""));
    EXPECT_TRUE(Same("[]"));
}

}  // namespace
