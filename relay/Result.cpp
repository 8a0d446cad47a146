#include "relay/Result.h"

namespace relay {

std::string Result::ToResponse() const {
    std::string response = succeeded_ ? "OK" : "ERROR";
    if (!text_.empty()) {
        response += '|';
        response += text_;
    }
    return response;
}

}  // namespace relay
