#pragma once
// The unattended mode's journal: one line per event, stamped with the local
// time in ISO 8601, and shown by the one rule for messages
// (common/printable.h), so that no name in it can start a forged line or
// reach the terminal raw. Under systemd, whose journal stamps each line
// itself, a line carries instead the priority prefix the journal reads
// ("<3>" an error, sd-daemon's levels).

#include "settings/settings.h"

#include <string>
#include <string_view>

namespace plotanix {

enum class Priority { error = 3, warning = 4, info = 6 };

// "2026-12-07T14:03:22+01:00 " + the text, escaped, + "\n".
std::string journalLine(std::string_view text);
// "<3>" + the text, escaped, + "\n": for systemd's journal.
std::string journalLine(std::string_view text, Priority priority);

// The descriptor is systemd's journal stream: JOURNAL_STREAM ("device:inode",
// as systemd sets it for a service's standard output and error) names it.
bool isJournalStream(int fd, std::string_view journalStream);

// "10 s", "2.76 s".
std::string secondsText(double seconds);

// What each saved page becomes: "PNG", "PNG and SVG", with ", printed on
// lab" (or "on the default queue") when pages are printed.
std::string pageOutputs(const Settings& settings);

// The first event, naming what is in force: "started: /dev/ttyUSB0 at
// 9600 8N1, model 7470a on letter paper, pages in /var/lib/plotanix/ttyUSB0
// as PNG and SVG, page gap 10 s, web view: http://127.0.0.1:8470/". The
// page gap is the one that acts: never less than the silence that ends a
// plot run. webUrl: empty without a web view.
std::string startedLine(const Settings& settings, const std::string& folder,
                        const std::string& webUrl);

} // namespace plotanix
