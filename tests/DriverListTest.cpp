// The VirtualDriverEx list: our name added once, removed exactly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packaging/DriverList.h"
#include "packaging/Registration.h"
#include "platform/Names.h"
#include "tests/support/TestSupport.h"

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


// Another installer's REG_MULTI_SZ list is never added to: an install of
// ours would have to guess its form.
TEST_F(ModuleListInRegistry, AListOfSeveralStringsIsNeverAddedTo) {
    const std::string strings("Thinwire3.0\0Vendor9", 19);
    ASSERT_TRUE(platform::WriteMachineText(platform::View::Own, names::kCitrixModuleListKey,
                                           names::kCitrixModuleListValue, strings, platform::TextKind::List));
    EXPECT_FALSE(ModuleListEditable(platform::View::Own));
    EXPECT_EQ(EditModuleList(platform::View::Own, true), ListEdit::WrongType);
    std::string list;
    EXPECT_EQ(Read(&list), platform::TextKind::List);
    EXPECT_EQ(list, strings);
}

// The registration as the installer runs it, against lists another product
// left behind: an install refuses a list it does not edit and writes
// nothing; an uninstall is never blocked, takes our entry out of a
// REG_MULTI_SZ list (its type and the others' kept) and leaves any other
// type alone with a warning; every refusal and warning is said.
TEST(Registration, AnotherProductsListNeverBlocksTheUninstall) {
    using platform::TextKind;
    const platform::View view = platform::View::Bits64;
    const auto key = names::kCitrixModuleListKey;
    const auto value = names::kCitrixModuleListValue;
    const std::string nothingChanged = "is neither REG_SZ nor REG_EXPAND_SZ (64-bit registry view): another "
                                       "program keeps it in a form this tool does not edit; nothing was changed";
    struct Case {
        const char* what;
        TextKind kind;
        std::string list;  // a REG_MULTI_SZ's strings apart by NULs
        int installed;     // what "add" returns
        std::string removed;  // the list after "remove" ("" for a binary value: as it was)
        const char* said;     // part of what "remove" says ("": nothing)
    };
    const Case cases[] = {
        {"a REG_SZ", TextKind::Plain, "Thinwire3.0, " + kOurs + ", Vendor9", 0, "Thinwire3.0, Vendor9", ""},
        {"a REG_MULTI_SZ with ours", TextKind::List, std::string("Thinwire3.0\0", 12) + kOurs + std::string("\0Vendor9", 8),
         1, std::string("Thinwire3.0\0Vendor9", 19), ""},
        {"a REG_MULTI_SZ with ours inside one of its strings", TextKind::List,
         std::string("Thinwire3.0,", 12) + kOurs + std::string("\0Vendor9", 8), 1, std::string("Thinwire3.0\0Vendor9", 19), ""},
        {"a REG_MULTI_SZ without ours", TextKind::List, std::string("A\0\0B", 4), 1, std::string("A\0\0B", 4), ""},
        {"a REG_BINARY", TextKind::Other, std::string("A\0B\0", 4), 1, "",
         "KestavRegister: warning: SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\ICA "
         "3.0\\VirtualDriverEx is of a type this tool does not edit (64-bit registry view): left as it is"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::DeleteMachineKey(view, names::kCitrixModuleKey);
        if (c.kind == TextKind::Other)
            ASSERT_TRUE(platform::WriteMachineBinary(view, key, value, c.list));
        else
            ASSERT_TRUE(platform::WriteMachineText(view, key, value, c.list, c.kind));
        std::vector<std::string> said;
        const Say say = [&said](const std::string& line) { said.push_back(line); };
        std::string ignored;
        // The install: refused where it cannot add, and then nothing written.
        EXPECT_EQ(Register({"add", "64"}, say), c.installed);
        if (c.installed != 0) {
            ASSERT_EQ(said.size(), 1u);
            EXPECT_NE(said[0].find(nothingChanged), std::string::npos) << said[0];
            EXPECT_FALSE(platform::ReadMachineString(view, names::kCitrixModuleKey, "DriverName", &ignored))
                << "the module's key was written";
            // As an earlier install made it, before the other product's rewrite.
            ASSERT_TRUE(platform::WriteMachineString(view, names::kCitrixModuleKey, "DriverName", names::kIcaModuleFile));
        }
        said.clear();
        EXPECT_EQ(Register({"remove", "64"}, say), 0);
        EXPECT_FALSE(platform::ReadMachineString(view, names::kCitrixModuleKey, "DriverName", &ignored));
        std::string list;
        const TextKind after = platform::ReadMachineText(view, key, value, &list);
        EXPECT_EQ(after, c.kind) << "the type is kept";
        if (c.kind != TextKind::Other) {
            EXPECT_EQ(list, c.removed);
        }
        if (*c.said == '\0') {
            EXPECT_TRUE(said.empty()) << said.front();
        } else {
            ASSERT_EQ(said.size(), 1u);
            EXPECT_EQ(said[0].rfind(c.said, 0), 0u) << said[0];
        }
    }
    platform::DeleteMachineValue(view, key, value);
    platform::DeleteMachineKey(view, names::kCitrixModuleKey);
}

// An uninstall takes away the keys the package made when nothing else is in
// them; an administrator's value, or another product of the maker, keeps
// its key.
TEST(Registration, AnUninstallLeavesNoEmptyKey) {
    const platform::View view = platform::View::Bits64;
    const std::string other = std::string(names::kCompanyKey) + "\\DeveloperKit";
    struct Case {
        const char* what;
        bool changedByHand;  // a setting changed since the install
        bool otherProduct;   // a value of another product under the maker's key
        bool preference, company;  // the keys left
    };
    const Case cases[] = {
        {"nothing else", false, false, false, false},
        {"a setting changed by hand", true, false, true, true},
        {"another product's key beside", false, true, false, true},
    };
    const Say quiet = [](const std::string&) {};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Register({"settings", "64", "IsolateDriver=0", "DriverTimeoutSeconds=90"}, quiet), 0);
        ASSERT_TRUE(testing_support::MachineKeyExists(view, names::kInstallerKey)) << "the package's own record";
        if (c.changedByHand) {
            ASSERT_TRUE(platform::WriteMachineDword(view, names::kPreferenceKey, "DriverTimeoutSeconds", 120));
        }
        if (c.otherProduct) {
            ASSERT_TRUE(platform::WriteMachineString(view, other, "Folder", "C:\\Kit"));
        }
        EXPECT_EQ(Register({"remove", "64"}, quiet), 0);
        EXPECT_FALSE(testing_support::MachineKeyExists(view, names::kInstallerKey));
        EXPECT_EQ(testing_support::MachineKeyExists(view, names::kPreferenceKey), c.preference);
        EXPECT_EQ(testing_support::MachineKeyExists(view, names::kCompanyKey), c.company);
        std::uint32_t kept = 0;
        EXPECT_EQ(platform::ReadMachineDword(view, names::kPreferenceKey, "DriverTimeoutSeconds", &kept),
                  c.changedByHand ? platform::ValueKind::Dword : platform::ValueKind::Absent);
        platform::DeleteMachineValue(view, names::kPreferenceKey, "DriverTimeoutSeconds");
        platform::DeleteMachineKey(view, names::kPreferenceKey);
        platform::DeleteMachineValue(view, other, "Folder");
        platform::DeleteMachineKey(view, other);
        platform::DeleteMachineKey(view, names::kCompanyKey);
    }
}

}  // namespace
