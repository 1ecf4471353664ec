#pragma once

#include <utility>

#include "Inventory.h"

namespace cssim {

/// Appends a member without looking for an earlier one of that name, as ordered_json's operator[] does: that search
/// makes building a record of n members cost n^2. Only for names the record does not have yet.
inline void Put(Json& object, const char* key, Json value) {
    object.get_ref<Json::object_t&>().emplace_back(key, std::move(value));
}

}  // namespace cssim
