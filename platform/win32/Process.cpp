#include "platform/Process.h"

#include <memory>

#include "platform/win32/Handles.h"
#include "platform/win32/Wide.h"

namespace platform {

struct ChildProcess {
    Handle process;
};

namespace {
// One argument as the C runtime reads it back: quoted, with quotes and the
// backslashes before them escaped.
std::string Quoted(const std::string& argument) {
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}
}  // namespace

ChildProcess* StartChild(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& outputFile) {
    std::string quoted = Quoted(program);
    for (const std::string& argument : arguments) quoted += " " + Quoted(argument);
    std::wstring commandLine = Widen(quoted);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    Handle output;
    if (!outputFile.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        output.Reset(CreateFileW(Widen(outputFile).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (output.value == nullptr) return nullptr;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output.value;
        startup.hStdError = output.value;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(Widen(program).c_str(), &commandLine[0], nullptr, nullptr,
                        output.value != nullptr, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    auto* child = new ChildProcess;
    child->process.Reset(info.hProcess);
    return child;
}

bool ChildRunning(ChildProcess* child) {
    return WaitForSingleObject(child->process.value, 0) == WAIT_TIMEOUT;
}

bool WaitChild(ChildProcess* child, std::uint32_t timeoutMs) {
    return WaitForSingleObject(child->process.value, timeoutMs) == WAIT_OBJECT_0;
}

void EndChild(ChildProcess* child) {
    if (child == nullptr) return;
    if (ChildRunning(child)) {
        TerminateProcess(child->process.value, 1);
        WaitForSingleObject(child->process.value, 5000);
    }
    delete child;
}

}  // namespace platform
