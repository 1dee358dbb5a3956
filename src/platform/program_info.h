#ifndef QOR_PLATFORM_PROGRAM_INFO_H_
#define QOR_PLATFORM_PROGRAM_INFO_H_

// What every program of the package answers the same way: its version, and
// "--help" or "--version" as its one argument. Called from main only,
// before the program's own command line is read.

// The package's version, e.g. "1.1.1.1".
const char* PackageVersion();

// When argv is exactly PROGRAM --version, prints "PROGRAM VERSION" on
// standard output and returns true: the program then ends with 0. For the
// programs whose own command line answers --help.
bool AnswerVersion(int argc, char** argv, const char* program);

// When argv is exactly PROGRAM --help (or -h) or PROGRAM --version, prints
// |usage| or "PROGRAM VERSION" on standard output and returns true: the
// program then ends with 0. Anything else is left to the program's own
// command line and returns false.
bool AnswerHelpOrVersion(int argc, char** argv, const char* program,
                         const char* usage);

#endif  // QOR_PLATFORM_PROGRAM_INFO_H_
