// The same measuring session through the client library: the library opens
// both channels (Citrix, Remote Desktop or the local loop, whichever this
// program runs in), waits for each answer with a time limit, and never takes
// a late answer for a later command's.
#include <cstdio>
#include <string>

#include "KestavChannel.h"

int main() {
    try {
        kestav::Channel channel;  // KESTAV_TRANSPORT_AUTO
        std::printf("over %s, module %s\n", channel.TransportName(), channel.Version().c_str());
        for (const char* command : {"Init|sim|", "Connect", "Calibrate", "CalibrateStep|White|",
                                    "CalibrateStep|Black|", "Measure"})
            std::printf("%-28s %s\n", command, channel.Call(command, 10000).c_str());
        // A value with "|" travels escaped: "OK|M0&vert;No filter".
        const std::string filter = channel.Call("GetOption|Filter|", 10000);
        std::printf("%-28s %s (the filter: %s)\n", "GetOption|Filter|", filter.c_str(),
                    kestav::Channel::Unescape(filter.substr(3)).c_str());

        const std::string spectrum = channel.Call("GetSpectralDataAll|0|", 10000);
        std::printf("%-28s %s\n\nwavelength  reflectance\n", "GetSpectralDataAll|0|", spectrum.c_str());
        std::size_t at = 3;
        for (int band = 0; band < 31; ++band) {
            const std::size_t end = spectrum.find(';', at);
            std::printf("  %d nm    %s\n", 400 + 10 * band, spectrum.substr(at, end - at).c_str());
            if (end == std::string::npos) break;
            at = end + 1;
        }
        std::printf("%-28s %s\n", "Disconnect", channel.Call("Disconnect", 10000).c_str());
        return 0;
    } catch (const kestav::Error& error) {
        std::printf("%s (%s)\n", error.what(), KestavStatusText(error.Status()));
        return 1;
    }
}
