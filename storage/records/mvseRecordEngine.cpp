// Storage engines: the record engine interface. See mvseRecordEngine.h.
#include "storage/records/mvseRecordEngine.h"

#include <fstream>

#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "foundation/mvllUtils.h"
#include "storage/files/mvsrBaseFile.h"

namespace {

// The view of the descriptor's file; nil when aFiles does not reach it (an
// engine made only to be looked at; one that stores records refuses that).
TmvBlockAccess* DataFile(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles) {
  const int32_t number = aDescriptor->GetFileNumber();
  return number >= 0 && size_t(number) < aFiles.size() ? aFiles[size_t(number)] : nullptr;
}

TmvBaseTableDescriptor* TableOf(TmvBaseRecordDescriptor* aDescriptor) {
  auto* table = dynamic_cast<TmvBaseTableDescriptor*>(aDescriptor->GetParent());
  if (!table) throw EmvBaseRecordEngineException(MVERR_INVALIDPARAM, String(u"Record descriptor without a table"));
  return table;
}

}  // namespace

TmvClassRegistry* TmvBaseRecordEngine::GetList() { return mvFamilyRegistry<TmvBaseRecordEngine>(); }

constinit const TmvRecordEngineClassRef TmvBaseRecordEngine::StaticClass{
    {{u"TmvBaseRecordEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseRecordEngine::GetList,
     &TmvBaseRecordEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseRecordEngine::CheckValidDescriptor};

TmvBaseRecordEngine* TmvBaseRecordEngine::CreateEngine(TmvBaseTableDescriptor* aTableDescriptor,
                                                       const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans) {
  return CreateEngine(aTableDescriptor->GetRecordDescriptor(), aFiles, aTrans);
}

TmvBaseRecordEngine* TmvBaseRecordEngine::CreateEngine(TmvBaseRecordDescriptor* aDescriptor,
                                                       const TmvBlockAccessArray& aFiles, TmvBaseTransaction* aTrans) {
  if (!aDescriptor) return nullptr;
  auto create = mvSubEngineConstructor<EmvBaseRecordEngineException>(
      StaticClass, u"Record", aDescriptor->GetRecordEngine(), &TmvRecordEngineClassRef::Create);
  return create(aDescriptor, aFiles, aTrans);
}

bool TmvBaseRecordEngine::FitRecordFileBlockSize(TmvBaseTableDescriptor* aTableDescriptor,
                                                 TmvBaseRecordDescriptor* aRecord, int32_t aOverhead) {
  const int32_t needed = aTableDescriptor->GetFieldsDescriptor()->RecordLength() + aOverhead;
  return FitRecordFileBlockSize(aTableDescriptor, aRecord, [needed](int32_t aUsable) { return aUsable >= needed; });
}

bool TmvBaseRecordEngine::FitRecordFileBlockSize(TmvBaseTableDescriptor* aTableDescriptor,
                                                 TmvBaseRecordDescriptor* aRecord,
                                                 const std::function<bool(int32_t aUsable)>& aHolds) {
  TmvDataDictionary* dictionary = dynamic_cast<TmvDataDictionary*>(aTableDescriptor);
  if (!dictionary) dictionary = aTableDescriptor->GetParentOfType<TmvDataDictionary>();
  int32_t code = 0;
  while (code < mvBlockSizeCount && !aHolds(dictionary->UsableBlockSize(TmvBlockSize(code)))) ++code;
  if (code == mvBlockSizeCount) return false;
  TmvFileDescriptor* file = dictionary->GetFilesDescriptor()->FileDescriptor(aRecord->GetFileNumber());
  if (file->GetBlockSize() < code) file->SetBlockSize(TmvBlockSize(code));
  return true;
}

void TmvBaseRecordEngine::CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor) {
  TmvBaseRecordDescriptor* descriptor = aTableDescriptor->GetRecordDescriptor();
  if (!descriptor) return;
  mvSubEngineClass<EmvBaseRecordEngineException>(StaticClass, u"Record", descriptor->GetRecordEngine())
      .CheckValidDescriptor(aTableDescriptor);
}

TmvBaseRecordEngine::TmvBaseRecordEngine(TmvBaseRecordDescriptor* aDescriptor, const TmvBlockAccessArray& aFiles)
    : TmvBaseSubEngine(aDescriptor->GetID(), aFiles.empty() ? nullptr : aFiles[0]),
      breDataFile(DataFile(aDescriptor, aFiles)) {
  TmvBaseTableDescriptor* table = TableOf(aDescriptor);
  breFieldsDescriptor = table->GetFieldsDescriptor();
  breRecordLength = uint16_t(breFieldsDescriptor->RecordLength());
  breRecordAllocator = breFieldsDescriptor->RecordAllocator();
  int32_t field = -1;
  if (table->GetCachingState() != tcsIsCache && breFieldsDescriptor->HasRefNrField(field)) breRefNrField = field;
  TempRecBuf = static_cast<uint8_t*>(mvMemoryPoolAlloc(breRecordAllocator));
}

TmvBaseRecordEngine::~TmvBaseRecordEngine() {
  void* buffer = TempRecBuf;
  TempRecBuf = nullptr;
  if (buffer) mvMemoryPoolDispose(breRecordAllocator, buffer);
}

bool TmvBaseRecordEngine::CanAddField(TmvFieldDescriptor*) { return false; }

void TmvBaseRecordEngine::Rollback(TmvBaseTransaction*) {}

void TmvBaseRecordEngine::SetRefNrField(uint8_t* aRecord, TmvRefNr aRefNr) const {
  if (breRefNrField < 0 || !aRecord) return;
  uint8_t value[8];
  mvPutU64(value, 0, uint64_t(aRefNr));
  breFieldsDescriptor->SetRecordField(breRefNrField, aRecord, value);
}

uint32_t TmvBaseRecordEngine::breGetRecordCount(TmvBaseTransaction* aTrans) {
  uint32_t count = 0;
  GetRecordCount(aTrans, count);
  return count;
}

void TmvBaseRecordEngine::_SaveAll(TmvBaseTransaction* aTrans, const String& aFileName) {
  const String name = aFileName.empty() ? GetTempPath() + u"RecordDump.txt" : aFileName;
  std::ofstream out(UTF8Encode(name), std::ios::binary | std::ios::trunc);
  if (!out) throw EmvBaseRecordEngineException(MVERR_INVALIDPARAM, Format(u"Cannot write \"%s\"", {name}));
  TmvRefNr refNr = 0;
  uint8_t* data = TempRecBuf;
  Iterate(aTrans, refNr, data, [&](void*, TmvRefNr aRefNr, const uint8_t* aRecord) {
    out << UTF8Encode(breFieldsDescriptor->RecordBufferToString(aRecord)) << ": " << aRefNr << "\r\n";
    return rirContinue;
  }, nullptr, nullptr, false, false);
}

void mvseRecordEngineInit() { TmvBaseSubEngine::RegisterBaseClass(TmvBaseRecordEngine::StaticClass); }

void mvseRecordEngineFini() { TmvBaseSubEngine::UnregisterBaseClass(TmvBaseRecordEngine::StaticClass); }
