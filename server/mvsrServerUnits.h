// Server engine: start-up and shutdown of the server units.
//
// Starts the index engines (and with them table storage and everything
// below), so that the server's tables open with real indexes, then the
// session statistics (their global list and storage's counting hook) and
// the engine component's class;
// stopping runs in the reverse order. Counted like the other folders'
// (mvllUnitGroup.h): only the first start and the last stop act.
#pragma once

void mvServerInit();
void mvServerFini();
