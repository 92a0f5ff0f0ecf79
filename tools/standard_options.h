// --help (-h) and --version (-V), answered the same way by every tool.
#pragma once

#include <cstdio>
#include <cstring>

// True when the one argument asks for help or the version, which has then
// been printed; `status` is the exit status.
inline bool AnswerStandardOption(int argc, char** argv, const char* name,
                                 void (*usage)(FILE*), int& status) {
  if (argc != 2) return false;
  const bool help = strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0;
  const bool version =
      strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0;
  if (help) usage(stdout);
  if (version) printf("%s %s\n", name, NAVBEACON_VERSION);
  status = (help || version) && fflush(stdout) != 0 ? 1 : 0;
  return help || version;
}
