#pragma once

#include <string>
#include <vector>

// The grammar other clients of the API taught operators: "VERB NOUN [name=value ...]", where the two words
// name one API command ("list virtualmachines" is listVirtualMachines).
namespace cscli {

/// True for a word that can open an API command's name: ASCII letters only ("list", "start").
bool IsVerb(const std::string& word);

/// True for a word that can end an API command's name: an ASCII letter, then letters and digits.
bool IsNoun(const std::string& word);

/// The command VERB NOUN names without a catalogue: the verb in lower case, then the noun as the server spells it
/// when it is one of the nouns the library lists (virtualmachines -> VirtualMachines), else capitalised as typed
/// ("serviceOfferings" -> "ServiceOfferings").
std::string BuiltInCommandName(const std::string& verb, const std::string& noun);

/// The nouns of the lists the client knows without a catalogue, in lower case ("virtualmachines", ...).
std::vector<std::string> BuiltInListNouns();

}  // namespace cscli
