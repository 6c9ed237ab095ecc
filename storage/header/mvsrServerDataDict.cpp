// Storage: the data dictionary of an open table. See mvsrServerDataDict.h.
#include "storage/header/mvsrServerDataDict.h"

#include "foundation/mvllStreams.h"
#include "platform/Guid.h"
#include "storage/files/mvsrEncryption.h"
#include "storage/header/mvsrFileHeader.h"
#include "storage/streams/mvseStreamEngine.h"

constinit const TmvTableDescriptorClassRef TmvServerDataDict::StaticClass{
    {{{u"TmvServerDataDict", &TmvDataDictionary::StaticClass}, &TmvBaseTableDescriptor::Registry, nullptr}, nullptr},
    nullptr};

void TmvServerDataDict::ReadFromFile(TmvBaseStreamEngine* aStreamEngine, TmvBaseTransaction* aTrans) {
  TmvBlockAccess* file = aStreamEngine->bseDataFile;
  TmvMemoryStream stream;
  const int32_t code = aStreamEngine->ReadNamedStream(aTrans, u"DICT", stream);
  if (code == MVERR_OBJNOTFOUND)
    throw EmvServerDataDictException(MVERR_CANNOTOPENFILE, u"The data dictionary is missing (%s)", {file->fiName()});
  if (code != 0) throw EmvServerDataDictException(code);
  ReadFromStream(stream, file->BaseName());
  SetHeaderSignature(file->_File()->fiHeaderSignature);
  ForceOnReadOnly();
}

void TmvServerDataDict::WriteToFile(TmvBaseStreamEngine* aStreamEngine, TmvBaseTransaction* aTrans, int32_t aVersion) {
  CheckValid(false);
  SetBaseName(aStreamEngine->bseDataFile->BaseName());
  TmvMemoryStream stream;
  WriteToStream(stream, aVersion);
  const int32_t code = aStreamEngine->WriteNamedStream(aTrans, u"DICT", stream);
  if (code != 0) throw EmvServerDataDictException(code);
  ForceOnReadOnly();
}

void TmvServerDataDict::CheckValid(bool aForBuild) {
  TmvDataDictionary::CheckValid(aForBuild);
  TmvBaseFileHeaderAccessFactory::CheckValid(GetHeaderSignature(), aForBuild);
  TmvBaseSubEngine::CheckValidAll(this);
}

int32_t TmvServerDataDict::UsableBlockSize(TmvBlockSize aBlockSize) {
  int64_t usable = TmvDataDictionary::UsableBlockSize(aBlockSize);
  if (!GetEncryptionEngine().empty())
    usable -= TmvBaseEncryptionEngine::ReservedSpacePerBlock(GetEncryptionEngine(), false, aBlockSize);
  usable -= TmvBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(GetHeaderSignature());
  return int32_t(usable);
}

bool TmvServerDataDict::IsSameClass(const TmvDictionaryItem* aItem) const {
  if (TmvDataDictionary::IsSameClass(aItem)) return true;
  return aItem && &ClassType() == &StaticClass && &aItem->ClassType() == &TmvDataDictionary::StaticClass;
}

void TmvServerDataDict::ForceOffReadOnly() {
  ddReadOnly = false;
  DeactivateCache();
}

void TmvServerDataDict::RecreateGuid() { ddGuid = CreateGUID(); }
