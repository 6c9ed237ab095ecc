// Storage engines: a stand-in for the sub-engine root class until the
// sub-engine framework joins this branch; it goes then.
#pragma once

#include <cstdint>

#include "platform/Classes.h"
#include "foundation/mvllComponents.h"

class TmvBaseSubEngine : public TmvPersistent {
 public:
  TmvBaseSubEngine(uint32_t aID, int32_t aTableVersion) : bseID(aID), bseTableVersion(aTableVersion) {}
  uint32_t bseID;
  int32_t bseTableVersion;
};
