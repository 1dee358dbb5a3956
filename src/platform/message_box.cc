#include "platform/message_box.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

#include "platform/journal_stream.h"

namespace {
MessageBoxSink& Sink() {
  static MessageBoxSink sink;
  return sink;
}
}  // namespace

void MessageBox(const char* caption, const char* text) {
  if (Sink()) {
    Sink()(caption, text);
    return;
  }
  // Every box of the driver reports an error; the journal files it so.
  std::fprintf(stderr, "%s%s: %s\n", JournalPrefix(STDERR_FILENO, 3),
               caption ? caption : "", text ? text : "");
  std::fflush(stderr);
}

void SetMessageBoxSink(MessageBoxSink sink) { Sink() = std::move(sink); }
