// Writes the five kept settings keys into the settings file named by the first argument, with the
// second as the sender's name: the process that the kill test stops at every write.
#include <cstdio>

#include "platform/ProfileFile.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: profile_write FILE NAME\n");
    return 2;
  }
  tavrin::platform::ProfileFile ini(argv[1]);
  const bool ok = ini.WriteStrings({{"Options", "SenderName", argv[2]},
                                    {"Options", "ReturnEmail", "ann@example.com"},
                                    {"Options", "ServerName", "smtp.example.com"},
                                    {"Options", "ServerPort", "25"},
                                    {"Defaults", "To", "Club members"}});
  if (!ok) std::fprintf(stderr, "%s\n", ini.Error().c_str());
  return ok ? 0 : 1;
}
