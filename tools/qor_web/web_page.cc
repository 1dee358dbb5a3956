// The page itself, its files (compiled in) and /metrics, all on
// libmicrohttpd's thread.

#include <string>
#include <string_view>

#include "metrics.h"
#include "web_server_impl.h"

MHD_Result WebServer::Impl::ServeMetrics(MHD_Connection* connection,
                                         Request* request) {
  bool get = request->method == "GET" || request->method == "HEAD";
  if (!get) return SendError(connection, 405, "use GET", "GET, HEAD");
  WebCounters web;
  web.httpRequests = httpRequests_;
  web.httpClientErrors = httpClientErrors_;
  web.httpServerErrors = httpServerErrors_;
  web.controlRejected = controlRejected_;
  web.eventsSent = eventsSent_;
  web.eventStreamsDropped = streamsDropped_;
  web.eventStreams = streamsOpen_;
  web.requestsCutOff = requestsCutOff_;
  std::vector<UnitState> units = source_->Units();
  for (UnitState& unit : units) unit = Named(std::move(unit));
  std::string text =
      RenderMetrics(units, source_->Devices(), source_->GetCounters(), web);
  MHD_Response* response =
      FreshTextResponse(text, "text/plain; version=0.0.4; charset=utf-8");
  if (!response) return MHD_NO;
  return Send(connection, MHD_HTTP_OK, response);
}

// The page's files by path; "/" is the page and /favicon.ico its icon.
// Anything else outside the API and /metrics is a 404.
MHD_Result WebServer::Impl::ServePage(MHD_Connection* connection,
                                      Request* request) {
  std::string_view path = request->url;
  std::string_view asset = path == "/"              ? "/index.html"
                           : path == "/favicon.ico" ? "/favicon.svg"
                                                    : path;
  for (const EmbeddedAsset& a : EmbeddedAssets())
    if (asset == a.path) return ServeAsset(connection, request, a);
  return SendError(connection, MHD_HTTP_NOT_FOUND,
                   "nothing here: the page is at /, the API under /api/v1/ "
                   "and the metrics at /metrics");
}

MHD_Result WebServer::Impl::ServeAsset(MHD_Connection* connection,
                                       Request* request,
                                       const EmbeddedAsset& a) {
  bool get = request->method == "GET" || request->method == "HEAD";
  if (!get) return SendError(connection, 405, "use GET", "GET, HEAD");
  MHD_Response* response = MHD_create_response_from_buffer(
      a.size, const_cast<char*>(a.data), MHD_RESPMEM_PERSISTENT);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          a.contentType);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
  return Send(connection, MHD_HTTP_OK, response);
}
