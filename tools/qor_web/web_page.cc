// The page itself, its files (compiled in) and /metrics, all on
// libmicrohttpd's thread.

#include <zlib.h>

#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "metrics.h"
#include "web_server_impl.h"

namespace {

// |data| in gzip format; empty when zlib fails, and the file goes out as it
// is.
std::string Gzip(const char* data, size_t size) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    return "";
  std::string out(deflateBound(&z, size), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  z.avail_in = static_cast<uInt>(size);
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  int result = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return result == Z_STREAM_END ? out : "";
}

// Each file compressed once, the first time a browser that takes gzip asks
// for any of them; the files never change while the program runs.
const std::string& Compressed(const EmbeddedAsset& asset) {
  static std::once_flag once;
  static std::map<const char*, std::string> compressed;
  std::call_once(once, [] {
    for (const EmbeddedAsset& a : EmbeddedAssets()) {
      std::string z = Gzip(a.data, a.size);
      if (z.size() < a.size) compressed[a.path] = std::move(z);
    }
  });
  static const std::string none;
  auto found = compressed.find(asset.path);
  return found == compressed.end() ? none : found->second;
}

// Whether Accept-Encoding lists gzip without refusing it ("gzip;q=0").
bool AcceptsGzip(const char* header) {
  if (!header) return false;
  std::string_view rest(header);
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    std::string_view coding = item.substr(0, item.find(';'));
    while (!coding.empty() && coding.back() == ' ') coding.remove_suffix(1);
    if (web_internal::Lower(coding) != "gzip" && coding != "*") continue;
    size_t q = item.find("q=");
    if (q == std::string_view::npos) return true;
    std::string_view weight = item.substr(q + 2);
    return weight.find_first_of("123456789") != std::string_view::npos;
  }
  return false;
}

}  // namespace

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
  const std::string& gzip = Compressed(a);
  bool zipped =
      !gzip.empty() && AcceptsGzip(web_internal::Header(
                           connection, MHD_HTTP_HEADER_ACCEPT_ENCODING));
  MHD_Response* response = MHD_create_response_from_buffer(
      zipped ? gzip.size() : a.size,
      const_cast<char*>(zipped ? gzip.data() : a.data), MHD_RESPMEM_PERSISTENT);
  if (!response) return MHD_NO;
  if (zipped)
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
  MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, "Accept-Encoding");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          a.contentType);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
  return Send(connection, MHD_HTTP_OK, response);
}
