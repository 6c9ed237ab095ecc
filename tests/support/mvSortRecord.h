// Test support: the 100-byte record that the merge sort test and benchmark
// share: K (Int32), S (ShortString 20), SEQ (Int32) and PAD (ByteArray 70),
// sorted by an index on K and S, which the function answers.
#pragma once

#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdDataDictionary.h"

inline TmvIndexDescriptor* mvAddSortRecordFields(TmvDataDictionary& aDictionary) {
  TmvFieldsDescriptor* f = aDictionary.GetFieldsDescriptor();
  f->AddField(u"K", u"", mvtInt32, 0, 0, true);
  f->AddField(u"S", u"", mvtShortString, 20, 0, true);
  f->AddField(u"SEQ", u"", mvtInt32, 0, 0, true);
  f->AddField(u"PAD", u"", mvtByteArray, 70, 0, false);
  TmvIndexDescriptor* index = aDictionary.EnsureIndicesDescriptor()->AddIndex(u"ByKS", 0, idAll, u"");
  auto* key = static_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor());
  key->Add(0);
  key->Add(1);
  return index;
}
