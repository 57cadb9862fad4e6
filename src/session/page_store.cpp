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

std::string pageFileName(int64_t pageNumber, std::string_view extension) {
    return "PLOTTER_" + fiveDigits(pageNumber) + std::string(extension);
}

PageStore::PageStore(std::string directory, LogFile& log, Writer writer)
    : directory_(std::move(directory)), log_(log), writer_(std::move(writer)) {}

std::string PageStore::pathOf(const std::string& name) const {
    if (directory_.empty() || directory_ == ".") return name;
    return (std::filesystem::path(directory_) / name).string();
}

void PageStore::writeCopies(std::string extension, CopyWriter writer) {
    copyExtension_ = std::move(extension);
    copyWriter_ = std::move(writer);
}

// A link or anything else of either name counts as taken: never overwrite.
bool PageStore::taken(int64_t number) const {
    const auto exists = [this](const std::string& name) {
        std::error_code error;
        return std::filesystem::symlink_status(pathOf(name), error).type() !=
               std::filesystem::file_type::not_found;
    };
    return exists(pageFileName(number)) ||
           (!copyExtension_.empty() && exists(pageFileName(number, copyExtension_)));
}

PageStore::Saved PageStore::savePage(const PageImage& page) {
    Saved saved{false, pageFileName(pageNumber_), pageNumber_, {}, {}};
    for (int64_t tries = 0; tries < largestTry && taken(saved.number); ++tries)
        saved.name = pageFileName(++saved.number);
    if (taken(saved.number) || !writer_(page, pathOf(saved.name))) return saved;
    saved.ok = true;
    pageNumber_ = saved.number + 1;
    log_.writeLogText(transcript::savePageMarker(saved.number));
    log_.flushLog();
    if (copyExtension_.empty()) return saved;
    saved.copyName = pageFileName(saved.number, copyExtension_);
    if (!copyWriter_(pathOf(saved.copyName), saved.copyError) && saved.copyError.empty())
        saved.copyError = "the file could not be written";
    return saved;
}

void PageStore::markNewPage() {
    log_.writeLogText(transcript::newPageMarker());
    log_.flushLog();
}

} // namespace plotanix
