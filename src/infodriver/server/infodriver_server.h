#ifndef QOR_INFODRIVER_SERVER_INFODRIVER_SERVER_H_
#define QOR_INFODRIVER_SERVER_INFODRIVER_SERVER_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "infodriver/infodriver_protocol.h"
#include "infodriver/server/control_audit.h"
#include "infodriver/slot_table.h"

class EventLoop;

// The infodriver of one device number: its slot table, served on
// RUNDIR/infodriver-N.sock to one driver and any number of clients.
//
// A connection becomes the driver by the handshake (WVN_DISCOVER for this
// device, then WVN_ANNOUNCE or WVN_HELLO, acknowledged with WVN_HELLOACK); a
// second one is told WVN_DEVICEIDINUSE (once) and stays a client. Only a
// peer of the infodriver's own user or root may become the driver; anyone
// else (a member of the clients' group) is answered 0, with one line on
// standard error, and stays a client. Only the driver writes slots. A
// client's slot-change or mode request is passed on to the driver and the
// driver's answer back to the client (INFO_NO_DRIVER when there is none). A
// slot change carries its deadline (see infodriver_protocol.h): one already
// past when it is read is answered INFO_EXPIRED and not passed on; the
// others reach the driver with the deadline filled in. Every slot write is
// pushed to the clients that watch.
//
// Nothing a peer sends is trusted: a malformed message (short, oversized, a
// NUL in its text) disconnects its peer; a message that is well formed but
// makes no sense (unknown number, slot out of range, a write from a
// non-driver) is dropped, and answered 0 when an answer is asked for. No slot
// is touched by anything but a valid write of the driver.
//
// Who may connect: the infodriver's own user, root, and the members of the
// clients' group (InfodriverClientGroup); anyone else is closed at once with
// a line on standard error.
//
// Clients can never cut the driver off. Their requests reach the driver with
// back-pressure: a client with kMaxClientForwards requests waiting for the
// driver, or any client while kMaxForwards wait in all, is not read until
// the driver answers. The driver itself is never dropped for a backlog.
// Output waiting for a peer is bounded per client (kMaxClientQueuedBytes)
// and for all peers together (kMaxQueuedBytes, counting kMessageOverhead for
// each message's bookkeeping): a client over its bound, the client with the
// most output when all peers are over theirs, and a client that has not
// taken any of its output for kStallMs are dropped with a line on standard
// error naming them; a dropped client is sent INFO_DROPPED once it has room
// for it. A driver that takes nothing for kDriverStallMs while output or
// answers wait is told WVN_INFODISCONNECT and dropped, with a line too.
//
// The peers are limited to kMaxPeers and to what the descriptor limit
// leaves; when accept fails all the same (out of descriptors) the listening
// socket is not watched for kAcceptPauseMs, so that the loop never spins.
//
// Runs on |loop|'s thread; the loop must outlive the server.
class InfodriverServer {
 public:
  static constexpr size_t kMaxQueuedBytes = 32 << 20;
  static constexpr size_t kMaxClientQueuedBytes = 4 << 20;
  static constexpr size_t kMessageOverhead = 64;
  static constexpr int kMessagesPerWake = 64;
  static constexpr size_t kMaxPeers = 1024;
  // Descriptors kept free of peers for the infodriver's own use.
  static constexpr size_t kReservedFds = 16;
  static constexpr size_t kMaxForwards = 256;
  static constexpr size_t kMaxClientForwards = 64;
  static constexpr int kStallMs = 10000;
  static constexpr int kDriverStallMs = 30000;
  static constexpr int kAcceptPauseMs = 1000;

  // |clientGroup|: the group whose members may connect besides this user
  // and root; -1 for none.
  InfodriverServer(int deviceNumber, EventLoop* loop,
                   gid_t clientGroup = static_cast<gid_t>(-1));
  ~InfodriverServer();
  InfodriverServer(const InfodriverServer&) = delete;
  InfodriverServer& operator=(const InfodriverServer&) = delete;

  // Prepares RUNDIR, makes sure no other infodriver serves the number, and
  // publishes the socket once it accepts connections. False with a message
  // in *error.
  bool start(std::string* error);
  // Tells the driver WVN_INFODISCONNECT, closes every connection and removes
  // the socket. Called again, does nothing.
  void stop();

  const std::string& socketPath() const { return socketPath_; }
  bool hasDriver() const { return driver_ != 0; }
  const SlotTable& slots() const { return slots_; }

  // Records every control request in |audit|'s trail from now on. Set
  // before start; without one nothing is recorded.
  void useControlAudit(std::unique_ptr<ControlAudit> audit) {
    audit_ = std::move(audit);
  }
  ControlAudit* controlAudit() { return audit_.get(); }
  size_t queuedBytes() const { return queuedBytes_; }

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Peer {
    uint64_t id;
    int fd;
    long pid = 0;
    long uid = -1;
    bool discovered = false;  // sent WVN_DISCOVER for this device
    bool watching = false;
    bool toldInUse = false;  // sent WVN_DEVICEIDINUSE
    // Who the client says its next slot change comes from.
    std::optional<ControlAttribution> attribution;
    bool toldNotDriver = false;  // refused the driver role for its user
    bool dead = false;           // closed at the end of the current handler
    bool dropping = false;       // output discarded; INFO_DROPPED on its way
    std::deque<std::string> out;
    size_t queuedBytes = 0;  // counted as in queuedBytes_
    size_t forwards = 0;     // its requests waiting for the driver
    TimePoint waitingSince;  // since when output waits without progress
    short events = -1;       // what the loop watches for
  };
  // A client's request waiting for the driver's answer.
  struct Forward {
    uint64_t client;
    uint32_t clientSequence;
    uint32_t message;
    TimePoint since;
    int64_t slot = 0;
    uint64_t audit = 0;  // the request's id in the audit trail; 0: none
  };

  void acceptPeers();
  bool allowed(long uid) const;
  bool mayDrive(long uid) const;
  void onPeerReady(uint64_t id, short revents);
  bool mayRead(const Peer& peer) const;
  void handle(Peer& peer, const InfoMessage& m);
  void handleHello(Peer& peer, const InfoMessage& m);
  void handleWrite(Peer& peer, const InfoMessage& m);
  void handleSlotChange(Peer& peer, const InfoMessage& m);
  void handleDump(Peer& peer, const InfoMessage& m);
  void handleAudit(Peer& peer, const InfoMessage& m);
  void handleDriverResult(const InfoMessage& m);
  // Passes |m| on to the driver with |text| and |lParam|; |audit| is the
  // request's id in the audit trail, 0 for none.
  void forwardToDriver(Peer& peer, const InfoMessage& m, std::string text,
                       int64_t lParam, uint64_t audit = 0);
  void auditOutcome(const Forward& f, int64_t result);
  void armAuditTick();
  void queue(Peer& peer, const InfoMessage& m);
  bool makeRoom(Peer& peer, size_t size);
  void answer(Peer& peer, const InfoMessage& request, int64_t result,
              std::string text = std::string());
  bool flush(Peer& peer);
  void flushBlocking(Peer& peer, int timeoutMs);
  void discardOutput(Peer& peer);
  void dropClient(Peer& peer, const std::string& why);
  void dropStalledDriver(Peer& peer, const std::string& why);
  std::string describe(const Peer& peer) const;
  void updateWatch(Peer& peer);
  void updateAllClients();
  void armSweep();
  void sweep();
  void dropDriver();
  void reap();
  Peer* find(uint64_t id);

  const int device_;
  EventLoop* loop_;
  const gid_t clientGroup_;
  SlotTable slots_;
  int listenFd_ = -1;
  int lockFd_ = -1;
  std::string socketPath_;
  uint64_t nextPeerId_ = 1;
  std::map<uint64_t, std::unique_ptr<Peer>> peers_;
  size_t peerLimit_ = kMaxPeers;
  uint64_t driver_ = 0;  // peer id of the driver, 0 when none
  uint32_t nextSequence_ = 1;
  std::map<uint32_t, Forward> forwards_;  // by the sequence sent to the driver
  size_t queuedBytes_ = 0;                // all peers' output together
  bool clientsHeld_ = false;  // kMaxForwards reached: no client is read
  int64_t sweepTimer_ = 0;
  int64_t auditTimer_ = 0;
  std::unique_ptr<ControlAudit> audit_;
  int64_t acceptPause_ = 0;
  bool started_ = false;
};

#endif  // QOR_INFODRIVER_SERVER_INFODRIVER_SERVER_H_
