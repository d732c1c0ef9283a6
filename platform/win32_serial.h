// The Win32 serial communications subset the driver is written against.
// On Windows this is the system's own <windows.h>; elsewhere our provider in
// platform/posix/ supplies the same names, types, layouts and results.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include "posix/win32_api.h"
#endif
