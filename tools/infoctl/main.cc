// infoctl: the command-line client of an infodriver.
//
//   infoctl get N SLOT        the slot's text
//   infoctl dump N            SLOT<TAB>TEXT for every slot that is not empty
//   infoctl set N SLOT TEXT   request the change from the device's driver
//   infoctl watch N           SLOT<TAB>TEXT for every slot write, as it comes
//   infoctl mode N txrx|rxonly|inquire   the driver's answer, 1 or 0
//   infoctl ping N            whether the infodriver answers and has a driver
//
// Texts are printed with backslash, tab, CR and LF escaped as \\ \t \r \n,
// and every other control byte (and any byte that is not part of printable
// UTF-8) as \xHH: slots 4000 to 4095 hold whatever any client asked for,
// and their texts must not drive the operator's terminal. Exit codes: see
// kExitCodes.

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "infodriver/info_socket.h"
#include "infodriver/infodriver_protocol.h"
#include "infodriver/server/audit_trail.h"
#include "infodriver/socket_transport.h"
#include "platform/clock.h"
#include "platform/device_number.h"
#include "platform/program_info.h"

namespace {

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoInfodriver = 3;
constexpr int kExitNoDriver = 4;
constexpr int kExitDropped = 5;
constexpr int kExitExpired = 6;
constexpr int kExitNoTrail = 7;
// The infodriver answers at once; a driver that is passed a request gets
// this long.
constexpr int kAnswerTimeoutMs = 10000;
// A change is waited for a little past its deadline, so that a driver that
// reads it late can still say that it will not carry it out.
constexpr int kSetAnswerTimeoutMs = kControlDeadlineMs + 2000;

const char kUsage[] =
    "usage: infoctl get N SLOT\n"
    "       infoctl dump N\n"
    "       infoctl set N SLOT TEXT\n"
    "       infoctl watch N\n"
    "       infoctl mode N txrx|rxonly|inquire\n"
    "       infoctl ping N\n"
    "       infoctl audit N [--since TIME] [--follow]\n"
    "       infoctl --help | --version\n";

const char kHelp[] =
    "\n"
    "  get N SLOT        print the text of SLOT (0 to 4095)\n"
    "  dump N            print SLOT<TAB>TEXT for every slot that is not empty\n"
    "  set N SLOT TEXT   ask the driver of device N to change SLOT to TEXT\n"
    "  watch N           print SLOT<TAB>TEXT for every slot write until\n"
    "                    interrupted\n"
    "  mode N txrx|rxonly|inquire\n"
    "                    send a mode request; print the driver's answer (1 or "
    "0)\n"
    "  ping N            say whether infodriver N answers and has a driver\n"
    "  audit N [--since TIME] [--follow]\n"
    "                    print device N's audit trail, one JSON record a\n"
    "                    line: every control request and what became of it;\n"
    "                    TIME in UTC as the records give it, or a leading\n"
    "                    part (2026-12-09, 2026-12-09T14:05); --follow goes\n"
    "                    on printing new records until interrupted\n"
    "\n"
    "Texts are printed with \\\\ \\t \\r \\n and \\xHH for backslash, tab, "
    "CR,\n"
    "LF and any other control byte.\n";

// One table for every command.
const char kExitCodes[] =
    "\n"
    "Exit codes:\n"
    "  0  done: read, dumped, watched until interrupted, change or mode\n"
    "     accepted, a driver is connected (ping)\n"
    "  1  the driver refused the change or the mode request (answered 0)\n"
    "  2  usage: unknown command, wrong number of arguments, a wrong argument\n"
    "  3  no infodriver: none serves N, it cannot be reached or trusted, it\n"
    "     did not answer in time, or it went away\n"
    "  4  no driver is connected to the infodriver\n"
    "  5  the infodriver dropped this client for reading too slowly (watch)\n"
    "  6  the change was not made: it was not taken before its deadline\n"
    "     (10 s after the request), and it will never be made\n"
    "  7  the audit trail's folder cannot be read (audit)\n";

int Usage(const char* why) {
  if (why != nullptr) std::fprintf(stderr, "infoctl: %s\n", why);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

int Help() {
  std::fputs(kUsage, stdout);
  std::fputs(kHelp, stdout);
  std::fputs(kExitCodes, stdout);
  return 0;
}

bool ParseInt(const char* text, long min, long max, long* out) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < min || value > max) return false;
  *out = value;
  return true;
}

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = bytes[i];
    switch (c) {
      case '\\':
        out += "\\\\";
        ++i;
        continue;
      case '\t':
        out += "\\t";
        ++i;
        continue;
      case '\r':
        out += "\\r";
        ++i;
        continue;
      case '\n':
        out += "\\n";
        ++i;
        continue;
      default:
        break;
    }
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (size_t n =
            c >= 0x80 ? PrintableUtf8Length(bytes + i, text.size() - i) : 0) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
    ++i;
  }
  return out;
}

void PrintSlot(int64_t slot, const std::string& text) {
  std::printf("%lld\t%s\n", static_cast<long long>(slot), Escape(text).c_str());
  std::fflush(stdout);
}

class Connection {
 public:
  explicit Connection(int device) : device_(device) {}
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }

  // Connects; on failure prints why and returns false.
  bool open() {
    std::string why;
    fd_ = ConnectToInfodriver(device_, false, &why);
    if (fd_ < 0) {
      std::fprintf(stderr, "infoctl: no infodriver serves %d (%s)\n", device_,
                   why.c_str());
      return false;
    }
    return true;
  }

  // Sends |m| and waits for its result; messages that come before it go to
  // |other|. False (with a message printed) when the infodriver goes or
  // does not answer.
  template <typename OnOther>
  bool request(InfoMessage m, InfoMessage* result, OnOther other,
               int timeoutMs = kAnswerTimeoutMs) {
    m.sequence = 1;
    if (!SendInfoMessage(fd_, m, kAnswerTimeoutMs)) return lost();
    const int64_t giveUp = TheSystemClock().NowMs() + timeoutMs;
    for (;;) {
      InfoMessage in;
      const int64_t left = giveUp - TheSystemClock().NowMs();
      switch (
          ReceiveInfoMessage(fd_, &in, left > 0 ? static_cast<int>(left) : 0)) {
        case InfoReceive::kMessage:
          break;
        case InfoReceive::kMalformed:
          continue;
        case InfoReceive::kNothing:
          std::fprintf(stderr, "infoctl: infodriver %d did not answer\n",
                       device_);
          return false;
        case InfoReceive::kClosed:
          return lost();
      }
      if (in.message == INFO_RESULT && in.sequence == m.sequence) {
        *result = std::move(in);
        return true;
      }
      other(in);
    }
  }
  bool request(const InfoMessage& m, InfoMessage* result) {
    return request(m, result, [](const InfoMessage&) {});
  }

  int fd() const { return fd_; }
  bool lost() {
    std::fprintf(stderr, "infoctl: infodriver %d went away\n", device_);
    return false;
  }

 private:
  int device_;
  int fd_ = -1;
};

int NoDriver(int device) {
  std::fprintf(stderr, "infoctl: no driver is connected to infodriver %d\n",
               device);
  return kExitNoDriver;
}

int Get(Connection& c, long slot) {
  InfoMessage result;
  if (!c.request({WVN_READSLOT, 0, slot, 0, ""}, &result))
    return kExitNoInfodriver;
  std::printf("%s\n", Escape(result.text).c_str());
  return 0;
}

int Dump(Connection& c) {
  InfoMessage result;
  bool ok =
      c.request({INFO_DUMP, 0, 0, 0, ""}, &result, [](const InfoMessage& m) {
        if (m.message == INFO_SLOTDATA) PrintSlot(m.wParam, m.text);
      });
  return ok ? 0 : kExitNoInfodriver;
}

int Set(Connection& c, int device, long slot, const char* text) {
  InfoMessage result;
  // The deadline counts from now: a change that cannot be made in time is
  // not made at all.
  const int64_t deadline = TheSystemClock().NowMs() + kControlDeadlineMs;
  if (!c.request(
          {WVN_SLOTCHANGE, 0, slot, deadline, text}, &result,
          [](const InfoMessage&) {}, kSetAnswerTimeoutMs))
    return kExitNoInfodriver;
  if (result.wParam == INFO_NO_DRIVER) return NoDriver(device);
  if (result.wParam == INFO_EXPIRED) {
    std::fprintf(stderr,
                 "infoctl: the change of slot %ld was not made: device %d "
                 "did not take it within %d s, and it will not be made "
                 "later\n",
                 slot, device, kControlDeadlineMs / 1000);
    return kExitExpired;
  }
  if (result.wParam != 1) {
    std::fprintf(stderr, "infoctl: the driver of %d refused the change\n",
                 device);
    return kExitRefused;
  }
  return 0;
}

volatile sig_atomic_t interrupted = 0;
void OnInterrupt(int) { interrupted = 1; }

int Watch(Connection& c, int device) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnInterrupt;  // no SA_RESTART: poll returns EINTR
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  InfoMessage result;
  if (!c.request({INFO_WATCH, 0, 0, 0, ""}, &result)) return kExitNoInfodriver;
  while (!interrupted) {
    InfoMessage m;
    // A short wait, so that an interrupt is seen between messages.
    switch (ReceiveInfoMessage(c.fd(), &m, 250)) {
      case InfoReceive::kMessage:
        if (m.message == INFO_SLOTWRITTEN) PrintSlot(m.wParam, m.text);
        if (m.message == INFO_DROPPED) {
          std::fprintf(stderr,
                       "infoctl: infodriver %d dropped this watch: it read "
                       "the slot writes too slowly\n",
                       device);
          return kExitDropped;
        }
        break;
      case InfoReceive::kMalformed:
      case InfoReceive::kNothing:
        break;
      case InfoReceive::kClosed:
        if (interrupted) return 0;
        c.lost();
        return kExitNoInfodriver;
    }
  }
  return 0;
}

// The message of a mode request, or 0 for no mode.
uint32_t ModeMessage(const char* which) {
  if (std::strcmp(which, "txrx") == 0) return WVN_REQDEVGOTXRX;
  if (std::strcmp(which, "rxonly") == 0) return WVN_REQDEVGORXONLY;
  if (std::strcmp(which, "inquire") == 0) return WVN_INQDEVGOTXRX;
  return 0;
}

int Mode(Connection& c, int device, uint32_t message) {
  InfoMessage result;
  if (!c.request({message, 0, 0, 0, ""}, &result)) return kExitNoInfodriver;
  if (result.wParam == INFO_NO_DRIVER) return NoDriver(device);
  std::printf("%lld\n", static_cast<long long>(result.wParam));
  return result.wParam == 1 ? 0 : kExitRefused;
}

int Ping(Connection& c, int device) {
  InfoMessage result;
  if (!c.request({INFO_STATUS, 0, 0, 0, ""}, &result)) return kExitNoInfodriver;
  std::printf("infodriver %d: %s\n", device,
              result.wParam == 1 ? "driver connected" : "no driver connected");
  return result.wParam == 1 ? 0 : kExitNoDriver;
}

// infoctl audit N [--since TIME] [--follow]: reads the trail's files, so
// that it works while the infodriver is down too.
int Audit(int device, int argc, char** argv) {
  std::string since = "0000";
  bool follow = false;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--follow") {
      follow = true;
    } else if (arg == "--since" && i + 1 < argc) {
      std::optional<std::string> parsed = ParseAuditSince(argv[++i]);
      if (!parsed)
        return Usage(
            "--since wants a UTC time such as 2026-12-09T14:05 or "
            "2026-12-09");
      since = *parsed;
    } else {
      return Usage(
          ("audit takes --since TIME and --follow, not " + arg).c_str());
    }
  }
  const std::string directory = AuditTrail::DefaultDirectory();
  std::map<std::string, uint64_t> offsets;
  auto print = [](const std::string& record) {
    std::fwrite(record.data(), 1, record.size(), stdout);
    std::fputc('\n', stdout);
  };
  for (;;) {
    std::string error;
    if (!ReadAuditTrail(directory, device, since, &offsets, print, &error)) {
      std::fprintf(stderr, "infoctl: %s\n", error.c_str());
      return kExitNoTrail;
    }
    std::fflush(stdout);
    if (!follow) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerVersion(argc, argv, "infoctl")) return 0;
  if (argc == 2 &&
      (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
    return Help();
  if (argc < 3) return Usage(nullptr);
  const std::string command = argv[1];
  const std::optional<int> number = ParseDeviceNumberArgument(argv[2]);
  if (!number) return Usage(DeviceNumberError(argv[2]).c_str());
  const int device = *number;
  if (command == "audit") return Audit(device, argc, argv);

  long slot = 0;
  struct Shape {
    const char* name;
    int args;  // after N
  };
  const Shape shapes[] = {{"get", 1},   {"dump", 0}, {"set", 2},
                          {"watch", 0}, {"mode", 1}, {"ping", 0}};
  int wanted = -1;
  for (const Shape& s : shapes)
    if (command == s.name) wanted = s.args;
  if (wanted < 0) return Usage(("unknown command " + command).c_str());
  if (argc != 3 + wanted) return Usage("wrong number of arguments");
  if ((command == "get" || command == "set") &&
      !ParseInt(argv[3], 0, kInfodriverSlotCount - 1, &slot))
    return Usage("SLOT must be a number from 0 to 4095");
  if (command == "set" && std::strlen(argv[4]) > kSlotTextMax)
    return Usage("TEXT is longer than the 255 bytes a slot holds");
  const uint32_t mode = command == "mode" ? ModeMessage(argv[3]) : 0;
  if (command == "mode" && mode == 0)
    return Usage("mode must be txrx, rxonly or inquire");

  Connection c(device);
  if (!c.open()) return kExitNoInfodriver;
  if (command == "get") return Get(c, slot);
  if (command == "dump") return Dump(c);
  if (command == "set") return Set(c, device, slot, argv[4]);
  if (command == "watch") return Watch(c, device);
  if (command == "mode") return Mode(c, device, mode);
  return Ping(c, device);
}
