#ifndef QOR_TOOLS_INFODRIVER_INFODRIVER_SERVER_H_
#define QOR_TOOLS_INFODRIVER_INFODRIVER_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "infodriver/infodriver_protocol.h"
#include "infodriver/slot_table.h"

class EventLoop;

// The infodriver of one device number: its slot table, served on
// RUNDIR/infodriver-N.sock to one driver and any number of clients.
//
// A connection becomes the driver by the handshake (WVN_DISCOVER for this
// device, then WVN_ANNOUNCE or WVN_HELLO, acknowledged with WVN_HELLOACK); a
// second one is told WVN_DEVICEIDINUSE and stays a client. Only the driver
// writes slots. A client's slot-change or mode request is passed on to the
// driver and the driver's answer back to the client (INFO_NO_DRIVER when
// there is none). Every slot write is pushed to the clients that watch.
//
// Nothing a peer sends is trusted: a malformed message (short, oversized, a
// NUL in its text) or a peer that lets more than kMaxQueuedBytes of output
// pile up is disconnected; a message that is well formed but makes no sense
// (unknown number, slot out of range, a write from a non-driver) is dropped,
// and answered 0 when an answer is asked for. No slot is touched by anything
// but a valid write of the driver.
//
// Runs on |loop|'s thread; the loop must outlive the server.
class InfodriverServer {
 public:
  static constexpr size_t kMaxQueuedBytes = 8 << 20;
  static constexpr int kMessagesPerWake = 64;
  static constexpr size_t kMaxPeers = 1024;
  static constexpr size_t kMaxForwards = 65536;

  InfodriverServer(int deviceNumber, EventLoop* loop);
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

 private:
  struct Peer {
    uint64_t id;
    int fd;
    bool discovered = false;  // sent WVN_DISCOVER for this device
    bool watching = false;
    bool dead = false;  // closed at the end of the current handler
    std::deque<std::string> out;
    size_t queuedBytes = 0;  // for the cap
    short events = 0;        // what the loop watches for
  };
  // A client's request waiting for the driver's answer.
  struct Forward {
    uint64_t client;
    uint32_t clientSequence;
    uint32_t message;
  };

  void acceptPeers();
  void onPeerReady(uint64_t id, short revents);
  void handle(Peer& peer, const InfoMessage& m);
  void handleDriverResult(const InfoMessage& m);
  void forwardToDriver(Peer& peer, const InfoMessage& m, std::string text);
  void queue(Peer& peer, const InfoMessage& m);
  void answer(Peer& peer, const InfoMessage& request, int64_t result,
              std::string text = std::string());
  bool flush(Peer& peer);
  void flushBlocking(Peer& peer, int timeoutMs);
  void updateWatch(Peer& peer);
  void dropDriver();
  void reap();
  Peer* find(uint64_t id);

  const int device_;
  EventLoop* loop_;
  SlotTable slots_;
  int listenFd_ = -1;
  int lockFd_ = -1;
  std::string socketPath_;
  uint64_t nextPeerId_ = 1;
  std::map<uint64_t, std::unique_ptr<Peer>> peers_;
  uint64_t driver_ = 0;  // peer id of the driver, 0 when none
  uint32_t nextSequence_ = 1;
  std::map<uint32_t, Forward> forwards_;  // by the sequence sent to the driver
  bool started_ = false;
};

#endif  // QOR_TOOLS_INFODRIVER_INFODRIVER_SERVER_H_
