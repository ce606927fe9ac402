// The system log, where a service reports errors nobody sees on a console.
#pragma once

// Writes the two lines to syslog at LOG_ERR under the ident "Veltrane".
void WriteSystemLog(const char* first, const char* second);
