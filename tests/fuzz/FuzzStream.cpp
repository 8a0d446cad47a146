// The server library's finding of whole responses on a channel read as a
// plain stream (xrdp): any bytes, cut into reads of any sizes, as a client
// could send them. A response passed on is never longer than the limit;
// a long one is passed on only with the marker's answer behind it, and is
// exactly the bytes before that answer.
#include <cstdint>
#include <string>

#include "server/StreamReassembly.h"

using kestav::detail::StreamResponse;
using Result = StreamResponse::Result;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kLimit = 16 * 1024;
    StreamResponse reader(kLimit);
    bool begun = false;
    std::string end, read;  // the marker's answer, and what the response read so far holds
    for (std::size_t at = 0; at + 2 <= size;) {
        std::size_t length = data[at] | std::size_t(data[at + 1]) << 8;
        at += 2;
        if (length > size - at) length = size - at;
        std::string piece(reinterpret_cast<const char*>(data + at), length);
        at += length;
        // Now and then the marker's answer, as the module would send it.
        if (!end.empty() && length % 7 == 3) piece += end;
        std::string message;
        const Result result = begun ? reader.Next(piece, &message) : reader.First(piece, &message);
        read = begun ? read + piece : piece;
        begun = true;
        if (result == Result::NeedMarker) {
            end = "ERROR|Unknown command \"" + reader.Marker() + "\"";
        } else if (result == Result::Message) {
            if (message.size() > kLimit) __builtin_trap();
            if (!end.empty() && read != message + end) __builtin_trap();
            if (end.empty() && message.size() >= kestav::detail::kWholeBelow) __builtin_trap();
            begun = false;
            end.clear();
        } else if (result == Result::TooLong) {
            begun = false;
            end.clear();
        }
    }
    return 0;
}
