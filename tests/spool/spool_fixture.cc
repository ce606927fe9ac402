// The fixture is all in its header; this file stays for the programs that
// list it.
#include "spool/spool_fixture.h"
