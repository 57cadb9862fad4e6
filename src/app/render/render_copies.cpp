#include "render_copies.h"

#include "output/direct_copy.h"

#include <climits>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace plotanix {

namespace {

using CopyEntry = bool (*)(FILE*, const DisplayList*, const CopyOptions*, std::string*);
using PagesEntry = bool (*)(FILE*, const PdfPage*, size_t, std::string*);

struct CopyModule {
    CopyEntry entry = nullptr;
    PagesEntry pages = nullptr;
    std::string error; // why it could not be loaded
};

std::string programFolder() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return ".";
    const std::string program(path, static_cast<size_t>(length));
    return program.substr(0, program.rfind('/'));
}

CopyModule loadModule() {
    CopyModule module;
    void* handle = openModule(PLOTANIX_COPIES_MODULE, module.error);
    if (handle == nullptr) return module;
    module.entry = reinterpret_cast<CopyEntry>(::dlsym(handle, "plotanixWritePageCopyTo"));
    module.pages = reinterpret_cast<PagesEntry>(::dlsym(handle, "plotanixWritePdfPagesTo"));
    if (module.entry == nullptr || module.pages == nullptr)
        module.error = PLOTANIX_COPIES_MODULE " is not the copy module";
    return module;
}

const CopyModule& copyModule() {
    static const CopyModule module = loadModule(); // once, whichever worker comes first
    return module;
}

} // namespace

// Beside the program (a build tree), else where it is installed, found from
// the program's own place so that a staged or moved install works too.
void* openModule(const char* name, std::string& error) {
    const std::string folder = programFolder();
    for (const std::string& place : {folder, folder + "/" + PLOTANIX_COPIES_FROM_PROGRAM}) {
        const std::string path = place + "/" + name;
        if (::access(path.c_str(), F_OK) != 0) continue;
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) error = ::dlerror();
        return handle;
    }
    error = "the module " + std::string(name) + " is not installed";
    return nullptr;
}

bool writeCopy(FILE* file, const DisplayList& list, const CopyOptions& options,
               std::string& reason) {
    // Most pages' SVG and PDF need no cairo at all.
    if (directCopy(list, options)) return writeDirectCopyTo(file, list, options, reason);
    const CopyModule& module = copyModule();
    if (!module.error.empty()) {
        reason = module.error;
        return false;
    }
    return module.entry(file, &list, &options, &reason);
}

bool writePdfPages(FILE* file, std::span<const PdfPage> pages, std::string& reason) {
    if (directPdf(pages)) return writeDirectPdfPagesTo(file, pages, reason);
    const CopyModule& module = copyModule();
    if (!module.error.empty()) {
        reason = module.error;
        return false;
    }
    return module.pages(file, pages.data(), pages.size(), &reason);
}

} // namespace plotanix
