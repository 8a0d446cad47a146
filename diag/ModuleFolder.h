// The folder of the module's own file, without a trailing separator. Filled
// once when the module is loaded; instrument drivers are looked for beside it.
#pragma once

#include <string>

namespace diag {

extern std::string ModuleFolder;

void SetModuleFolder(const std::string& folder);

// "C:\Program Files\Client\KestavClientDriverICA.dll" -> "C:\Program Files\Client";
// cut at the last "\" or "/"; a path without separator is kept whole.
std::string FolderOfModulePath(const std::string& modulePath);

}  // namespace diag
