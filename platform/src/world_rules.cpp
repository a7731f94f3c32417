// Verifier checks that the world's managers make where the real system makes them.
#include "kernel.h"

namespace host {

void ReportViolation(const char* rule, const std::string& detail) {
    detail::Violate(rule, detail);
}

} // namespace host
