#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Inventory.h"

namespace cssim {

/// The records of one kind, kept with what serving them fast needs: the JSON text of each record, made once;
/// positions by id and by the other members a list filters on exactly; positions by owning account; lower-cased
/// names. Not synchronised: its owner locks.
class RecordTable {
public:
    /// @param indexedMembers string members to look records up by (always including "id")
    explicit RecordTable(std::vector<std::string> indexedMembers = {});

    /// @brief Replaces every record.
    void Assign(std::vector<Json> records);

    /// @brief Replaces record @p position, keeping text, indexes and name up to date.
    void Replace(std::size_t position, Json record);

    std::size_t Size() const { return records_.size(); }
    const Json& Record(std::size_t position) const { return records_[position]; }
    const std::vector<Json>& Records() const { return records_; }

    /// @brief The compact JSON text of record @p position.
    const std::string& Text(std::size_t position) const { return *texts_[position]; }
    /// @brief The same text, shared: it stays as it is, also after the record is replaced, for as long as it is held.
    const std::shared_ptr<const std::string>& SharedText(std::size_t position) const { return texts_[position]; }

    /// @brief The record's "name", lower-cased (ASCII letters), for the server's case-insensitive name match.
    const std::string& LowerName(std::size_t position) const { return lowerNames_[position]; }

    /// @brief True when Find() answers for @p member.
    bool Indexed(const std::string& member) const;

    /// @brief Positions, ascending, of the records whose string member @p member equals @p value; empty for a member
    /// that is not indexed.
    const std::vector<std::size_t>& Find(const std::string& member, const std::string& value) const;

    /// @brief Positions, ascending, of the records account @p account of domain @p domainId owns ("account", or an
    /// entry of "owner"), and of the records that name no owner at all. @p scratch holds the answer when it has to
    /// be put together; otherwise the answer is an index itself.
    const std::vector<std::size_t>& OwnedBy(const std::string& account, const std::string& domainId,
                                            std::vector<std::size_t>& scratch) const;

private:
    using Index = std::unordered_map<std::string, std::vector<std::size_t>>;

    void AddToIndexes(std::size_t position);
    void RemoveFromIndexes(std::size_t position);

    std::vector<Json> records_;
    std::vector<std::shared_ptr<const std::string>> texts_;
    std::vector<std::string> lowerNames_;
    std::vector<std::string> indexedMembers_;
    std::vector<Index> indexes_;  // one per indexed member
    Index owners_;                // by OwnerKey
};

/// @brief The string member @p key of @p record; empty when it is missing or not a string.
std::string StringMember(const Json& record, const char* key);

}  // namespace cssim
