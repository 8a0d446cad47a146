// The one list of an instrument driver library's 31 entry points, in the
// order the binding looks them up: name, form (driver/EntryPoints.h), and
// the bytes its arguments take on the 32-bit stack (the N of a stdcall name
// "_<Name>@<N>"). The binding, the driver host's call numbers, the client
// check, the self-test and the test drivers' exports are all made from it;
// the public header include/kestav/InstrumentDriver.h is checked against it
// by the compiler. One entry per line: the build reads the names and sizes.
#pragma once

#define KST_ENTRY_POINTS(X)                     \
    X(Connect, FlagFn, 0)                       \
    X(Disconnect, FlagFn, 0)                    \
    X(IsConnected, FlagFn, 0)                   \
    X(SetLanguage, FlagOfU16Fn, 4)              \
    X(GetAngles, IntFn, 0)                      \
    X(GetWavelengths, IntFn, 0)                 \
    X(GetAngleValue, TextOfIntFn, 4)            \
    X(GetWavelengthValue, IntOfIntFn, 4)        \
    X(Measure, FlagFn, 0)                       \
    X(GetSpectralData, RealOfTwoIntsFn, 8)      \
    X(IsDataReady, FlagFn, 0)                   \
    X(GetSerialNum, TextFn, 0)                  \
    X(GetCalStatus, IntFn, 0)                   \
    X(Calibrate, FlagFn, 0)                     \
    X(GetCalSteps, TextFn, 0)                   \
    X(GetCalMode, TextFn, 0)                    \
    X(CalibrateStep, FlagOfTextFn, 4)           \
    X(GetCalProgress, IntFn, 0)                 \
    X(AbortCalibration, FlagFn, 0)              \
    X(ClearSamples, FlagFn, 0)                  \
    X(GetSampleCount, IntFn, 0)                 \
    X(SetCurrentSample, FlagOfIntFn, 4)         \
    X(GetSampleData, RealOfTwoIntsFn, 8)        \
    X(Configure, FlagFn, 0)                     \
    X(GetAvailableSettings, TextFn, 0)          \
    X(GetSettingOptions, TextOfTextFn, 4)       \
    X(GetOption, TextOfTextFn, 4)               \
    X(SetOption, FlagOfTwoTextsFn, 8)           \
    X(GetLastErrorCode, IntFn, 0)               \
    X(GetLastErrorString, TextFn, 0)            \
    X(Execute, TextOfTextFn, 4)
