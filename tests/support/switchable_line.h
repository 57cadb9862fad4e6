#pragma once
// The line as a device that comes and goes: a symbolic link (as the names
// under /dev/serial/by-id are) to the slave of the pseudo-terminal of the
// moment, which the code under test alone holds open; unplugged, the link
// points nowhere.

#include "support/pty_pair.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace plotanix::testing {

class SwitchableLine {
  public:
    SwitchableLine() : link_(directory_.file("ttyPLOT")) { plugIn(); }
    const std::string& path() const { return link_; }
    PtyPair& pair() { return *pair_; }
    bool ok() const { return pair_ && pair_->ok() && pointed_; }
    void pullOut() {
        pointTo(directory_.file("absent"));
        pair_->closeMaster();
    }
    // A new pseudo-terminal; ready (the device's firmware started, say) runs
    // before the link points to it, so nothing opens it earlier.
    bool plugIn(const std::function<void(PtyPair&)>& ready = {}) {
        pair_ = std::make_unique<PtyPair>(false);
        if (ready) ready(*pair_);
        pointed_ = pair_->ok() && pointTo(pair_->slavePath());
        return ok();
    }

  private:
    // Replaced in one step, so the code under test never finds the path
    // half made.
    bool pointTo(const std::string& target) {
        const std::string fresh = link_ + ".new";
        std::error_code error;
        std::filesystem::remove(fresh, error);
        std::filesystem::create_symlink(target, fresh, error);
        if (!error) std::filesystem::rename(fresh, link_, error);
        return !error;
    }

    TempDir directory_;
    std::string link_;
    std::unique_ptr<PtyPair> pair_;
    bool pointed_ = false;
};

} // namespace plotanix::testing
