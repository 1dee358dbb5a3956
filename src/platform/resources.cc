#include "platform/resources.h"

#include <cstring>

int LoadStringResource(int id, char* buffer, int size) {
  const char* text = "";
  switch (id) {
    case IDS_APP_TITLE:
      text = "ZARN qor_mdu Application with Debug window - Device %d";
      break;
    case IDC_QOR_MDU:
      text = "CLASS_QOR_MDU";
      break;
    case IDS_SECTION:
      text = "qor_mdu";
      break;
  }
  if (size <= 0) return 0;
  int n = static_cast<int>(std::strlen(text));
  if (n > size - 1) n = size - 1;
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return n;
}
