// The forms of the instrument driver library's 31 entry points. Instrument
// makers build their library to these, with C linkage. The recommended form
// is __cdecl with plain names; on 32-bit Windows __stdcall, and the decorated
// names an MSVC build gives it ("_GetSpectralData@8"), work as well. Texts
// handed in are the module's and valid for the call only; texts handed out
// stay the library's and are copied at once.
#pragma once

#include <cstdint>

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

// The calling convention a library's entry points turned out to use: known
// from decorated names at once, otherwise from the stack after the first
// call that takes arguments (32-bit Windows only; elsewhere there is one).
enum class Convention { Unknown, Cdecl, Stdcall };

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
        convention_ = convention;
    }
    bool IsSet() const { return address_ != nullptr; }

    R operator()(A... args) const {
        std::uint32_t removed = 0;
        const R result = platform::CallEntry<R>(address_, &removed, args...);
        if constexpr (sizeof...(A) > 0) {
            // Only a call with arguments tells the conventions apart.
            if (*convention_ == Convention::Unknown && platform::kEntryConventionsVary)
                *convention_ = removed == kArgumentBytes ? Convention::Stdcall : Convention::Cdecl;
        }
        return result;
    }

private:
    const void* address_ = nullptr;
    Convention* convention_ = nullptr;
};

}  // namespace driver
