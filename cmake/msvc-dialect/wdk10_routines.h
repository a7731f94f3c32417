// Forced first into every driver file by the Microsoft-dialect check. The WDK is not on this
// machine, so mingw-w64's DDK stands in for its headers; mingw-w64's DDK predates the WDK 10's
// ordered-access routines of wdm.h that compat.h calls under a Microsoft compiler, so they are
// declared here with the WDK's prototypes (BOOLEAN is UCHAR, PVOID is void*).
#pragma once

extern "C" {
unsigned char ReadBooleanAcquire(unsigned char const volatile* Source);
void WriteBooleanRelease(unsigned char volatile* Destination, unsigned char Value);
void* ReadPointerAcquire(void* const volatile* Source);
void WritePointerRelease(void* volatile* Destination, void* Value);
}
