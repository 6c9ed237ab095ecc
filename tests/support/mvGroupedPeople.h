// Test support: the "grouped people" table that the library test and the
// cursor benchmark share: an auto-increment ID, a unique NAME (ShortString
// 40), a group GRP (Int32) with a non-unique index, an AMOUNT (Double) and a
// moment WHEN (DateTime). Built through the public header only.
#pragma once

#include "server/marlisse.h"

inline void mvAddGroupedPeopleFields(TmvDataDictionary& aDictionary) {
  TmvFieldsDescriptor* fields = aDictionary.GetFieldsDescriptor();
  fields->AddField(u"ID", u"", mvtAutoInc, 0, 0, true);
  fields->AddField(u"NAME", u"", mvtShortString, 40, 0, false);
  fields->AddField(u"GRP", u"", mvtInt32, 0, 0, false);
  fields->AddField(u"AMOUNT", u"", mvtDouble, 0, 0, false);
  fields->AddField(u"WHEN", u"", mvtDateTime, 0, 0, false);
  aDictionary.AddAutoIncDescriptor();
  mvAddIndex(&aDictionary, u"ByName", u"NAME", true);
  mvAddIndex(&aDictionary, u"ByGroup", u"GRP", false);
}
