#ifndef QOR_PLATFORM_INSTANCE_LOCK_H_
#define QOR_PLATFORM_INSTANCE_LOCK_H_

#include <string>

// A process-wide named lock that the kernel releases when the holder dies,
// however it dies. It is a Unix socket bound in the abstract namespace under
// the given name: a second bind of the same name fails with EADDRINUSE.
class InstanceLock {
 public:
  enum Result { kAcquired, kAlreadyHeld, kError };

  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Names longer than the socket address allows (107 bytes) are refused with
  // kError rather than shortened, so two different names never collide.
  Result Acquire(const std::string& name);
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

#endif  // QOR_PLATFORM_INSTANCE_LOCK_H_
