#include "app/render_copies.h"

namespace plotanix {

bool writeCopy(FILE* file, const DisplayList& list, const CopyOptions& options,
               std::string& reason) {
    return writePageCopyTo(file, list, options, reason);
}

} // namespace plotanix
