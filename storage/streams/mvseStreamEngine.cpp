// Storage: the stream engine family. See mvseStreamEngine.h.
#include "storage/streams/mvseStreamEngine.h"

#include "dictionary/mvsdDataDictionary.h"

TmvClassRegistry* TmvBaseStreamEngine::GetList() { return mvFamilyRegistry<TmvBaseStreamEngine>(); }

constinit const TmvStreamEngineClassRef TmvBaseStreamEngine::StaticClass{
    {{u"TmvBaseStreamEngine", &TmvBaseSubEngine::StaticClass},
     &TmvBaseStreamEngine::GetList,
     &TmvBaseStreamEngine::CheckValidFromDictionary},
    nullptr,
    &TmvBaseStreamEngine::CheckValidDescriptor};

TmvBaseStreamEngine::TmvBaseStreamEngine(TmvBaseStreamDescriptor* aDescriptor, TmvBlockAccess* aDataFile)
    : TmvBaseSubEngine(aDescriptor ? aDescriptor->GetID() : 0, aDataFile), bseDataFile(aDataFile) {}

TmvBaseStreamEngine* TmvBaseStreamEngine::CreateEngine(TmvBaseStreamDescriptor* aDescriptor, TmvBlockAccess* aDataFile,
                                                       TmvBaseTransaction* aTrans) {
  auto create = mvSubEngineConstructor<EmvStreamEngineException>(
      StaticClass, u"stream", aDataFile->_File()->fiStreamEngineName, &TmvStreamEngineClassRef::Create);
  return create(aDescriptor, aDataFile, aTrans);
}

TmvBaseStreamEngine* TmvBaseStreamEngine::CreateEngine(TmvDataDictionary* aDictionary, TmvBlockAccess* aDataFile,
                                                       TmvBaseTransaction* aTrans) {
  return CreateEngine(aDictionary->GetStreamDescriptor(), aDataFile, aTrans);
}

void TmvBaseStreamEngine::CheckValidFromDescriptor(TmvBaseStreamDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  mvSubEngineClass<EmvStreamEngineException>(StaticClass, u"stream", aDescriptor->GetStreamEngine())
      .CheckValidDescriptor(aDescriptor);
}

void TmvBaseStreamEngine::CheckValidFromDictionary(TmvBaseTableDescriptor* aTableDescriptor) {
  if (auto* dictionary = dynamic_cast<TmvDataDictionary*>(aTableDescriptor))
    CheckValidFromDescriptor(dictionary->GetStreamDescriptor());
}

void TmvBaseStreamEngine::Initialize(TmvBaseStreamDescriptor* aDescriptor) {
  bseID = aDescriptor ? aDescriptor->GetID() : 0;
}

void TmvBaseStreamEngine::Initialize(TmvDataDictionary* aDictionary) { Initialize(aDictionary->GetStreamDescriptor()); }

void mvseStreamEngineInit() { TmvBaseSubEngine::RegisterBaseClass(TmvBaseStreamEngine::StaticClass); }

void mvseStreamEngineFini() { TmvBaseSubEngine::UnregisterBaseClass(TmvBaseStreamEngine::StaticClass); }
