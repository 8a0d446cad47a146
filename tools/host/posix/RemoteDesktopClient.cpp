// Remote Desktop plug-ins are Windows libraries: here there is nothing to load.
#include "tools/host/RemoteDesktopClient.h"

namespace standin {

struct RemoteDesktopClient::State {};

RemoteDesktopClient::RemoteDesktopClient() = default;
RemoteDesktopClient::~RemoteDesktopClient() = default;
bool RemoteDesktopClient::LoadPlugin(const std::string&, std::string* error) {
    *error = "Remote Desktop plug-ins run on Windows only";
    return false;
}
std::int32_t RemoteDesktopClient::CountOnlyResult(std::uint32_t*) { return -1; }
std::int32_t RemoteDesktopClient::WrongInterfaceResult() { return -1; }
void RemoteDesktopClient::Connected() {}
void RemoteDesktopClient::Disconnected(std::uint32_t) {}
bool RemoteDesktopClient::OpenChannel(const std::string&) { return false; }
void RemoteDesktopClient::CloseChannel(const std::string&) {}
bool RemoteDesktopClient::CloseEarlierChannel(const std::string&) { return false; }
bool RemoteDesktopClient::Deliver(const std::string&, const std::string&) { return false; }
std::vector<DvcMessage> RemoteDesktopClient::Run(const std::string&, const std::string&, int) { return {}; }
void RemoteDesktopClient::Terminate() {}
void RemoteDesktopClient::Terminated() {}
void RemoteDesktopClient::Unload() {}
std::size_t RemoteDesktopClient::SentCount() { return 0; }
std::vector<DvcMessage> RemoteDesktopClient::SentSince(std::size_t) { return {}; }
int RemoteDesktopClient::WritesAfterClose() { return 0; }
long RemoteDesktopClient::OutstandingReferences() { return 0; }

}  // namespace standin
