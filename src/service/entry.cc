#include <cstdio>
#include <strings.h>
#include <unistd.h>

#include "base/message_log.h"
#include "platform/process.h"
#include "service/service.h"

Verb ParseVerb(const char* arg) {
  if (arg == nullptr || (arg[0] != '-' && arg[0] != '/')) return Verb::kNone;
  const char* rest = arg + 1;
  if (strcasecmp(rest, "install") == 0) return Verb::kInstall;
  if (strcasecmp(rest, "remove") == 0) return Verb::kRemove;
  if (strcasecmp(rest, "debug") == 0) return Verb::kDebug;
  return Verb::kNone;
}

namespace {

void PrintUsage() {
  printf("%s -install          to install the service\n", kServiceName);
  printf("%s -remove           to remove the service\n", kServiceName);
  printf("%s -debug            to run as a console app for debugging\n", kServiceName);
  printf("\nStartServiceCtrlDispatcher being called.\n");
  printf("This may take several seconds.  Please wait.\n");
  fflush(stdout);
}

}  // namespace

int RelayMain(int argc, char** argv) {
  PrepareProcessSignals();
  switch (ParseVerb(argc > 1 ? argv[1] : nullptr)) {
    case Verb::kInstall:
      CmdInstallService();
      return 0;
    case Verb::kRemove:
      CmdRemoveService();
      return 0;
    case Verb::kDebug:
      bDebug = 1;
      CmdDebugService(argc, argv);
      for (;;) pause();
    case Verb::kNone:
      break;
  }
  PrintUsage();
  if (!StartServiceCtrlDispatcher()) {
    AddToMessageLog("StartServiceCtrlDispatcher failed.");
    return 1;
  }
  // Connection and feeder threads still run: end without static destructors.
  ExitProcess(0);
}
