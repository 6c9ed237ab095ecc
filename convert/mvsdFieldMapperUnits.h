// Field conversion: start-up and shutdown of the field conversion units.
//
// Starts the index engines (and with them table storage, the data
// dictionary and the foundation; the record mapper engine builds keys for
// its error texts) first, then the mapper registry, the referential-
// integrity engine's conversion hook, the mapper families that fill the
// registry (the BLOB family last), then the field mapper engine family, its
// engine, the AutoInc special engine and the record mapper engine;
// stopping runs in the reverse order and leaves the registry empty. Counted
// like the foundation's (mvllUnitGroup.h): only the first start and the last
// stop act, so a second run in one process finds the same registry.
#pragma once

void mvConvertInit();
void mvConvertFini();
