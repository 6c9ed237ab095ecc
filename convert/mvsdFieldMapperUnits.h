// Field conversion: start-up and shutdown of the field conversion units.
//
// Starts table storage (and with it the data dictionary and the foundation)
// first, then the mapper registry, the referential-integrity engine's
// conversion hook, the mapper families that fill the registry,
// then the field mapper engine family, its engine and the AutoInc special
// engine;
// stopping runs in the reverse order and leaves the registry empty. Counted
// like the foundation's (mvllUnitGroup.h): only the first start and the last
// stop act, so a second run in one process finds the same registry.
#pragma once

void mvConvertInit();
void mvConvertFini();
