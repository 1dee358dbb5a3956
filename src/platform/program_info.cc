#include "platform/program_info.h"

#include <cstdio>
#include <cstring>

const char* PackageVersion() { return QOR_VERSION; }

bool AnswerVersion(int argc, char** argv, const char* program) {
  if (argc != 2 || std::strcmp(argv[1], "--version") != 0) return false;
  std::printf("%s %s\n", program, PackageVersion());
  return true;
}

bool AnswerHelpOrVersion(int argc, char** argv, const char* program,
                         const char* usage) {
  if (AnswerVersion(argc, argv, program)) return true;
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(usage, stdout);
    return true;
  }
  return false;
}
