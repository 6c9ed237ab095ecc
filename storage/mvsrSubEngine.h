// Storage: stand-in for the sub-engine base until the framework lands.
#pragma once

#include <cstdint>

#include "foundation/mvllComponents.h"

struct TmvSubEngineClassRef : ClassRef {};

class TmvBaseSubEngine : public TmvPersistent {
 public:
  uint32_t bseID = 0;
  int32_t bseTableVersion = 0;
};
