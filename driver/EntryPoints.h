// The forms of the instrument driver library's 31 entry points. Instrument
// makers build their library to these, with C linkage. The recommended form
// is __cdecl with plain names; on 32-bit Windows __stdcall, and the decorated
// names an MSVC build gives it ("_GetSpectralData@8"), work as well. Texts
// handed in are the module's and valid for the call only; texts handed out
// stay the library's and are copied at once.
#pragma once

#include <cstdint>
#include <tuple>
#include <type_traits>

#include "driver/HostProtocol.h"
#include "platform/EntryCall.h"

namespace driver {

using DriverFlag = unsigned char;  // non-zero is true

using FlagFn = DriverFlag();
using FlagOfU16Fn = DriverFlag(std::uint16_t);
using FlagOfIntFn = DriverFlag(std::int32_t);
using FlagOfTextFn = DriverFlag(const char*);
using FlagOfTwoTextsFn = DriverFlag(const char*, const char*);
using IntFn = std::int32_t();
using IntOfIntFn = std::int32_t(std::int32_t);
using RealOfTwoIntsFn = float(std::int32_t, std::int32_t);
using TextFn = const char*();
using TextOfIntFn = const char*(std::int32_t);
using TextOfTextFn = const char*(const char*);

using platform::Convention;

// The far end of a binding whose driver runs in the driver host: one
// request, one answer. The answer stays valid until the next call. Throws
// DriverStopped or DriverNotResponding when the host fails.
class RemoteEntries {
public:
    virtual const driverhost::Answer& Call(const driverhost::Request& request) = 0;

protected:
    ~RemoteEntries() = default;
};

// One bound entry point of the form `Form`, called like a function:
// spectro.GetSpectralData(0, 5).
template <typename Form>
class EntryPoint;

template <typename R, typename... A>
class EntryPoint<R(A...)> {
public:
    // The bytes its arguments take on the 32-bit stack (each takes 4): the N
    // of the stdcall name "_<Name>@<N>".
    static constexpr unsigned kArgumentBytes = 4 * sizeof...(A);

    void Bind(const void* address, Convention* convention) {
        address_ = address;
        remote_ = nullptr;
        convention_ = convention;
    }
    // Calls go to entry `index` of a driver host's binding instead.
    void BindRemote(RemoteEntries* remote, std::uint32_t index, Convention* convention) {
        address_ = nullptr;
        remote_ = remote;
        index_ = index;
        convention_ = convention;
    }
    bool IsSet() const { return address_ != nullptr || remote_ != nullptr; }
    // The bytes the last call's entry point took off the 32-bit stack: 0
    // for cdecl, kArgumentBytes for stdcall, anything else for an entry
    // point that does not have this form (0 where there is one convention).
    std::uint32_t StackBytes() const { return stackBytes_; }

    R operator()(A... args) const {
        if (remote_ != nullptr) return CallRemote(args...);
        std::uint32_t removed = 0;
        const R result = platform::CallEntry<R>(address_, &removed, args...);
        stackBytes_ = removed;
        if constexpr (sizeof...(A) > 0) {
            // Only a call with arguments tells the conventions apart.
            if (*convention_ == Convention::Unknown && platform::kEntryConventionsVary)
                *convention_ = removed == kArgumentBytes ? Convention::Stdcall : Convention::Cdecl;
        }
        return result;
    }

    // The driver host's side: runs `request` on this (in-process) entry
    // point and fills `answer`; a request whose arguments do not fit the
    // form is refused.
    void Serve(const driverhost::Request& request, driverhost::Answer* answer) const {
        constexpr std::uint32_t kTexts = (0u + ... + std::uint32_t(std::is_pointer_v<A>));
        if (request.numberCount != sizeof...(A) - kTexts || request.textCount != kTexts) {
            answer->status = driverhost::AnswerStatus::Refused;
            return;
        }
        std::uint32_t number = 0, text = 0;
        // A braced list is evaluated left to right: arguments in their order.
        const std::tuple<A...> arguments{Take<A>(request, &number, &text)...};
        const R result = std::apply(*this, arguments);
        answer->stackBytes = stackBytes_;
        if constexpr (std::is_same_v<R, float>) {
            answer->real = result;
        } else if constexpr (std::is_pointer_v<R>) {
            answer->hasText = result != nullptr;
            answer->text = result != nullptr ? result : "";
        } else {
            answer->word = static_cast<std::uint32_t>(result);
        }
    }

private:
    template <typename T>
    static T Take(const driverhost::Request& request, std::uint32_t* number, std::uint32_t* text) {
        if constexpr (std::is_pointer_v<T>)
            return request.texts[(*text)++].c_str();
        else
            return static_cast<T>(request.numbers[(*number)++]);
    }

    R CallRemote(A... args) const {
        driverhost::Request request;
        request.entry = index_;
        (Put(&request, args), ...);
        const driverhost::Answer& answer = remote_->Call(request);
        *convention_ = answer.convention;
        stackBytes_ = answer.stackBytes;
        if constexpr (std::is_same_v<R, float>)
            return answer.real;
        else if constexpr (std::is_pointer_v<R>)
            return answer.hasText ? answer.text.c_str() : nullptr;  // valid until the next call
        else
            return static_cast<R>(answer.word);
    }
    static void Put(driverhost::Request* request, const char* text) {
        request->texts[request->textCount++] = text != nullptr ? text : "";
    }
    template <typename T>
    static void Put(driverhost::Request* request, T number) {
        request->numbers[request->numberCount++] = static_cast<std::int32_t>(number);
    }

    const void* address_ = nullptr;
    RemoteEntries* remote_ = nullptr;
    std::uint32_t index_ = 0;
    Convention* convention_ = nullptr;
    mutable std::uint32_t stackBytes_ = 0;
};

}  // namespace driver
