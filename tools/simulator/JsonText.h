#pragma once

#include <string>

#include "Inventory.h"

namespace cssim {

/// @brief Appends @p value to @p out as compact JSON, byte for byte what Json::dump() writes with
/// error_handler_t::replace, several times faster: runs of plain characters are copied whole, not one by one.
void AppendJson(std::string& out, const Json& value);

}  // namespace cssim
