#include "platform/system_log.h"

#include <syslog.h>

void WriteSystemLog(const char* first, const char* second) {
  openlog("Veltrane", LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s", first);
  syslog(LOG_ERR, "%s", second);
  closelog();
}
