#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/File.h"

namespace platform {

struct ChildProcess {
    pid_t pid;
    bool ended = false;
};

ChildProcess* StartChild(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& outputFile) {
    std::vector<std::string> all{NativePath(program)};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
        if (!outputFile.empty()) {
            const int out = open(NativePath(outputFile).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return new ChildProcess{pid};
}

bool ChildRunning(ChildProcess* child) {
    if (child->ended) return false;
    int status = 0;
    if (waitpid(child->pid, &status, WNOHANG) == child->pid) child->ended = true;
    return !child->ended;
}

bool WaitChild(ChildProcess* child, std::uint32_t timeoutMs) {
    for (std::uint32_t waited = 0; ChildRunning(child); waited += 10) {
        if (waited >= timeoutMs) return false;
        const timespec tenMs{0, 10 * 1000 * 1000};
        nanosleep(&tenMs, nullptr);
    }
    return true;
}

void EndChild(ChildProcess* child) {
    if (child == nullptr) return;
    if (ChildRunning(child)) {
        kill(child->pid, SIGKILL);
        waitpid(child->pid, nullptr, 0);
    }
    delete child;
}

}  // namespace platform
