#pragma once
// At an ending, what the line already holds still belongs in the transcript.

namespace plotanix {

class LogFile;
class SerialLink;

// Takes only what is already queued (reads of exactly that many bytes return
// at once), for at most a second if the computer keeps sending, into the
// transcript, and writes the transcript's held bytes.
void keepQueuedBytes(SerialLink& serial, LogFile& log);

} // namespace plotanix
