// Data dictionary: the registration of the filter classes.
//
// The filter descriptor classes (callback, hub, simple expression, SQL)
// and the engines that serve them (found by the descriptor's class name
// with "Descriptor" replaced by "Engine") join their family registries at
// the dictionary's start-up and leave them at its shutdown.
//
// Layer: data dictionary. Called by the dictionary's unit start-up and
// shutdown only (mvsdUnits.h), on one thread.
#pragma once

// Registers the descriptor classes, then the engine classes; a failure
// leaves nothing registered and passes on.
void mvRegisterFilterClasses();
// Unregisters them all.
void mvUnregisterFilterClasses();
