// The ICA client's list of virtual drivers to load: the comma-separated
// VirtualDriverEx value. Adding and removing our module's name leaves every
// other entry, and every byte around it, as it was.
#pragma once

#include <string>

#include "platform/Registry.h"

namespace packaging {

// How often `name` stands in `list`: entries compared without the blanks
// around them and in any letter case. CountModule("A, kestavclientdriver", ..) => 1.
int CountModule(const std::string& list, const std::string& name);

// `name` appended, with the separator the list already uses (", " or ","),
// unless it is there already: AddModule("A, B", "K") => "A, B, K"; AddModule("", "K") => "K".
std::string AddModule(const std::string& list, const std::string& name);

// Every entry that is `name` removed, with one separator beside it, so that
// a list AddModule changed reads as before: RemoveModule("A, B, K", "K") => "A, B";
// RemoveModule("A,K,C", "K") => "A,C".
std::string RemoveModule(const std::string& list, const std::string& name);

enum class ListEdit {
    Done,       // written, or nothing to change
    WrongType,  // a type we do not edit (this way): left as it is
    Failed      // the registry refused the write
};
// Adds our module to (or removes it from) the ICA client's VirtualDriverEx in
// `view`, keeping the value's type (REG_SZ or REG_EXPAND_SZ). A REG_MULTI_SZ
// (another installer's rewrite) has our entry removed from each of its
// strings, the others' kept, and is never added to; a value of any other
// type belongs to somebody we do not know: nothing is changed.
ListEdit EditModuleList(platform::View view, bool add);
// Whether EditModuleList could add our module in `view` (absent, REG_SZ or
// REG_EXPAND_SZ), checked before an installer writes anything at all.
bool ModuleListEditable(platform::View view);

}  // namespace packaging
