// Calling an instrument driver's entry point through its address.
//
// On 32-bit Windows makers build their entry points either __cdecl (the
// caller removes the arguments from the stack) or __stdcall (the callee does:
// what WINAPI gives, and what SDKs for Visual Basic, Delphi or LabVIEW use).
// A call through a pointer of the wrong convention leaves the stack off by the
// arguments' size and takes the ICA client down with it. So there every call
// goes through one small assembly helper that saves the stack pointer before
// the call and restores it after: both conventions leave the stack as it was.
// The helper also reports how many bytes the callee removed (0: cdecl;
// the arguments' size: stdcall). Floats come back in st0 and everything else
// in eax under both conventions, which the helper leaves untouched.
//
// Everywhere else (64-bit Windows, POSIX) there is one convention, and the
// entry point is called through a pointer of its own form.
#pragma once

#include <cstdint>
#include <type_traits>

namespace platform {

// How a library's entry points turned out to be built: known from decorated
// names at once, otherwise from the stack after the first call that takes
// arguments (32-bit drivers only; elsewhere there is one convention).
enum class Convention : std::uint32_t { Unknown = 0, Cdecl = 1, Stdcall = 2 };

#if defined(_WIN32) && !defined(_WIN64)

// Whether a driver's entry points may come in more than one convention and
// name form (plain "Measure" or decorated "_Measure@0").
constexpr bool kEntryConventionsVary = true;

extern "C" {
// Pushes `count` 32-bit words (words[0] last, so it lands nearest the return
// address), calls `entry`, restores the stack pointer and stores in *removed
// the bytes the callee took off the stack. One piece of code, two result
// registers: eax (kst_CallWords) or st0 (kst_CallReal).
std::uint32_t kst_CallWords(const void* entry, const std::uint32_t* words, std::uint32_t count,
                            std::uint32_t* removed);
float kst_CallReal(const void* entry, const std::uint32_t* words, std::uint32_t count,
                   std::uint32_t* removed);
}

template <typename T>
std::uint32_t ToWord(T value) {
    if constexpr (std::is_pointer_v<T>)
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value));
    else
        return static_cast<std::uint32_t>(value);  // 16-bit values widen to a full slot
}

template <typename R, typename... A>
R CallEntry(const void* entry, std::uint32_t* removed, A... args) {
    const std::uint32_t words[sizeof...(A) + 1] = {ToWord(args)..., 0};
    if constexpr (std::is_same_v<R, float>) {
        return kst_CallReal(entry, words, sizeof...(A), removed);
    } else {
        const std::uint32_t result = kst_CallWords(entry, words, sizeof...(A), removed);
        if constexpr (std::is_pointer_v<R>)
            return reinterpret_cast<R>(static_cast<std::uintptr_t>(result));
        else
            return static_cast<R>(result);  // a one-byte flag is al alone
    }
}

#else

constexpr bool kEntryConventionsVary = false;

template <typename R, typename... A>
R CallEntry(const void* entry, std::uint32_t* removed, A... args) {
    *removed = 0;
    // Object and function pointers have the same size on every platform we
    // build for; the integer step keeps the compiler's cast warnings here.
    const auto function = reinterpret_cast<R (*)(A...)>(reinterpret_cast<std::uintptr_t>(entry));
    return function(args...);
}

#endif

}  // namespace platform
