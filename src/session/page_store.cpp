#include "session/page_store.h"

#include "hpgl/plotter.h"
#include "logfile/log_file.h"
#include "logfile/transcript_format.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <tuple>
#include <vector>

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

bool nothingDrawn(const PageImage& page) {
    // Rows not drawn on since the page was blanked are its paper: when that
    // is the paper asked about, only the rows drawn on are read.
    int from = 0, to = page.height;
    if (page.indexed() || page.paper() == penColours[0]) std::tie(from, to) = page.rowsDrawn();
    if (page.indexed()) {
        // Index 0 is the paper; the bits past the last pixel are never set.
        const auto bytes = static_cast<size_t>((page.width * page.depth + 7) / 8);
        for (int y = from; y < to; ++y) {
            const uint8_t* row = page.row(y);
            if (std::any_of(row, row + bytes, [](uint8_t b) { return b != 0; })) return false;
        }
        return true;
    }
    const Colour paper = penColours[0];
    std::vector<uint8_t> paperRow(static_cast<size_t>(page.width) * 3);
    for (size_t x = 0; x < paperRow.size(); x += 3) {
        paperRow[x] = uint8_t(paper >> 16);
        paperRow[x + 1] = uint8_t(paper >> 8);
        paperRow[x + 2] = uint8_t(paper);
    }
    for (int y = from; y < to; ++y)
        if (std::memcmp(page.row(y), paperRow.data(), paperRow.size()) != 0) return false;
    return true;
}

PageStore::PageStore(std::string directory, LogFile& log, Writer writer)
    : directory_(std::move(directory)), log_(log), writer_(std::move(writer)) {}

std::string PageStore::folder() const {
    std::error_code error;
    const auto path = std::filesystem::absolute(directory_.empty() ? "." : directory_, error);
    return error ? directory_ : path.lexically_normal().string();
}

std::string PageStore::pathOf(const std::string& name) const {
    if (directory_.empty() || directory_ == ".") return name;
    return (std::filesystem::path(directory_) / name).string();
}

void PageStore::writeCopies(std::string extension, CopyWriter writer) {
    copyExtension_ = std::move(extension);
    copyWriter_ = std::move(writer);
}

// 0 when neither of the number's names exists; EEXIST when one does (a link
// or anything else: never overwrite); otherwise why the folder cannot say.
int PageStore::probe(int64_t number) const {
    const auto look = [this](const std::string& name) {
        struct stat info {};
        if (::lstat(pathOf(name).c_str(), &info) == 0) return EEXIST;
        return errno == ENOENT ? 0 : errno;
    };
    const int found = look(pageFileName(number));
    if (found != 0 || copyExtension_.empty()) return found;
    return look(pageFileName(number, copyExtension_));
}

PageStore::Saved PageStore::savePage(const PageImage& page) {
    Saved saved = beginSave();
    if (!saved.error.empty()) return saved;
    errno = 0;
    const bool written = writer_(page, pathOf(saved.name));
    return endSave(std::move(saved), page, written, errno);
}

PageStore::Saved PageStore::beginSave() {
    Saved saved{false, pageFileName(pageNumber_), pageNumber_, {}, {}, {}};
    int found = probe(saved.number);
    for (int64_t tries = 0; tries < largestTry && found == EEXIST; ++tries) {
        saved.name = pageFileName(++saved.number);
        found = probe(saved.number);
    }
    if (found != 0)
        saved.error = found == EEXIST ? "every page file name is taken" : std::strerror(found);
    return saved;
}

PageStore::Saved PageStore::endSave(Saved saved, const PageImage& page, bool written, int error) {
    if (!written) {
        saved.error = error != 0 ? std::strerror(error) : "the file could not be written";
        return saved;
    }
    saved.ok = true;
    saved_ = page.pixels;
    pageNumber_ = saved.number + 1;
    log_.writeLogText(transcript::savePageMarker(saved.number));
    log_.flushLog();
    if (!copyExtension_.empty()) {
        saved.copyName = pageFileName(saved.number, copyExtension_);
        if (!copyWriter_(pathOf(saved.copyName), saved.copyError) && saved.copyError.empty())
            saved.copyError = "the file could not be written";
    }
    if (told_) told_(saved);
    return saved;
}

void PageStore::markNewPage() {
    log_.writeLogText(transcript::newPageMarker());
    log_.flushLog();
}

} // namespace plotanix
