#pragma once
// The unattended mode's journal: one line per event, stamped with the local
// time in ISO 8601, and shown by the one rule for messages
// (common/printable.h), so that no name in it can start a forged line or
// reach the terminal raw. Under systemd, whose journal stamps each line
// itself, a line carries instead the priority prefix the journal reads
// ("<3>" an error, sd-daemon's levels).

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

} // namespace plotanix
