#include "snmp/snmp_api.h"

#include <atomic>

// Made on first use when no layer is installed; lives to the process end.
SnmpApi* NewProcessSnmpApi();

namespace {
std::atomic<SnmpApi*> installedApi{nullptr};
}  // namespace

SnmpApi& TheSnmpApi() {
  if (SnmpApi* api = installedApi.load()) return *api;
  static SnmpApi* processApi = NewProcessSnmpApi();
  return *processApi;
}

SnmpApi* SetSnmpApi(SnmpApi* api) { return installedApi.exchange(api); }
