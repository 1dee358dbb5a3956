#ifndef QOR_MDU_TESTING_MDU_TEST_FIXTURE_H_
#define QOR_MDU_TESTING_MDU_TEST_FIXTURE_H_

// A unit model on the scripted SNMP layer and an in-memory infodriver, with
// the unit's list and trace lines captured, for the model's unit tests.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "infodriver/extinfo.h"
#include "infodriver/inf_buffer.h"
#include "infodriver/testing/in_memory_infodriver.h"
#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "logging/log_file.h"
#include "logging/testing/log_lines.h"
#include "mdu/cqor_mdl.h"
#include "platform/debug_output.h"
#include "snmp/testing/fake_snmp_api.h"

using Binding = FakeSnmpApi::Binding;

// One queued slot write: absolute slot and text.
using SlotWrite = std::pair<int, std::string>;

class MduTest : public ::testing::Test {
 protected:
  static constexpr const char* kAddress = "127.0.1.121";
  static constexpr const char* kEnd = "1.3.6.1.4.1.8072.1.1.0";

  void SetUp() override {
    debugMode = 1;
    logMode = 0;
    // A folder of this test process's own, removed when the case ends.
    logDir_ = ::testing::TempDir() + "mdu_logs_" + std::to_string(getpid());
    TheLogFile().initWithDirectory(7, "qor_mdu", true, true, logDir_);
    TheDebugList().clear();
    SetDebugOutputSink([this](const char* text) {
      if (std::strcmp(text, "\n") == 0) return;
      std::lock_guard<std::mutex> lock(traceMutex_);
      trace_.push_back(text);
    });
    ASSERT_EQ(IFSTAT_OK, infodriver_.attach(TheInfodriverLink()));
  }

  void TearDown() override {
    unit_.reset();
    SetDebugOutputSink(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(logDir_, ignored);
  }

  // A unit as the application makes it: instance n owns slots
  // (n - 1) * 100 + 1 to (n - 1) * 100 + 99.
  Cqor_mdl& makeUnit(int instance = 1, const char* address = kAddress) {
    unit_ = std::make_unique<Cqor_mdl>((instance - 1) * 100, instance);
    unit_->setAddress(address);
    unit_->setCommunity("public");
    unit_->infBuffer = &buffer_;
    unit_->infodriverLink = &TheInfodriverLink();
    return *unit_;
  }

  // A unit that has started: session open, first GetNext sent.
  Cqor_mdl& startUnit(int instance = 1) {
    Cqor_mdl& unit = makeUnit(instance);
    EXPECT_EQ(0, unit.initMdu());
    return unit;
  }

  // Takes every queued write out of the buffer, in order.
  std::vector<SlotWrite> queued() {
    std::vector<SlotWrite> writes;
    while (eiData* data = buffer_.getData()) {
      writes.emplace_back(data->slot(), data->text());
      delete data;
    }
    return writes;
  }

  // Drains the buffer into the infodriver as the 10 ms timer does.
  void drain() {
    while (eiData* data = buffer_.getData()) {
      TheInfodriverLink().updateSlot(data->slot(), data->text());
      delete data;
    }
  }

  // Writes taken with queued() into the infodriver, as the drain would.
  void apply(const std::vector<SlotWrite>& writes) {
    for (const SlotWrite& w : writes) {
      TheInfodriverLink().updateSlot(w.first, w.second.c_str());
    }
  }

  // The infodriver's text of the unit's relative slot.
  std::string slot(int relative) {
    return infodriver_.slot(unit_->slotOffset + relative);
  }

  std::vector<std::string> listLines() { return TheDebugList().lines(); }

  // Trace lines of the unit (those with its address prefix), prefix cut.
  std::vector<std::string> traceLines() {
    std::lock_guard<std::mutex> lock(traceMutex_);
    std::vector<std::string> lines;
    const std::string prefix = std::string(unit_->address) + " - ";
    for (const std::string& line : trace_) {
      if (line.rfind(prefix, 0) == 0)
        lines.push_back(line.substr(prefix.size()));
    }
    return lines;
  }

  // List lines with the unit's "N:" prefix cut, of this unit only.
  std::vector<std::string> unitListLines() {
    std::vector<std::string> lines;
    const std::string prefix = std::to_string(unit_->instance) + ":";
    for (const std::string& line : listLines()) {
      if (line.rfind(prefix, 0) == 0)
        lines.push_back(line.substr(prefix.size()));
    }
    return lines;
  }

  // The log file's lines, oldest first, time stamps cut.
  std::vector<std::string> fileLines() {
    return logging_test::LogFileLines(logDir_);
  }

  void clearLines() {
    TheDebugList().clear();
    std::lock_guard<std::mutex> lock(traceMutex_);
    trace_.clear();
  }

  static int count(const std::vector<std::string>& lines,
                   const std::string& line) {
    int n = 0;
    for (const std::string& l : lines) n += l == line;
    return n;
  }

  // Answers the unit's GetNext requests with |objects| (in walk order), then
  // with an OID beyond the subtree, which ends the walk. The unit must have
  // a GetNext outstanding (a fresh start, or a tick after startScan).
  void walk(const std::vector<Binding>& objects) {
    for (size_t i = 0; i <= objects.size(); ++i) {
      ASSERT_GT(fake_.sentCount(), 0u);
      FakeSnmpApi::SentPdu request = fake_.lastSent();
      ASSERT_EQ(SNMP_PDU_GETNEXT, request.type) << "step " << i;
      Binding b =
          i < objects.size() ? objects[i] : Binding{kEnd, SNMP_SYNTAX_INT, "0"};
      ASSERT_TRUE(fake_.ReplyTo(request, {b}));
    }
  }

  // A second walk, after the first one has ended: restart and walk.
  void walkAgain(const std::vector<Binding>& objects) {
    unit_->startScan();
    unit_->PollNext();
    walk(objects);
  }

  static Binding integer(const std::string& oid, int value) {
    return {oid, SNMP_SYNTAX_INT, std::to_string(value)};
  }
  static Binding octets(const std::string& oid, const std::string& value) {
    return {oid, SNMP_SYNTAX_OCTETS, value};
  }

  // The cells of one alarm table row, in walk order within a column. Walks
  // go column by column, so callers interleave rows with alarmTable().
  static std::vector<Binding> alarmTable(
      const std::vector<std::vector<int>>& rows) {
    // rows: {row, tableIndex, type, index, state, polarity}
    std::vector<Binding> cells;
    for (int column = 1; column <= 6; ++column) {
      for (const std::vector<int>& r : rows) {
        const std::string oid = "1.3.6.1.4.1.6853.2.2.1." +
                                std::to_string(column) + "." +
                                std::to_string(r[0]);
        if (column == 4) {
          cells.push_back(octets(oid, "name"));
        } else {
          const int value = column < 4 ? r[column] : r[column - 1];
          cells.push_back(integer(oid, value));
        }
      }
    }
    return cells;
  }

  // rows: {row, outputIndex, state, delay}
  static std::vector<Binding> outputTable(
      const std::vector<std::vector<int>>& rows) {
    std::vector<Binding> cells;
    for (int column = 1; column <= 3; ++column) {
      for (const std::vector<int>& r : rows) {
        cells.push_back(integer("1.3.6.1.4.1.6853.3.4.1." +
                                    std::to_string(column) + "." +
                                    std::to_string(r[0]),
                                r[column]));
      }
    }
    return cells;
  }

  std::string logDir_;
  FakeSnmpApi fake_;
  ScopedSnmpApi useFake_{&fake_};
  InMemoryInfodriver infodriver_{7};
  inf_buffer buffer_;
  std::unique_ptr<Cqor_mdl> unit_;
  std::mutex traceMutex_;
  std::vector<std::string> trace_;
};

#endif  // QOR_MDU_TESTING_MDU_TEST_FIXTURE_H_
