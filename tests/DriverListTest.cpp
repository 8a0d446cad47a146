// The VirtualDriverEx list: our name added once, removed exactly.
#include <gtest/gtest.h>

#include "packaging/DriverList.h"

using namespace packaging;

namespace {

const std::string kOurs = "KestavClientDriver";

struct ListCase {
    const char* what;
    std::string before;      // as the administrator's machine has it
    std::string installed;   // after AddModule
    std::string uninstalled; // after RemoveModule of that
};

TEST(DriverList, AddOnceRemoveExactly) {
    const ListCase cases[] = {
        {"empty list", "", kOurs, ""},
        {"only ours", kOurs, kOurs, ""},
        {"others, comma and blank", "Thinwire3.0, CtxTwi, Vendor1", "Thinwire3.0, CtxTwi, Vendor1, " + kOurs,
         "Thinwire3.0, CtxTwi, Vendor1"},
        {"others, bare commas", "A,B", "A,B," + kOurs, "A,B"},
        {"ours first", kOurs + ",A,B", kOurs + ",A,B", "A,B"},
        {"ours first, comma and blank", kOurs + ", A, B", kOurs + ", A, B", "A, B"},
        {"ours in the middle", "A, " + kOurs + ", B", "A, " + kOurs + ", B", "A, B"},
        {"ours last", "A, " + kOurs, "A, " + kOurs, "A"},
        {"blanks around commas", "A ,  " + kOurs + "  , B", "A ,  " + kOurs + "  , B", "A , B"},
        {"other letter case", "A,kestavclientdriver", "A,kestavclientdriver", "A"},
        {"a longer name that only starts like ours", "A," + kOurs + "X", "A," + kOurs + "X," + kOurs,
         "A," + kOurs + "X"},
    };
    for (const ListCase& c : cases) {
        EXPECT_EQ(AddModule(c.before, kOurs), c.installed) << c.what;
        EXPECT_EQ(CountModule(AddModule(c.before, kOurs), kOurs), 1) << c.what;
        EXPECT_EQ(AddModule(AddModule(c.before, kOurs), kOurs), c.installed) << c.what << ": twice";
        EXPECT_EQ(RemoveModule(c.installed, kOurs), c.uninstalled) << c.what;
        EXPECT_EQ(CountModule(c.uninstalled, kOurs), 0) << c.what;
    }
}

TEST(DriverList, AnotherModuleAddedAfterOursStaysOnUninstall) {
    const std::string installed = AddModule("Alpha, Beta", kOurs);
    EXPECT_EQ(RemoveModule(installed + ", Gamma", kOurs), "Alpha, Beta, Gamma");
    EXPECT_EQ(RemoveModule("Alpha, " + kOurs + ", Gamma, " + kOurs, kOurs), "Alpha, Gamma")
        << "a name twice (by hand) goes entirely";
}

}  // namespace
