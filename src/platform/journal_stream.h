#ifndef QOR_PLATFORM_JOURNAL_STREAM_H_
#define QOR_PLATFORM_JOURNAL_STREAM_H_

// A program run as a service writes its standard output and error into the
// journal, which reads a leading "<N>" as the line's syslog priority. These
// give that prefix only when the stream really is the journal (systemd sets
// JOURNAL_STREAM to its device and inode), so a terminal or a pipe gets the
// plain line.

// True when |fd| is the stream systemd connected to the journal.
bool IsJournalStream(int fd);

// "<N>" (N one of the sd-daemon.h priorities, e.g. 3 error, 6 info) when
// |fd| is the journal, else "".
const char* JournalPrefix(int fd, int priority);

#endif  // QOR_PLATFORM_JOURNAL_STREAM_H_
