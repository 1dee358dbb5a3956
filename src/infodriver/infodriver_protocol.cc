#include "infodriver/infodriver_protocol.h"

#include <cstring>

namespace {

void Put(std::string* out, const void* p, size_t n) {
  out->append(static_cast<const char*>(p), n);
}

}  // namespace

bool EncodeMessage(const InfoMessage& m, std::string* out) {
  if (m.text.size() > kMessageTextMax) return false;
  if (m.text.find('\0') != std::string::npos) return false;
  out->reserve(out->size() + kMessageHeaderSize + m.text.size());
  Put(out, &m.message, sizeof m.message);
  Put(out, &m.sequence, sizeof m.sequence);
  Put(out, &m.wParam, sizeof m.wParam);
  Put(out, &m.lParam, sizeof m.lParam);
  out->append(m.text);
  return true;
}

bool DecodeMessage(const char* data, size_t size, InfoMessage* m) {
  if (size < kMessageHeaderSize || size > kMessageMax) return false;
  const char* text = data + kMessageHeaderSize;
  const size_t textSize = size - kMessageHeaderSize;
  if (std::memchr(text, '\0', textSize) != nullptr) return false;
  std::memcpy(&m->message, data, 4);
  std::memcpy(&m->sequence, data + 4, 4);
  std::memcpy(&m->wParam, data + 8, 8);
  std::memcpy(&m->lParam, data + 16, 8);
  m->text.assign(text, textSize);
  return true;
}

std::string SlotText(const char* text) {
  if (text == nullptr) return std::string();
  return std::string(text, strnlen(text, kSlotTextMax));
}

size_t PrintableUtf8Length(const unsigned char* p, size_t left) {
  size_t n;
  unsigned min;
  unsigned cp;
  if (p[0] >= 0xC2 && p[0] <= 0xDF) {
    n = 2, min = 0xA0, cp = p[0] & 0x1F;  // below U+00A0: C1 controls
  } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
    n = 3, min = 0x800, cp = p[0] & 0x0F;
  } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
    n = 4, min = 0x10000, cp = p[0] & 0x07;
  } else {
    return 0;
  }
  if (left < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}
