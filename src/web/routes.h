#pragma once
// The web view's routes and pages: what each address answers, from the
// page as it is drawn (its snapshots), the folder's saved pages, the
// plotter's state and the transcript. Nothing here writes a file.

#include "common/unique_fd.h"
#include "live_channel.h"
#include "overlays.h"
#include "saved_list.h"
#include "transport.h"
#include "web/web_server.h"

#include <microhttpd.h>

#include <cstdint>
#include <memory>
#include <string>

namespace plotanix {
class BackgroundWork;
}

namespace plotanix::web {

// The page as it stood at one of its versions: read-only pixels shared
// with whoever still reads them, whatever becomes of the page drawn on.
struct PageSnapshot {
    uint64_t version = 0;
    std::shared_ptr<const PageImage> pixels; // nullptr: no page
};

// The page shown, copied when a request needs it, and only when it has
// changed since the last copy: a live plot does not copy the page at each
// change, and no copy outlives its readers or depends on the page drawn on.
class PageSnapshots {
  public:
    void show(WebServer::PageProvider provider);
    void changed() { ++version_; }
    bool shown() const { return static_cast<bool>(provider_); }
    PageSnapshot now();

  private:
    WebServer::PageProvider provider_;
    uint64_t version_ = 0;
    PageSnapshot last_;
};

class Routes {
  public:
    // The folder's descriptor and the background work stay the caller's.
    Routes(int folder, BackgroundWork* work, Transport& transport, LiveChannel& live);
    ~Routes();
    Routes(const Routes&) = delete;
    Routes& operator=(const Routes&) = delete;

    MHD_Result answer(MHD_Connection* connection, const std::string& url);
    void gone(MHD_Connection* connection) { overlays_.gone(connection); }

    // The folder's changes noticed: true when it changed otherwise than by
    // a page saved here.
    bool service() { return saved_.service(); }
    int folderNotices() const { return saved_.descriptor(); }
    bool reading() const { return saved_.reading(); }

    void showPage(WebServer::PageProvider page);
    // False when no page is shown.
    bool pageChanged();
    void pageSaved(const std::string& name);
    const WebStatus& status() const { return status_; }
    void setStatus(WebStatus status) { status_ = std::move(status); }

  private:
    MHD_Result front(MHD_Connection* connection);
    MHD_Result pageImage(MHD_Connection* connection);
    MHD_Result file(MHD_Connection* connection, const std::string& name);
    MHD_Result archive(MHD_Connection* connection);

    int folder_;
    LiveChannel& live_;
    SavedList saved_;
    Overlays overlays_;
    PageSnapshots page_;
    MHD_Response* pagePng_ = nullptr; // the snapshot encoded
    uint64_t pngVersion_ = 0;         // the snapshot's version it was made from
    WebStatus status_;
    bool drawing_ = false;  // the page was drawn on since it was last saved
    std::string lastSaved_; // the page saved last by this program
};

} // namespace plotanix::web
