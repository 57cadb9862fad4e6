#include "routes.h"

#include "output/png_writer.h"
#include "page/page_image.h"
#include "page_archive.h"
#include "web/web_rules.h"
#include "web_pages.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plotanix::web {

namespace {

constexpr size_t archivePiece = 16 * 1024; // the archive's bytes made at one turn

const char* typeOf(const std::string& name) {
    if (name.ends_with(".PNG")) return "image/png";
    if (name.ends_with(".SVG")) return "image/svg+xml";
    if (name.ends_with(".PDF")) return "application/pdf";
    return "text/plain; charset=iso-8859-1";
}

MHD_Result staticText(MHD_Connection* connection, const char* text, const char* type) {
    MHD_Response* response = MHD_create_response_from_buffer(
        std::strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) return MHD_NO;
    secure(response, type);
    return send(connection, MHD_HTTP_OK, response);
}

ssize_t readArchive(void* cls, uint64_t, char* buffer, size_t most) {
    const size_t n = static_cast<PageArchive*>(cls)->read(buffer, std::min(most, archivePiece));
    return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(n);
}

} // namespace

void PageSnapshots::show(WebServer::PageProvider provider) {
    provider_ = std::move(provider);
    ++version_;
    last_ = {};
}

PageSnapshot PageSnapshots::now() {
    if (!provider_) return {};
    if (last_.version != version_) {
        const PageImage* page = provider_();
        last_ = {version_, page != nullptr ? std::make_shared<const PageImage>(*page) : nullptr};
    }
    return last_;
}

Routes::Routes(int folder, BackgroundWork* work, Transport& transport, LiveChannel& live)
    : folder_(folder), live_(live), saved_(folder), overlays_(folder, work, transport) {}

Routes::~Routes() {
    if (pagePng_ != nullptr) MHD_destroy_response(pagePng_);
}

void Routes::showPage(WebServer::PageProvider page) {
    page_.show(std::move(page));
    drawing_ = false;
}

bool Routes::pageChanged() {
    if (!page_.shown()) return false;
    page_.changed();
    drawing_ = true;
    return true;
}

void Routes::pageSaved(const std::string& name) {
    saved_.look(name);
    for (const char* copy : {".SVG", ".PDF"})
        saved_.look(name.substr(0, 13) + copy);
    drawing_ = false;
    lastSaved_ = name;
}

MHD_Result Routes::answer(MHD_Connection* connection, const std::string& url) {
    if (url == "/") return front(connection);
    if (url == "/style.css") return staticText(connection, styleSheet, "text/css; charset=utf-8");
    if (url == "/live.js")
        return staticText(connection, liveScript, "text/javascript; charset=utf-8");
    if (url == "/events") return live_.open(connection);
    if (url == "/page.png") return pageImage(connection);
    if (url == "/pages.tar") return archive(connection);
    if (url == "/overlay.png") return overlays_.answer(connection);
    if (url.starts_with("/files/")) return file(connection, url.substr(7));
    return sendText(connection, MHD_HTTP_NOT_FOUND, "Not found.\n");
}

// Encoded when asked for, from the page's snapshot, and kept until the
// page changes.
MHD_Result Routes::pageImage(MHD_Connection* connection) {
    const PageSnapshot page = page_.now();
    if (page.pixels == nullptr) return sendText(connection, MHD_HTTP_NOT_FOUND, "No page yet.\n");
    if (pagePng_ == nullptr || pngVersion_ != page.version) {
        if (pagePng_ != nullptr) MHD_destroy_response(pagePng_);
        pagePng_ = nullptr;
        char* bytes = nullptr;
        size_t size = 0;
        FILE* memory = ::open_memstream(&bytes, &size);
        if (memory == nullptr) return MHD_NO;
        const bool written = writePng(memory, *page.pixels, PngCompression::fast);
        const bool closed = std::fclose(memory) == 0;
        if (!written || !closed) {
            std::free(bytes);
            return sendText(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                            "The page could not be encoded.\n");
        }
        pagePng_ = MHD_create_response_from_buffer(size, bytes, MHD_RESPMEM_MUST_FREE);
        if (pagePng_ == nullptr) {
            std::free(bytes);
            return MHD_NO;
        }
        pngVersion_ = page.version;
        secure(pagePng_, "image/png");
        MHD_add_response_header(pagePng_, "Cache-Control", "no-store");
    }
    return MHD_queue_response(connection, MHD_HTTP_OK, pagePng_);
}

// By its name in the folder only, and only a plain file there.
MHD_Result Routes::file(MHD_Connection* connection, const std::string& name) {
    if (!servedName(name)) return sendText(connection, MHD_HTTP_NOT_FOUND, "Not found.\n");
    UniqueFd file(
        ::openat(folder_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat info {};
    if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return sendText(connection, MHD_HTTP_NOT_FOUND, "Not found.\n");
    MHD_Response* response =
        MHD_create_response_from_fd64(static_cast<uint64_t>(info.st_size), file.get());
    if (response == nullptr) return MHD_NO;
    (void)file.release(); // the response closes it
    secure(response, typeOf(name));
    MHD_add_response_header(response, "Cache-Control",
                            name == "PLOTTER.TXT" ? "no-store" : "max-age=60");
    return send(connection, MHD_HTTP_OK, response);
}

// Every saved page at once: the archive is made as it is sent.
MHD_Result Routes::archive(MHD_Connection* connection) {
    if (saved_.reading())
        return sendLater(connection, "The folder is still being read: ask again in a moment.\n");
    auto* made = new PageArchive(folder_, saved_.files());
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, archivePiece, readArchive, made,
                                          [](void* cls) { delete static_cast<PageArchive*>(cls); });
    if (response == nullptr) {
        delete made;
        return MHD_NO;
    }
    secure(response, "application/x-tar");
    MHD_add_response_header(response, "Content-Disposition",
                            "attachment; filename=\"plotter-pages.tar\"");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return send(connection, MHD_HTTP_OK, response);
}

MHD_Result Routes::front(MHD_Connection* connection) {
    FrontPage shown;
    shown.pageVersion = page_.shown() ? live_.pageVersion() : 0;
    shown.drawing = drawing_;
    shown.total = saved_.size();
    shown.reading = saved_.reading();
    const char* from = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "from");
    if (from != nullptr && shown.total > 0) {
        const size_t asked = std::strtoul(from, nullptr, 10);
        shown.skip = std::min(asked, (shown.total - 1) / pagesShown * pagesShown);
    }
    shown.saved = saved_.newest(shown.skip, pagesShown);
    SavedPage last;
    if ((!lastSaved_.empty() && saved_.find(lastSaved_, last)) || saved_.size() > 0) {
        if (last.name.empty()) last = saved_.newest(0, 1).front();
        shown.lastSaved = &last;
    }
    const std::string html = frontPage(status_, shown);
    MHD_Response* response = MHD_create_response_from_buffer(
        html.size(), const_cast<char*>(html.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    secure(response, "text/html; charset=utf-8");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return send(connection, MHD_HTTP_OK, response);
}

} // namespace plotanix::web
