#ifndef QOR_TOOLS_QOR_WEB_EMBEDDED_ASSETS_H_
#define QOR_TOOLS_QOR_WEB_EMBEDDED_ASSETS_H_

#include <cstddef>
#include <vector>

// The page's files, compiled into the program (embed_assets.cmake writes
// the table from tools/qor_web/assets at build time).
struct EmbeddedAsset {
  const char* path;         // "/index.html"
  const char* contentType;  // "text/html; charset=utf-8"
  const char* data;
  size_t size;
};

const std::vector<EmbeddedAsset>& EmbeddedAssets();

#endif  // QOR_TOOLS_QOR_WEB_EMBEDDED_ASSETS_H_
