#ifndef QOR_APP_DRIVER_MAIN_H_
#define QOR_APP_DRIVER_MAIN_H_

// The process entry of qor_mdu: the device number from the command line,
// the log file, the instance lock, the main window and the event loop.
// Returns the process exit code: 255 (-1) for an invalid device number or
// a device already served, 0 when initialisation fails and on a normal end,
// 1 after an exception escaped a handler.
int DriverMain(int argc, char** argv);

// The device number of a command line (the arguments after the program
// name, joined by blanks, at most 254 characters): leading blanks, an
// optional sign, then digits up to the first non-digit; none gives 0.
int ParseDeviceNumber(int argc, char** argv);

#endif  // QOR_APP_DRIVER_MAIN_H_
