#pragma once
// The unattended mode's journal: one line per event, stamped with the local
// time in ISO 8601, and shown by the one rule for messages
// (common/printable.h), so that no name in it can start a forged line or
// reach the terminal raw.

#include <string>
#include <string_view>

namespace plotanix {

// "2026-12-07T14:03:22+01:00 " + the text, escaped, + "\n".
std::string journalLine(std::string_view text);

} // namespace plotanix
