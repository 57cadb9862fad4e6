#pragma once
// Everything the process writes to its standard output and standard error
// while a capture is active, for checking that libraries stay quiet.

#include <cstdio>
#include <string>
#include <unistd.h>

namespace plotanix::testing {

class OutputCapture {
  public:
    OutputCapture() : file_(std::tmpfile()) {
        std::fflush(stdout);
        std::fflush(stderr);
        savedOut_ = ::dup(STDOUT_FILENO);
        savedErr_ = ::dup(STDERR_FILENO);
        if (file_ != nullptr) {
            ::dup2(::fileno(file_), STDOUT_FILENO);
            ::dup2(::fileno(file_), STDERR_FILENO);
        }
    }
    ~OutputCapture() {
        finish();
        if (file_ != nullptr) std::fclose(file_);
    }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Ends the capture (once) and gives what was written.
    std::string finish() {
        if (savedOut_ >= 0) {
            std::fflush(stdout);
            std::fflush(stderr);
            ::dup2(savedOut_, STDOUT_FILENO);
            ::dup2(savedErr_, STDERR_FILENO);
            ::close(savedOut_);
            ::close(savedErr_);
            savedOut_ = savedErr_ = -1;
        }
        std::string text;
        if (file_ == nullptr) return "(no capture file)";
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;)
            text += static_cast<char>(c);
        return text;
    }

  private:
    std::FILE* file_;
    int savedOut_ = -1, savedErr_ = -1;
};

} // namespace plotanix::testing
