// Remote Desktop plug-ins are Windows libraries: here there is nothing to load.
#include "tools/host/DvcHost.h"

namespace standin {

struct DvcHost::State {};

DvcHost::DvcHost() = default;
DvcHost::~DvcHost() = default;
bool DvcHost::LoadPlugin(const std::string&, std::string* error) {
    *error = "Remote Desktop plug-ins run on Windows only";
    return false;
}
std::int32_t DvcHost::CountOnlyResult(std::uint32_t*) { return -1; }
std::int32_t DvcHost::WrongInterfaceResult() { return -1; }
void DvcHost::Connected() {}
void DvcHost::Disconnected(std::uint32_t) {}
bool DvcHost::OpenChannel(const std::string&) { return false; }
void DvcHost::CloseChannel(const std::string&) {}
bool DvcHost::CloseEarlierChannel(const std::string&) { return false; }
bool DvcHost::Deliver(const std::string&, const std::string&) { return false; }
std::vector<DvcMessage> DvcHost::Run(const std::string&, const std::string&, int) { return {}; }
void DvcHost::Terminate() {}
void DvcHost::Terminated() {}
void DvcHost::Unload() {}
std::size_t DvcHost::SentCount() { return 0; }
std::vector<DvcMessage> DvcHost::SentSince(std::size_t) { return {}; }
int DvcHost::WritesAfterClose() { return 0; }
long DvcHost::OutstandingReferences() { return 0; }

}  // namespace standin
