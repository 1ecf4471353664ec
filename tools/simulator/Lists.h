#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Accounts.h"
#include "ApiRequest.h"
#include "Cloud.h"
#include "SimMessages.h"

// The list commands: which records each serves, how it filters them, how it pages them.
namespace cssim {

/// One filter of a list command: request parameter -> record member.
struct FieldFilter {
    const char* parameter;
    const char* member;
};

struct ListSpec {
    const char* command;  // "listVirtualMachines"
    const char* itemKey;  // "virtualmachine"
    Kind kind;
    /// Without listall=true only the caller's account's records, also for a root admin.
    bool accountScoped;
    std::vector<FieldFilter> idFilters;    // exact; a value that is no id and names no record is refused
    std::vector<FieldFilter> textFilters;  // exact but case-insensitive (states, types)
    /// keyword= matches any of these members by the name rule, or the state exactly.
    std::vector<const char*> keywordMembers;
    bool keywordMatchesState;
};

/// How the server pages and filters, as the simulator's options set it.
struct ListPolicy {
    int pageSize{500};  // default.page.size: the most items in one answer, the largest pagesize accepted
    bool refuseUnknownIds{true};
    bool nameFilterOnEveryList{true};
};

/// @brief Every list command the simulator answers.
const std::vector<ListSpec>& ListSpecs();

/// @brief The list command named @p command (case-sensitive), or nullptr.
const ListSpec* FindList(const std::string& command);

/// @brief A page of a list as SelectList chooses it under its owner's lock: the records' texts are shared, so that
/// WriteList puts the answer together after the lock is let go, and no other request waits for that.
struct ListPage {
    SimResponse answer;  ///< the whole answer when done (an error, or nothing listed)
    bool done{false};
    std::string responseKey;
    const char* itemKey{""};
    std::size_t total{0};
    std::vector<std::shared_ptr<const std::string>> texts;
};

/// @brief The page of @p table that @p request asks for, for @p caller (ServeList's choice, without the writing).
ListPage SelectList(const ListSpec& list, const RecordTable& table, const ApiRequest& request, const User& caller,
                    const ListPolicy& policy);

/// @brief The answer of a page SelectList chose; needs no lock.
SimResponse WriteList(ListPage page);

/// @brief Answers @p request for @p caller from @p table.
///
/// Unfiltered lists and lists filtered by an id or another indexed member cost the size of one page (and of the
/// matching records' positions), not the size of the table; other filters scan the candidates.
SimResponse ServeList(const ListSpec& list, const RecordTable& table, const ApiRequest& request, const User& caller,
                      const ListPolicy& policy);

}  // namespace cssim
