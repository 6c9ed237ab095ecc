// Test support of the full-text tests: a small table that a full-text index
// can locate records in, and its full-text descriptor.
#pragma once

#include <memory>

#include "dictionary/fulltext/mvsdFulltextDescriptors.h"
#include "dictionary/fulltext/mvsdTokenFilterDescriptors.h"
#include "dictionary/fulltext/mvsdTokenIndexDescriptors.h"
#include "dictionary/mvsdDataDictionary.h"

namespace mvtest {

// The fields ID (Int32), Nr (Word32), Body (WideString 100) and Title
// (WideString 50); the main indexes 0 "Sequential Access Index" (record
// references), 1 "ByID" unique on ID and, with aLocation, 2 "ByNr" unique
// on Nr: the only index that can locate records.
inline std::unique_ptr<TmvDataDictionary> DocsTable(bool aLocation = true) {
  auto dd = std::make_unique<TmvDataDictionary>();
  TmvFieldsDescriptor& fields = *dd->GetFieldsDescriptor();
  fields.AddField(u"ID", u"", mvtInt32, 0, 0, true);
  fields.AddField(u"Nr", u"", mvtWord32, 0, 0, true);
  fields.AddField(u"Body", u"", mvtWideString, 100, 0, false);
  fields.AddField(u"Title", u"", mvtWideString, 50, 0, false);
  TmvMainIndicesDescriptor& indices = *dd->GetIndicesDescriptor();
  static_cast<TmvCompKeyDescriptor*>(indices.AddIndex(u"ByID", 0, idNone, u"")->GetKeyDescriptor())->Add(0);
  if (aLocation)
    static_cast<TmvCompKeyDescriptor*>(indices.AddIndex(u"ByNr", 0, idNone, u"")->GetKeyDescriptor())->Add(1);
  return dd;
}

// The table's new full-text descriptor "Fulltext".
inline TmvFulltextDescriptor& AddFulltext(TmvDataDictionary& aDD, const String& aName = mvFulltextDescriptorName) {
  return *static_cast<TmvFulltextDescriptor*>(
      aDD.GetCustomDescsDescriptor()->AddCustom(aName, &TmvFulltextDescriptor::StaticClass));
}

}  // namespace mvtest
