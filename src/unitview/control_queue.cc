#include "unitview/control_queue.h"

#include <algorithm>
#include <utility>

namespace {

// A point whose request never told a final stage is free again this long
// after its deadline: the hub ends every request within its confirmation
// time, so only a lost answer gets here.
constexpr int64_t kInFlightGraceMs = 30000;
// Requesters remembered for their rate; idle ones are forgotten first.
constexpr size_t kMaxBuckets = 4096;
constexpr size_t kMaxFinishedEarly = 1024;

ControlUpdate Busy(const std::string& site, int device, int unit,
                   const ControlPoint& point, const std::string& value,
                   std::string reason) {
  ControlUpdate u = NewControlUpdate(site, device, unit, point, value);
  u.busy = true;
  u.reason = std::move(reason);
  return u;
}

ControlUpdate Stopping(const std::string& site, int device, int unit,
                       const ControlPoint& point, const std::string& value) {
  ControlUpdate u = NewControlUpdate(site, device, unit, point, value);
  u.reason = "the server is stopping; nothing was sent";
  return u;
}

}  // namespace

ControlQueue::ControlQueue(UnitSource* source, Options options,
                           const Clock* clock)
    : source_(source),
      options_(options),
      clock_(clock != nullptr ? clock : &TheSystemClock()) {
  UnitSource::Listener listener;
  listener.controlChanged = [this](const ControlUpdate& u) {
    OnControlChanged(u);
  };
  listener_ = source_->AddListener(std::move(listener));
}

ControlQueue::~ControlQueue() {
  Stop();
  source_->RemoveListener(listener_);
}

void ControlQueue::Submit(const std::string& requester, const std::string& site,
                          int device, int unit, const ControlPoint& point,
                          const std::string& value, int64_t deadlineMs,
                          Done done, ControlRequester by) {
  const int64_t now = clock_->NowMs();
  PointKey key{site, device, unit, point.name()};
  std::unique_lock<std::mutex> lock(mu_);
  std::optional<std::string> busy;
  auto flight = inFlight_.find(key);
  if (flight != inFlight_.end() && now >= flight->second.releaseAtMs) {
    inFlight_.erase(flight);
    flight = inFlight_.end();
  }
  if (stopping_) {
    lock.unlock();
    done(Stopping(site, device, unit, point, value));
    return;
  }
  if (!TakeToken(requester, now))
    busy = "too many requests: at most " +
           std::to_string(options_.requestsPerSecond) +
           " a second; nothing was sent";
  else if (flight != inFlight_.end())
    busy = "a request for " + point.name() + " of unit " +
           std::to_string(unit) + " is in flight; nothing was sent";
  if (busy) {
    lock.unlock();
    ControlUpdate refusal = Busy(site, device, unit, point, value, *busy);
    source_->RecordRefusal(by, refusal);
    done(refusal);
    return;
  }

  const DeviceKey deviceKey{site, device};
  auto w = workers_.find(deviceKey);
  if (w == workers_.end()) {
    // Only devices the source serves get a worker, so that requests naming
    // any number cannot make threads; the source refuses the others at
    // once, without waiting for anything.
    lock.unlock();
    bool served = false;
    for (const DeviceStatus& d : source_->Devices())
      served = served || (d.site == site && d.device == device);
    if (!served) {
      ScopedControlRequester scope(by);
      done(source_->RequestControl(site, device, unit, point, value,
                                   deadlineMs));
      return;
    }
    lock.lock();
    if (stopping_) {
      lock.unlock();
      done(Stopping(site, device, unit, point, value));
      return;
    }
    w = workers_.find(deviceKey);
    if (w == workers_.end()) {
      auto worker = std::make_unique<Worker>();
      Worker* raw = worker.get();
      w = workers_.emplace(deviceKey, std::move(worker)).first;
      raw->thread =
          std::thread([this, deviceKey, raw] { Run(deviceKey, raw); });
    }
  }
  Worker& worker = *w->second;
  if (worker.jobs.size() >= options_.waitingPerDevice) {
    lock.unlock();
    done(Busy(site, device, unit, point, value,
              "too many requests are waiting for device " +
                  std::to_string(device) + "; nothing was sent"));
    return;
  }
  inFlight_[key] = InFlight{0, deadlineMs + kInFlightGraceMs};
  worker.jobs.push_back(Job{std::move(by), key, site, device, unit, point,
                            value, deadlineMs, std::move(done)});
  worker.wake.notify_one();
}

bool ControlQueue::TakeToken(const std::string& requester, int64_t now) {
  const double rate = options_.requestsPerSecond;
  auto it = buckets_.find(requester);
  if (it == buckets_.end()) {
    if (buckets_.size() >= kMaxBuckets) {
      // Forget the requesters that have been quiet long enough to be full.
      for (auto b = buckets_.begin(); b != buckets_.end();)
        b = now - b->second.lastMs >= 1000 ? buckets_.erase(b) : std::next(b);
      if (buckets_.size() >= kMaxBuckets) return false;
    }
    it = buckets_.emplace(requester, Bucket{rate, now}).first;
  }
  Bucket& b = it->second;
  b.tokens = std::min(rate, b.tokens + (now - b.lastMs) * rate / 1000.0);
  b.lastMs = now;
  if (b.tokens < 1.0) return false;
  b.tokens -= 1.0;
  return true;
}

void ControlQueue::Run(const DeviceKey& key, Worker* worker) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    worker->wake.wait(lock, [&] { return stopping_ || !worker->jobs.empty(); });
    if (stopping_) break;
    Job job = std::move(worker->jobs.front());
    worker->jobs.pop_front();
    lock.unlock();
    ControlUpdate first;
    if (clock_->NowMs() >= job.deadlineMs) {
      first = NewControlUpdate(job.site, job.device, job.unit, job.controlPoint,
                               job.value);
      first.stage = ControlStage::kExpired;
      first.reason = "not sent: it waited behind other requests for device " +
                     std::to_string(key.second) + " until its deadline";
      source_->RecordRefusal(job.by, first);
    } else {
      ScopedControlRequester scope(job.by);
      first =
          source_->RequestControl(job.site, job.device, job.unit,
                                  job.controlPoint, job.value, job.deadlineMs);
    }
    Finished(job.point, first);
    job.done(first);
    lock.lock();
  }
  // Whatever still waits was never passed on.
  std::deque<Job> left = std::move(worker->jobs);
  worker->jobs.clear();
  for (const Job& job : left) inFlight_.erase(job.point);
  lock.unlock();
  for (Job& job : left)
    job.done(
        Stopping(job.site, job.device, job.unit, job.controlPoint, job.value));
}

void ControlQueue::Finished(const PointKey& point, const ControlUpdate& first) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = inFlight_.find(point);
  if (it == inFlight_.end()) return;
  auto early = finishedEarly_.find(first.id);
  if (IsFinalStage(first.stage) || early != finishedEarly_.end()) {
    inFlight_.erase(it);
    if (early != finishedEarly_.end()) finishedEarly_.erase(early);
    return;
  }
  it->second.id = first.id;
}

void ControlQueue::OnControlChanged(const ControlUpdate& update) {
  if (!IsFinalStage(update.stage) || update.id == 0) return;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = inFlight_.begin(); it != inFlight_.end(); ++it) {
    if (it->second.id == update.id) {
      inFlight_.erase(it);
      return;
    }
  }
  // The worker has not heard the id yet (the source may finish a request
  // before RequestControl returns).
  if (finishedEarly_.size() >= kMaxFinishedEarly)
    finishedEarly_.erase(finishedEarly_.begin());
  finishedEarly_.insert(update.id);
}

void ControlQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;
    stopping_ = true;
    for (auto& [key, w] : workers_) w->wake.notify_all();
  }
  // Workers are not removed while running, so reading the map unlocked
  // after stopping_ is set is safe: Submit adds none any more.
  for (auto& [key, w] : workers_)
    if (w->thread.joinable()) w->thread.join();
}
