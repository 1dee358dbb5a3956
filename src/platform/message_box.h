#ifndef QOR_PLATFORM_MESSAGE_BOX_H_
#define QOR_PLATFORM_MESSAGE_BOX_H_

#include <functional>

// A message box becomes one line "CAPTION: TEXT" on standard error: both of
// the driver's boxes appear before any window is shown, and an operator or a
// service manager reads them there. Tests may capture the lines instead.
void MessageBox(const char* caption, const char* text);

using MessageBoxSink =
    std::function<void(const char* caption, const char* text)>;
void SetMessageBoxSink(MessageBoxSink sink);

#endif  // QOR_PLATFORM_MESSAGE_BOX_H_
