// Data dictionary: start-up and shutdown of the dictionary units.
//
// Starts the foundation first, then reads the command-line switch
// "Disable30900LocaleFixes" into mvDisable30900LocaleFixes and registers
// every descriptor class of the dictionary in its family's registry (the
// class names stored in dictionary streams are resolved there), then the
// default-value and validation engine classes in their engine registries,
// then the composite key field engines; stopping
// unregisters them and stops the foundation. Counted like the foundation's:
// only the first start and the last stop act.
//
// Requires: mvDictionaryFini is called once for every mvDictionaryInit.
#pragma once

void mvDictionaryInit();
void mvDictionaryFini();
