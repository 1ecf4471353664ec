// The floor: the least a program must do to fill the same SVMInfoLib records from the same answer
// with simdjson On-Demand. No error handling, no validation of what it skips, no fallback: an
// error ends the program through simdjson's exception.
//
//   parser_floor time N RUNS    median time over RUNS runs
//   parser_floor rss N          builds the body, parses it once, prints the peak RSS

#include <simdjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "CloudStackRecords.h"
#include "Measure.h"
#include "VmAnswer.h"

using CloudStackSDKWrapper::SVMInfoLib;
namespace od = simdjson::ondemand;

namespace {

uint64_t ToUInt64(od::value value) {
    return value.get_uint64();
}

void Fill(od::object object, SVMInfoLib& vm) {
    for (auto member : object) {
        od::field field = std::move(member);
        const char* raw = field.key().raw();
        const std::string_view key(raw,
                                   static_cast<std::size_t>(static_cast<const char*>(std::memchr(raw, '"', 64)) - raw));
        od::value value = field.value();
        std::string* text = nullptr;
        switch (key.size()) {
            case 2:
                if (key == "id") text = &vm.strId;
                break;
            case 4:
                if (key == "name") text = &vm.strName;
                break;
            case 5:
                if (key == "state") text = &vm.strState;
                break;
            case 6:
                if (key == "userid") {
                    text = &vm.strUserId;
                } else if (key == "domain") {
                    text = &vm.strDomain;
                } else if (key == "zoneid") {
                    text = &vm.strZoneId;
                } else if (key == "hostid") {
                    text = &vm.strHostId;
                } else if (key == "memory") {
                    vm.ullMemory = ToUInt64(value);
                }
                break;
            case 7:
                if (key == "account") text = &vm.strAccount;
                break;
            case 8:
                if (key == "username") {
                    text = &vm.strUserName;
                } else if (key == "domainid") {
                    text = &vm.strDomainId;
                    // the server's spelling of the record's "domainId"
                } else if (key == "zonename") {
                    text = &vm.strZoneName;
                } else if (key == "hostname") {
                    text = &vm.strHostName;
                } else if (key == "cpuspeed") {
                    vm.nCpuSpeed = static_cast<int32_t>(static_cast<int64_t>(value.get_int64()));
                } else if (key == "ostypeid") {
                    text = &vm.strOsTypeId;
                }
                break;
            case 9:
                if (key == "cpunumber") {
                    vm.nCpuNumber = static_cast<int32_t>(static_cast<int64_t>(value.get_int64()));
                } else if (key == "guestosid") {
                    text = &vm.strGuestOsId;
                }
                break;
            case 10:
                if (key == "hypervisor") {
                    text = &vm.strHypervisor;
                } else if (key == "templateid") {
                    text = &vm.strTemplateId;
                }
                break;
            case 11:
                if (key == "displayname") text = &vm.strDisplayName;
                break;
            case 12:
                if (key == "instancename") {
                    text = &vm.strInstanceName;
                } else if (key == "templatename") {
                    text = &vm.strTemplateName;
                }
                break;
            case 19:
                if (key == "templatedisplaytext") text = &vm.strTemplateDisplayText;
                break;
            default:
                break;
        }
        if (text != nullptr) {
            const std::string_view view = value.get_string();
            text->assign(view.data(), view.size());
        }
    }
}

void Parse(const std::string& body, std::vector<SVMInfoLib>& vms) {
    od::parser parser;
    od::document document = parser.iterate(simdjson::padded_string_view(body.data(), body.size(), body.capacity()));
    od::object response = document["listvirtualmachinesresponse"];
    for (auto member : response) {
        od::field field = std::move(member);
        if (field.key() == "count") {
            vms.reserve(static_cast<std::size_t>(static_cast<uint64_t>(field.value().get_uint64())));
        } else if (field.key() == "virtualmachine") {
            for (od::object object : field.value().get_array()) {
                Fill(object, vms.emplace_back());
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "time" && argc == 4) {
        const unsigned count = csbench::MachineCount(argv[2]);
        const int runs = std::max(1, std::atoi(argv[3]));
        const std::string body = csbench::MakeVmListAnswer(count);
        csbench::RunTimes times;
        for (int run = 0; run < runs; ++run) {
            std::vector<SVMInfoLib> vms;
            times.Time([&] { Parse(body, vms); });
            if (vms.size() != count) return 1;
        }
        std::printf("body_bytes %zu\n", body.size());
        times.PrintMedians("floor");
        return 0;
    }
    if (mode == "rss" && argc == 3) {
        const unsigned count = csbench::MachineCount(argv[2]);
        const std::string body = csbench::MakeVmListAnswer(count);
        const long before = csbench::PeakRssKiB();
        std::vector<SVMInfoLib> vms;
        Parse(body, vms);
        if (vms.size() != count) return 1;
        csbench::PrintRss(body.size(), before);
        return 0;
    }
    std::fprintf(stderr, "usage: %s time N RUNS | rss N\n", argv[0]);
    return 2;
}
