#include "platform/Registry.h"

#include <windows.h>

#include "platform/win32/Wide.h"

namespace platform {

namespace {
REGSAM ViewFlag(View view) {
    switch (view) {
        case View::Bits32:
            return KEY_WOW64_32KEY;
        case View::Bits64:
            return KEY_WOW64_64KEY;
        default:
            return 0;  // the view of this process's own bitness
    }
}

// Closes the key it holds when it goes.
struct Key {
    HKEY handle = nullptr;
    ~Key() {
        if (handle != nullptr) RegCloseKey(handle);
    }
};

// A text value of an open key, read in UTF-16 so that a path the ANSI code
// page cannot spell comes through whole (as UTF-8).
TextKind QueryText(HKEY key, const char* name, std::string* value) {
    const std::wstring wideName = Widen(name);
    DWORD type = 0, size = 0;
    LONG status = RegQueryValueExW(key, wideName.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return TextKind::Absent;
    const auto textType = [](DWORD t) { return t == REG_SZ || t == REG_EXPAND_SZ || t == REG_MULTI_SZ; };
    if (status != ERROR_SUCCESS || !textType(type)) return TextKind::Other;
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (size > 0)
        status = RegQueryValueExW(key, wideName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &size);
    if (status != ERROR_SUCCESS || !textType(type)) return TextKind::Other;
    text.resize(size / sizeof(wchar_t));
    // A list's strings stay apart by their NULs; only the terminators go.
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    *value = Narrow(text);
    return type == REG_SZ ? TextKind::Plain : type == REG_EXPAND_SZ ? TextKind::Expandable : TextKind::List;
}

// A text value written as UTF-16.
bool SetText(HKEY key, const char* name, const std::string& value, DWORD type) {
    const std::wstring text = Widen(value);
    return RegSetValueExW(key, Widen(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                          DWORD((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}
}  // namespace

View ViewOf(int bits) {
    return bits == 64 ? View::Bits64 : View::Bits32;
}

TextKind ReadMachineText(View view, const std::string& key, const char* name, std::string* value) {
    Key open;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view),
                      &open.handle) != ERROR_SUCCESS)
        return TextKind::Absent;
    return QueryText(open.handle, name, value);
}

namespace {
bool WriteValue(View view, const std::string& key, const char* name, DWORD type, const void* bytes,
                std::size_t size) {
    Key open;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | ViewFlag(view), nullptr, &open.handle,
                        nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(open.handle, name, 0, type, static_cast<const BYTE*>(bytes), DWORD(size)) ==
           ERROR_SUCCESS;
}
}  // namespace

bool WriteMachineText(View view, const std::string& key, const char* name, const std::string& value,
                      TextKind kind) {
    Key open;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | ViewFlag(view), nullptr, &open.handle,
                        nullptr) != ERROR_SUCCESS)
        return false;
    if (kind == TextKind::List)  // its last string's terminator, and the list's
        return SetText(open.handle, name, value + std::string(1, '\0'), REG_MULTI_SZ);
    return SetText(open.handle, name, value, kind == TextKind::Expandable ? REG_EXPAND_SZ : REG_SZ);
}

bool WriteMachineBinary(View view, const std::string& key, const char* name, const std::string& bytes) {
    return WriteValue(view, key, name, REG_BINARY, bytes.data(), bytes.size());
}

bool ReadMachineString(View view, const std::string& key, const char* name, std::string* value) {
    const TextKind kind = ReadMachineText(view, key, name, value);
    return kind == TextKind::Plain || kind == TextKind::Expandable;
}

bool WriteMachineString(View view, const std::string& key, const char* name,
                        const std::string& value) {
    return WriteMachineText(view, key, name, value, TextKind::Plain);
}

bool DeleteMachineKey(View view, const std::string& key) {
    const LONG status = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), ViewFlag(view), 0);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool DeleteMachineKeyIfEmpty(View view, const std::string& key) {
    {
        Key open;
        const LONG opened =
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view), &open.handle);
        if (opened == ERROR_FILE_NOT_FOUND) return true;
        DWORD subkeys = 0, values = 0;
        if (opened != ERROR_SUCCESS ||
            RegQueryInfoKeyA(open.handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            subkeys != 0 || values != 0)
            return false;
    }
    return DeleteMachineKey(view, key);
}

ValueKind ReadMachineDword(View view, const std::string& key, const char* name,
                           std::uint32_t* value) {
    Key open;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view),
                      &open.handle) != ERROR_SUCCESS)
        return ValueKind::Absent;
    DWORD type = 0, data = 0, size = sizeof data;
    const LONG status = RegQueryValueExA(open.handle, name, nullptr, &type,
                                         reinterpret_cast<BYTE*>(&data), &size);
    if (status == ERROR_FILE_NOT_FOUND) return ValueKind::Absent;
    // ERROR_MORE_DATA: a longer value, so not a DWORD either.
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof data) return ValueKind::Other;
    *value = data;
    return ValueKind::Dword;
}

bool WriteMachineDword(View view, const std::string& key, const char* name, std::uint32_t value) {
    Key open;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | ViewFlag(view), nullptr, &open.handle,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD data = value;
    return RegSetValueExA(open.handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof data) == ERROR_SUCCESS;
}

bool DeleteMachineValue(View view, const std::string& key, const char* name) {
    Key open;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0,
                                      KEY_SET_VALUE | ViewFlag(view), &open.handle);
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) return false;
    const LONG status = RegDeleteValueA(open.handle, name);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool ReadUserString(const std::string& key, const char* name, std::string* value) {
    Key open;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, Widen(key).c_str(), 0, KEY_QUERY_VALUE, &open.handle) != ERROR_SUCCESS)
        return false;
    const TextKind kind = QueryText(open.handle, name, value);
    return kind == TextKind::Plain || kind == TextKind::Expandable;
}

bool WriteUserString(const std::string& key, const char* name, const std::string& value) {
    Key open;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, Widen(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &open.handle, nullptr) != ERROR_SUCCESS)
        return false;
    return SetText(open.handle, name, value, REG_SZ);
}

bool DeleteUserKey(const std::string& key) {
    const LONG status = RegDeleteKeyW(HKEY_CURRENT_USER, Widen(key).c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace platform
