// KestavRegisterAction.dll: the installer's custom action, run by the
// installation from its Binary table. It does what KestavRegister.exe does
// (packaging/Registration.h), with the arguments the package sets in the
// action's CustomActionData ("remove 64", "add 32 IsolateDriver=1 ..."), and
// writes each line it says into the installation's log, so that a refusal,
// or a list left alone on uninstall, is told where an administrator looks.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <sstream>
#include <string>
#include <vector>

#include "packaging/Registration.h"
#include "platform/win32/Wide.h"

namespace {

void Log(MSIHANDLE install, const std::string& line) {
    // The text as the record's one field, so that nothing in it is read as
    // a property reference of the log's template.
    const MSIHANDLE record = MsiCreateRecord(1);
    if (record == 0) return;
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, platform::Widen(line).c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

std::string CustomActionData(MSIHANDLE install) {
    DWORD size = 0;
    wchar_t none[1] = {L'\0'};
    if (MsiGetPropertyW(install, L"CustomActionData", none, &size) != ERROR_MORE_DATA) return std::string();
    std::wstring data(size + 1, L'\0');
    ++size;
    if (MsiGetPropertyW(install, L"CustomActionData", &data[0], &size) != ERROR_SUCCESS) return std::string();
    data.resize(size);
    return platform::Narrow(data);
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall KestavRegisterAction(MSIHANDLE install) {
    try {
        const std::string data = CustomActionData(install);
        std::vector<std::string> arguments;
        std::istringstream words(data);
        for (std::string word; words >> word;) arguments.push_back(word);
        Log(install, "KestavRegister: " + data);
        const int status = packaging::Register(arguments, [install](const std::string& line) { Log(install, line); });
        return status == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
    } catch (...) {
        return ERROR_INSTALL_FAILURE;
    }
}
