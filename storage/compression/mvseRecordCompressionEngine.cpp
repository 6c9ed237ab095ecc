// Storage: the record compression engine family. See
// mvseRecordCompressionEngine.h.
#include "storage/compression/mvseRecordCompressionEngine.h"

#include "dictionary/items/mvsdFieldsDescriptor.h"
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

uint32_t TmvBaseRecordCompressionEngine::LargestImage(TmvBaseRecordCompressionDescriptor* aDescriptor,
                                                      TmvFieldsDescriptor* aFields) {
  const String name =
      aDescriptor ? aDescriptor->GetRecordCompressionEngine() : String(mvNullRecordCompressionEngineName);
  const auto& cls = mvSubEngineClass<EmvBaseRecordCompressionEngineException>(StaticClass, u"RecordCompression", name);
  return cls.LargestImage ? cls.LargestImage(aFields) : uint32_t(aFields->RecordLength());
}

void mvseRecordCompressionEngineInit() { TmvBaseSubEngine::RegisterBaseClass(TmvBaseRecordCompressionEngine::StaticClass); }

void mvseRecordCompressionEngineFini() { TmvBaseSubEngine::UnregisterBaseClass(TmvBaseRecordCompressionEngine::StaticClass); }
