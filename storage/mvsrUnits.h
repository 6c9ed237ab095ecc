// Table storage: start-up and shutdown of the storage units.
//
// Starts the data dictionary (and with it the foundation) first, then
// installs the per-thread operation deadline hooks, the file classes, the
// two file header formats, the temporary storage class and the sub-engine
// families; stopping runs in the reverse order. Counted like the
// foundation's (mvllUnitGroup.h): only the first start and the last stop act.
#pragma once

void mvStorageInit();
void mvStorageFini();
