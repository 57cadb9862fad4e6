#include "overlays.h"

#include "common/background_work.h"
#include "common/unique_fd.h"
#include "output/ink_overlay.h"
#include "output/png_writer.h"
#include "page/page_image.h"
#include "web/web_rules.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plotanix::web {

namespace {

using Result = Overlays::Result;

// The named saved page, opened now so that what is drawn is the file as
// it stands; an invalid descriptor when it is not one.
UniqueFd openSaved(int folder, const char* name, struct stat& info) {
    if (name == nullptr || !servedName(name) || !std::string_view(name).ends_with(".PNG"))
        return {};
    UniqueFd fd(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    return fd;
}

std::string versionOf(const struct stat& info) {
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

// The second page's ink over the first's, each page in a colour of its own
// (black, then red): the work itself, on whichever thread runs it. It owns
// what it reads.
Result draw(std::array<UniqueFd, 2> files, std::array<std::string, 2> names) {
    std::unique_ptr<PageImage> pages[2];
    for (const size_t i : {0u, 1u}) {
        std::string why = "Not found.";
        FILE* file = ::fdopen(files[i].get(), "rb");
        if (file != nullptr) {
            (void)files[i].release(); // the file closes it
            pages[i] = readPagePng(file, why);
            std::fclose(file);
        }
        if (!pages[i]) return {MHD_HTTP_UNPROCESSABLE_CONTENT, names[i] + ": " + why + "\n"};
    }
    const std::vector<Colour> inks = overlayInks(2);
    layInk(*pages[0], *pages[0], [&inks](Colour) { return inks[0]; });
    layInk(*pages[0], *pages[1], [&inks](Colour) { return inks[1]; });
    char* bytes = nullptr;
    size_t size = 0;
    FILE* memory = ::open_memstream(&bytes, &size);
    const bool written = memory != nullptr && writePng(memory, *pages[0], PngCompression::fast);
    const bool closed = memory != nullptr && std::fclose(memory) == 0;
    Result result{MHD_HTTP_OK, written && closed ? std::string(bytes, size) : std::string()};
    std::free(bytes);
    if (!written || !closed)
        return {MHD_HTTP_INTERNAL_SERVER_ERROR, "The overlay could not be encoded.\n"};
    return result;
}

} // namespace

Overlays::Overlays(int folder, BackgroundWork* work, Transport& transport)
    : folder_(folder), work_(work), transport_(transport),
      self_(std::make_shared<Overlays*>(this)) {}

Overlays::~Overlays() = default;

MHD_Result Overlays::answer(MHD_Connection* connection) {
    const auto waited = waiting_.find(connection);
    if (waited != waiting_.end()) {
        const std::shared_ptr<const Result> result = waited->second;
        if (result == nullptr) { // woken before its drawing is done
            transport_.suspend(connection);
            return MHD_YES;
        }
        waiting_.erase(waited);
        return reply(connection, *result);
    }
    std::array<UniqueFd, 2> files;
    std::array<std::string, 2> names;
    std::string key;
    for (const size_t i : {0u, 1u}) {
        const char* name =
            MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, i == 0 ? "a" : "b");
        struct stat info {};
        files[i] = openSaved(folder_, name, info);
        if (!files[i]) return sendText(connection, MHD_HTTP_NOT_FOUND, "Not found.\n");
        names[i] = name;
        key += names[i] + "@" + versionOf(info) + "\n";
    }
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
        if (it->first != key) continue;
        kept_.splice(kept_.begin(), kept_, it);
        return reply(connection, *it->second);
    }
    if (work_ == nullptr) {
        auto result = std::make_shared<const Result>(draw(std::move(files), names));
        finished(key, result);
        return reply(connection, *result);
    }
    const auto under = drawing_.find(key);
    if (under == drawing_.end() && drawing_.size() >= atOnce) {
        return sendLater(connection, "Other overlays are being drawn: ask again in a moment.\n");
    }
    waiting_[connection] = nullptr;
    transport_.suspend(connection);
    if (under != drawing_.end()) {
        under->second.waiting.push_back(connection);
        return MHD_YES;
    }
    drawing_[key].waiting.push_back(connection);
    // What the work owns it takes along; the result finds this object only
    // if it is still there.
    auto owned = std::make_shared<std::array<UniqueFd, 2>>(std::move(files));
    std::weak_ptr<Overlays*> back = self_;
    work_->submit(
        BackgroundWork::Lane::overlays,
        [owned, names, key, back]() -> BackgroundWork::Done {
            auto result = std::make_shared<const Result>(draw(std::move(*owned), names));
            return [result, key, back] {
                if (const auto self = back.lock()) (*self)->finished(key, result);
            };
        },
        [key, back](bool) {
            const auto self = back.lock();
            if (self)
                (*self)->finished(key, std::make_shared<const Result>(Result{
                                           MHD_HTTP_SERVICE_UNAVAILABLE,
                                           "The overlay was not drawn: the program is ending.\n"}));
        });
    return MHD_YES;
}

void Overlays::gone(MHD_Connection* connection) {
    waiting_.erase(connection);
    for (auto& [key, drawing] : drawing_)
        std::erase(drawing.waiting, connection);
}

void Overlays::finished(const std::string& key, std::shared_ptr<const Result> result) {
    if (result->status != MHD_HTTP_SERVICE_UNAVAILABLE) {
        kept_.emplace_front(key, result);
        if (kept_.size() > kept) kept_.pop_back();
    }
    const auto drawn = drawing_.find(key);
    if (drawn == drawing_.end()) return;
    for (MHD_Connection* connection : drawn->second.waiting) {
        waiting_[connection] = result;
        transport_.resume(connection);
    }
    drawing_.erase(drawn);
}

MHD_Result Overlays::reply(MHD_Connection* connection, const Result& result) {
    if (result.status != MHD_HTTP_OK) return sendText(connection, result.status, result.body);
    MHD_Response* response = MHD_create_response_from_buffer(
        result.body.size(), const_cast<char*>(result.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    secure(response, "image/png");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return send(connection, MHD_HTTP_OK, response);
}

} // namespace plotanix::web
