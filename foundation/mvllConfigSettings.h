// Foundation: the concrete setting of a component's configuration.
//
// `TmvSetting` is the setting that configuration editors and stores copy
// around; it adds assignment to the base setting of the component unit.
#pragma once

#include "foundation/mvllComponents.h"

class TmvSetting : public TmvBaseSetting {
 public:
  // Copies everything but Min and Max; the label as the source shows it.
  void Assign(const TmvBaseSetting& source);
};
