#include "driver/Spectro.h"

#include <cstring>
#include <type_traits>

#include <boost/algorithm/string/predicate.hpp>

namespace driver {

namespace {

// Turns a looked-up address into the entry point's form. Object and function
// pointers have the same size on every platform we build for; the integer
// step keeps the compiler's cast warnings in this one place.
template <auto Member>
void Assign(Spectro& spectro, void* symbol) {
    using Form = std::remove_reference_t<decltype(spectro.*Member)>;
    spectro.*Member = reinterpret_cast<Form>(reinterpret_cast<std::uintptr_t>(symbol));
}

struct EntrySlot {
    const char* name;
    void (*assign)(Spectro&, void*);
};

#define KST_ENTRY(name) {#name, &Assign<&Spectro::name>}

// Lookup order: member order, except that CalibrateStep follows GetCalMode.
const EntrySlot kEntryPoints[] = {
    KST_ENTRY(Connect),          KST_ENTRY(Disconnect),         KST_ENTRY(IsConnected),
    KST_ENTRY(SetLanguage),      KST_ENTRY(GetAngles),          KST_ENTRY(GetWavelengths),
    KST_ENTRY(GetAngleValue),    KST_ENTRY(GetWavelengthValue), KST_ENTRY(Measure),
    KST_ENTRY(GetSpectralData),  KST_ENTRY(IsDataReady),        KST_ENTRY(GetSerialNum),
    KST_ENTRY(GetCalStatus),     KST_ENTRY(Calibrate),          KST_ENTRY(GetCalSteps),
    KST_ENTRY(GetCalMode),       KST_ENTRY(CalibrateStep),      KST_ENTRY(GetCalProgress),
    KST_ENTRY(AbortCalibration), KST_ENTRY(ClearSamples),       KST_ENTRY(GetSampleCount),
    KST_ENTRY(SetCurrentSample), KST_ENTRY(GetSampleData),      KST_ENTRY(Configure),
    KST_ENTRY(GetAvailableSettings), KST_ENTRY(GetSettingOptions), KST_ENTRY(GetOption),
    KST_ENTRY(SetOption),        KST_ENTRY(GetLastErrorCode),   KST_ENTRY(GetLastErrorString),
    KST_ENTRY(Execute),
};

#undef KST_ENTRY

static_assert(sizeof kEntryPoints / sizeof kEntryPoints[0] == 31, "31 entry points");

}  // namespace

std::string Spectro::MakeLibraryFileName(const std::string& name) {
    std::string file = name;
    if (!boost::algorithm::ends_with(file, ".dll")) file += ".dll";
    const bool hasDrive = file.substr(0, 3).find(':') != std::string::npos;
    const bool isRooted = !file.empty() && (file[0] == '.' || file[0] == '/' ||
                                            file.compare(0, 2, "\\\\") == 0);
    if (!hasDrive && !isRooted) file = "./" + file;
    return file;
}

bool Spectro::LoadDriver(const std::string& name) {
    Reset();
    loadError = 0;
    const std::string file = MakeLibraryFileName(name);
    platform::LibraryHandle handle = platform::OpenLibrary(file);
    if (handle == nullptr) {
        loadError = platform::LastLibraryError();
        return false;
    }
    library = handle;
    for (const EntrySlot& entry : kEntryPoints) {
        void* symbol = platform::FindSymbol(library, entry.name);
        if (symbol == nullptr) {
            // Taken before the release, which may overwrite the thread's error.
            loadError = platform::LastLibraryError();
            Reset();
            return false;
        }
        entry.assign(*this, symbol);
    }
    return true;
}

void Spectro::UnloadDriver() {
    if (library == nullptr) return;
    platform::CloseLibrary(library);
    library = nullptr;
}

void Spectro::Reset() {
    UnloadDriver();
    for (const EntrySlot& entry : kEntryPoints) entry.assign(*this, nullptr);
}

}  // namespace driver
