#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "CloudStackRecords.h"

namespace cscli {

using Json = nlohmann::ordered_json;

/// One field of a record: the server's attribute name ("zonename"), a label for people, the
/// value as JSON (numbers stay numbers) and as text for `show`.
struct Field {
    std::string key;
    std::string label;
    Json value;
    std::string text;
};

std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SProjectInfoLib& project);
std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SZoneInfoLib& zone);
std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SPodInfoLib& pod);
std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SClusterInfoLib& cluster);
std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SHostInfoLib& host);
std::vector<Field> FieldsOf(const CloudStackSDKWrapper::SVMInfoLib& vm);

/// Fills a record from one item of a list answer, reading the attributes FieldsOf names.
/// A number that arrives as text is read as a number; a member of another type is left alone.
void FromJson(const Json& item, CloudStackSDKWrapper::SProjectInfoLib& project);
void FromJson(const Json& item, CloudStackSDKWrapper::SZoneInfoLib& zone);
void FromJson(const Json& item, CloudStackSDKWrapper::SPodInfoLib& pod);
void FromJson(const Json& item, CloudStackSDKWrapper::SClusterInfoLib& cluster);
void FromJson(const Json& item, CloudStackSDKWrapper::SHostInfoLib& host);
void FromJson(const Json& item, CloudStackSDKWrapper::SVMInfoLib& vm);

/// One JSON object in record order, as the server writes one: empty texts are left out, as the
/// server leaves out what is null.
Json ToJson(const std::vector<Field>& fields);

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
