/*
 * The Kestav instrument driver contract: the 31 functions an instrument
 * driver library exports for the Kestav client driver (Citrix ICA module and
 * Remote Desktop plug-in). Include it in the library's source so that the
 * compiler checks every signature against what the module calls.
 *
 * Types
 *   KstFlag  one byte; 0 is false, anything else true
 *   KstInt   a signed 32-bit integer
 *   KstReal  a 32-bit IEEE float
 *   texts    NUL-terminated 8-bit text in the Windows ANSI code page
 *
 * Texts
 *   A text the module hands in (const char* parameter) is the module's and
 *   valid during the call only: copy what you keep.
 *   A text the library hands out (const char* result) stays the library's:
 *   the module copies it at once and never frees it; it must stay valid
 *   until the library's next call. Return "" rather than NULL (the module
 *   reads NULL as empty, but the self-test flags it).
 *
 * Calling convention and names
 *   On 32-bit Windows build the functions __cdecl with plain names (what
 *   this header gives by default). __stdcall works as well: define
 *   KST_DRIVER_CALL as __stdcall before including this header, and export
 *   the plain names (a .def file) or the decorated ones an MSVC build gives
 *   ("_SetLanguage@4"). 64-bit Windows has one convention and one name form.
 *   A 32-bit library runs under the 64-bit module (and the reverse) in the
 *   driver host, a process of its own; makers need do nothing for that.
 *
 * Threads
 *   The module calls one function at a time, from one thread.
 */
#ifndef KESTAV_INSTRUMENT_DRIVER_H
#define KESTAV_INSTRUMENT_DRIVER_H

#include <stdint.h>

#ifndef KST_DRIVER_EXPORT
#if defined(_WIN32)
#define KST_DRIVER_EXPORT __declspec(dllexport)
#else
#define KST_DRIVER_EXPORT __attribute__((visibility("default")))
#endif
#endif

#ifndef KST_DRIVER_CALL
#if defined(_WIN32) && !defined(_WIN64)
#define KST_DRIVER_CALL __cdecl
#else
#define KST_DRIVER_CALL
#endif
#endif

#ifdef __cplusplus
#define KST_DRIVER_API extern "C" KST_DRIVER_EXPORT
#else
#define KST_DRIVER_API KST_DRIVER_EXPORT
#endif

typedef unsigned char KstFlag;
typedef int32_t KstInt;
typedef float KstReal;

/* Connection: open and close the link to the instrument. */
KST_DRIVER_API KstFlag KST_DRIVER_CALL Connect(void);
KST_DRIVER_API KstFlag KST_DRIVER_CALL Disconnect(void);
KST_DRIVER_API KstFlag KST_DRIVER_CALL IsConnected(void);
/* The language of the library's texts, as a Windows LCID (1033 English). */
KST_DRIVER_API KstFlag KST_DRIVER_CALL SetLanguage(uint16_t language);

/* What the instrument measures: angles and wavelengths, by index. */
KST_DRIVER_API KstInt KST_DRIVER_CALL GetAngles(void);
KST_DRIVER_API KstInt KST_DRIVER_CALL GetWavelengths(void);
KST_DRIVER_API const char* KST_DRIVER_CALL GetAngleValue(KstInt index);
KST_DRIVER_API KstInt KST_DRIVER_CALL GetWavelengthValue(KstInt index);

/* Measuring and reading the current sample. GetSpectralData(angle, band):
   the module asks for bands 0 to 30 of one angle for a whole spectrum. */
KST_DRIVER_API KstFlag KST_DRIVER_CALL Measure(void);
KST_DRIVER_API KstReal KST_DRIVER_CALL GetSpectralData(KstInt angle, KstInt band);
KST_DRIVER_API KstFlag KST_DRIVER_CALL IsDataReady(void);
KST_DRIVER_API const char* KST_DRIVER_CALL GetSerialNum(void);

/* Calibration, step by step. */
KST_DRIVER_API KstInt KST_DRIVER_CALL GetCalStatus(void);
KST_DRIVER_API KstFlag KST_DRIVER_CALL Calibrate(void);
KST_DRIVER_API const char* KST_DRIVER_CALL GetCalSteps(void);
KST_DRIVER_API const char* KST_DRIVER_CALL GetCalMode(void);
KST_DRIVER_API KstFlag KST_DRIVER_CALL CalibrateStep(const char* step);
KST_DRIVER_API KstInt KST_DRIVER_CALL GetCalProgress(void);
KST_DRIVER_API KstFlag KST_DRIVER_CALL AbortCalibration(void);

/* The samples measured so far. */
KST_DRIVER_API KstFlag KST_DRIVER_CALL ClearSamples(void);
KST_DRIVER_API KstInt KST_DRIVER_CALL GetSampleCount(void);
KST_DRIVER_API KstFlag KST_DRIVER_CALL SetCurrentSample(KstInt sample);
KST_DRIVER_API KstReal KST_DRIVER_CALL GetSampleData(KstInt sample, KstInt band);

/* Settings. A "|" in a text travels to the server as "&vert;" for
   GetAvailableSettings and GetOption, and as itself for GetSettingOptions. */
KST_DRIVER_API KstFlag KST_DRIVER_CALL Configure(void);
KST_DRIVER_API const char* KST_DRIVER_CALL GetAvailableSettings(void);
KST_DRIVER_API const char* KST_DRIVER_CALL GetSettingOptions(const char* setting);
KST_DRIVER_API const char* KST_DRIVER_CALL GetOption(const char* option);
KST_DRIVER_API KstFlag KST_DRIVER_CALL SetOption(const char* option, const char* value);

/* The last error, and anything the instrument offers beyond this list. */
KST_DRIVER_API KstInt KST_DRIVER_CALL GetLastErrorCode(void);
KST_DRIVER_API const char* KST_DRIVER_CALL GetLastErrorString(void);
KST_DRIVER_API const char* KST_DRIVER_CALL Execute(const char* command);

#endif /* KESTAV_INSTRUMENT_DRIVER_H */
