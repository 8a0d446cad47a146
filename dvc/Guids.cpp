// The interface IDs of the Remote Desktop plug-in interfaces, defined once
// here (the header only declares them).
#include <windows.h>
#include <initguid.h>
#include <tsvirtualchannels.h>
