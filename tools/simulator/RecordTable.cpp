#include "RecordTable.h"

#include <algorithm>
#include <iterator>

#include "Replies.h"
#include "Text.h"

namespace cssim {
namespace {

std::string OwnerKey(const std::string& account, const std::string& domainId) {
    return account + '\x1f' + domainId;
}

/// The owner keys of a record; one empty key for a record that names no owner.
std::vector<std::string> OwnerKeys(const Json& record) {
    const std::string domainId = StringMember(record, "domainid");
    if (record.contains("account")) return {OwnerKey(StringMember(record, "account"), domainId)};
    std::vector<std::string> keys;
    const auto owner = record.find("owner");
    if (owner != record.end() && owner->is_array()) {
        for (const auto& entry : *owner) {
            if (!entry.is_object()) continue;
            const std::string entryDomain = StringMember(entry, "domainid");
            keys.push_back(OwnerKey(StringMember(entry, "account"), entryDomain.empty() ? domainId : entryDomain));
        }
    }
    if (keys.empty()) keys.emplace_back();
    return keys;
}

void InsertSorted(std::vector<std::size_t>& positions, std::size_t position) {
    positions.insert(std::lower_bound(positions.begin(), positions.end(), position), position);
}

void EraseSorted(std::vector<std::size_t>& positions, std::size_t position) {
    const auto it = std::lower_bound(positions.begin(), positions.end(), position);
    if (it != positions.end() && *it == position) positions.erase(it);
}

const std::vector<std::size_t>& Lookup(const std::unordered_map<std::string, std::vector<std::size_t>>& index,
                                       const std::string& key) {
    static const std::vector<std::size_t> kNone;
    const auto it = index.find(key);
    return it == index.end() ? kNone : it->second;
}

}  // namespace

std::string StringMember(const Json& record, const char* key) {
    const auto it = record.find(key);
    return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

RecordTable::RecordTable(std::vector<std::string> indexedMembers) : indexedMembers_(std::move(indexedMembers)) {
    if (std::find(indexedMembers_.begin(), indexedMembers_.end(), "id") == indexedMembers_.end()) {
        indexedMembers_.insert(indexedMembers_.begin(), "id");
    }
    indexes_.resize(indexedMembers_.size());
}

void RecordTable::Assign(std::vector<Json> records) {
    records_ = std::move(records);
    texts_.assign(records_.size(), nullptr);
    lowerNames_.assign(records_.size(), std::string());
    for (auto& index : indexes_) index.clear();
    owners_.clear();
    for (std::size_t i = 0; i < records_.size(); ++i) {
        texts_[i] = std::make_shared<const std::string>(Dump(records_[i]));
        lowerNames_[i] = cstools::AsciiLower(StringMember(records_[i], "name"));
        // Positions arrive in ascending order, so appending keeps every list sorted.
        for (std::size_t m = 0; m < indexedMembers_.size(); ++m) {
            indexes_[m][StringMember(records_[i], indexedMembers_[m].c_str())].push_back(i);
        }
        for (const auto& key : OwnerKeys(records_[i])) owners_[key].push_back(i);
    }
}

void RecordTable::AddToIndexes(std::size_t position) {
    for (std::size_t m = 0; m < indexedMembers_.size(); ++m) {
        InsertSorted(indexes_[m][StringMember(records_[position], indexedMembers_[m].c_str())], position);
    }
    for (const auto& key : OwnerKeys(records_[position])) InsertSorted(owners_[key], position);
}

void RecordTable::RemoveFromIndexes(std::size_t position) {
    for (std::size_t m = 0; m < indexedMembers_.size(); ++m) {
        EraseSorted(indexes_[m][StringMember(records_[position], indexedMembers_[m].c_str())], position);
    }
    for (const auto& key : OwnerKeys(records_[position])) EraseSorted(owners_[key], position);
}

void RecordTable::Replace(std::size_t position, Json record) {
    RemoveFromIndexes(position);
    records_[position] = std::move(record);
    // A new text, not the old one changed: a page being written from the old one keeps it.
    texts_[position] = std::make_shared<const std::string>(Dump(records_[position]));
    lowerNames_[position] = cstools::AsciiLower(StringMember(records_[position], "name"));
    AddToIndexes(position);
}

bool RecordTable::Indexed(const std::string& member) const {
    return std::find(indexedMembers_.begin(), indexedMembers_.end(), member) != indexedMembers_.end();
}

const std::vector<std::size_t>& RecordTable::Find(const std::string& member, const std::string& value) const {
    static const std::vector<std::size_t> kNone;
    const auto it = std::find(indexedMembers_.begin(), indexedMembers_.end(), member);
    if (it == indexedMembers_.end()) return kNone;
    return Lookup(indexes_[static_cast<std::size_t>(it - indexedMembers_.begin())], value);
}

const std::vector<std::size_t>& RecordTable::OwnedBy(const std::string& account, const std::string& domainId,
                                                     std::vector<std::size_t>& scratch) const {
    const std::vector<std::size_t>* parts[] = {&Lookup(owners_, OwnerKey(account, domainId)),
                                               &Lookup(owners_, OwnerKey(account, "")), &Lookup(owners_, "")};
    const std::vector<std::size_t>* only = nullptr;
    int nonEmpty = 0;
    for (const auto* part : parts) {
        if (!part->empty()) {
            only = part;
            ++nonEmpty;
        }
    }
    if (nonEmpty == 0) return *parts[0];
    if (nonEmpty == 1) return *only;
    scratch.clear();
    for (const auto* part : parts) scratch.insert(scratch.end(), part->begin(), part->end());
    std::sort(scratch.begin(), scratch.end());
    scratch.erase(std::unique(scratch.begin(), scratch.end()), scratch.end());
    return scratch;
}

}  // namespace cssim
