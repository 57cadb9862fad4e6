#include "session/page_store.h"

#include "logfile/log_file.h"
#include "logfile/transcript_format.h"

#include <filesystem>
#include <system_error>

namespace plotanix {

namespace {

constexpr int64_t largestTry = 100000; // five digits' worth of names

} // namespace

std::string fiveDigits(int64_t number) {
    const std::string digits = "0000" + std::to_string(number);
    return digits.substr(digits.size() - 5);
}

std::string pageFileName(int64_t pageNumber) {
    return "PLOTTER_" + fiveDigits(pageNumber) + ".PNG";
}

PageStore::PageStore(std::string directory, LogFile& log, Writer writer)
    : directory_(std::move(directory)), log_(log), writer_(std::move(writer)) {}

std::string PageStore::pathOf(const std::string& name) const {
    if (directory_.empty() || directory_ == ".") return name;
    return (std::filesystem::path(directory_) / name).string();
}

PageStore::Saved PageStore::savePage(const PageImage& page) {
    Saved saved{false, pageFileName(pageNumber_), pageNumber_};
    std::error_code error;
    // A link or anything else of that name counts as taken: never overwrite.
    for (int64_t tries = 0;
         tries < largestTry && std::filesystem::symlink_status(pathOf(saved.name), error).type() !=
                                   std::filesystem::file_type::not_found;
         ++tries) {
        saved.name = pageFileName(++saved.number);
    }
    const bool free = std::filesystem::symlink_status(pathOf(saved.name), error).type() ==
                      std::filesystem::file_type::not_found;
    if (!free || !writer_(page, pathOf(saved.name))) return saved;
    saved.ok = true;
    pageNumber_ = saved.number + 1;
    log_.writeLogText(transcript::savePageMarker(saved.number));
    log_.flushLog();
    return saved;
}

void PageStore::markNewPage() {
    log_.writeLogText(transcript::newPageMarker());
    log_.flushLog();
}

} // namespace plotanix
