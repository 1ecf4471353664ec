#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "CloudStackRecords.h"

namespace cscli {

/// One field of a record: its JSON key (the member name without the type prefix, lower camel),
/// a label for people, the value as JSON (numbers stay numbers) and as text for `show`.
struct Field {
    std::string key;
    std::string label;
    nlohmann::ordered_json value;
    std::string text;
};

std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SProjectInfoLib& project);
std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SZoneInfoLib& zone);
std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SPodInfoLib& pod);
std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SClusterInfoLib& cluster);
std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SHostInfoLib& host);
std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SVMInfoLib& vm);

/// One JSON object holding every field, in record order.
nlohmann::ordered_json ToJson(const std::vector<Field>& fields);

/// One "Label: value" line per field, values aligned.
std::string ToLabelLines(const std::vector<Field>& fields);

/// @p bytes in GiB with one decimal, without unit ("125.8").
std::string GiBText(uint64_t bytes);

/// A memory size given in MiB for people: "512 MiB" below one GiB, else "2.0 GiB".
std::string MiBText(uint64_t mebibytes);

/// The tables of the list commands.
std::string TableOf(const std::vector<CloudStackSDKWrapper::SProjectInfoLib>& projects);
std::string TableOf(const std::vector<CloudStackSDKWrapper::SZoneInfoLib>& zones);
std::string TableOf(const std::vector<CloudStackSDKWrapper::SPodInfoLib>& pods);
std::string TableOf(const std::vector<CloudStackSDKWrapper::SClusterInfoLib>& clusters);
std::string TableOf(const std::vector<CloudStackSDKWrapper::SHostInfoLib>& hosts);
std::string TableOf(const std::vector<CloudStackSDKWrapper::SVMInfoLib>& vms);

}  // namespace cscli
