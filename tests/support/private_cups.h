#pragma once
// A CUPS scheduler of the test's own: cupsd in a temporary folder with its
// own configuration, listening on a socket there, reached through
// CUPS_SERVER (set for this process and the programs it starts). Its queues
// hand each job to a backend that writes it to jobs/job-N.pdf. Nothing of
// the machine's own CUPS is used or touched.

#include "support/temp_dir.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace plotanix::testing {

class PrivateCups {
  public:
    // Starts the scheduler and waits until it answers; error() says why not.
    PrivateCups();
    ~PrivateCups();
    PrivateCups(const PrivateCups&) = delete;
    PrivateCups& operator=(const PrivateCups&) = delete;

    const std::string& error() const { return error_; }
    std::string socket() const { return dir_.file("cups.sock"); }

    // What a queue's backend does with a job: writes it to jobs/job-N.pdf,
    // fails it (exit status 1, saying why), or takes three seconds.
    enum class Printer { capture, failing, slow };
    // A queue printing on A4 or letter; false (error() says why) when lpadmin
    // refuses it.
    bool addQueue(const std::string& name, bool a4 = false, Printer printer = Printer::capture);
    bool setDefault(const std::string& name);
    // cupsdisable: the queue takes jobs and holds them.
    bool stopQueue(const std::string& name);
    // Ends the scheduler: its socket stays, nobody answers.
    void stop();
    // Stops the scheduler where it is (SIGSTOP): connections are taken by
    // the kernel and never answered, as by a hung print server; thaw goes on.
    void freeze();
    void thaw();

    // The job's file, once the backend has written it whole (empty after
    // the time-out).
    std::string waitForJob(int job) const;
    // Whether a slow queue's backend has begun the job (false after the
    // time-out).
    bool waitForStart(int job) const;
    // How many jobs the backend has written.
    int jobCount() const;

  private:
    bool run(const std::vector<std::string>& command);

    TempDir dir_;
    pid_t pid_ = -1;
    std::string error_;
};

} // namespace plotanix::testing
