// The driver host on Linux, where no job object ties it to the client: it
// inherits nothing of the client's but its link, section and events, and it
// ends when the client ends, however the client ends, even while its driver
// hangs in a call.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "driver/Machine.h"
#include "platform/HostProcess.h"
#include "tests/support/TestSupport.h"
#include "tools/host/Engine.h"

namespace fs = std::filesystem;

namespace {

std::set<int> OpenDescriptors(std::uint32_t pid) {
    std::set<int> fds;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        fds.insert(std::stoi(entry.path().filename().string()));
    return fds;
}

// The processes started by `pid` (its threads' children).
std::set<std::uint32_t> Children(std::uint32_t pid) {
    std::set<std::uint32_t> children;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream list(task.path() / "children");
        for (std::uint32_t child; list >> child;) children.insert(child);
    }
    return children;
}

TEST(HostLifetime, TheHostInheritsNothingButWhatItIsGiven) {
    if (testing_support::OnWindows()) GTEST_SKIP() << "Windows hands the host its handles one by one";
    testing_support::ScopedTempFolder temp;
    // A descriptor of the client's that any child would inherit, just
    // above those the host is given (3 to 6), where a closing loop that
    // starts one too high would leave it.
    // Whatever this process holds there now (a log file of an earlier
    // test) is set aside and put back afterwards.
    const int aside = fcntl(7, F_DUPFD_CLOEXEC, 100);
    const int opened = open("/dev/null", O_RDONLY);
    ASSERT_GE(opened, 0);
    const int leaky = dup2(opened, 7);
    close(opened);
    ASSERT_EQ(leaky, 7);
    standin::Engine engine;
    std::string error;
    ASSERT_TRUE(engine.LoadModule(testing_support::ExecutableFolder() + "/" + KST_MODULE_FILE, &error)) << error;
    ASSERT_EQ(engine.Open(), 0);
    ASSERT_EQ(engine.Run("KstCmd1", "Init|sim|").back().bytes, "OK");
    const auto pids = testing_support::LoggedHostPids(temp.LogPath());
    ASSERT_EQ(pids.size(), 1u);
    // Standard streams, the link, the section and the two events; the
    // host's own watcher adds none.
    const std::set<int> fds = OpenDescriptors(pids[0]);
    EXPECT_EQ(fds, (std::set<int>{0, 1, 2, 3, 4, 5, 6})) << "the client's descriptor is " << leaky;
    engine.UnloadModule();
    close(leaky);
    if (aside >= 0) {
        dup2(aside, 7);
        close(aside);
    }
}

// The host takes its link only as the socket it must be: given anything
// else under the link's number, it ends at once with its own code.
TEST(HostLifetime, TheHostTakesNothingButASocketForItsLink) {
    if (testing_support::OnWindows()) GTEST_SKIP() << "Windows hands the host a pipe by name";
    const std::string host = testing_support::ExecutableFolder() + "/" + driver::DriverHostFile(sizeof(void*) * 8);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int notASocket = open("/dev/null", O_RDWR);
        dup2(notASocket, 3);
        execl(host.c_str(), host.c_str(), "3", nullptr);
        _exit(127);
    }
    int status = 0;
    const bool ended = testing_support::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 10);
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    ASSERT_TRUE(ended) << "the host went on";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << "kNoModule: no link to the module";
}

// A host that has not even started its program when the time to start is
// up is no host: ended, with the time-out's code. (Here the time is none at
// all, so nearly every try ends before the child has run its program.)
TEST(HostLifetime, AHostThatDidNotStartInTimeIsNoHost) {
    if (testing_support::OnWindows()) GTEST_SKIP() << "Windows starts the host in one call";
    const std::string host = testing_support::ExecutableFolder() + "/" + driver::DriverHostFile(sizeof(void*) * 8);
    int refused = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        platform::HostHandles handles;
        std::uint32_t error = 0;
        platform::HostProcess* started = platform::StartHostProcess(host, "", 4096, 0, &handles, &error);
        if (started != nullptr) {
            platform::EndHostProcess(started, 0);  // it had started by then: fine
            continue;
        }
        EXPECT_EQ(error, 1460u);
        ++refused;
    }
    EXPECT_GT(refused, 0) << "a host whose program had not started was counted as started";
}

TEST(HostLifetime, TheHostEndsWithAKilledClientWhileItsDriverHangs) {
    if (testing_support::OnWindows()) GTEST_SKIP() << "Windows ends the host through its job object";
    testing_support::ScopedTempFolder temp;
    // The client: kestav-check running the self-test of a driver that hangs
    // in Measure, with a time limit far away.
    const std::string check = testing_support::ExecutableFolder() + "/kestav-check";
    const std::string driver = testing_support::DriverFilePath("SelfTest", "hang-in-measure");
    const pid_t client = fork();
    ASSERT_GE(client, 0);
    if (client == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        execl(check.c_str(), check.c_str(), "--self-test", driver.c_str(), "--timeout", "600", nullptr);
        _exit(127);
    }
    std::uint32_t host = 0;
    const bool started = testing_support::WaitUntil([&] {
        const auto children = Children(std::uint32_t(client));
        if (!children.empty()) host = *children.begin();
        return !children.empty();
    });
    ASSERT_TRUE(started) << "no driver host under the client";
    // The twenty calls before Measure take milliseconds: then it hangs there.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(testing_support::ProcessIsRunning(host));
    kill(client, SIGKILL);
    waitpid(client, nullptr, 0);
    EXPECT_TRUE(testing_support::WaitUntil([&] { return !testing_support::ProcessIsRunning(host); }, 10))
        << "the driver host " << host << " outlived its killed client";
    if (testing_support::ProcessIsRunning(host)) kill(pid_t(host), SIGKILL);
}

}  // namespace
