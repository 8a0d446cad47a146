#include "relay/Respond.h"

#include "commands/Instrument.h"
#include "diag/LogFile.h"

namespace relay {

const char* const DriverVersion = KST_VERSION;
const char* const VersionQuery = "KestavClientDriverVersion";

std::string Respond(std::unique_ptr<commands::Instrument>& instrument, const std::string& command) {
    if (!instrument) instrument.reset(new commands::Instrument());
    diag::LogDetail("Virtual channel - Execute: \"", command, "\"");
    if (command == VersionQuery) return DriverVersion;
    return instrument->Execute(command).ToResponse();
}

}  // namespace relay
