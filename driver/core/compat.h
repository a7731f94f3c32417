// The one place that knows which build this is: the real kernel image (mingw-w64 and its DDK
// headers) or the host kernel. It supplies what the mingw DDK lacks or gets wrong, so that every
// other driver file is written against the WDK alone.
#pragma once

#if defined(__MINGW32__)

// wdm.h and mingw's intrinsics both define these two in C++.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

#define VELT_WIDE(text) L##text

#else

#include <ntddk.h>

#define VELT_WIDE(text) u##text

#endif
