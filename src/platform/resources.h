#ifndef QOR_PLATFORM_RESOURCES_H_
#define QOR_PLATFORM_RESOURCES_H_

// The program's resources: string table, menu and accelerator ids, command
// ids and the version text, built into the program.

constexpr int IDS_APP_TITLE =
    103;  // "ZARN qor_mdu Application with Debug window - Device %d"
constexpr int IDC_QOR_MDU = 107;  // window class name
constexpr int IDS_SECTION = 110;  // settings section of the driver

constexpr int IDM_ABOUT = 104;
constexpr int IDM_EXIT = 105;
constexpr int IDM_DEBUG_CLEAR = 32771;
constexpr int IDM_DEBUG_ON = 32773;
constexpr int IDM_DEBUG_HIDE = 32775;
constexpr int IDM_LOG_ENABLED = 32776;

// Version resource: translation 0809/04B0, FileVersion and ProductVersion.
constexpr const char* kFileVersion = "1, 1, 1, 1";
constexpr const char* kProductVersion = "1, 1, 1, 1";

// Copies string |id| into |buffer| (at most size - 1 characters); returns
// the length, 0 for an unknown id (buffer then empty).
int LoadStringResource(int id, char* buffer, int size);

#endif  // QOR_PLATFORM_RESOURCES_H_
