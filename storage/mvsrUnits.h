// Table storage: start-up and shutdown of the storage units.
//
// Starts the data dictionary (and with it the foundation) first, then
// installs the per-thread operation deadline hooks, the file classes, the
// two file header formats, the temporary storage class, the sub-engine
// families and the engines registered in them (the simple stream engine,
// static records, auto-increment, the block heap, the heap and the two BLOB
// engines); stopping runs in the reverse order. Counted like the
// foundation's (mvllUnitGroup.h): only the first start and the last stop act.
#pragma once

void mvStorageInit();
void mvStorageFini();
