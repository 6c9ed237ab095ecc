// Foundation: start-up and shutdown of the foundation units.
//
// The units that keep process-wide state (the memory manager connection, the
// event pool and manual-event cache, the code-page default and per-locale
// format settings, the exception-data hooks, the packed-
// decimal routines of the platform variant) are started here in one fixed
// order and stopped in the reverse order. Nothing runs in static
// initialisers; the program's registration entry point and test fixtures call
// these. Calls are counted: only the first start and the last stop act, so
// layers above may each start the foundation they rest on.
//
// Requires: mvFoundationFini is called once for every mvFoundationInit.
#pragma once

void mvFoundationInit();
void mvFoundationFini();
