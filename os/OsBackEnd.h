// What each OS back end supplies to the dispatch in os/OsTables.cpp.
#pragma once

#include "os/Os.h"

OsSerialApi* OsDefaultSerialApi();
OsClockApi* OsDefaultClockApi();
OsSocketApi* OsDefaultSocketApi();
OsSystemApi* OsDefaultSystemApi();
OsConsoleApi* OsDefaultConsoleApi();
OsClockApi* OsCurrentClock();
