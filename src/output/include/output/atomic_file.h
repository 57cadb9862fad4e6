#pragma once
// Files that appear complete or not at all: the bytes go to a hidden
// temporary file in the same directory, renamed over the name only when
// everything has been written, so a failed write leaves no partial file and
// never harms an existing file of that name.

#include <cstdio>
#include <functional>
#include <string>

namespace plotanix {

// synced: the file and its directory entry reach the disk before the save
// reports success (a saved page survives a power cut). written: the file is
// complete for other programs, without waiting for the disk; for tools that
// can simply be run again.
enum class Durability { synced, written };

// write fills the file and returns false on failure. True when the file is in
// place; otherwise errno says why (0 when write itself gave up).
bool writeFileAtomically(const std::string& fileName, Durability durability,
                         const std::function<bool(FILE*)>& write);

} // namespace plotanix
