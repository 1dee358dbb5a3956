#ifndef QOR_INFODRIVER_SOCKET_TRANSPORT_H_
#define QOR_INFODRIVER_SOCKET_TRANSPORT_H_

#include <functional>
#include <string>

#include "infodriver/infodriver_transport.h"

// Connects to the infodriver of |deviceNumber|: RUNDIR resolved and checked
// (with the clients' group), the connection bounded by
// kInfoConnectTimeoutMs. With |ownUserOnly| the infodriver must run as this
// user or root. Returns the fd (non-blocking) or -1 with *failure naming the
// cause for an operator; *setupFailed (when given) tells a cause of this
// process's own (no descriptor or memory left) from a missing infodriver.
int ConnectToInfodriver(int deviceNumber, bool ownUserOnly,
                        std::string* failure, bool* setupFailed = nullptr);

// The link's transport in the driver: the infodriver's socket
// RUNDIR/infodriver-N.sock (runtime_dir.h). Connecting is the handshake's
// broadcast: no socket, or nobody listening on it, means no infodriver, and
// so does a listener whose backlog stays full for kInfoConnectTimeoutMs, a
// RUNDIR that fails its checks, or an infodriver that runs as neither this
// user nor root (it could be anybody's). A send waits at most kSendTimeoutMs
// for the infodriver to take a message; one that stays stuck longer is treated
// as gone.
class SocketTransport : public InfodriverTransport {
 public:
  static constexpr int kSendTimeoutMs = 5000;

  SocketTransport() = default;
  ~SocketTransport() override;

  OpenResult open(int deviceNumber) override;
  std::string openFailure() const override { return failure_; }
  void close() override;
  bool isOpen() const override { return fd_ >= 0; }
  bool send(const InfoMessage& message) override;
  ReceiveResult receive(InfoMessage* message, int timeoutMs) override;
  void watch(EventLoop* loop, std::function<void()> readable) override;
  // The infodriver program takes slot writes from its driver alone.
  bool soleWriter() const override { return true; }

 private:
  int fd_ = -1;
  std::string failure_;
  EventLoop* watchedBy_ = nullptr;
};

#endif  // QOR_INFODRIVER_SOCKET_TRANSPORT_H_
