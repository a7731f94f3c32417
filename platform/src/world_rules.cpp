// Verifier rules that the world's managers check where the real system checks them.
#include "kernel.h"

namespace host {

void ReportViolation(const char* rule, const std::string& detail) {
    detail::Violate(rule, detail);
}

} // namespace host
