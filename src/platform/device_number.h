#ifndef QOR_PLATFORM_DEVICE_NUMBER_H_
#define QOR_PLATFORM_DEVICE_NUMBER_H_

#include <optional>
#include <string>
#include <string_view>

// The device number names a device's infodriver, the driver that serves
// it, its settings file, its log files and its service instances. Every
// program reads it from its command line through this file, so that all of
// them agree on which numbers exist.

// The highest device number the infodriver and its clients (infoctl,
// qor_web, qor_mqtt) serve. The web API's paths and the MQTT topics carry
// it too, so a larger one could not be reached from there.
constexpr int kMaxDeviceNumber = 999;

// A device number as the infodriver and its clients take it: decimal
// digits only (no sign, no blanks, nothing after them), 1 to
// kMaxDeviceNumber. Leading zeros are allowed. Empty when |text| is none.
std::optional<int> ParseDeviceNumberArgument(std::string_view text);

// The sentence every program gives for an argument that is no device
// number: "\"TEXT\" is no device number (1 to 999)", with control bytes and
// backslashes of TEXT shown as \xHH so that they cannot drive a terminal.
std::string DeviceNumberError(std::string_view text);

// The driver's own rule, kept as the control system's drivers read their
// command line: the arguments after the program name, joined by blanks, at
// most 254 characters; leading blanks, an optional sign, then digits up to
// the first non-digit; none gives 0. Any result above 0 is a device number
// to the driver; 0 or below is none. A number beyond the int range gives
// -1, never a wrapped one.
int ParseDeviceNumber(int argc, char** argv);

#endif  // QOR_PLATFORM_DEVICE_NUMBER_H_
