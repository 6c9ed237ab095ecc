// Foundation: the concrete setting of a component's configuration.
#include "foundation/mvllConfigSettings.h"

void TmvSetting::Assign(const TmvBaseSetting& source) {
  fEnforceValues = source.fEnforceValues;
  fDefaultValue = source.fDefaultValue;
  fValueList = source.fValueList;
  fPropertyName = source.fPropertyName;
  fName = source.fName;
  fHint = source.fHint;
  fSettingType = source.fSettingType;
  fLabel = source.GetLabel();
  fHideFromGUI = source.fHideFromGUI;
  fNotQueryable = source.fNotQueryable;
}
