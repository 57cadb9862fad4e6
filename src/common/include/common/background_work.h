#pragma once
// The one way off the loop, after libuv's work queue and Redis's bio: work
// that may take long (a page's file, a print job, a host name's look-up,
// an overlay) is submitted here and runs on a worker; what it found is
// handled on the loop's turn. Each kind of work has a lane of its own, with
// one worker, so that a print server that hangs never delays a page's file
// and a slow resolver never delays a print. The worker says it has
// finished through an eventfd the loop waits on (this is a source of the
// loop), so nothing wakes the loop while work is under way.
//
// The ending, one rule for every lane: at endWork() the look-ups and
// overlays not yet begun are told undone at once (nobody will see them);
// page files and prints are given the ending's budget. What has not been
// handed back when the budget is spent is abandoned: told undone, its
// worker left to finish on its own (a work item owns what it uses), never
// joined without a bound.

#include "common/poll_source.h"
#include "common/unique_fd.h"

#include <array>
#include <functional>
#include <memory>

namespace plotanix {

class BackgroundWork : public PollSource {
  public:
    enum class Lane { pages, prints, lookups, overlays };
    static constexpr size_t laneCount = 4;

    // What the loop does with the work's result: returned by the work,
    // called on the loop's turn.
    using Done = std::function<void()>;
    // Runs on the lane's worker; it must own (or share) all it touches.
    using Work = std::function<Done()>;
    // The work will never be handed back: dropped before it began
    // (running false) or abandoned under way at the ending (running true).
    using Undone = std::function<void(bool running)>;

    BackgroundWork();
    // Work still under way is abandoned, queued work dropped, without a word:
    // an owner that cares ends the work first (endWork, then abandon).
    ~BackgroundWork() override;
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    // Queued behind the lane's earlier work. Without an eventfd (the
    // descriptors have run out) the work is done at once, on the caller's
    // thread, so that nothing is lost.
    void submit(Lane lane, Work work, Undone undone = {});

    // Submitted and not yet handed back (queued, running or finished and
    // waiting for the loop's turn).
    size_t pending(Lane lane) const;
    bool idle() const;

    // The ending begins: queued look-ups and overlays are told undone now,
    // and no new ones are taken.
    void endWork();
    // The ending's budget is spent: whatever has not been handed back is
    // told undone, and the workers are left to finish alone.
    void abandon();

    int descriptor() const override;
    std::optional<Clock::time_point> due() const override { return std::nullopt; }
    void service(Clock::time_point now) override;

  private:
    struct Shared;
    struct Queue;

    void handBack();

    std::shared_ptr<Shared> shared_;
    std::array<std::shared_ptr<Queue>, laneCount> lanes_;
    bool ending_ = false;
    bool abandoned_ = false;
};

} // namespace plotanix
