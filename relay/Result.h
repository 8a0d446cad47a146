// The outcome of one command: a success flag and one text (the payload on
// success, the error message on failure). Rendered as "OK", "OK|<text>",
// "ERROR" or "ERROR|<text>"; rendering neither escapes nor checks the text.
// Header only: the client library builds its markers' answers with it too.
#pragma once

#include <string>

namespace relay {

class Result {
public:
    Result(bool succeeded, std::string text) : succeeded_(succeeded), text_(std::move(text)) {}

    [[nodiscard]] static Result Success() { return Result(true, std::string()); }
    [[nodiscard]] static Result Success(std::string text) { return Result(true, std::move(text)); }
    [[nodiscard]] static Result Success(const char* text) { return Result(true, text); }
    // true -> "true", false -> "false": a false answer is still a success.
    [[nodiscard]] static Result Success(bool flag) { return Result(true, flag ? "true" : "false"); }
    [[nodiscard]] static Result Failure(std::string text) { return Result(false, std::move(text)); }

    bool Succeeded() const { return succeeded_; }
    const std::string& Text() const { return text_; }

    // Success "Hello" -> "OK|Hello"; failure "" -> "ERROR".
    std::string ToResponse() const {
        std::string response = succeeded_ ? "OK" : "ERROR";
        if (!text_.empty()) response += '|' + text_;
        return response;
    }

private:
    bool succeeded_;
    std::string text_;
};

// The answer to a name no command has: "ERROR|Unknown command "<name>"".
// The client library's markers count on it (one definition for both ends).
inline Result UnknownCommand(const std::string& name) { return Result::Failure("Unknown command \"" + name + "\""); }

}  // namespace relay
