// Values under HKLM, in a registry view chosen by the caller. Where there is
// no registry (POSIX) nothing is ever found and nothing can be written.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The registry view of this process's own bitness, or an explicit one.
enum class View { Own, Bits32, Bits64 };
// View::Bits32 for 32, View::Bits64 for 64.
View ViewOf(int bits);

// What a text value is: REG_SZ (Plain), REG_EXPAND_SZ (Expandable, read
// unexpanded), REG_MULTI_SZ (List: its strings joined by NUL bytes), or any
// other type (REG_BINARY, REG_DWORD, ...), whose bytes a text reader leaves alone.
enum class TextKind { Absent, Plain, Expandable, List, Other };
TextKind ReadMachineText(View view, const std::string& key, const char* name, std::string* value);
// Writes REG_SZ (Plain), REG_EXPAND_SZ (Expandable) or REG_MULTI_SZ (List);
// creates the key when needed.
bool WriteMachineText(View view, const std::string& key, const char* name, const std::string& value,
                      TextKind kind);
// A REG_BINARY value (what another program may have left where text belongs).
bool WriteMachineBinary(View view, const std::string& key, const char* name, const std::string& bytes);

// A REG_SZ (or REG_EXPAND_SZ, unexpanded) value. False when absent or of another type.
bool ReadMachineString(View view, const std::string& key, const char* name, std::string* value);
// Creates the key when needed.
bool WriteMachineString(View view, const std::string& key, const char* name,
                        const std::string& value);
// Removes a key without subkeys; true also when it was not there.
bool DeleteMachineKey(View view, const std::string& key);
// Removes a key only when it holds neither values nor subkeys; true when it
// is gone (or was not there), false when it holds something.
bool DeleteMachineKeyIfEmpty(View view, const std::string& key);

// What a value is, as far as a DWORD setting cares.
enum class ValueKind { Absent, Dword, Other };
// *value is set for a REG_DWORD only.
ValueKind ReadMachineDword(View view, const std::string& key, const char* name,
                           std::uint32_t* value);
bool WriteMachineDword(View view, const std::string& key, const char* name, std::uint32_t value);
// True also when it was not there.
bool DeleteMachineValue(View view, const std::string& key, const char* name);

// The current user's values (HKCU, one for both bitnesses where a program
// reads them as the Remote Desktop clients do): a REG_SZ or REG_EXPAND_SZ.
bool ReadUserString(const std::string& key, const char* name, std::string* value);
bool WriteUserString(const std::string& key, const char* name, const std::string& value);
// Removes a key without subkeys; true also when it was not there.
bool DeleteUserKey(const std::string& key);

}  // namespace platform
