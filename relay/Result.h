// The outcome of one command: a success flag and one text (the payload on
// success, the error message on failure). Rendered as "OK", "OK|<text>",
// "ERROR" or "ERROR|<text>"; rendering neither escapes nor checks the text.
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
    std::string ToResponse() const;

private:
    bool succeeded_;
    std::string text_;
};

}  // namespace relay
