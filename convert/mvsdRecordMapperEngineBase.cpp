// Field conversion: the record mapper engine family. See
// mvsdRecordMapperEngineBase.h.
#include "convert/mvsdRecordMapperEngineBase.h"

TmvClassRegistry* TmvBaseRecordMapperEngine::Registry() { return mvFamilyRegistry<TmvBaseRecordMapperEngine>(); }

constinit const TmvRecordMapperEngineClassRef TmvBaseRecordMapperEngine::StaticClass{
    {{u"TmvBaseRecordMapperEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvBaseRecordMapperEngine::Registry,
     nullptr},
    nullptr};

TmvBaseRecordMapperEngine* TmvBaseRecordMapperEngine::CreateFor(TmvBaseRecordMapperDescriptor* aDescriptor,
                                                                TmvAbstractCursor* aSourceCursor,
                                                                TmvAbstractCursor* aTargetCursor) {
  // One engine per run: the class is looked up each time, nothing cached.
  const TmvRegisterableEngineClassRef* found = nullptr;
  const auto& cls = static_cast<const TmvRecordMapperEngineClassRef&>(
      mvEngineClassForDescriptor<EmvBaseRecordMapperEngineException>(StaticClass, aDescriptor->ClassType(),
                                                                     u"RecordMapper", found));
  if (!cls.Construct)
    throw EmvBaseRecordMapperEngineException(15503, u"Unknown %s engine: \"%s\"", {u"RecordMapper", cls.Name()});
  return cls.Construct(aDescriptor, aSourceCursor, aTargetCursor);
}
