// Error reports that happen before or outside the relay's own log.
#pragma once
#include <cstddef>
#include <string>

// Set when the relay runs as a console program (-debug): reports go to
// standard output and nothing is sent to the service manager.
extern int bDebug;

// Reports an error text. Console mode: prints the text and a newline.
// Service mode: writes "Veltrane error: <errno>" and the text to the system
// log; when no service manager started the process (nobody reads its log for
// a hand-started program) the text is printed on standard output as well.
void AddToMessageLog(const char* text);

// The system's text for the calling thread's errno, as "<text> (0x<code>)";
// the empty text when that does not fit in `size` - 14 characters.
char* GetLastErrorText(char* buf, size_t size);

// The one way a start-up that cannot go on ends: the text (message texts end
// in their own "\n") goes to standard output, or, with `reported`, each line
// of it through AddToMessageLog, as the configuration's own failures are
// reported; then the process ends with exit code 1.
[[noreturn]] void StartupFailure(const std::string& text, bool reported = false);
