#ifndef QOR_PLATFORM_TRAP_PORT_H_
#define QOR_PLATFORM_TRAP_PORT_H_

#include <cstdint>

// The UDP port the units send their traps to. Both the driver (when no
// trap intake runs) and qor_trapd bind it, so both must read the same
// setting the same way.
constexpr uint16_t kStandardTrapPort = 162;

// The environment variable that moves the trap port, so that tests and a
// second installation on one host need not own port 162.
constexpr char kTrapPortVariable[] = "ZARN_SNMP_TRAP_PORT";

// The trap port: kTrapPortVariable when set and not empty, else
// kStandardTrapPort. False when the variable holds no port number from 1
// to 65535; |port| then holds kStandardTrapPort and must not be used.
bool TrapPortSetting(uint16_t* port);

#endif  // QOR_PLATFORM_TRAP_PORT_H_
