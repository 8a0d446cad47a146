// The response text of one command, whichever transport it came by: the
// version query is answered here, everything else by the instrument, which
// is made with the first command of any kind.
#pragma once

#include <memory>
#include <string>

namespace commands {
class Instrument;
}

namespace relay {

extern const char* const DriverVersion;  // "1.6.0"
extern const char* const VersionQuery;   // "KestavClientDriverVersion"

// Logs "Virtual channel - Execute: \"<command>\"" and answers it.
std::string Respond(std::unique_ptr<commands::Instrument>& instrument, const std::string& command);

}  // namespace relay
