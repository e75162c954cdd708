#pragma once

#include <string_view>

namespace velmora {

// Whether `descriptor` is the stream a systemd service manager connected to the journal: it sets
// $JOURNAL_STREAM to "DEVICE:INODE" (decimal) of that stream. `journalStream` is the variable's
// value, or null when it is unset. A value that is not exactly two decimal numbers never matches.
bool isJournalStream(int descriptor, const char* journalStream);

// When standard error goes to the journal, sends every log line there as a structured entry
// (MESSAGE, PRIORITY from the level, VELMORA_CATEGORY) instead of as text; otherwise changes
// nothing. Returns whether it did. Call once at start-up, before other threads log.
bool sendLogToJournalWhenConnected();

}  // namespace velmora
