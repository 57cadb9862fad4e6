#pragma once
// Root passes every permission check; a test that needs the refusals an
// ordinary user meets (a folder that cannot be written or searched) lowers
// them for its own thread while this lives: the effective capabilities lose
// DAC override, DAC read-search and fowner. For an ordinary user nothing
// changes.

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace plotanix::testing {

class WithoutRootOverride {
  public:
    WithoutRootOverride() {
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            lowered[0].effective &= ~(1u << capability);
        lowered_ = ::syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~WithoutRootOverride() {
        if (lowered_) ::syscall(SYS_capset, &header_, saved_);
    }
    WithoutRootOverride(const WithoutRootOverride&) = delete;
    WithoutRootOverride& operator=(const WithoutRootOverride&) = delete;

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool lowered_ = false;
};

} // namespace plotanix::testing
