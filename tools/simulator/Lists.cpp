#include "Lists.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "Replies.h"
#include "Text.h"
#include "TextMatch.h"

namespace cssim {

const std::vector<ListSpec>& ListSpecs() {
    static const std::vector<ListSpec> lists{
        {"listProjects",
         "project",
         Kind::Projects,
         true,
         {{"id", "id"}},
         {{"state", "state"}},
         {"name", "displaytext"},
         false},
        {"listZones", "zone", Kind::Zones, false, {{"id", "id"}}, {{"networktype", "networktype"}}, {"name"}, false},
        {"listPods", "pod", Kind::Pods, false, {{"id", "id"}, {"zoneid", "zoneid"}}, {}, {"name"}, false},
        {"listClusters",
         "cluster",
         Kind::Clusters,
         false,
         {{"id", "id"}, {"zoneid", "zoneid"}, {"podid", "podid"}},
         {{"hypervisor", "hypervisortype"}, {"allocationstate", "allocationstate"}},
         {"name"},
         false},
        {"listHosts",
         "host",
         Kind::Hosts,
         false,
         {{"id", "id"}, {"zoneid", "zoneid"}, {"podid", "podid"}, {"clusterid", "clusterid"}},
         {{"state", "state"}, {"type", "type"}, {"resourcestate", "resourcestate"}},
         {"name", "state", "type"},
         false},
        {"listVirtualMachines",
         "virtualmachine",
         Kind::VirtualMachines,
         true,
         {{"id", "id"}, {"zoneid", "zoneid"}, {"hostid", "hostid"}},
         {{"state", "state"}},
         {"displayname", "name", "instancename"},
         true},
        {"listVolumes",
         "volume",
         Kind::Volumes,
         true,
         {{"id", "id"}, {"zoneid", "zoneid"}, {"virtualmachineid", "virtualmachineid"}},
         {{"type", "type"}, {"state", "state"}},
         {"name"},
         false},
        {"listServiceOfferings",
         "serviceoffering",
         Kind::ServiceOfferings,
         false,
         {{"id", "id"}},
         {{"state", "state"}},
         {"name", "displaytext"},
         false},
    };
    return lists;
}

namespace {

bool ParseLong(const std::string& text, long long& value) {
    // Paging values are 32-bit on the server; nine digits keep the arithmetic far from overflow.
    if (text.empty() || text.size() > 10) return false;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size() || text.size() - i > 9) return false;
    long long result = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        result = result * 10 + (text[i] - '0');
    }
    value = text[0] == '-' ? -result : result;
    return true;
}

/// Positions of records to consider: a list of positions, or every record of the table.
struct Candidates {
    const std::vector<std::size_t>* positions{nullptr};
    std::size_t all{0};
    std::size_t Size() const { return positions != nullptr ? positions->size() : all; }
    std::size_t At(std::size_t k) const { return positions != nullptr ? (*positions)[k] : k; }
};

/// The filters of one request, checked on one record at a time.
struct Filters {
    std::vector<std::pair<const char*, std::string>> exact;  // member, value
    std::vector<std::pair<const char*, std::string>> text;   // member, lower-cased value
    std::optional<NamePattern> name;
    const std::string* keyword{nullptr};
    std::optional<NamePattern> keywordPattern;
    const ListSpec* list{nullptr};
    bool ownerCheck{false};
    std::string account;
    std::string domainId;
    std::string domainPath;  // a domain admin's listall: records of this domain and below

    bool Empty() const { return exact.empty() && text.empty() && !name && !keyword && !ownerCheck; }

    bool Owned(const Json& record) const {
        if (!domainPath.empty()) {
            const std::string path = StringMember(record, "domainpath");
            return path == domainPath || path.rfind(domainPath + "/", 0) == 0;
        }
        return true;  // own-account candidates come from the owner index already
    }

    bool KeywordMatches(const Json& record) const {
        for (const char* member : list->keywordMembers) {
            if (keywordPattern->Matches(cstools::AsciiLower(StringMember(record, member)))) return true;
        }
        return list->keywordMatchesState &&
               cstools::AsciiLower(StringMember(record, "state")) == cstools::AsciiLower(*keyword);
    }

    bool Match(const RecordTable& table, std::size_t position) const {
        const Json& record = table.Record(position);
        for (const auto& [member, value] : exact) {
            if (StringMember(record, member) != value) return false;
        }
        for (const auto& [member, value] : text) {
            if (cstools::AsciiLower(StringMember(record, member)) != value) return false;
        }
        if (name && !name->Matches(table.LowerName(position))) return false;
        if (keyword != nullptr && !KeywordMatches(record)) return false;
        return !ownerCheck || Owned(record);
    }
};

bool IsTrue(const std::string* value) {
    return value != nullptr && cstools::AsciiLower(*value) == "true";
}

}  // namespace

const ListSpec* FindList(const std::string& command) {
    for (const auto& list : ListSpecs()) {
        if (command == list.command) return &list;
    }
    return nullptr;
}

SimResponse ServeList(const ListSpec& list, const RecordTable& table, const ApiRequest& request, const User& caller,
                      const ListPolicy& policy) {
    return WriteList(SelectList(list, table, request, caller, policy));
}

SimResponse WriteList(ListPage page) {
    if (page.done) return std::move(page.answer);
    std::size_t bytes = 0;
    for (const auto& text : page.texts) bytes += text->size() + 1;
    ListBodyWriter writer(page.responseKey, page.itemKey, page.total, bytes);
    for (const auto& text : page.texts) writer.Add(*text);
    SimResponse reply;
    reply.contentType = kJsonContentType;
    reply.body = writer.Finish();
    return reply;
}

ListPage SelectList(const ListSpec& list, const RecordTable& table, const ApiRequest& request, const User& caller,
                    const ListPolicy& policy) {
    // An answer decided before any record is chosen: an error, or nothing listed.
    const auto whole = [](SimResponse answer) {
        ListPage chosen;
        chosen.answer = std::move(answer);
        chosen.done = true;
        return chosen;
    };
    const std::string command = cstools::AsciiLower(list.command);
    const std::string responseKey = command + "response";

    const std::string* pageText = request.Param("page");
    const std::string* sizeText = request.Param("pagesize");
    long long page = 1;
    long long pageSize = policy.pageSize;
    if ((pageText == nullptr) != (sizeText == nullptr)) {
        return whole(MissingParameter(command, pageText == nullptr ? "page" : "pagesize"));
    }
    if (pageText != nullptr) {
        if (!ParseLong(*pageText, page)) return whole(InvalidValue(command, "page", *pageText));
        if (!ParseLong(*sizeText, pageSize)) return whole(InvalidValue(command, "pagesize", *sizeText));
        if (pageSize > policy.pageSize) {
            return whole(
                ErrorReply(responseKey, kParameterError, kPageSizeErrorCode,
                           "Page size can't exceed max allowed page size value: " + std::to_string(policy.pageSize)));
        }
        if (pageSize == -1) {
            page = 1;  // the server's "no limit"
            pageSize = static_cast<long long>(table.Size()) + 1;
        } else if (pageSize < 1) {
            return whole(ErrorReply(responseKey, kParameterError, kServerErrorCode,
                                    "Page size must be a positive number, or -1 for no limit"));
        }
        if (page < 1) {
            return whole(
                ErrorReply(responseKey, kParameterError, kServerErrorCode, "Page number must be a positive number"));
        }
    }

    Filters filters;
    filters.list = &list;
    Candidates candidates;
    candidates.all = table.Size();
    for (const auto& filter : list.idFilters) {
        const std::string* value = request.Param(filter.parameter);
        if (value == nullptr || value->empty()) continue;
        const bool indexed = table.Indexed(filter.member);
        if (policy.refuseUnknownIds && !cstools::IsUuid(*value)) {
            bool known = indexed && !table.Find(filter.member, *value).empty();
            for (std::size_t i = 0; !indexed && !known && i < table.Size(); ++i) {
                known = StringMember(table.Record(i), filter.member) == *value;
            }
            if (!known) return whole(InvalidValue(command, filter.parameter, *value));
        }
        // The first indexed filter picks the candidates; every other one is checked on them.
        if (indexed && candidates.positions == nullptr) {
            candidates.positions = &table.Find(filter.member, *value);
        } else {
            filters.exact.emplace_back(filter.member, *value);
        }
    }
    for (const auto& filter : list.textFilters) {
        const std::string* value = request.Param(filter.parameter);
        if (value != nullptr && !value->empty()) filters.text.emplace_back(filter.member, cstools::AsciiLower(*value));
    }
    if (policy.nameFilterOnEveryList || list.kind == Kind::VirtualMachines) {
        if (const std::string* name = request.Param("name")) filters.name.emplace(*name);
        filters.keyword = request.Param("keyword");
        if (filters.keyword != nullptr) filters.keywordPattern.emplace(*filters.keyword);
    }

    std::vector<std::size_t> ownedScratch;
    if (list.accountScoped) {
        const bool listAll = IsTrue(request.Param("listall"));
        if (listAll && caller.accountType == AccountType::DomainAdmin) {
            filters.ownerCheck = true;
            filters.domainPath = caller.domain.path;
        } else if (!listAll || caller.accountType != AccountType::RootAdmin) {
            const auto& owned = table.OwnedBy(caller.account, caller.domain.id, ownedScratch);
            if (candidates.positions == nullptr) {
                candidates.positions = &owned;
            } else {
                // Already narrowed by an index: keep those the caller owns.
                std::vector<std::size_t> both;
                std::set_intersection(candidates.positions->begin(), candidates.positions->end(), owned.begin(),
                                      owned.end(), std::back_inserter(both));
                ownedScratch = std::move(both);
                candidates.positions = &ownedScratch;
            }
        }
    }

    std::vector<std::size_t> matched;
    if (!filters.Empty()) {
        for (std::size_t k = 0; k < candidates.Size(); ++k) {
            if (filters.Match(table, candidates.At(k))) matched.push_back(candidates.At(k));
        }
        candidates.positions = &matched;
    }

    const std::size_t total = candidates.Size();
    if (total == 0) return whole(JsonReply(200, responseKey, Json::object()));
    const auto size = static_cast<unsigned long long>(pageSize);
    const auto skipPages = static_cast<unsigned long long>(page - 1);
    std::size_t first = total;
    if (skipPages <= (total - 1) / size) first = static_cast<std::size_t>(skipPages * size);
    const std::size_t end = static_cast<std::size_t>(std::min<unsigned long long>(total, first + size));
    ListPage chosen;
    chosen.responseKey = responseKey;
    chosen.itemKey = list.itemKey;
    chosen.total = total;
    chosen.texts.reserve(end - first);
    for (std::size_t k = first; k < end; ++k) chosen.texts.push_back(table.SharedText(candidates.At(k)));
    return chosen;
}

}  // namespace cssim
