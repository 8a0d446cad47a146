// The libraries a driver needs that lie beside it, loaded before it where
// the system's loader would not look there by itself (Linux: only the
// library's RUNPATH and the system's folders are searched, never its own
// folder). Each is loaded by its full path after what it needs in turn, so
// that loading the driver finds them loaded, as Windows finds them in the
// search folder Init sets.
#pragma once

#include <string>
#include <vector>

#include "platform/Library.h"

namespace driver {

// At most this many libraries beside a driver are loaded for it, and none
// from a file larger than kMostLibraryBytes (such a file's needs are left to
// the loader).
constexpr std::size_t kMostLibrariesBeside = 64;
constexpr std::size_t kMostLibraryBytes = 64u << 20;
// And no more than this is read for one driver in all (the driver's file
// included): the rest is left to the loader, and the log says so.
constexpr std::size_t kMostBytesReadBeside = 128u << 20;

// The handles of the libraries loaded for `driverPath`, in load order (close
// them in the reverse order, after the driver). A name that is loaded
// already (the C library, a library of the host) keeps the loaded one.
// Nothing where the loader searches the driver's folder itself.
std::vector<platform::LibraryHandle> LoadLibrariesBeside(const std::string& driverPath);

// The folder of a driver's file, with its separator, where those libraries
// are looked for: DriverFolder("/x/drivers/Kestav/m.so") => "/x/drivers/Kestav/".
std::string DriverFolder(const std::string& driverPath);

// One look at a driver and the libraries beside it that it needs (in turn
// too); nothing is loaded, and none is looked at where the loader searches
// the driver's folder itself.
struct BesideLook {
    // Why the driver must not be loaded from the drivers folder `root`, in
    // words; empty when nothing speaks against it. Its file, or one of those
    // libraries, really lies outside `root` (a link out of it), or one of
    // them names a library it needs by a path, which the loader would take
    // from anywhere. A driver file that is not there is the loader's to report.
    std::string refused;
    // Those it needs by a name the loader cannot match once they are loaded
    // by their path: no SONAME, or another one (plain `gcc -shared` gives
    // none). Only a loader that searches the driver's folder finds those:
    // the driver host's (HostedDriver::Start).
    std::vector<std::string> byPathOnly;
};
BesideLook LookBeside(const std::string& driverPath, const std::string& root);

}  // namespace driver
