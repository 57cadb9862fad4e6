#include "app/unattended.h"

#include <cstdio>

namespace plotanix {

// Until the unattended mode is built, the option is accepted and declined.
int runUnattended(const UnattendedOptions&) {
    std::fputs("plotanix: --unattended is not available in this build\n", stderr);
    return 1;
}

} // namespace plotanix
