#include "platform/message_box.h"

#include <cstdio>
#include <utility>

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
  std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
  std::fflush(stderr);
}

void SetMessageBoxSink(MessageBoxSink sink) { Sink() = std::move(sink); }
