#ifndef QOR_PLATFORM_MAIN_LOOP_H_
#define QOR_PLATFORM_MAIN_LOOP_H_

#include "platform/event_loop.h"

// The process's one event loop (system clock), made on first use. Layers
// that serve file descriptors for the whole process (the SNMP layer, the
// infodriver link) register with it unless a test hands them another loop.
EventLoop& TheMainLoop();

#endif  // QOR_PLATFORM_MAIN_LOOP_H_
