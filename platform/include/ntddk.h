// Host kernel interface: the part of the WDK's ntddk.h beyond wdm.h that the driver uses.
#pragma once

#include "wdm.h"

NTKERNELAPI BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion,
                                       PULONG BuildNumber, PUNICODE_STRING CSDVersion);
