#include "platform/trap_port.h"

#include <cstdlib>

bool TrapPortSetting(uint16_t* port) {
  *port = kStandardTrapPort;
  const char* text = std::getenv(kTrapPortVariable);
  if (!text || !*text) return true;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}
