#pragma once

/// @file
/// One table per record type: the key of each field as the server writes it, the field it fills,
/// its kind, and a label and unit for people. The tree conversion (CCloudStackParser::Convert), the
/// one-pass list reader and the command-line client's record fields all read these tables, so a key
/// is written here once. Header-only and not installed: it is no part of the library's interface.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "CloudStackRecords.h"

namespace CloudStackSDKWrapper::RecordFields {

/// @brief How a field is read: text (any scalar as its JSON text) or an integer of the field's width.
enum class FieldType : uint8_t { Text, Int32, UInt64 };

/// @brief The unit in which the server reports a number.
enum class Unit : uint8_t { None, MHz, Bytes, MiB };

/// @brief One field of record type @p R; exactly one of the member pointers is set, the one of @p type.
template <typename R>
struct Field {
    const char* key{""};    ///< the server's spelling, all lower case ("zonename")
    const char* label{""};  ///< for people ("Zone name"); empty where no one shows the field
    FieldType type{FieldType::Text};
    Unit unit{Unit::None};
    std::string R::*text{nullptr};
    int32_t R::*int32{nullptr};
    uint64_t R::*uint64{nullptr};
};

template <typename R>
constexpr Field<R> Text(const char* key, std::string R::*member, const char* label = "") {
    return {key, label, FieldType::Text, Unit::None, member, nullptr, nullptr};
}
template <typename R>
constexpr Field<R> Int32(const char* key, int32_t R::*member, const char* label = "", Unit unit = Unit::None) {
    return {key, label, FieldType::Int32, unit, nullptr, member, nullptr};
}
template <typename R>
constexpr Field<R> UInt64(const char* key, uint64_t R::*member, const char* label = "", Unit unit = Unit::None) {
    return {key, label, FieldType::UInt64, unit, nullptr, nullptr, member};
}

/// @brief The fields of record type @p R, in the order in which they are converted and shown. A
/// number that cannot be converted is reported for the first such field in this order.
template <typename R>
struct Table;

template <>
struct Table<SBaseInfoLib> {
    using R = SBaseInfoLib;
    static constexpr std::array<Field<R>, 2> kFields{
        {Text<R>("name", &R::strName, "Name"), Text<R>("id", &R::strId, "Id")}};
};

/// @brief The base record's fields, then @p own: the table of a record derived from SBaseInfoLib.
template <typename R, std::size_t N>
constexpr auto WithBase(const std::array<Field<R>, N>& own) {
    const auto& base = Table<SBaseInfoLib>::kFields;
    std::array<Field<R>, base.size() + N> all{};
    std::size_t i = 0;
    for (const Field<SBaseInfoLib>& field : base) {
        all[i++] = {field.key, field.label, field.type, field.unit, field.text, field.int32, field.uint64};
    }
    for (const Field<R>& field : own) {
        all[i++] = field;
    }
    return all;
}

template <>
struct Table<SProjectInfoLib> {
    using R = SProjectInfoLib;
    static constexpr auto kFields = WithBase<R>(std::array{
        Text<R>("displaytext", &R::strDisplayText, "Display text"),
        Text<R>("state", &R::strState, "State"),
        Text<R>("domainid", &R::strDomainId, "Domain id"),
        Text<R>("domain", &R::strDomain, "Domain"),
        Text<R>("account", &R::strAccount, "Account"),
        Text<R>("projectaccountname", &R::strProjectAccountName, "Project account name"),
    });
};

template <>
struct Table<SZoneInfoLib> {
    using R = SZoneInfoLib;
    static constexpr auto kFields = WithBase<R>(std::array{
        Text<R>("allocationstate", &R::strAllocationState, "Allocation state"),
    });
};

template <>
struct Table<SPodInfoLib> {
    using R = SPodInfoLib;
    static constexpr auto kFields = WithBase<R>(std::array{
        Text<R>("allocationstate", &R::strAllocationState, "Allocation state"),
        Text<R>("zoneid", &R::strZoneId, "Zone id"),
        Text<R>("zonename", &R::strZoneName, "Zone name"),
        Text<R>("gateway", &R::strGateway, "Gateway"),
        Text<R>("netmask", &R::strNetmask, "Netmask"),
    });
};

template <>
struct Table<SClusterInfoLib> {
    using R = SClusterInfoLib;
    static constexpr auto kFields = WithBase<R>(std::array{
        Text<R>("podid", &R::strPodId, "Pod id"),
        Text<R>("podname", &R::strPodName, "Pod name"),
        Text<R>("zoneid", &R::strZoneId, "Zone id"),
        Text<R>("zonename", &R::strZoneName, "Zone name"),
        Text<R>("hypervisortype", &R::strHypervisorType, "Hypervisor type"),
        Text<R>("clustertype", &R::strClusterType, "Cluster type"),
        Text<R>("allocationstate", &R::strAllocationState, "Allocation state"),
        Text<R>("managedstate", &R::strManagedState, "Managed state"),
    });
};

template <>
struct Table<SHostInfoLib> {
    using R = SHostInfoLib;
    static constexpr auto kFields = WithBase<R>(std::array{
        Text<R>("state", &R::strState, "State"),
        Text<R>("type", &R::strType, "Type"),
        Text<R>("ipaddress", &R::strIpAddress, "IP address"),
        Text<R>("zoneid", &R::strZoneId, "Zone id"),
        Text<R>("zonename", &R::strZoneName, "Zone name"),
        Text<R>("podid", &R::strPodId, "Pod id"),
        Text<R>("podname", &R::strPodName, "Pod name"),
        Text<R>("clusterid", &R::strClusterId, "Cluster id"),
        Text<R>("clustername", &R::strClusterName, "Cluster name"),
        Text<R>("clustertype", &R::strClusterType, "Cluster type"),
        Text<R>("version", &R::strVersion, "Version"),
        Text<R>("hypervisor", &R::strHypervisor, "Hypervisor"),
        Int32<R>("cpunumber", &R::nCpuNumber, "CPUs"),
        Int32<R>("cpuspeed", &R::nCpuSpeed, "CPU speed", Unit::MHz),
        Text<R>("cpuallocated", &R::strCpuAllocated, "CPU allocated"),
        Text<R>("cpuused", &R::strCpuUsed, "CPU used"),
        UInt64<R>("memorytotal", &R::ullMemoryTotal, "Memory total", Unit::Bytes),
        UInt64<R>("memoryallocated", &R::ullMemoryAllocated, "Memory allocated", Unit::Bytes),
        UInt64<R>("memoryused", &R::ullMemoryUsed, "Memory used", Unit::Bytes),
    });
};

template <>
struct Table<SVMInfoLib> {
    using R = SVMInfoLib;
    static constexpr auto kFields = WithBase<R>(std::array{
        Text<R>("displayname", &R::strDisplayName, "Display name"),
        Text<R>("state", &R::strState, "State"),
        Text<R>("hypervisor", &R::strHypervisor, "Hypervisor"),
        Text<R>("instancename", &R::strInstanceName, "Instance name"),
        Text<R>("account", &R::strAccount, "Account"),
        Text<R>("userid", &R::strUserId, "User id"),
        Text<R>("username", &R::strUserName, "User name"),
        Text<R>("domainid", &R::strDomainId, "Domain id"),
        Text<R>("domain", &R::strDomain, "Domain"),
        Text<R>("zoneid", &R::strZoneId, "Zone id"),
        Text<R>("zonename", &R::strZoneName, "Zone name"),
        Text<R>("hostid", &R::strHostId, "Host id"),
        Text<R>("hostname", &R::strHostName, "Host name"),
        Text<R>("templateid", &R::strTemplateId, "Template id"),
        Text<R>("templatename", &R::strTemplateName, "Template name"),
        Text<R>("templatedisplaytext", &R::strTemplateDisplayText, "Template display text"),
        Int32<R>("cpunumber", &R::nCpuNumber, "CPUs"),
        Int32<R>("cpuspeed", &R::nCpuSpeed, "CPU speed", Unit::MHz),
        UInt64<R>("memory", &R::ullMemory, "Memory", Unit::MiB),
        Text<R>("guestosid", &R::strGuestOsId, "Guest OS id"),
        Text<R>("ostypeid", &R::strOsTypeId, "OS type id"),
    });
};

template <>
struct Table<SJobInfoLib> {
    using R = SJobInfoLib;
    static constexpr std::array<Field<R>, 12> kFields{{
        Text<R>("jobid", &R::strJobId),
        Text<R>("jobinstanceid", &R::strJobInstanceId),
        Text<R>("jobinstancetype", &R::strJobInstanceType),
        Text<R>("created", &R::strCreated),
        Text<R>("completed", &R::strCompleted),
        Text<R>("cmd", &R::strCmd),
        Text<R>("accountid", &R::strAccountId),
        Text<R>("userid", &R::strUserId),
        Int32<R>("jobstatus", &R::nJobStatus),
        Int32<R>("jobprocstatus", &R::nJobProcStatus),
        Int32<R>("jobresultcode", &R::nJobResultCode),
        Text<R>("jobresulttype", &R::strJobResultType),
    }};
};

/// @brief Whether the table of @p R is as the readers need it: every key non-empty, in lower case
/// as the server writes it (the readers find other spellings by ignoring letter case), and named
/// once; every field set by one row only, through the member pointer of its type.
template <typename R>
constexpr bool WellFormed() {
    const auto& fields = Table<R>::kFields;
    const auto sameKey = [](const char* a, const char* b) {
        while (*a != '\0' && *a == *b) {
            ++a;
            ++b;
        }
        return *a == *b;
    };
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Field<R>& field = fields[i];
        if (*field.key == '\0') return false;
        for (const char* c = field.key; *c != '\0'; ++c) {
            if (*c >= 'A' && *c <= 'Z') return false;
        }
        const bool text = field.text != nullptr;
        const bool int32 = field.int32 != nullptr;
        const bool uint64 = field.uint64 != nullptr;
        if (text + int32 + uint64 != 1 || (field.type == FieldType::Text) != text ||
            (field.type == FieldType::Int32) != int32) {
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            const Field<R>& other = fields[j];
            if (sameKey(field.key, other.key)) return false;
            if (field.type == other.type && field.text == other.text && field.int32 == other.int32 &&
                field.uint64 == other.uint64) {
                return false;
            }
        }
    }
    return true;
}

static_assert(WellFormed<SProjectInfoLib>() && WellFormed<SZoneInfoLib>() && WellFormed<SPodInfoLib>() &&
                  WellFormed<SClusterInfoLib>() && WellFormed<SHostInfoLib>() && WellFormed<SVMInfoLib>() &&
                  WellFormed<SJobInfoLib>(),
              "each key in the server's spelling, named once, filling a field of its own");

}  // namespace CloudStackSDKWrapper::RecordFields
