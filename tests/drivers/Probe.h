// What the probe driver (the recording driver built with KST_PROBE) reports
// of the process and thread it is called in, so that a test can compare a
// driver in-process with the same driver in the driver host:
//   cwd            the current folder
//   env:<NAME>     an environment variable's value, or "(unset)"
//   dependency     a call into probe-dep.dll, a library beside the driver
//                  that the driver imports (found only through the search
//                  folder Init sets): "dependency 42"
//   thread-start   starts a thread of the driver's own that counts on its own
//   thread-count   how far it has counted ("0" when it has not run)
//   thread-stop    stops it and waits for its end
//   window         creates a window on the calling thread and has another
//                  thread send it a message while the call waits: "window
//                  answered" (or what failed)
//   com            initialises COM on the calling thread (apartment
//                  threaded) and creates a COM object: "com ok"
#pragma once

#include <string>

namespace probe {
std::string Run(const std::string& what);
}  // namespace probe
