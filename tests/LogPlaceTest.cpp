// Where the module logs on Linux, tried as another user of the PC would: the
// log is in a folder of the user's own (the session's runtime folder, else
// one made for the user in the temporary folder), and whatever is put at its
// place (a FIFO, with or without a reader, a link, a socket, a device,
// another user's file or folder) never blocks the client, never receives a
// line, and is named once on standard error and by the client check; the log
// moves to a fresh folder of the user's alone and says why.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/File.h"
#include "tests/support/TestSupport.h"
#include "tools/host/Engine.h"

namespace fs = std::filesystem;

namespace {

std::string ModulePath() { return testing_support::ExecutableFolder() + "/" + KST_MODULE_FILE; }

struct Session {
    bool answered = false;     // within the time limit
    std::string response;      // to "Hello"
    std::string errorOutput;   // the module's standard error
};

// The module loaded into a child process (a fresh copy, as a client's) and
// asked "Hello" twice, with its standard error in a file: a child blocked
// for good in the log's open is ended, and says so by not answering.
Session RunModule(const std::string& folder) {
    const std::string errors = folder + "/stderr.txt";
    int answer[2];
    if (pipe(answer) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(answer[0]);
        const int file = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, 2);
        standin::Engine engine;
        std::string error, response;
        if (engine.LoadModule(ModulePath(), &error) && engine.Open() == 0)
            for (int i = 0; i < 2; ++i) {
                const auto sent = engine.Run("KstCmd1", "Hello");
                response = sent.empty() ? "(nothing)" : sent.back().bytes;
            }
        (void)!write(answer[1], response.data(), response.size());
        _exit(0);
    }
    close(answer[1]);
    Session session;
    pollfd ready{answer[0], POLLIN, 0};
    session.answered = poll(&ready, 1, 15000) == 1;
    char bytes[256];
    const ssize_t got = session.answered ? read(answer[0], bytes, sizeof bytes) : 0;
    if (got > 0) session.response.assign(bytes, std::size_t(got));
    close(answer[0]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    session.errorOutput = testing_support::ReadFile(errors);
    return session;
}

TEST(LogPlace, AFolderOfTheUsersOwn) {
    if (testing_support::OnWindows()) GTEST_SKIP() << "Windows' temporary folder is the user's own";
    testing_support::ScopedTempFolder temp;
    const std::string own = temp.Path() + "/kestav-" + std::to_string(geteuid());
    fs::remove_all(own);
    // No runtime folder: one is made for the user in the temporary folder.
    EXPECT_EQ(temp.LogPath(), own + "/KestavClientDriver.log");
    Session session = RunModule(temp.Path());
    EXPECT_EQ(session.response, "OK|Hello");
    struct stat status {};
    ASSERT_EQ(stat(own.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_NE(testing_support::ReadFile(temp.LogPath()).find("Hello -> Hello"), std::string::npos);
    // The session's runtime folder, where there is one.
    const std::string runtime = temp.Path() + "/run";
    fs::create_directory(runtime);
    chmod(runtime.c_str(), 0700);
    platform::SetEnvironment("XDG_RUNTIME_DIR", runtime);
    EXPECT_EQ(temp.LogPath(), runtime + "/KestavClientDriver.log");
    session = RunModule(temp.Path());
    EXPECT_EQ(session.response, "OK|Hello");
    EXPECT_NE(testing_support::ReadFile(runtime + "/KestavClientDriver.log").find("Hello -> Hello"),
              std::string::npos);
    EXPECT_EQ(session.errorOutput, "");
    platform::SetEnvironment("XDG_RUNTIME_DIR", "");
}

TEST(LogPlace, WhatAnotherUserPutsThereIsNeverWrittenNorWaitedFor) {
    if (testing_support::OnWindows()) GTEST_SKIP() << "Windows' temporary folder is the user's own";
    const bool root = geteuid() == 0;  // only root can give a file to another user, or make a device
    struct Case {
        const char* what;
        bool needsRoot;
        // Puts it in place (the log's path, its folder); returns what undoes it.
        std::function<std::function<void()>(const std::string& log, const std::string& folder)> put;
        const char* why;  // the end of the words that name it
    };
    const Case cases[] = {
        {"a FIFO with no reader", false,
         [](const std::string& log, const std::string&) {
             mkfifo(log.c_str(), 0666);
             return std::function<void()>([] {});
         },
         "KestavClientDriver.log is a FIFO"},
        {"a FIFO someone reads", false,
         [](const std::string& log, const std::string&) {
             mkfifo(log.c_str(), 0666);
             const int reader = open(log.c_str(), O_RDONLY | O_NONBLOCK);
             return std::function<void()>([reader, log] {
                 char byte;
                 EXPECT_LE(read(reader, &byte, 1), 0) << "a line went into the FIFO";
                 close(reader);
             });
         },
         "KestavClientDriver.log is a FIFO"},
        {"a link", false,
         [](const std::string& log, const std::string& folder) {
             fs::create_symlink(folder + "/elsewhere", log);
             return std::function<void()>([folder] { EXPECT_FALSE(fs::exists(folder + "/elsewhere")); });
         },
         "KestavClientDriver.log is a link"},
        {"a socket", false,
         [](const std::string& log, const std::string&) {
             const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::snprintf(address.sun_path, sizeof address.sun_path, "%s", log.c_str());
             bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
             return std::function<void()>([listener] { close(listener); });
         },
         "KestavClientDriver.log is a socket"},
        {"a device", true,
         [](const std::string& log, const std::string&) {
             mknod(log.c_str(), S_IFCHR | 0666, makedev(1, 3));  // as /dev/null
             return std::function<void()>([] {});
         },
         "KestavClientDriver.log is a device"},
        {"another user's file", true,
         [](const std::string& log, const std::string&) {
             testing_support::WriteFile(log, "theirs\n");
             (void)!chown(log.c_str(), 65534, 65534);
             return std::function<void()>([log] { EXPECT_EQ(testing_support::ReadFile(log), "theirs\n"); });
         },
         "KestavClientDriver.log is another user's file (uid 65534)"},
        {"the folder another user's", true,
         [](const std::string&, const std::string& folder) {
             (void)!chown(folder.c_str(), 65534, 65534);
             return std::function<void()>([] {});
         },
         " is another user's (uid 65534)"},
        {"the folder open to all", false,
         [](const std::string&, const std::string& folder) {
             chmod(folder.c_str(), 0777);
             return std::function<void()>([] {});
         },
         " can be written by other users"},
        {"the folder a link", false,
         [](const std::string&, const std::string& folder) {
             fs::remove_all(folder);
             fs::create_directory(folder + ".real");
             chmod((folder + ".real").c_str(), 0700);
             fs::create_directory_symlink(folder + ".real", folder);
             return std::function<void()>(
                 [folder] { EXPECT_FALSE(fs::exists(folder + ".real/KestavClientDriver.log")); });
         },
         " is a link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !root) continue;
        testing_support::ScopedTempFolder temp;
        const std::string log = temp.LogPath();
        const std::string folder = fs::path(log).parent_path().string();
        const std::function<void()> check = c.put(log, folder);
        const std::string problem = platform::LogPlaceProblem(log);
        EXPECT_GE(problem.size(), std::strlen(c.why));
        EXPECT_EQ(problem.substr(problem.size() - std::min(problem.size(), std::strlen(c.why))), c.why) << problem;
        const Session session = RunModule(temp.Path());
        EXPECT_TRUE(session.answered) << "the client waited on the log";
        EXPECT_EQ(session.response, "OK|Hello");
        // Said once, on standard error: the log moved to a fresh folder of the user's alone.
        const std::string said = "Kestav client driver: the log is in ";
        const std::string::size_type end = session.errorOutput.find(": ", said.size());
        const std::string movedTo = session.errorOutput.substr(said.size(), end - said.size());
        EXPECT_EQ(session.errorOutput, said + movedTo + ": " + problem + "\n");
        const std::string fresh = temp.Path() + "/kestav-" + std::to_string(geteuid()) + ".";
        EXPECT_EQ(movedTo.compare(0, fresh.size(), fresh), 0) << movedTo;
        struct stat status {};
        ASSERT_EQ(lstat(movedTo.c_str(), &status), 0) << movedTo;
        EXPECT_TRUE(S_ISDIR(status.st_mode) && (status.st_mode & 0777) == 0700 && status.st_uid == geteuid());
        const std::string moved = testing_support::ReadFile(movedTo + "/KestavClientDriver.log");
        EXPECT_EQ(moved.rfind("The log is here because " + problem + "\n", 0), 0u) << moved;
        EXPECT_NE(moved.find("Hello -> Hello"), std::string::npos);
        check();
    }
}

}  // namespace
