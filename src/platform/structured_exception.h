#ifndef QOR_PLATFORM_STRUCTURED_EXCEPTION_H_
#define QOR_PLATFORM_STRUCTURED_EXCEPTION_H_

#include <cstdint>

// A processor fault as an exception: the fault code and the faulting address.
// Handlers catch it before `...` so that a fault gets its own log line with
// both values. On Linux a memory fault cannot be resumed safely, so the fault
// handler (fault_handler.h) ends the process instead of throwing; the class
// is still what handlers catch, and code that detects a fault condition
// itself may throw it.
class structured_exception {
 public:
  structured_exception(uint32_t code, const void* address)
      : code_(code), address_(address) {}
  uint32_t getSeNumber() const { return code_; }
  const void* getSeAddress() const { return address_; }

 private:
  uint32_t code_;
  const void* address_;
};

// Installs the per-thread fault translation. On Linux the translation is the
// process-wide fault handler, so this only makes sure it is installed;
// calling it again has no further effect.
void InstallFaultTranslator();

#endif  // QOR_PLATFORM_STRUCTURED_EXCEPTION_H_
