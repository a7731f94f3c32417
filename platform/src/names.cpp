// Names of kernel objects for the host's own reports.
#include "kernel.h"

namespace host::detail {

std::string ServiceNameOf(PDRIVER_OBJECT driver) {
    if (driver == nullptr || driver->DriverExtension == nullptr) {
        return "no driver";
    }
    const UNICODE_STRING& name = driver->DriverExtension->ServiceKeyName;
    std::string text;
    for (USHORT i = 0; i < name.Length / sizeof(WCHAR); ++i) {
        WCHAR c = name.Buffer[i];
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return text.empty() ? "unnamed driver" : text;
}

} // namespace host::detail
