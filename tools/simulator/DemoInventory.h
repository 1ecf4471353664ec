#pragma once

#include <string_view>

namespace cssim {

/// @brief The text of demo-inventory.json, compiled into the program at build time.
std::string_view DemoInventoryJson();

}  // namespace cssim
