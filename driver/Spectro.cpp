#include "driver/Spectro.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>

#include <boost/algorithm/string/predicate.hpp>

#include "diag/LogFile.h"
#include "driver/EntryList.h"
#include "driver/LibrariesBeside.h"
#include "platform/Library.h"

namespace driver {

namespace {

// One row per entry point: its name, and how to bind an address to it.
struct EntrySlot {
    const char* name;
    unsigned argumentBytes;  // the N of the stdcall decoration "_<name>@<N>"
    void (*bind)(Spectro&, const void* address, Convention* convention);
    void (*bindRemote)(Spectro&, RemoteEntries* remote, std::uint32_t index, Convention* convention);
    void (*serve)(const Spectro&, const driverhost::Request&, driverhost::Answer*);
};

template <auto Member>
void Bind(Spectro& spectro, const void* address, Convention* convention) {
    (spectro.*Member).Bind(address, convention);
}

template <auto Member>
void BindRemote(Spectro& spectro, RemoteEntries* remote, std::uint32_t index,
                Convention* convention) {
    (spectro.*Member).BindRemote(remote, index, convention);
}

template <auto Member>
void Serve(const Spectro& spectro, const driverhost::Request& request, driverhost::Answer* answer) {
    (spectro.*Member).Serve(request, answer);
}

template <auto Member>
constexpr unsigned ArgumentBytes() {
    return std::remove_reference_t<decltype(std::declval<Spectro&>().*Member)>::kArgumentBytes;
}

#define KST_ENTRY(name, form, bytes)                                                         \
    {#name, bytes, &Bind<&Spectro::name>, &BindRemote<&Spectro::name>, &Serve<&Spectro::name>},
#define KST_CHECK_ENTRY(name, form, bytes)                                                   \
    static_assert(std::is_same_v<decltype(Spectro::name), EntryPoint<form>> &&                \
                      ArgumentBytes<&Spectro::name>() == (bytes),                             \
                  "the list's form and size of " #name);

KST_ENTRY_POINTS(KST_CHECK_ENTRY)

const EntrySlot kEntryPoints[] = {KST_ENTRY_POINTS(KST_ENTRY)};

#undef KST_CHECK_ENTRY
#undef KST_ENTRY

static_assert(sizeof kEntryPoints / sizeof kEntryPoints[0] == driverhost::kEntryCount,
              "31 entry points, numbered alike in the module and the driver host");

// "_GetSpectralData@8": the name an MSVC build gives a __stdcall entry point
// exported without a .def file.
std::string DecoratedName(const EntrySlot& entry) {
    return "_" + std::string(entry.name) + "@" + std::to_string(entry.argumentBytes);
}

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
    beside = LoadLibrariesBeside(file);
    platform::LibraryHandle handle = platform::OpenLibrary(file);
    if (handle == nullptr) {
        loadError = platform::LastLibraryError();
        const std::string said = platform::LastLibraryErrorText();
        if (!said.empty()) diag::LogDetail("The system's loader: ", diag::Shown{said});
        Reset();
        return false;
    }
    library = handle;
    bool allDecorated = true;
    for (const EntrySlot& entry : kEntryPoints) {
        void* symbol = platform::FindSymbol(library, entry.name);
        const bool decorated = symbol == nullptr && platform::kEntryConventionsVary;
        if (decorated) symbol = platform::FindSymbol(library, DecoratedName(entry).c_str());
        if (symbol == nullptr) {
            // Taken before the release, which may overwrite the thread's error.
            loadError = platform::LastLibraryError();
            Reset();
            return false;
        }
        allDecorated = allDecorated && decorated;
        entry.bind(*this, symbol, &convention);
    }
    // Decorated names are the stdcall ones: the convention is known at once.
    decoratedNames = allDecorated;
    if (decoratedNames) convention = Convention::Stdcall;
    return true;
}

bool Spectro::LoadDriverInHost(const std::string& program, const std::string& path,
                               std::uint32_t timeoutSeconds) {
    Reset();
    loadError = 0;
    // One host per program; where the host's loader is told the driver's
    // folder at its start (HostedDriver::Start), one per program and folder.
    std::string key = program;
    if (!platform::kLoaderSearchesLibraryFolder) key += '\n' + DriverFolder(path);
    auto kept = std::find_if(hosts.begin(), hosts.end(), [&](const auto& entry) { return entry.first == key; });
    if (kept == hosts.end()) kept = hosts.emplace(hosts.end(), key, nullptr);
    std::unique_ptr<HostedDriver>& chosen = kept->second;
    if (chosen != nullptr) {
        diag::LogDetail("Driver host kept (pid ", chosen->ProcessId(), ", ",
                        chosen->Handshake().bitness, "-bit)");
        if (!chosen->Load(path, timeoutSeconds, &loadError)) {
            if (!chosen->Alive()) chosen.reset();
            return false;
        }
    } else {
        chosen = HostedDriver::Start(program, path, timeoutSeconds, &loadError);
        if (chosen == nullptr) return false;
    }
    host = chosen.get();
    std::uint32_t index = 0;
    for (const EntrySlot& entry : kEntryPoints) entry.bindRemote(*this, host, index++, &convention);
    decoratedNames = host->Handshake().decoratedNames != 0;
    convention = host->Handshake().convention;
    return true;
}

void Spectro::ReadSpectrum(std::int32_t first, float (&values)[driverhost::kSpectrumBands]) {
    if (host != nullptr) {
        driverhost::Request request;
        request.operation = driverhost::Operation::ReadSpectrum;
        request.numberCount = 1;
        request.numbers[0] = first;
        const driverhost::Answer& answer = host->Call(request);
        convention = answer.convention;
        std::copy(std::begin(answer.spectrum), std::end(answer.spectrum), values);
        return;
    }
    for (std::int32_t band = 0; band < std::int32_t(driverhost::kSpectrumBands); ++band)
        values[band] = GetSpectralData(first, band);
}

driverhost::Handshake Spectro::BindInHost(const std::string& library) {
    const std::string::size_type separator = library.find_last_of("\\/");
    platform::SetLibrarySearchFolder(separator == std::string::npos ? std::string()
                                                                     : library.substr(0, separator));
    driverhost::Handshake handshake;
    handshake.bitness = std::uint32_t(sizeof(void*) * 8);
    if (!LoadDriver(library)) {
        handshake.loadError = LoadError();
    } else {
        handshake.decoratedNames = DecoratedNames() ? 1 : 0;
        handshake.convention = EntryConvention();
    }
    return handshake;
}

void Spectro::Serve(const driverhost::Request& request, driverhost::Answer* answer) {
    if (request.operation == driverhost::Operation::Unload) {
        Reset();
    } else if (request.operation == driverhost::Operation::Load) {
        Reset();
        if (request.textCount != 1 || request.texts[0].empty() ||
            request.texts[0].size() > driverhost::kMaximumPath) {
            answer->status = driverhost::AnswerStatus::Refused;
            return;
        }
        std::vector<std::uint8_t> handshake;
        driverhost::Encode(BindInHost(request.texts[0]), &handshake);
        answer->hasText = true;
        answer->text.assign(handshake.begin(), handshake.end());
    } else if (request.operation == driverhost::Operation::ReadSpectrum && request.numberCount == 1 &&
        request.textCount == 0) {
        ReadSpectrum(request.numbers[0], answer->spectrum);
    } else if (request.operation == driverhost::Operation::Call) {
        kEntryPoints[request.entry].serve(*this, request, answer);
    } else {
        answer->status = driverhost::AnswerStatus::Refused;
    }
    answer->convention = convention;
}

void Spectro::UnloadDriver() {
    if (host != nullptr && !host->Unload()) {
        // Gone (it crashed or hung, now or earlier): the next driver gets a
        // fresh one.
        for (auto& entry : hosts)
            if (entry.second.get() == host) entry.second.reset();
    }
    host = nullptr;
    if (library != nullptr) platform::CloseLibrary(library);
    library = nullptr;
    // After the driver that needs them, the last loaded first.
    for (auto it = beside.rbegin(); it != beside.rend(); ++it) platform::CloseLibrary(*it);
    beside.clear();
}

void Spectro::Reset() {
    UnloadDriver();
    for (const EntrySlot& entry : kEntryPoints) entry.bind(*this, nullptr, &convention);
    convention = Convention::Unknown;
    decoratedNames = false;
}

void Spectro::Release() {
    Reset();
    hosts.clear();  // each is asked to quit, and ended if it does not
}

void Spectro::ReleaseHosts() {
    for (auto& entry : hosts)
        if (entry.second.get() != host) entry.second.reset();
}

std::vector<std::pair<std::string, unsigned>> Spectro::EntryPointNames() {
    std::vector<std::pair<std::string, unsigned>> names;
    for (const EntrySlot& entry : kEntryPoints) names.emplace_back(entry.name, entry.argumentBytes);
    return names;
}

bool Spectro::EntryFormVaries() const {
    return host != nullptr ? host->Handshake().bitness == 32 : platform::kEntryConventionsVary;
}

std::string Spectro::EntryForm() const {
    if (!IsBound() || convention == Convention::Unknown) return std::string();
    return std::string(convention == Convention::Stdcall ? "stdcall" : "cdecl") +
           (decoratedNames ? ", decorated names" : ", plain names");
}

}  // namespace driver
