// The page's event stream: a snapshot when it opens, then each change as it
// happens. libmicrohttpd's thread opens and writes streams; the source's
// listener marks what changed and resumes them; the watch thread ends the
// streams of pages that have gone and sends their keep-alives.

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "unitview/unit_state.h"
#include "web_server_impl.h"

using nlohmann::json;

MHD_Result WebServer::Impl::ServeEvents(MHD_Connection* connection, Request*,
                                        const Parts&) {
  return OpenStream(connection);
}

MHD_Result WebServer::Impl::OpenStream(MHD_Connection* connection) {
  auto stream = std::make_shared<Stream>();
  stream->server = this;
  stream->connection = connection;
  Peer peer = PeerOf(connection);
  stream->fd = peer.fd;
  stream->address = peer.address;
  stream->backlog =
      "retry: 2000\nevent: hello\ndata: " + ServerJson().dump() + "\n\n";
  stream->devicesDirty = true;
  for (const UnitState& u : source_->Units())
    stream->dirtyUnits.insert(UnitKey(u.site, u.device, u.unit));
  {
    std::lock_guard<std::mutex> lock(streamsMutex_);
    if (stopping_)
      return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                       "the server is stopping");
    size_t open = 0, fromPeer = 0;
    for (auto& s : streams_) {
      std::lock_guard<std::mutex> streamLock(s->mutex);
      if (s->gone) continue;
      ++open;
      if (s->address == stream->address) ++fromPeer;
    }
    if (open >= options_.maxEventStreams)
      return SendError(connection, MHD_HTTP_TOO_MANY_REQUESTS,
                       "too many event streams are open; close a page");
    if (fromPeer >= options_.maxStreamsPerAddress)
      return SendError(connection, MHD_HTTP_TOO_MANY_REQUESTS,
                       "too many event streams are open from " +
                           stream->address + " (at most " +
                           std::to_string(options_.maxStreamsPerAddress) +
                           "); close a page");
    streams_.push_back(stream);
  }
  auto* holder = new std::shared_ptr<Stream>(stream);
  MHD_Response* response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, 16 * 1024, &Impl::ReadStream, holder,
      &Impl::FreeStream);
  if (!response) {
    FreeStream(holder);
    return MHD_NO;
  }
  streamsOpen_++;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          "text/event-stream; charset=utf-8");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Accel-Buffering", "no");
  return Send(connection, MHD_HTTP_OK, response);
}

void WebServer::Impl::FreeStream(void* cls) {
  auto* holder = static_cast<std::shared_ptr<Stream>*>(cls);
  Stream* stream = holder->get();
  {
    std::lock_guard<std::mutex> lock(stream->mutex);
    stream->gone = true;
  }
  stream->server->streamsOpen_--;
  delete holder;  // the list drops its copy at the next keep-alive
}

std::string WebServer::Impl::NextEvents(Stream* stream, bool* closed) {
  std::string text;
  std::set<UnitKey> units;
  bool devices = false;
  {
    std::lock_guard<std::mutex> lock(stream->mutex);
    *closed = stream->closed;
    if (stream->closed) return text;
    text.swap(stream->backlog);
    units.swap(stream->dirtyUnits);
    devices = stream->devicesDirty;
    stream->devicesDirty = false;
  }
  // The state is read now, not when the change was announced, so a page
  // never sees an older state after a newer one.
  uint64_t events = 0;
  if (devices) {
    json list = json::array();
    for (const DeviceStatus& d : source_->Devices())
      list.push_back(DeviceStatusToJson(d));
    text += "event: devices\ndata: " +
            list.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
    ++events;
  }
  for (const UnitKey& key : units) {
    std::optional<UnitState> state =
        source_->Unit(std::get<0>(key), std::get<1>(key), std::get<2>(key));
    if (!state) continue;
    text += "event: unit\ndata: " +
            UnitJson(*state, false)
                .dump(-1, ' ', false, json::error_handler_t::replace) +
            "\n\n";
    ++events;
  }
  eventsSent_ += events;
  return text;
}

ssize_t WebServer::Impl::ReadStream(void* cls, uint64_t, char* buffer,
                                    size_t max) {
  Stream* stream = static_cast<std::shared_ptr<Stream>*>(cls)->get();
  Impl* self = stream->server;
  while (stream->outPos == stream->out.size()) {
    bool closed = false;
    stream->out = self->NextEvents(stream, &closed);
    stream->outPos = 0;
    if (closed) return MHD_CONTENT_READER_END_OF_STREAM;
    if (!stream->out.empty()) break;
    std::lock_guard<std::mutex> lock(stream->mutex);
    if (stream->closed || !stream->backlog.empty() ||
        !stream->dirtyUnits.empty() || stream->devicesDirty)
      continue;
    // Nothing to send: off the poll set until the listener has news; the
    // watch thread looks after the socket meanwhile.
    stream->suspended = true;
    MHD_suspend_connection(stream->connection);
    self->WakeWatch();
    return 0;
  }
  size_t n = std::min(max, stream->out.size() - stream->outPos);
  std::memcpy(buffer, stream->out.data() + stream->outPos, n);
  stream->outPos += n;
  return static_cast<ssize_t>(n);
}

void WebServer::Impl::Wake(Stream* stream) {
  if (stream->suspended && !stream->gone) {
    stream->suspended = false;
    MHD_resume_connection(stream->connection);
  }
}

void WebServer::Impl::OnUnitChanged(const UnitState& state) {
  std::lock_guard<std::mutex> lock(streamsMutex_);
  for (auto& stream : streams_) {
    std::lock_guard<std::mutex> streamLock(stream->mutex);
    if (stream->gone) continue;
    stream->dirtyUnits.insert(UnitKey(state.site, state.device, state.unit));
    Wake(stream.get());
  }
}

void WebServer::Impl::OnDevicesChanged() {
  std::lock_guard<std::mutex> lock(streamsMutex_);
  for (auto& stream : streams_) {
    std::lock_guard<std::mutex> streamLock(stream->mutex);
    if (stream->gone) continue;
    stream->devicesDirty = true;
    Wake(stream.get());
  }
}

void WebServer::Impl::OnControlChanged(const ControlUpdate& update) {
  std::string text = "event: control\ndata: " +
                     ControlUpdateToJson(update).dump(
                         -1, ' ', false, json::error_handler_t::replace) +
                     "\n\n";
  std::lock_guard<std::mutex> lock(streamsMutex_);
  for (auto& stream : streams_) {
    std::lock_guard<std::mutex> streamLock(stream->mutex);
    if (stream->gone || stream->closed) continue;
    if (stream->backlog.size() + text.size() > options_.maxStreamBacklogBytes) {
      // A page that reads nothing may not hold memory without bound.
      stream->closed = true;
      streamsDropped_++;
    } else {
      stream->backlog += text;
      eventsSent_++;
    }
    Wake(stream.get());
  }
}

void WebServer::Impl::EndStreamsOfGonePages(
    const std::vector<struct pollfd>& fds,
    const std::vector<std::shared_ptr<Stream>>& watched) {
  for (size_t i = 0; i < watched.size(); ++i) {
    if (!fds[i + 1].revents) continue;
    Stream* stream = watched[i].get();
    std::lock_guard<std::mutex> lock(stream->mutex);
    // Still suspended, so its socket was not closed and reused since the
    // poll: the event was this page's. A page sends nothing after its
    // request; anything readable is its leaving (or a misuse), and its
    // place is freed now rather than at the next keep-alive.
    if (!stream->suspended || stream->gone) continue;
    stream->closed = true;
    Wake(stream);
  }
}

void WebServer::Impl::SendKeepalives() {
  std::lock_guard<std::mutex> streamsLock(streamsMutex_);
  std::vector<std::shared_ptr<Stream>> kept;
  for (auto& stream : streams_) {
    std::lock_guard<std::mutex> streamLock(stream->mutex);
    if (stream->gone) continue;
    kept.push_back(stream);
    if (stream->backlog.size() < options_.maxStreamBacklogBytes)
      stream->backlog += ": keepalive\n\n";
    Wake(stream.get());
  }
  streams_.swap(kept);
}
