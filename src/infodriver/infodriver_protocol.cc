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
