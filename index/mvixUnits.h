// Index engines: start-up and shutdown of the index units.
//
// Starts table storage (and with it everything below) first, then
// registers the key engines (composite, no-null composite, RefNr, Int64,
// BLOB-cache) in the key engine registry and the simple indices engine and
// the static-key B*-tree as "mv1xDefault" of their families, so that tables
// open with real indexes; stopping runs in the reverse order. Counted like the foundation's (mvllUnitGroup.h): only the first
// start and the last stop act.
#pragma once

void mvIndexInit();
void mvIndexFini();
