// Slot-change requests with arbitrary slots and texts, at three depths:
// a unit's slotChange directly, DispatchSlotChange with the application's
// routing to the units, and the whole path from the infodriver (an
// in-memory infodriver delivering WVN_SLOTCHANGE to the process's link and
// InfodriverNotify). The units are MDU models on the scripted SNMP layer
// whose alarm and output rows come from a walk the input chooses (any row
// numbers, types, indexes, duplicates), plus arbitrary values of their
// other objects.
//
// Each request is checked against an independent reading of the control
// slots: whether a Set goes out, is queued or is refused, its OID, syntax
// and value, the unit's list line, the trace line of a refusal, which slots
// the routing writes, and that a unit's request never writes a slot itself.

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "infodriver/extinfo.h"
#include "infodriver/inf_buffer.h"
#include "infodriver/infodriver_routing.h"
#include "infodriver/testing/in_memory_infodriver.h"
#include "logging/debug_list_box.h"
#include "logging/log.h"
#include "logging/log_file.h"
#include "mdu/cqor_mdl.h"
#include "platform/debug_output.h"
#include "snmp/testing/fake_snmp_api.h"

using qor_fuzz::Escaped;
using qor_fuzz::Fail;

namespace {

constexpr int kDevice = 7;
constexpr int kMaxUnits = 3;
constexpr int kMaxRequests = 24;
constexpr const char* kEnd = "1.3.6.1.4.1.8072.1.1.0";

const qor_fuzz::ScratchDirectory& Scratch() {
  static const qor_fuzz::ScratchDirectory dir("qor_slot_change_fuzz");
  return dir;
}

std::vector<std::string>* listLines = nullptr;
std::vector<std::string>* traceLines = nullptr;

// A unit's decimal reading of a requested text: white space, a sign, digits
// up to the first non-digit; saturated at the 32-bit range.
int32_t ReadNumber(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t n = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + (*p++ - '0');
    if (n > (1LL << 32)) n = 1LL << 32;
  }
  if (negative) n = -n;
  if (n > INT32_MAX) return INT32_MAX;
  if (n < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(n);
}

// What the SNMP layer makes of an INTEGER value text (the C library's
// reading, stopped at the 32-bit range).
std::string LayerInteger(const std::string& text) {
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  return std::to_string(v);
}

std::string Cut(const std::string& s, size_t max) {
  return s.size() > max ? s.substr(0, max) : s;
}

// One controllable kind of slot, as the unit's operators know it.
struct Control {
  int first, last, base;
  const char* label;
  bool numbered;
  bool checked;
  int32_t min, max;
  const char* rangeLine;
  enum { kNone, kGpi, kOutput } row;
  const char* notFoundLine;
  const char* oid;
  bool tenth;
  uint32_t syntax;
};

const Control kControls[] = {
    {21, 36, 20, "GPI Polarity", true, false, 0, 0, nullptr, Control::kGpi,
     "Failed to find GPI polarity for %d", "1.3.6.1.4.1.6853.2.2.1.6.", false,
     SNMP_SYNTAX_INT},
    {41, 52, 40, "GPI Switch", true, false, 0, 0, nullptr, Control::kOutput,
     "Failed to find output state for %d", "1.3.6.1.4.1.6853.3.4.1.2.", false,
     SNMP_SYNTAX_INT},
    {81, 92, 80, "Delay", true, true, 0, 2550, "Delay out of range %d",
     Control::kOutput, "Failed to find output delay for %d",
     "1.3.6.1.4.1.6853.3.4.1.3.", true, SNMP_SYNTAX_INT},
    {78, 78, 0, "Startup Mode", false, false, 0, 0, nullptr, Control::kNone,
     nullptr, "1.3.6.1.4.1.6853.3.2.0", false, SNMP_SYNTAX_INT},
    {79, 79, 0, "Seq Delay", false, true, 0, 2550,
     "Sequential delay out of range %d", Control::kNone, nullptr,
     "1.3.6.1.4.1.6853.3.3.0", true, SNMP_SYNTAX_INT},
    {96, 96, 0, "High Temperature", false, true, 0, 128,
     "Max Temp. out of range %d", Control::kNone, nullptr,
     "1.3.6.1.4.1.6853.2.6.0", false, SNMP_SYNTAX_INT},
    {98, 98, 0, "Location", false, false, 0, 0, nullptr, Control::kNone,
     nullptr, "1.3.6.1.4.1.6853.2.4.0", false, SNMP_SYNTAX_OCTETS},
};

std::string Printf(const char* format, int n) {
  char line[256];
  std::snprintf(line, sizeof line, format, n);
  return line;
}

class Harness {
 public:
  // |soleWriter|: the link keeps its own copy of the slots, as it does with
  // the infodriver program.
  explicit Harness(bool soleWriter) {
    debugMode = 1;
    logMode = 0;
    lines_.clear();
    trace_.clear();
    listLines = &lines_;
    traceLines = &trace_;
    TheInfodriverLink().setCallback(InfodriverNotify);
    infodriver_.setSoleWriter(soleWriter);
    if (infodriver_.attach(TheInfodriverLink()) != IFSTAT_OK)
      Fail("in-memory infodriver did not attach");
    InfodriverRouting routing;
    routing.unitSlotChange = [this](int index, int slot, const char* text) {
      if (index < 0 || index >= 40 || units_[index] == nullptr) return false;
      units_[index]->slotChange(slot, text);
      return true;
    };
    routing.link = &TheInfodriverLink();
    SetInfodriverRouting(routing);
  }

  ~Harness() {
    SetInfodriverRouting(InfodriverRouting());
    for (auto& unit : units_) unit.reset();
    TheInfodriverLink().disconnect();
    listLines = nullptr;
    traceLines = nullptr;
  }

  void AddUnit(FuzzedDataProvider& in) {
    const int instance = in.ConsumeIntegralInRange(1, 40);
    if (units_[instance - 1]) return;
    auto unit = std::make_unique<Cqor_mdl>((instance - 1) * 100, instance);
    unit->setAddress(("127.0.1." + std::to_string(130 + instance)).c_str());
    unit->setCommunity("public");
    unit->infBuffer = &buffer_;
    unit->infodriverLink = &TheInfodriverLink();
    if (unit->initMdu() != 0) Fail("initMdu failed on the scripted layer");
    Cqor_mdl* u = unit.get();
    units_[instance - 1] = std::move(unit);
    walk(u, in);
  }

  void Request(FuzzedDataProvider& in) {
    const int depth = in.ConsumeIntegralInRange(0, 2);
    int slot;
    if (depth == 0) {
      slot = in.ConsumeBool() ? in.ConsumeIntegralInRange(-2, 101)
                              : in.ConsumeIntegral<int>();
    } else {
      switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
          slot = in.ConsumeIntegralInRange(0, 4100);
          break;
        case 1:
          slot = in.PickValueInArray({4093, 4094, 4095, 4096, -1, -4094,
                                      INT_MIN, INT_MAX, 3999, 4000});
          break;
        default: {
          // A control slot of a unit that is there.
          std::vector<int> present;
          for (int i = 0; i < 40; ++i)
            if (units_[i]) present.push_back(i);
          slot = present.empty() ? 0
                                 : present[in.ConsumeIntegralInRange<size_t>(
                                       0, present.size() - 1)] *
                                           100 +
                                       in.ConsumeIntegralInRange(0, 99);
          break;
        }
      }
    }
    const std::string text = pickText(in);
    const bool replyNow = in.ConsumeProbability<float>() < 0.8f;
    const int32_t errorStatus =
        in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange(0, 20);

    infodriver_.clearWrites();
    std::vector<InMemoryInfodriver::Write> wantWrites;
    switch (depth) {
      case 0: {
        Cqor_mdl* unit = anyUnit(in);
        if (unit == nullptr) return;
        bool got = false;
        expectSlotChange(
            unit, slot, text.c_str(),
            [&] { got = unit->slotChange(slot, text.c_str()); }, &got);
        break;
      }
      case 1:
      case 2: {
        const bool throughLink = depth == 2;
        int result = -1;
        int64_t answer = -1;
        auto act = [&] {
          if (throughLink)
            answer = infodriver_.deliverSlotChange(slot, text);
          else
            result = DispatchSlotChange(kDevice, slot, text.c_str());
        };
        if (static_cast<unsigned>(slot) < 4000) {
          Cqor_mdl* unit = units_[slot / 100].get();
          if (unit != nullptr) {
            expectSlotChange(unit, slot % 100, text.c_str(), act, nullptr);
          } else {
            const size_t sentBefore = fake_.sentCount();
            act();
            if (fake_.sentCount() != sentBefore)
              Fail("a request for a unit that is not there was sent");
          }
        } else {
          act();
          const std::string slotText = text.substr(0, text.find('\0'));
          const std::string cut = Cut(slotText, 255);
          if (slot == 4094) {
            wantWrites.push_back({4095, 2726, cut});
          } else if (slot == 4095) {
            wantWrites.push_back({4094, 2726, cut});
          } else if (throughLink) {
            // Nobody owns it: the request is written back into its slot.
            const int64_t number =
                slot < 0 ? -static_cast<int64_t>(slot) : slot;
            wantWrites.push_back(
                {static_cast<int>(number), slot < 0 ? 2731u : 2726u, cut});
          }
        }
        if (throughLink && answer != 1)
          Fail("the link answered " + std::to_string(answer));
        if (!throughLink) {
          const int want =
              static_cast<unsigned>(slot) < 4000 || slot == 4094 || slot == 4095
                  ? 1
                  : 0;
          if (result != want)
            Fail("DispatchSlotChange(" + std::to_string(slot) + ") gave " +
                 std::to_string(result));
        }
        break;
      }
    }
    if (infodriver_.writes() != wantWrites)
      Fail("slot writes of the request for " + std::to_string(slot) +
           " differ (" + std::to_string(infodriver_.writes().size()) +
           " made, " + std::to_string(wantWrites.size()) + " expected)");
    answerOutstanding(replyNow, errorStatus);
  }

 private:
  static std::string pickText(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
      case 0:
        return std::to_string(in.ConsumeIntegralInRange(-20, 3000));
      case 1:
        return in.PickValueInArray<std::string>(
            {"", " 40x", "2550", "2551", "-1", "128", "129", "0", "+7",
             "99999999999", "-99999999999", "\t\n12", "%s%n%d", "'a:b'"});
      case 2:
        return std::string(
            in.ConsumeIntegralInRange<size_t>(250, 1030),
            static_cast<char>(in.ConsumeIntegralInRange(1, 255)));
      default:
        return in.ConsumeRandomLengthString(600);
    }
  }

  Cqor_mdl* anyUnit(FuzzedDataProvider& in) {
    std::vector<Cqor_mdl*> present;
    for (auto& u : units_)
      if (u) present.push_back(u.get());
    if (present.empty()) return nullptr;
    return present[in.ConsumeIntegralInRange<size_t>(0, present.size() - 1)];
  }

  // Row numbers are mostly small, sometimes beyond every int.
  static uint32_t pickRow(FuzzedDataProvider& in) {
    return in.ConsumeProbability<float>() < 0.9f
               ? in.ConsumeIntegralInRange<uint32_t>(0, 24)
               : in.ConsumeIntegral<uint32_t>();
  }

  // The unit's walk: alarm and output rows and other objects as the input
  // says, then an OID beyond the subtree, which ends it.
  void walk(Cqor_mdl* unit, FuzzedDataProvider& in) {
    std::vector<FakeSnmpApi::Binding> objects;
    const int count = in.ConsumeIntegralInRange(0, 40);
    for (int i = 0; i < count; ++i) {
      std::string oid;
      switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
          oid = "1.3.6.1.4.1.6853.2.2.1." +
                std::to_string(in.ConsumeIntegralInRange(1, 6)) + "." +
                std::to_string(pickRow(in));
          break;
        case 1:
          oid = "1.3.6.1.4.1.6853.3.4.1." +
                std::to_string(in.ConsumeIntegralInRange(1, 3)) + "." +
                std::to_string(pickRow(in));
          break;
        case 2:
          oid = in.PickValueInArray<std::string>(
              {"1.3.6.1.4.1.6853.2.4.0", "1.3.6.1.4.1.6853.2.5.0",
               "1.3.6.1.4.1.6853.2.6.0", "1.3.6.1.4.1.6853.3.2.0",
               "1.3.6.1.4.1.6853.3.3.0", "1.3.6.1.4.1.6853.3.5.0",
               "1.3.6.1.4.1.6853.2.1.0", "1.3.6.1.4.1.6853.3.1.1.0"});
          break;
        default:
          oid = "1.3.6.1.4.1.6853";
          for (int k = in.ConsumeIntegralInRange(0, 6); k > 0; --k)
            oid += "." + std::to_string(in.ConsumeIntegral<uint32_t>());
          break;
      }
      if (in.ConsumeBool()) {
        objects.push_back(
            {oid, SNMP_SYNTAX_INT,
             std::to_string(in.ConsumeBool() ? in.ConsumeIntegralInRange(-2, 20)
                                             : in.ConsumeIntegral<int32_t>())});
      } else {
        objects.push_back(
            {oid, SNMP_SYNTAX_OCTETS, in.ConsumeRandomLengthString(300)});
      }
    }
    objects.push_back({kEnd, SNMP_SYNTAX_INT, "0"});
    for (const FakeSnmpApi::Binding& b : objects) {
      if (fake_.sentCount() == 0) return;
      const FakeSnmpApi::SentPdu request = fake_.lastSent();
      if (request.type != SNMP_PDU_GETNEXT || answered_ == fake_.sentCount())
        return;  // the walk stopped asking
      answered_ = fake_.sentCount();
      fake_.ReplyTo(request, {b});
    }
    if (unit->outstanding.load() > 0) answerOutstanding(true, 0);
  }

  // Replies to the last request sent (a Set echoed back), as the unit
  // would, so that the next request goes out at once.
  void answerOutstanding(bool replyNow, int32_t errorStatus) {
    if (!replyNow || fake_.sentCount() == 0 || answered_ == fake_.sentCount())
      return;
    const FakeSnmpApi::SentPdu request = fake_.lastSent();
    answered_ = fake_.sentCount();
    fake_.ReplyTo(request, {{request.oid, request.syntax, request.value}},
                  errorStatus);
  }

  // Runs |act|, which must make |unit| handle relative slot |slot| with
  // |text|, and checks what it did.
  template <typename Act>
  void expectSlotChange(Cqor_mdl* unit, int slot, const char* text, Act act,
                        bool* result) {
    const Control* control = nullptr;
    for (const Control& c : kControls)
      if (slot >= c.first && slot <= c.last) control = &c;

    // The expected outcome.
    bool sends = false;
    std::string oid, value, refusal;
    if (control != nullptr) {
      const int n = slot - control->base;
      const int32_t v = ReadNumber(text);
      if (control->checked && (v < control->min || v > control->max)) {
        refusal = Printf(control->rangeLine, v);
      } else {
        oid = control->oid;
        if (control->row == Control::kGpi) {
          const AlarmTableEntry* found = nullptr;
          for (const auto& [row, entry] : unit->alarmTable)
            if (entry->index == n && entry->type == 2) {
              found = entry.get();
              break;
            }
          if (found == nullptr)
            refusal = Printf(control->notFoundLine, n);
          else
            oid += std::to_string(found->tableIndex);
        } else if (control->row == Control::kOutput) {
          const MduTableEntry* found = nullptr;
          for (const auto& [row, entry] : unit->mduTable)
            if (entry->outputIndex == n) {
              found = entry.get();
              break;
            }
          if (found == nullptr)
            refusal = Printf(control->notFoundLine, n);
          else
            oid += std::to_string(found->outputIndex);
        }
        sends = refusal.empty();
        value = control->tenth ? std::to_string(v / 10) : std::string(text);
        if (control->syntax == SNMP_SYNTAX_INT) value = LayerInteger(value);
      }
    }
    const bool queued = sends && unit->outstanding.load() >= 1;

    const size_t sentBefore = fake_.sentCount();
    const int queuedBefore = unit->bufferCount();
    const size_t linesBefore = lines_.size();
    const size_t traceBefore = trace_.size();
    const int bufferedBefore = buffer_.count();
    act();

    const std::string where = "slot " + std::to_string(slot) + " of unit " +
                              std::to_string(unit->instance) + " with '" +
                              Escaped(Cut(text, 80)) + "'";
    if (result != nullptr && *result != sends)
      Fail("slotChange returned " + std::to_string(*result) + " for " + where);
    if (buffer_.count() != bufferedBefore)
      Fail("a slot change wrote a slot itself: " + where);
    const size_t sent = fake_.sentCount() - sentBefore;
    const int nowQueued = unit->bufferCount() - queuedBefore;
    if (sent != (sends && !queued ? 1u : 0u) || nowQueued != (queued ? 1 : 0))
      Fail("sent " + std::to_string(sent) + ", queued " +
           std::to_string(nowQueued) + " for " + where);
    if (sent == 1) {
      const FakeSnmpApi::SentPdu request = fake_.lastSent();
      if (request.type != SNMP_PDU_SET || request.oid != oid ||
          request.syntax != control->syntax || request.value != value)
        Fail("Set of " + request.oid + " = '" + Escaped(request.value) +
             "' (syntax " + std::to_string(request.syntax) + "), expected " +
             oid + " = '" + Escaped(value) + "' for " + where);
    }
    // The list line names the request; the trace line says why it failed.
    if (control == nullptr) {
      if (lines_.size() != linesBefore || trace_.size() != traceBefore)
        Fail("a request for a slot nobody controls was logged: " + where);
      return;
    }
    const std::string body =
        control->numbered
            ? "Slot " + std::to_string(slot) + " (" + control->label + " " +
                  std::to_string(slot - control->base) + ") change to '" +
                  text + "'"
            : "Slot " + std::to_string(slot) + " (" + control->label +
                  ") change to '" + text + "'";
    const std::string line =
        Cut(std::to_string(unit->instance) + ":" + body, 511);
    if (lines_.size() <= linesBefore || lines_[linesBefore] != line)
      Fail("list line '" +
           Escaped(lines_.size() > linesBefore ? lines_[linesBefore] : "") +
           "', expected '" + Escaped(line) + "'");
    if (!refusal.empty()) {
      const std::string want = std::string(unit->address) + " - " + refusal;
      bool seen = false;
      for (size_t i = traceBefore; i < trace_.size(); ++i)
        seen = seen || trace_[i] == want;
      if (!seen) Fail("no trace line '" + want + "' for " + where);
    }
  }

  FakeSnmpApi fake_;
  ScopedSnmpApi useFake_{&fake_};
  InMemoryInfodriver infodriver_{kDevice};
  inf_buffer buffer_;
  std::unique_ptr<Cqor_mdl> units_[40];
  size_t answered_ = 0;
  std::vector<std::string> lines_;
  std::vector<std::string> trace_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TheLogFile().initWithDirectory(kDevice, "qor_mdu", true, true,
                                 Scratch().path() + "/logs");
  SetDebugOutputSink([](const char* text) {
    if (traceLines != nullptr && std::strcmp(text, "\n") != 0)
      traceLines->push_back(text);
  });
  TheDebugList().setListener([](const char* line) {
    if (listLines != nullptr && line != nullptr) listLines->push_back(line);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Harness harness(in.ConsumeBool());
  const int units = in.ConsumeIntegralInRange(1, kMaxUnits);
  for (int i = 0; i < units; ++i) harness.AddUnit(in);
  for (int i = 0; i < kMaxRequests && in.remaining_bytes() > 0; ++i)
    harness.Request(in);
  return 0;
}
