#pragma once

// A listVirtualMachines answer of realistic shape (the fields, nesting and sizes a current
// management server sends), generated deterministically so that every run reads the same bytes.

#include <string>

namespace csbench {

/// @brief The whole answer body for @p count machines: {"listvirtualmachinesresponse":{"count":N,...}},
/// about 4.4 KB per machine, with at least 64 bytes of spare capacity (as the transport hands it over).
std::string MakeVmListAnswer(unsigned count);

}  // namespace csbench
