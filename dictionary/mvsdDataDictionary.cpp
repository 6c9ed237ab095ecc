// Data dictionary: the complete schema of one table file and its stream. See
// mvsdDataDictionary.h.
#include "dictionary/mvsdDataDictionary.h"

#include <algorithm>

#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/mvsdDictionaryVersions.h"
#include "platform/Guid.h"

namespace {

constexpr char16_t SGuidName[] = u"$GUID";
constexpr char16_t SCacheGuidName[] = u"$CacheGUID";
constexpr char16_t SCacheCurrentIDName[] = u"$CacheCurrentID";
constexpr char16_t SMissingInformationName[] = u"$MissingInformation";
constexpr char16_t SHigherVersionRequired[] = u"Higher dictionary version required";
constexpr char16_t SStreamRequired[] = u"A stream descriptor is required";
constexpr char16_t SBlobFileDefined[] = u"A BLOB file has already been defined";
constexpr char16_t SStripped[] =
    u"This DataDictionary is missing information which was stripped to make it compatible with an older client "
    u"version and can't be used to restructure or create a table.";
constexpr char16_t SDefaultFileDesc[] = u"Data/DataDict File";
constexpr char16_t SStreamErrorInfo[] = u"StreamError";

[[noreturn]] void RaiseIncompatibleStream() { mvRaiseCode<EmvDataDictionaryException>(MVERR_INCOMPATIBLESTREAM); }
[[noreturn]] void RaiseHigherVersionRequired() {
  throw EmvDataDictionaryException(MVERR_INCOMPATIBLESTREAM, String(SHigherVersionRequired));
}

// The version written for a peer: the dictionary's own, lowered to what the
// peer reads.
int32_t WrittenVersion(int32_t aVersion, int32_t aClientVersion) {
  if (aClientVersion < mvPeerVersionDictionaryV3) aVersion = std::min(aVersion, 2);
  if (aClientVersion < mvPeerVersionDictionaryV4) aVersion = std::min(aVersion, 3);
  if (aClientVersion < mvPeerVersionDictionaryV5) aVersion = std::min(aVersion, 4);
  return aVersion;
}

bool HasInternalIndexes(TmvBaseTableDescriptor& aTable) {
  TmvInternalIndicesDescriptor* internal = aTable.GetInternalIndicesDescriptor();
  if (internal && internal->IndexCount() > 0) return true;
  TmvTablesDescriptor* tables = aTable.GetTablesDescriptor();
  for (int32_t i = 0; i < tables->TableCount(); ++i)
    if (HasInternalIndexes(*tables->TableDescriptor(i))) return true;
  return false;
}

// Whether writing aTable and its nested tables for the peer drops anything:
// the dictionary's item header, written first, must already say so.
bool DropsInformation(TmvBaseTableDescriptor& aTable, int32_t aClientVersion) {
  return (aClientVersion < mvPeerVersionRefNrFields && aTable.HasAnyRefNrField()) ||
         (aClientVersion < mvPeerVersionInternalIndices && HasInternalIndexes(aTable));
}

// A GUID kept in a custom string; a damaged one is a damaged stream.
TGUID GuidValue(const String& aText) {
  TGUID guid;
  if (!TryStringToGUID(aText, guid)) RaiseIncompatibleStream();
  return guid;
}

}  // namespace

constinit const TmvTableDescriptorClassRef TmvDataDictionary::StaticClass{
    {{{u"TmvDataDictionary", &TmvBaseTableDescriptor::StaticClass}, &TmvBaseTableDescriptor::Registry, nullptr},
     nullptr},
    nullptr};

// The parts are made here, once this is a data dictionary, so that they
// take their IDs from it: fields 1, custom descriptors 2, nested tables 3,
// files 4, then the defaults.
TmvDataDictionary::TmvDataDictionary() : TmvBaseTableDescriptor(nullptr) {
  try {
    CreateParts();
    ddFilesDescriptor = new TmvFilesDescriptor(this);
    Clear(false);
  } catch (...) {
    FreeParts();
    mvFreeAndNil(ddStreamDescriptor);
    mvFreeAndNil(ddFilesDescriptor);
    throw;
  }
}

// The table's parts unregister from the files descriptor through this
// dictionary: they go while it still answers for the files.
TmvDataDictionary::~TmvDataDictionary() {
  ddReadOnly = false;
  FreeParts();
  mvFreeAndNil(ddStreamDescriptor);
  mvFreeAndNil(ddFilesDescriptor);
}

int32_t TmvDataDictionary::GetNextID() {
  ddCurrentID = int32_t(uint32_t(ddCurrentID) + 1u);  // a stored counter may stand at the top
  return ddCurrentID;
}

int32_t TmvDataDictionary::UsableBlockSize(TmvBlockSize aBlockSize) { return mvBlockSizeBytes(aBlockSize); }

TmvBaseStreamDescriptor* TmvDataDictionary::AddStreamDescriptor(const TmvStorageDescriptorClassRef* aClass) {
  return mvReplaceStorageDescriptor(*this, ddStreamDescriptor, aClass ? *aClass : TmvBaseStreamDescriptor::StaticClass,
                                    "Stream", u"StreamDescriptor");
}

void TmvDataDictionary::RemoveStreamDescriptor() { RemoveSubItem(ddStreamDescriptor); }

int32_t TmvDataDictionary::GetFileFromExt(const String& aFileExt) {
  return ddFilesDescriptor ? ddFilesDescriptor->GetFileFromExt(aFileExt) : -1;
}

void TmvDataDictionary::SetBaseName(const String& aValue) {
  CheckReadOnly();
  ddBaseName = aValue;
}

void TmvDataDictionary::SetUseByteOrderForWideString(bool aValue) {
  CheckReadOnly();
  ddUseByteOrderForWideString = aValue;
}

void TmvDataDictionary::SetHeaderSignature(const TmvBlockSignature& aValue) {
  CheckReadOnly();
  ddHeaderSignature = aValue;
}

void TmvDataDictionary::SetEncryptionEngine(const String& aValue) {
  CheckReadOnly();
  ddEncryptionEngine = aValue;
}

void TmvDataDictionary::SetVersionChecked(int32_t aVersion) {
  if (aVersion == ddVersion) return;
  CheckReadOnly();
  ddVersion = aVersion;
}

// ---------------------------------------------------------------------------
// Clearing and copying

// The caches go first: their derived values refer to the parts about to be
// freed. A dictionary once read from a stripped stream is not stripped any
// more once it is cleared.
void TmvDataDictionary::ClearDescriptors(bool aNoDefaults, bool aNotify) {
  DeactivateCache();
  ddGuid = CreateGUID();
  ddCacheGuid = GUID_NULL;
  ddCacheCurrentID = 0;
  ddMissingInformation = false;
  ddUseByteOrderForWideString = !mvDisable30900LocaleFixes;
  ddReadOnly = false;
  ddBaseName.clear();
  TmvBaseTableDescriptor::ClearDescriptors(aNoDefaults, aNotify);
  ddFilesDescriptor->Clear(aNotify);
  ddVersion = 3;
  RemoveStreamDescriptor();
  ddHeaderSignature = mvHeaderSignatureV2;
  ddEncryptionEngine.clear();
  if (!aNoDefaults) InstallDefaults();
}

void TmvDataDictionary::InstallDefaults() {
  AddStreamDescriptor();
  AddRecordDescriptor();
  ddFilesDescriptor->AddFile(u"", mvbs4k, SDefaultFileDesc);
  AddIndicesDescriptor()->AddIndex(mvSequentialAccessIndexName, 0, idNone, mvSequentialAccessIndexName,
                                   &TmvRefKeyDescriptor::StaticClass);
}

void TmvDataDictionary::AssignOnlyFields(TmvBaseTableDescriptor* aSource) {
  TmvBaseTableDescriptor::AssignOnlyFields(aSource);
  RemoveIndicesDescriptor();
}

void TmvDataDictionary::Assign(const TPersistent* aSource) {
  CheckReadOnly();
  auto* source = dynamic_cast<TmvDataDictionary*>(const_cast<TPersistent*>(aSource));
  if (!source) {
    TmvBaseTableDescriptor::Assign(aSource);
    return;
  }
  TmvMemoryStream stream;
  source->WriteToStream(stream, mvPeerVersionOwn);
  const String baseName = source->ddBaseName;  // the source may be this dictionary
  stream.SetPosition(0);
  Clear(false);
  ReadFromStream(stream, baseName);
}

TmvDataDictionary* TmvDataDictionary::Duplicate() {
  auto* copy = new TmvDataDictionary();
  try {
    copy->Assign(this);
  } catch (...) {
    delete copy;
    throw;
  }
  return copy;
}

// The values that writing keeps in custom strings are stored now, while the
// tree is still private, so that writing the frozen tree changes nothing in
// it: any number of threads may then write it at once.
void TmvDataDictionary::MakeReadOnly() {
  StoreCustomValues();
  StoreCachingState(true);
  ddReadOnly = true;
  ActivateCache();
}

// ---------------------------------------------------------------------------
// Overrides of the table

bool TmvDataDictionary::ItemRequiresPack() { return TmvBaseTableDescriptor::ItemRequiresPack() || ddVersion < 2; }

bool TmvDataDictionary::FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                                    TmvDictionaryItem* aFrom) {
  if (aType.InheritsFrom(&TmvFilesDescriptor::StaticClass)) {
    aDescriptor = ddFilesDescriptor && ddFilesDescriptor->InheritsFrom(aType) ? ddFilesDescriptor : nullptr;
    return true;
  }
  if (aType.InheritsFrom(&TmvBaseStreamDescriptor::StaticClass)) {
    aDescriptor = ddStreamDescriptor && ddStreamDescriptor->InheritsFrom(aType) ? ddStreamDescriptor : nullptr;
    return true;
  }
  return TmvBaseTableDescriptor::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TmvDataDictionary::CheckValid(bool aForBuild) {
  if (aForBuild) NormaliseForBuild();
  if (!ddStreamDescriptor) throw EmvDataDictionaryException(MVERR_INVALIDDESC, String(SStreamRequired));
  ddStreamDescriptor->CheckValid(aForBuild);
  ddFilesDescriptor->CheckValid(aForBuild);
  TmvBaseTableDescriptor::CheckValid(aForBuild);
}

// Raises the version to the current form for building a table, in these
// steps. The wide-string byte order belongs to version 4 and up: it is
// switched on with the step from 3 to 4 and off with the step back.
void TmvDataDictionary::NormaliseForBuild() {
  if (ddMissingInformation) throw EmvDataDictionaryException(MVERR_UNSUPPORTEDDESCRIPTOR, String(SStripped));
  if (ddVersion == 1) {
    SetVersionChecked(2);
    tdFieldsDescriptor->UpdateLogRecLenAlign();  // version-1 records are not 4-aligned
  }
  if (ddVersion == 2) SetVersionChecked(3);
  if (!mvDisable30900LocaleFixes && ddVersion == 3) {
    SetVersionChecked(4);
    ddUseByteOrderForWideString = true;
  }
  if (HasCachingSupport(tcsNone) || HasAnyRefNrField()) {
    if (ddVersion < 5) SetVersionChecked(5);
  } else if (ddVersion == 5) {
    SetVersionChecked(4);
  }
  if (mvDisable30900LocaleFixes && ddVersion == 4) {
    SetVersionChecked(3);
    ddUseByteOrderForWideString = false;
  }
  if (ddHeaderSignature == mvHeaderSignatureV1) {
    CheckReadOnly();
    ddHeaderSignature = mvHeaderSignatureV2;
  }
}

bool TmvDataDictionary::IsEqual(TmvDictionaryItem* aItem) {
  if (!TmvBaseTableDescriptor::IsEqual(aItem)) return false;
  auto* other = dynamic_cast<TmvDataDictionary*>(aItem);
  return other && SameClassName(ddEncryptionEngine, other->ddEncryptionEngine) &&
         mvOptionalItemsEqual(ddStreamDescriptor, other->ddStreamDescriptor) &&
         mvOptionalItemsEqual(ddFilesDescriptor, other->ddFilesDescriptor);
}

// ---------------------------------------------------------------------------
// Values kept in custom strings

// Each value changes the custom strings only when it differs from what they
// hold; an empty value removes its line.
void TmvDataDictionary::StoreCustomValues() {
  auto store = [this](const char16_t* aName, const String& aValue) {
    if ((diCustomStrings ? diCustomStrings->Values(aName) : String()) == aValue) return;
    GetCustomStrings().SetValue(aName, aValue);
  };
  store(SGuidName, GUIDToString(ddGuid));
  store(SCacheGuidName, ddCacheGuid == GUID_NULL ? String() : GUIDToString(ddCacheGuid));
  store(SCacheCurrentIDName, ddCacheCurrentID != 0 ? mvIntToStr(ddCacheCurrentID) : String());
  store(SMissingInformationName, ddMissingInformation ? String(u"True") : String());
}

void TmvDataDictionary::TakeBackCustomValues() {
  ddCacheGuid = GUID_NULL;
  ddCacheCurrentID = 0;
  if (!diCustomStrings) return;
  auto present = [this](const char16_t* aName) { return diCustomStrings->IndexOfName(aName) >= 0; };
  if (present(SGuidName)) ddGuid = GuidValue(diCustomStrings->Values(SGuidName));
  if (present(SCacheGuidName)) ddCacheGuid = GuidValue(diCustomStrings->Values(SCacheGuidName));
  if (present(SCacheCurrentIDName))
    ddCacheCurrentID = mvAnsiStrToIntDef(UTF8Encode(diCustomStrings->Values(SCacheCurrentIDName)), 0);
  if (present(SMissingInformationName)) ddMissingInformation = true;
}

// ---------------------------------------------------------------------------
// The stream

void TmvDataDictionary::WriteToStream(TStream& aStream, int32_t aClientVersion) {
  TmvWriter writer(aStream);
  WriteToWriter(writer, aClientVersion);
  writer.FlushBuffer();
}

void TmvDataDictionary::ReadFromStream(TStream& aStream, const String& aBaseName) {
  ClearDescriptors(true, false);
  mvFreeAndNil(tdInternalIndicesDescriptor);  // the stream holds the table's whole schema
  try {
    ddBaseName = aBaseName;
    {
      TmvReader reader(aStream);
      ReadFromReader(reader);
    }
    CheckValid(false);
  } catch (...) {
    ClearDescriptors(false, false);
    mvFreeAndNil(tdInternalIndicesDescriptor);
    throw;
  }
}

void TmvDataDictionary::WriteToWriter(TmvWriter& aWriter, int32_t aClientVersion) {
  mvSetMissingInformation(false);
  StoreCustomValues();
  const int32_t version = WrittenVersion(ddVersion, aClientVersion);
  aWriter.WriteIdent(mvDataDictionaryMarker);
  aWriter.WriteInteger(version);
  aWriter.Write(ddHeaderSignature.data(), int32_t(ddHeaderSignature.size()));
  aWriter.WriteString(ddEncryptionEngine);
  if (version > 2)
    WriteCurrentLayout(aWriter, aClientVersion, version);
  else
    WriteLegacyLayout(aWriter, aClientVersion, version);
  aWriter.WriteIdent(mvDataDictionaryMarker);
}

// A stream that ends early or holds a value of another kind than the layout
// asks for is a damaged dictionary stream: 15498, with the stream's own
// complaint kept as a custom info.
void TmvDataDictionary::ReadFromReader(TmvReader& aReader) {
  CheckReadOnly();
  try {
    mvReadSection(aReader, mvDataDictionaryMarker);
    ddVersion = mvReadStreamVersion(aReader, 1, 5);
    aReader.Read(ddHeaderSignature.data(), int32_t(ddHeaderSignature.size()));
    ddEncryptionEngine = aReader.ReadString();
    RemoveStreamDescriptor();
    ddUseByteOrderForWideString = false;
    if (ddVersion > 2)
      ReadCurrentLayout(aReader);
    else
      ReadLegacyLayout(aReader);
    mvReadSection(aReader, mvDataDictionaryMarker);
    TakeBackCustomValues();
  } catch (const EmvBaseException&) {
    throw;
  } catch (const EAssertionFailed&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw EmvDataDictionaryException(MVERR_NOMEMORY);
  } catch (const std::exception& e) {
    // A stream read error, or anything else of the platform or the standard
    // library that damaged bytes led to: the stream is not one of ours.
    const auto* platform = dynamic_cast<const Exception*>(&e);
    EmvDataDictionaryException error(MVERR_INCOMPATIBLESTREAM, String());
    error.CustomInfos().SetValue(SStreamErrorInfo, platform ? platform->Message() : UTF8ToString(e.what()));
    throw error;
  }
}

// After the encryption engine (version V > 2):
//   boolean  UseByteOrderForWideString                 (V > 3)
//   ident    "StreamDescriptor", boolean, [class name, body]
//   ident    "FilesDescriptor", true, class name, body
//   the table body of the root table
//   ident    "CurrentID", integer
void TmvDataDictionary::WriteCurrentLayout(TmvWriter& aWriter, int32_t aClientVersion, int32_t aVersion) {
  if (aVersion > 3) aWriter.WriteBoolean(ddUseByteOrderForWideString);
  mvWritePart(aWriter, u"StreamDescriptor", ddStreamDescriptor, aClientVersion);
  mvWritePart(aWriter, u"FilesDescriptor", ddFilesDescriptor, aClientVersion);
  if (DropsInformation(*this, aClientVersion)) mvSetMissingInformation(true);
  SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteIdent(u"CurrentID");
  aWriter.WriteInteger(ddCurrentID);
}

void TmvDataDictionary::ReadCurrentLayout(TmvReader& aReader) {
  if (ddVersion > 3) ddUseByteOrderForWideString = aReader.ReadBoolean();
  mvReadPart(aReader, u"StreamDescriptor", TmvBaseStreamDescriptor::StaticClass,
             [this](auto* aClass) { return AddStreamDescriptor(aClass); });
  mvReadSection(aReader, u"FilesDescriptor");
  mvReadFixedPart(aReader, *ddFilesDescriptor, u"FilesDescriptor");
  LoadFromReader(aReader);
  mvReadSection(aReader, u"CurrentID");
  ddCurrentID = aReader.ReadInteger();
}

// The old layout (V <= 2), after the encryption engine:
//   string   stream engine ("mv1xDefault" without a stream descriptor)
//   string   auto-increment engine (likewise)
//   string   indices engine of the main indexes (likewise)
//   ident    "RecordDescriptor", boolean, [class name, body]
//   ident    "BlobDescriptor", boolean, [class name, body]
//   ident    "FileDescriptor", integer count, per file: class name,
//            extension, integer kind (0 file 0, 2 the BLOB file, else 1), body
//   ident    "FieldDescriptor", integer count, per field: class name, name,
//            description, type name, units, decimals, required, body
//   ident    "IndexDescriptor", integer count, per index: class names of the
//            index and of its key, name, file number, body; then integer
//            default index (without main indexes: 0 and -1)
//   integer  LogRecLen
//   integer  logical record length                     (V = 2)
//   ident    "CustomDescriptor", integer count, per descriptor: class name,
//            name, body
// It has no item header of the dictionary, no table locale and no Guid, BCD
// or FmtBCD fields (15498 "Higher dictionary version required"); nested
// tables, internal indexes and the details of the auto-increment engine
// are not written.
void TmvDataDictionary::WriteLegacyLayout(TmvWriter& aWriter, int32_t aClientVersion, int32_t aVersion) {
  if (ldiLocaleDescriptor) RaiseHigherVersionRequired();
  for (int32_t i = 0; i < tdFieldsDescriptor->FieldCount(); ++i) {
    const TmvFieldType type = tdFieldsDescriptor->FieldDescriptor(i)->FieldType();
    if (type == mvtGuid || type == mvtBCD || type == mvtFmtBCD) RaiseHigherVersionRequired();
  }
  const String defaultEngine(mvDefaultEngineName);
  aWriter.WriteString(ddStreamDescriptor ? ddStreamDescriptor->GetStreamEngine() : defaultEngine);
  aWriter.WriteString(tdAutoIncDescriptor ? tdAutoIncDescriptor->GetAutoIncEngine() : defaultEngine);
  aWriter.WriteString(tdIndicesDescriptor ? tdIndicesDescriptor->GetIndicesEngine() : defaultEngine);
  mvWritePart(aWriter, u"RecordDescriptor", tdRecordDescriptor, aClientVersion);
  mvWritePart(aWriter, u"BlobDescriptor", tdBlobDescriptor, aClientVersion);
  aWriter.WriteIdent(u"FileDescriptor");
  ddFilesDescriptor->WriteFiles(aWriter, aClientVersion, [this](TmvWriter& aKindWriter, int32_t aFile) {
    const bool blobFile = tdBlobDescriptor && tdBlobDescriptor->GetFileNumber() == aFile;
    aKindWriter.WriteInteger(aFile == 0 ? 0 : blobFile ? 2 : 1);
  });
  aWriter.WriteIdent(u"FieldDescriptor");
  tdFieldsDescriptor->WriteFields(aWriter, aClientVersion);
  aWriter.WriteIdent(u"IndexDescriptor");
  if (tdIndicesDescriptor) {
    tdIndicesDescriptor->WriteIndexes(aWriter, aClientVersion);
    aWriter.WriteInteger(tdIndicesDescriptor->GetDefaultIndex());
  } else {
    aWriter.WriteInteger(0);
    aWriter.WriteInteger(-1);
  }
  aWriter.WriteInteger(tdFieldsDescriptor->LogRecLen());
  if (aVersion >= 2) aWriter.WriteInteger(tdFieldsDescriptor->LogicalRecordLength());
  aWriter.WriteIdent(u"CustomDescriptor");
  tdCustomDescsDescriptor->WriteCustoms(aWriter, aClientVersion);
}

// The old layout has no item header: the dictionary keeps no custom strings
// of an earlier content.
void TmvDataDictionary::ReadLegacyLayout(TmvReader& aReader) {
  diCustomStrings.reset();
  AddStreamDescriptor()->SetStreamEngine(aReader.ReadString());
  AddAutoIncDescriptor()->SetAutoIncEngine(aReader.ReadString());
  AddIndicesDescriptor()->SetIndicesEngine(aReader.ReadString());
  mvReadSection(aReader, u"RecordDescriptor");
  auto* recordClass = mvReadOptionalClass(aReader, TmvBaseRecordDescriptor::StaticClass, u"RecordDescriptor");
  TmvBaseRecordDescriptor* record = AddRecordDescriptor(recordClass);
  if (recordClass) record->LoadFromReader(aReader);
  mvReadSection(aReader, u"BlobDescriptor");
  auto* blobClass = mvReadOptionalClass(aReader, TmvBaseBlobDescriptor::StaticClass, u"BlobDescriptor");
  TmvBaseBlobDescriptor* blob = AddBlobDescriptor(blobClass);
  if (blobClass) blob->LoadFromReader(aReader);
  mvReadSection(aReader, u"FileDescriptor");
  ReadLegacyFiles(aReader);
  mvReadSection(aReader, u"FieldDescriptor");
  tdFieldsDescriptor->ReadFields(aReader);
  mvReadSection(aReader, u"IndexDescriptor");
  ReadLegacyIndexes(aReader);
  const int32_t logRecLen = aReader.ReadInteger();
  tdFieldsDescriptor->SetStoredLengths(logRecLen, ddVersion >= 2 ? aReader.ReadInteger() : logRecLen);
  mvReadSection(aReader, u"CustomDescriptor");
  tdCustomDescsDescriptor->ReadCustoms(aReader);
}

// A file of kind 0 must be file 0 and has no extension; the file of kind 2
// is the BLOB file, which only one file may be (the BLOB descriptor may
// already name it, or file 0).
void TmvDataDictionary::ReadLegacyFiles(TmvReader& aReader) {
  int32_t blobFile = tdBlobDescriptor->GetFileNumber();
  ddFilesDescriptor->ReadFiles(aReader, [&](TmvReader& aKindReader, int32_t aFile, String& aExtension) {
    const int32_t kind = aKindReader.ReadInteger();
    if (kind == 0) {
      if (aFile != 0) RaiseIncompatibleStream();
      aExtension.clear();
    } else if (kind == 2) {
      if (blobFile != 0 && blobFile != aFile)
        throw EmvDataDictionaryException(MVERR_INVALIDDESC, String(SBlobFileDefined));
      blobFile = aFile;
    } else if (kind != 1) {
      RaiseIncompatibleStream();
    }
  });
  // Set once the file exists, so that the number is checked against the files.
  if (blobFile != tdBlobDescriptor->GetFileNumber()) tdBlobDescriptor->SetFileNumber(blobFile);
}

void TmvDataDictionary::ReadLegacyIndexes(TmvReader& aReader) {
  tdIndicesDescriptor->ReadIndexes(aReader);
  const int32_t defaultIndex = aReader.ReadInteger();
  if (tdIndicesDescriptor->IndexCount() < 1)
    RemoveIndicesDescriptor();
  else
    tdIndicesDescriptor->SetDefaultIndex(defaultIndex);
}
