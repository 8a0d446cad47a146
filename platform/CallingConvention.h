// Calling convention of everything that crosses the ICA engine boundary and of
// the instrument driver library's entry points: cdecl on 32-bit Windows. On
// x86_64 there is only one convention, so the macro is empty there.
#pragma once

#if defined(_WIN32) && !defined(_WIN64)
#define KST_CDECL __cdecl
// The Windows API's own convention (WINAPI), for functions of Windows'
// libraries called through their addresses.
#define KST_STDCALL __stdcall
#else
#define KST_CDECL
#define KST_STDCALL
#endif

#if defined(_WIN32)
#define KST_EXPORT __declspec(dllexport)
#else
#define KST_EXPORT __attribute__((visibility("default")))
#endif
