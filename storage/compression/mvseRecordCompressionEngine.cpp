// Storage: the record compression engine family. See
// mvseRecordCompressionEngine.h.
#include "storage/compression/mvseRecordCompressionEngine.h"

#include "dictionary/mvsdStorageDescriptors.h"

TmvClassRegistry* TmvBaseRecordCompressionEngine::GetList() {
  return mvFamilyRegistry<TmvBaseRecordCompressionEngine>();
}

constinit const TmvRecordCompressionEngineClassRef TmvBaseRecordCompressionEngine::StaticClass{
    {{u"TmvBaseRecordCompressionEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseRecordCompressionEngine::GetList,
     &TmvBaseSubEngine::NoTableCheck},
    nullptr,
    &TmvBaseRecordCompressionEngine::CheckValidBase};

TmvBaseRecordCompressionEngine::TmvBaseRecordCompressionEngine(TmvBaseRecordCompressionDescriptor* aDescriptor)
    : TmvBaseSubEngine(aDescriptor ? aDescriptor->GetID() : 0, nullptr) {}

TmvBaseRecordCompressionEngine* TmvBaseRecordCompressionEngine::CreateEngine(
    TmvBaseRecordCompressionDescriptor* aDescriptor) {
  const String name =
      aDescriptor ? aDescriptor->GetRecordCompressionEngine() : String(mvNullRecordCompressionEngineName);
  auto create = mvSubEngineConstructor<EmvBaseRecordCompressionEngineException>(
      StaticClass, u"RecordCompression", name, &TmvRecordCompressionEngineClassRef::Create);
  return create(aDescriptor);
}

void TmvBaseRecordCompressionEngine::CheckValidBaseFromDescriptor(TmvBaseRecordCompressionDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvBaseRecordCompressionEngineException>(StaticClass, u"RecordCompression",
                                                            aDescriptor->GetRecordCompressionEngine())
      .CheckValidBase(aDescriptor);
}

void mvseRecordCompressionEngineInit() { TmvBaseSubEngine::RegisterBaseClass(TmvBaseRecordCompressionEngine::StaticClass); }

void mvseRecordCompressionEngineFini() { TmvBaseSubEngine::UnregisterBaseClass(TmvBaseRecordCompressionEngine::StaticClass); }
