#pragma once

#include "ApiRequest.h"
#include "Cloud.h"
#include "Lists.h"
#include "SimMessages.h"

// listApis: the server's own description of the commands it answers, as its API discovery gives it.
namespace cssim {

/// @brief Answers listApis in the server's shape ({"listapisresponse":{"count":N,"api":[...]}}): every command the
/// simulator answers, with the parameters it reads (those it cannot do without marked required) and the members
/// of its answer. The list commands and their filters come from the list table, so the catalogue cannot drift
/// from what the lists do; "name=" picks one command, and an unknown name is refused with 431 as the server does.
/// @param cloud the records whose members describe the answers (the caller holds the cloud's lock)
SimResponse ListApis(const ApiRequest& request, const Cloud& cloud, const ListPolicy& policy);

}  // namespace cssim
