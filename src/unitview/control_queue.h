#ifndef QOR_UNITVIEW_CONTROL_QUEUE_H_
#define QOR_UNITVIEW_CONTROL_QUEUE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "platform/clock.h"
#include "unitview/control_requester.h"
#include "unitview/unit_source.h"

// Passes control requests that come from the network (the web API, the
// MQTT bridge) on to a UnitSource, and keeps a flood from becoming
// switching:
//   - each device has a worker of its own, so a stalled driver holds up
//     only the requests for its device;
//   - a control point (site, device, unit, point) has at most one request
//     in flight, from its submission until it reaches a final stage;
//   - each requester (a key the caller chooses: an address, a topic) may
//     make at most requestsPerSecond requests a second;
//   - at most waitingPerDevice requests wait behind the one in progress.
// A request over a limit is refused at once with ControlUpdate::busy set
// and id 0: the source never saw it. A request still waiting when its
// deadline passes is ended kExpired without being passed on.
//
// Submit may be called from any thread. |done| is called exactly once per
// request, with its first stage: on the caller's thread for a request
// refused at once, on the device's worker otherwise; it must not block for
// long or call Stop. Later stages reach the source's listeners as usual.
// |source| (not owned) must outlive the queue.
class ControlQueue {
 public:
  struct Options {
    size_t waitingPerDevice = 8;
    int requestsPerSecond = 10;
  };
  using Done = std::function<void(const ControlUpdate&)>;

  // |clock| (not owned) is for tests; null uses the system's.
  ControlQueue(UnitSource* source, Options options,
               const Clock* clock = nullptr);
  ~ControlQueue();  // stops
  ControlQueue(const ControlQueue&) = delete;
  ControlQueue& operator=(const ControlQueue&) = delete;

  // |by| says who asks, for the device's audit trail; the source sees it
  // as CurrentControlRequester() while it takes the request.
  void Submit(const std::string& requester, const std::string& site, int device,
              int unit, const ControlPoint& point, const std::string& value,
              int64_t deadlineMs, Done done, ControlRequester by = {});

  // Ends every waiting request as refused (nothing was sent) and waits for
  // the workers; a request in progress finishes first. Later submissions
  // are refused.
  void Stop();

 private:
  using PointKey = std::tuple<std::string, int, int, std::string>;
  using DeviceKey = std::pair<std::string, int>;
  struct Job {
    ControlRequester by;
    PointKey point;
    std::string site;
    int device = 0;
    int unit = 0;
    ControlPoint controlPoint;
    std::string value;
    int64_t deadlineMs = 0;
    Done done;
  };
  struct Worker {
    std::thread thread;
    std::deque<Job> jobs;
    std::condition_variable wake;
  };
  // A point with a request in flight: its id once the source gave one, and
  // when it is given up for lost (a source that never tells a final stage
  // must not lock a point for ever).
  struct InFlight {
    uint64_t id = 0;
    int64_t releaseAtMs = 0;
  };
  struct Bucket {
    double tokens = 0;
    int64_t lastMs = 0;
  };

  bool TakeToken(const std::string& requester, int64_t now);  // under mu_
  void Run(const DeviceKey& key, Worker* worker);
  void Finished(const PointKey& point, const ControlUpdate& first);
  void OnControlChanged(const ControlUpdate& update);

  UnitSource* const source_;
  const Options options_;
  const Clock* clock_;
  int listener_ = 0;

  std::mutex mu_;
  bool stopping_ = false;
  std::map<DeviceKey, std::unique_ptr<Worker>> workers_;
  std::map<PointKey, InFlight> inFlight_;
  std::map<std::string, Bucket> buckets_;
  // Final stages the listener saw before the worker learnt the id.
  std::set<uint64_t> finishedEarly_;
};

#endif  // QOR_UNITVIEW_CONTROL_QUEUE_H_
