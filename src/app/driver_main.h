#ifndef QOR_APP_DRIVER_MAIN_H_
#define QOR_APP_DRIVER_MAIN_H_

#include "platform/device_number.h"  // ParseDeviceNumber: the driver's rule

// The process entry of qor_mdu: the device number from the command line,
// the log file, the instance lock, the main window and the event loop.
// Returns the process exit code: 255 (-1) for an invalid device number or
// a device already served, 0 when initialisation fails and on a normal end,
// 1 after an exception escaped a handler.
int DriverMain(int argc, char** argv);

#endif  // QOR_APP_DRIVER_MAIN_H_
