// The forms of the instrument driver library's 31 entry points. Instrument
// makers build their library to these: C linkage, undecorated names, cdecl on
// 32-bit Windows. Texts handed in are the module's and valid for the call
// only; texts handed out stay the library's and are copied at once.
#pragma once

#include <cstdint>

#include "platform/CallingConvention.h"

namespace driver {

using DriverFlag = unsigned char;  // non-zero is true

using FlagFn = DriverFlag(KST_CDECL*)();
using FlagOfU16Fn = DriverFlag(KST_CDECL*)(std::uint16_t);
using FlagOfIntFn = DriverFlag(KST_CDECL*)(std::int32_t);
using FlagOfTextFn = DriverFlag(KST_CDECL*)(const char*);
using FlagOfTwoTextsFn = DriverFlag(KST_CDECL*)(const char*, const char*);
using IntFn = std::int32_t(KST_CDECL*)();
using IntOfIntFn = std::int32_t(KST_CDECL*)(std::int32_t);
using RealOfTwoIntsFn = float(KST_CDECL*)(std::int32_t, std::int32_t);
using TextFn = const char*(KST_CDECL*)();
using TextOfIntFn = const char*(KST_CDECL*)(std::int32_t);
using TextOfTextFn = const char*(KST_CDECL*)(const char*);

}  // namespace driver
