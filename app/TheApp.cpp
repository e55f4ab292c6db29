// The program's one application object, made before anything else runs.
#include "app/App.h"

CModemTestApp theApp;
