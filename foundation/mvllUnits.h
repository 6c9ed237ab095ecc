// Foundation: start-up and shutdown of the foundation units.
//
// The units that keep process-wide state (the memory manager connection, the
// event pool and manual-event cache, the code-page default and per-locale
// format settings, the exception-data hooks, the packed-
// decimal routines of the platform variant) are started here in one fixed
// order and stopped in the reverse order. Nothing runs in static
// initialisers; the program's registration entry point and test fixtures call
// these. Calls are counted (mvllUnitGroup.h): only the first start and the
// last stop act, so layers above may each start the foundation they rest
// on; a start that fails leaves nothing started.
//
// Requires: mvFoundationFini is called once for every mvFoundationInit, and
// every engine object and block is released before the last stop.
#pragma once

void mvFoundationInit();
void mvFoundationFini();
