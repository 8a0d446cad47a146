#include "packaging/CitrixLinux.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "packaging/ModuleIni.h"
#include "platform/File.h"
#include "platform/Names.h"

namespace packaging {

namespace fs = std::filesystem;

namespace {

const char kUsage[] = "usage: kestav-register add|remove [client folder, default /opt/Citrix/ICAClient]";

// The file's bytes, if it is a plain file within the bound.
bool ReadModuleIni(const fs::path& path, std::string* text, std::string* why) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (error || !fs::is_regular_file(status)) {
        *why = "it is not a plain file";
        return false;
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || size > names::kMostModuleIniBytes) {
        *why = "it is larger than " + std::to_string(names::kMostModuleIniBytes) + " bytes";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    text->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
        *why = "it cannot be read";
        return false;
    }
    return true;
}

// Replaces the file whole: the new bytes beside it, then renamed over it.
bool WriteModuleIni(const fs::path& path, const std::string& text, std::string* why) {
    const fs::path fresh = path.string() + ".kestav-new";
    std::error_code error;
    fs::remove(fresh, error);
    {
        std::ofstream file(fresh, std::ios::binary | std::ios::trunc);
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
        file.close();
        if (!file) {
            fs::remove(fresh, error);
            *why = "a new " + fresh.string() + " cannot be written";
            return false;
        }
    }
    fs::permissions(fresh, fs::status(path, error).permissions(), error);
    if (!platform::CopyFileOwner(path.string(), fresh.string())) {
        fs::remove(fresh, error);
        *why = "a new " + fresh.string() + " cannot be given the file's owner";
        return false;
    }
    fs::rename(fresh, path, error);
    if (error) {
        fs::remove(fresh, error);
        *why = "it cannot be replaced";
        return false;
    }
    return true;
}

bool IsOurLink(const fs::path& link, const std::string& moduleFile) {
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(link, error)) && fs::read_symlink(link, error) == moduleFile;
}

// The lock every registration holds while it edits a client's folder: that of
// the folder module.ini is in. Two at once (a reinstall beside a removal)
// never write the same new file, nor take away the link the other made.
class Serialised {
public:
    explicit Serialised(const fs::path& folder)
        : lock_(platform::LockFolder((folder / names::kCitrixLinuxModuleIni).parent_path().string())) {}
    ~Serialised() { platform::UnlockFolder(lock_); }
    Serialised(const Serialised&) = delete;
    Serialised& operator=(const Serialised&) = delete;
    bool Held() const { return lock_ != nullptr; }

private:
    platform::FolderLock* lock_;
};

int Add(const fs::path& folder, const std::string& moduleFile, const Say& say) {
    const fs::path ini = folder / names::kCitrixLinuxModuleIni;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(ini, error))) {
        say("no Citrix Workspace app in " + folder.string() + " (no " + ini.string() +
            "): nothing registered; name the client's folder: kestav-register add FOLDER");
        return 1;
    }
    std::string text, why;
    if (!ReadModuleIni(ini, &text, &why)) {
        say(ini.string() + " is left as it is, nothing registered: " + why);
        return 1;
    }
    std::string edited;
    if (!AddModuleIniEntries(text, names::kModuleName, names::kCitrixLinuxModuleFile, &edited, &why)) {
        say(ini.string() + " is left as it is, nothing registered: " + why);
        return 1;
    }
    const fs::path link = folder / names::kCitrixLinuxModuleFile;
    if (fs::exists(fs::symlink_status(link, error)) && !IsOurLink(link, moduleFile)) {
        say(link.string() + " is there and is not this package's link to " + moduleFile +
            ": left as it is, nothing registered");
        return 1;
    }
    const bool made = !fs::exists(fs::symlink_status(link, error));
    if (made) {
        fs::create_symlink(moduleFile, link, error);
        if (error) {
            say(link.string() + " cannot be made (" + error.message() + "): nothing registered");
            return 1;
        }
    }
    if (edited != text && !WriteModuleIni(ini, edited, &why)) {
        if (made) fs::remove(link, error);  // only what this step made
        say(ini.string() + " is left as it is, nothing registered: " + why);
        return 1;
    }
    say("registered with the Citrix Workspace app in " + folder.string() + " (" + link.string() + ", " +
        names::kModuleName + " in " + ini.string() + ")");
    return 0;
}

int Remove(const fs::path& folder, const std::string& moduleFile, const Say& say) {
    const fs::path ini = folder / names::kCitrixLinuxModuleIni;
    std::error_code error;
    int result = 0;
    bool removed = false;
    if (fs::exists(fs::symlink_status(ini, error))) {
        std::string text, why;
        if (!ReadModuleIni(ini, &text, &why)) {
            say("warning: " + ini.string() + " is left as it is: " + why);
            result = 1;
        } else {
            const std::string edited =
                RemoveModuleIniEntries(text, names::kModuleName, names::kCitrixLinuxModuleFile);
            if (edited != text && !WriteModuleIni(ini, edited, &why)) {
                say(std::string("warning: ") + names::kModuleName + " stays in " + ini.string() + ": " + why);
                result = 1;
            } else if (edited != text) {
                say(std::string("removed ") + names::kModuleName + " from " + ini.string());
                removed = true;
            }
        }
    }
    const fs::path link = folder / names::kCitrixLinuxModuleFile;
    if (IsOurLink(link, moduleFile) && fs::remove(link, error)) {
        say("removed " + link.string());
        removed = true;
    }
    if (!removed && result == 0) say("nothing of this package in " + folder.string() + ": nothing to remove");
    return result;
}

}  // namespace

int RegisterWithCitrixLinux(const std::vector<std::string>& arguments, const std::string& moduleFile,
                            const Say& say) {
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
        say(kUsage);
        return 0;
    }
    if (arguments.empty() || arguments.size() > 2 || (arguments[0] != "add" && arguments[0] != "remove")) {
        say(kUsage);
        return 2;
    }
    const fs::path folder = arguments.size() == 2 ? fs::path(arguments[1]) : fs::path(names::kCitrixLinuxFolder);
    std::error_code error;
    const fs::path config = (folder / names::kCitrixLinuxModuleIni).parent_path();
    if (!fs::is_directory(config, error))  // no client there: nothing to serialise
        return arguments[0] == "add" ? Add(folder, moduleFile, say) : Remove(folder, moduleFile, say);
    const Serialised one(folder);
    if (!one.Held()) {
        say("the lock on " + config.string() + " cannot be had: nothing changed");
        return 1;
    }
    return arguments[0] == "add" ? Add(folder, moduleFile, say) : Remove(folder, moduleFile, say);
}

}  // namespace packaging
