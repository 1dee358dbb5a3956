#include "engine/testing/engine_test_util.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "logging/log_file.h"
#include "logging/testing/log_lines.h"
#include "platform/debug_output.h"

namespace engine_test {

std::vector<uint32_t> ParseOid(const std::string& text) {
  std::vector<uint32_t> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t dot = text.find('.', pos);
    if (dot == std::string::npos) dot = text.size();
    out.push_back(
        static_cast<uint32_t>(std::stoul(text.substr(pos, dot - pos))));
    pos = dot + 1;
  }
  return out;
}

void SimAgent::Add(const std::string& oid, uint32_t syntax,
                   const std::string& value) {
  objects_[ParseOid(oid)] = FakeSnmpApi::Binding{oid, syntax, value};
}

void SimAgent::AddMduObjects(int count) {
  // A scalar group and an output-table-like group, in OID order.
  for (int i = 0; i < count; ++i) {
    const int column = i / 12 + 1;
    const int row = i % 12 + 1;
    Add(std::string(kDeviceOid) + ".3.4.1." + std::to_string(column) + "." +
            std::to_string(row),
        SNMP_SYNTAX_INT, std::to_string(i));
  }
}

void SimAgent::Answer(FakeSnmpApi& fake, const FakeSnmpApi::SentPdu& request) {
  if (request.type == SNMP_PDU_SET) {
    auto it = objects_.find(ParseOid(request.oid));
    if (it == objects_.end()) {
      fake.ReplyTo(request, {{request.oid, request.syntax, request.value}},
                   SNMP_ERROR_NOSUCHNAME, 1);
      return;
    }
    it->second.value = request.value;
    fake.ReplyTo(request, {it->second});
    return;
  }
  auto it = objects_.upper_bound(ParseOid(request.oid));
  if (request.type == SNMP_PDU_GETBULK) {
    if (bulk == Bulk::kLost) return;
    if (bulk == Bulk::kRefused) {
      fake.ReplyTo(request, {{request.oid, SNMP_SYNTAX_NULL, ""}},
                   SNMP_ERROR_GENERR, 1);
      return;
    }
    // The next max-repetitions objects; past the last one, the end of the
    // view as an SNMPv2 agent says it.
    std::vector<FakeSnmpApi::Binding> bindings;
    std::string last = request.oid;
    for (int32_t i = 0; i < request.errorIndex; ++i) {
      if (it == objects_.end()) {
        bindings.push_back({last, SNMP_SYNTAX_ENDOFMIBVIEW, ""});
        break;
      }
      bindings.push_back(it->second);
      last = it->second.oid;
      ++it;
    }
    fake.ReplyTo(request, bindings);
    return;
  }
  if (it == objects_.end()) {
    fake.ReplyTo(request, {{request.oid, SNMP_SYNTAX_NULL, ""}},
                 SNMP_ERROR_NOSUCHNAME, 1);
    return;
  }
  fake.ReplyTo(request, {it->second});
}

LogCapture::LogCapture(std::string tracePrefix)
    : prefix_(std::move(tracePrefix)) {
  debugMode = 1;
  logMode = 0;
  char dir[] = "/tmp/engine_test_XXXXXX";
  if (mkdtemp(dir) != nullptr) logDir_ = dir;
  LogFile::resetDirectoryCreatedForTest();
  TheLogFile().initWithDirectory(1, "Qor_Mdu", true, true, logDir_);
  SetDebugOutputSink([this](const char* text) {
    std::string line(text);
    if (line.compare(0, prefix_.size(), prefix_) == 0) {
      traces_.push_back(line.substr(prefix_.size()));
    }
  });
  TheDebugList().clear();
  TheDebugList().setListener([this](const char* line) {
    if (line != nullptr) list_.push_back(line);
  });
}

LogCapture::~LogCapture() {
  SetDebugOutputSink(nullptr);
  TheDebugList().setListener(nullptr);
  std::error_code ignored;
  if (!logDir_.empty()) std::filesystem::remove_all(logDir_, ignored);
}

std::vector<std::string> LogCapture::traces() const { return traces_; }
std::vector<std::string> LogCapture::list() const { return list_; }

std::vector<std::string> LogCapture::fileLines() const {
  return logging_test::LogFileLines(logDir_);
}

void LogCapture::Clear() {
  traces_.clear();
  list_.clear();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(logDir_, ec)) {
    std::filesystem::remove(entry.path(), ec);
  }
}

int LogCapture::CountTrace(const std::string& line) const {
  return static_cast<int>(std::count(traces_.begin(), traces_.end(), line));
}

}  // namespace engine_test
