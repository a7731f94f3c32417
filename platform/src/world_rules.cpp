// Verifier rules that the world's managers check where the real system checks them.
#include "kernel.h"

namespace host {

namespace rule {
const char* const DeviceStillInitializing = "DEVICE_STILL_INITIALIZING";
} // namespace rule

void ReportViolation(const char* rule, const std::string& detail) {
    detail::Violate(rule, detail);
}

} // namespace host
