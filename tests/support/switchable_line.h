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
    void pullOut() {
        pointTo(directory_.file("absent"));
        pair_->closeMaster();
    }
    // A new pseudo-terminal; ready (the device's firmware started, say) runs
    // before the link points to it, so nothing opens it earlier.
    void plugIn(const std::function<void(PtyPair&)>& ready = {}) {
        pair_ = std::make_unique<PtyPair>(false);
        if (ready) ready(*pair_);
        pointTo(pair_->slavePath());
    }

  private:
    void pointTo(const std::string& target) {
        const std::string fresh = link_ + ".new";
        std::filesystem::remove(fresh);
        std::filesystem::create_symlink(target, fresh);
        std::filesystem::rename(fresh, link_);
    }

    TempDir directory_;
    std::string link_;
    std::unique_ptr<PtyPair> pair_;
};

} // namespace plotanix::testing
