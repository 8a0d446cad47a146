// kestav-register's work on a stand-in Citrix Workspace app folder: the link
// and the module.ini entries made once, taken away exactly, and anything not
// its own left alone. And the wake-up of the client's engine on Linux.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "packaging/CitrixLinux.h"
#include "packaging/ModuleIni.h"
#include "platform/CitrixEngine.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

const std::string kIni = "[ICA 3.0]\nVirtualDriver = Thinwire3.0\nThinwire3.0 = On\n\n[Thinwire3.0]\nDriverName = VDTW30.DLL\n";

class CitrixLinuxTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(client / "config");
        testing_support::WriteFile((client / "config/module.ini").string(), kIni);
        testing_support::WriteFile(module, "module");
    }
    int Run(const std::string& verb) {
        said.clear();
        return packaging::RegisterWithCitrixLinux({verb, client.string()}, module,
                                                  [this](const std::string& line) { said += line + "\n"; });
    }
    std::string Ini() { return testing_support::ReadFile((client / "config/module.ini").string()); }
    fs::path Link() { return client / "VDKESTAV.DLL"; }

    testing_support::ScopedTempFolder temp;
    const fs::path client = fs::path(temp.Path()) / "ICAClient";
    const std::string module = temp.Path() + "/KestavClientDriverICA.so";
    std::string said;
};

TEST_F(CitrixLinuxTest, AddedOnceAndTakenAwayExactly) {
    chmod((client / "config/module.ini").c_str(), 0640);
    // The client's owner, not the installer's, whoever runs it.
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown((client / "config/module.ini").c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(Run("add"), 0) << said;
    EXPECT_EQ(fs::read_symlink(Link()), module);
    const std::string added = Ini();
    EXPECT_NE(added.find("Thinwire3.0, KestavClientDriver\nKestavClientDriver = On\n"), std::string::npos) << added;
    EXPECT_NE(added.find("\n\n[KestavClientDriver]\nDriverName = VDKESTAV.DLL\n"), std::string::npos) << added;
    EXPECT_EQ(fs::status(client / "config/module.ini").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(Run("add"), 0) << said;  // again, as a reinstall does
    EXPECT_EQ(Ini(), added);
    EXPECT_FALSE(fs::exists(client / "config/module.ini.kestav-new"));

    ASSERT_EQ(Run("remove"), 0) << said;
    EXPECT_NE(said.find("removed KestavClientDriver from "), std::string::npos) << said;
    EXPECT_EQ(Ini(), kIni);
    struct stat status {};
    ASSERT_EQ(stat((client / "config/module.ini").c_str(), &status), 0);
    if (root) {
        EXPECT_EQ(status.st_uid, 65534u);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(Link())));
    EXPECT_EQ(Run("remove"), 0) << said;
    EXPECT_EQ(Ini(), kIni);
}

// Two registrations at once (a reinstall beside another, or beside a removal):
// one after the other, so that module.ini names the link exactly when it is there.
TEST_F(CitrixLinuxTest, RegistrationsAtOnceTakeTurns) {
    const char* const pairs[][2] = {{"add", "add"}, {"add", "remove"}, {"remove", "add"}};
    for (int round = 0; round < 300; ++round) {
        const auto& verbs = pairs[round % 3];
        std::atomic<int> ready{0};
        const auto run = [&](const char* verb) {
            ++ready;
            while (ready < 2) std::this_thread::yield();  // both start together
            (void)packaging::RegisterWithCitrixLinux({verb, client.string()}, module, [](const std::string&) {});
        };
        std::thread other(run, verbs[1]);
        run(verbs[0]);
        other.join();
        const bool named = packaging::ReadModuleIniEntries(Ini(), "KestavClientDriver").section;
        ASSERT_EQ(named, fs::exists(fs::symlink_status(Link()))) << round << ": " << Ini();
        ASSERT_FALSE(fs::exists(client / "config/module.ini.kestav-new")) << round;
    }
    EXPECT_EQ(Run("remove"), 0) << said;
    EXPECT_EQ(Ini(), kIni);
}

// What is not the package's own stays as it is, and nothing is registered: a
// folder without a client, files not ours, a module.ini it cannot read; a step
// that fails takes back only what it made (the link an earlier add made stays).
TEST_F(CitrixLinuxTest, WhatIsNotOursIsLeftAlone) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& client)> make;
        const char* said;
        int removed;  // remove's result: 1 where it cannot read module.ini (said, never blocking); -1 not tried
    };
    const Case cases[] = {
        {"no client", [](const fs::path& c) { fs::remove_all(c), fs::create_directories(c); }, "no Citrix Workspace app in ", 0},
        {"a file of the module's name", [](const fs::path& c) { testing_support::WriteFile((c / "VDKESTAV.DLL").string(), "x"); },
         "is there and is not this package's link", 0},
        {"a link elsewhere", [](const fs::path& c) { fs::create_symlink("/bin/true", c / "VDKESTAV.DLL"); },
         "is there and is not this package's link", 0},
        {"module.ini too large",
         [](const fs::path& c) {
             testing_support::WriteFile((c / "config/module.ini").string(),
                                        kIni + std::string((1u << 20) + 1 - kIni.size(), ';'));
         },
         "is larger than 1048576 bytes", 1},
        {"module.ini a link",
         [](const fs::path& c) {
             fs::rename(c / "config/module.ini", c / "config/real.ini");
             fs::create_symlink("real.ini", c / "config/module.ini");
         },
         "it is not a plain file", 1},
        {"module.ini without the list",
         [](const fs::path& c) { testing_support::WriteFile((c / "config/module.ini").string(), "[ICA 3.0]\n"); },
         "has no VirtualDriver list", 0},
        {"a new file that cannot be made",
         [this](const fs::path& c) {
             ASSERT_EQ(Run("add"), 0) << said;
             testing_support::WriteFile((c / "config/module.ini").string(), kIni);  // entries taken out by hand
             fs::create_directories(c / "config/module.ini.kestav-new/x");
         },
         "cannot be written", -1},
    };
    const auto listing = [&] {  // every name in the client's folder, and where each link leads
        std::string names;
        for (const auto& entry : fs::recursive_directory_iterator(client))
            names += entry.path().string() + (entry.is_symlink() ? " -> " + fs::read_symlink(entry).string() : "") + "\n";
        return names;
    };
    for (const Case& c : cases) {
        fs::remove_all(client);
        SetUp();
        c.make(client);
        const std::string before = testing_support::ReadFile((client / "config/module.ini").string()), was = listing();
        EXPECT_EQ(Run("add"), 1) << c.name;
        EXPECT_NE(said.find(c.said), std::string::npos) << c.name << ": " << said;
        EXPECT_EQ(testing_support::ReadFile((client / "config/module.ini").string()), before) << c.name;
        EXPECT_EQ(listing(), was) << c.name << ": nothing made, nothing taken away";
        if (c.removed < 0) continue;
        EXPECT_EQ(Run("remove"), c.removed) << c.name;
        EXPECT_EQ(listing(), was) << c.name << ": not ours, not removed";
        EXPECT_TRUE(c.removed != 0 || said.find("nothing to remove") != std::string::npos) << c.name << ": " << said;
    }
}

TEST_F(CitrixLinuxTest, ArgumentsItDoesNotTake) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, {"register"}, {"add", "a", "b"}}) {
        std::string usage;
        EXPECT_EQ(packaging::RegisterWithCitrixLinux(arguments, module, [&](const std::string& l) { usage += l; }), 2);
        EXPECT_EQ(usage.rfind("usage: kestav-register add|remove", 0), 0u) << usage;
    }
}

// The instrument thread's wake-up of the engine: however many responses
// wake it before its loop reads, a signal never waits (the pipe is full, so
// the engine is woken already); one drain empties it.
TEST(WakePipe, SignalsNeverWaitAndOneDrainEmptiesIt) {
    platform::WakePipe pipe;
    ASSERT_TRUE(pipe.Open());
    auto signalled = std::async(std::launch::async, [&] {
        for (int i = 0; i < 200000; ++i) pipe.Signal();  // beyond any pipe's capacity
    });
    if (signalled.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "a signal waited for the engine to read";
        std::fflush(stdout), std::_Exit(1);
    }
    pollfd ready{pipe.ReadEnd(), POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, 0), 1);
    pipe.Drain();
    EXPECT_EQ(poll(&ready, 1, 0), 0) << "one drain empties it";
}

}  // namespace
