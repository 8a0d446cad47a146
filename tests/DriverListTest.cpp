// The VirtualDriverEx list: our name added once, removed exactly.
#include <gtest/gtest.h>

#include "packaging/DriverList.h"
#include "packaging/Names.h"

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

// In the registry: the value keeps its type, and a value of a type we do not
// edit (another program's REG_MULTI_SZ or REG_BINARY) is never touched.
class ModuleListInRegistry : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        platform::DeleteMachineValue(platform::View::Own, names::kCitrixModuleListKey, names::kCitrixModuleListValue);
    }
    static platform::TextKind Read(std::string* list) {
        return platform::ReadMachineText(platform::View::Own, names::kCitrixModuleListKey,
                                         names::kCitrixModuleListValue, list);
    }
};

TEST_F(ModuleListInRegistry, KeepsTheValuesTypeAndLeavesOtherTypesAlone) {
    using platform::TextKind;
    struct Case {
        TextKind kind;  // Other: REG_BINARY
        std::string before;
        ListEdit result;
        TextKind kindAfter;
        std::string installed;
    };
    const Case cases[] = {
        {TextKind::Absent, "", ListEdit::Done, TextKind::Plain, kOurs},
        {TextKind::Plain, "A, B", ListEdit::Done, TextKind::Plain, "A, B, " + kOurs},
        {TextKind::Expandable, "A,%VENDOR%", ListEdit::Done, TextKind::Expandable, "A,%VENDOR%," + kOurs},
        {TextKind::Other, "A\0B\0", ListEdit::WrongType, TextKind::Other, ""},
    };
    for (const Case& c : cases) {
        Clear();
        const auto key = names::kCitrixModuleListKey;
        const auto value = names::kCitrixModuleListValue;
        if (c.kind == TextKind::Other) {
            ASSERT_TRUE(platform::WriteMachineBinary(platform::View::Own, key, value, c.before));
        } else if (c.kind != TextKind::Absent) {
            ASSERT_TRUE(platform::WriteMachineText(platform::View::Own, key, value, c.before, c.kind));
        }
        EXPECT_EQ(ModuleListEditable(platform::View::Own), c.result == ListEdit::Done);
        EXPECT_EQ(EditModuleList(platform::View::Own, true), c.result);
        std::string list;
        EXPECT_EQ(Read(&list), c.kindAfter);
        if (c.kindAfter != TextKind::Other) {
            EXPECT_EQ(list, c.installed);
        }
        EXPECT_EQ(EditModuleList(platform::View::Own, false), c.result);
        list.clear();
        const TextKind after = Read(&list);
        if (c.kind == TextKind::Absent) {
            EXPECT_TRUE(after == TextKind::Plain && list.empty()) << "an empty list is left";
        } else {
            EXPECT_EQ(after, c.kind == TextKind::Other ? TextKind::Other : c.kind);
            if (after != TextKind::Other) {
                EXPECT_EQ(list, c.before);
            }
        }
    }
}

}  // namespace
