// Server engine: the referential-integrity engine. See mvseRefIntEngine.h.
#include "server/mvseRefIntEngine.h"

#include "dictionary/filters/mvsdDefaultValueEngines.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"
#include "foundation/errors/mvllErrors.h"
#include "server/mvsdPadlockGuard.h"
#include "server/mvsdServerLog.h"
#include "server/mvsrServerBaseCursor.h"
#include "storage/mvsrTimeoutHandling.h"

// ---------------------------------------------------------------------------
// The field conversion hook

namespace {

TmvRefIntMapperHook& Hook() {
  static TmvRefIntMapperHook hook;
  return hook;
}

constexpr char16_t kViolation[] = u"Referential Integrity Violation. ";

template <typename E>
[[noreturn]] void RaiseUnknown(std::u16string_view aWord, const ClassRef& aClass) {
  throw E(MVERR_UNSUPPORTEDSUBENGINE, u"Unknown %s engine: \"%s\"", {String(aWord), aClass.Name()});
}

// The engine of a descriptor: the class of its name in the family (found
// once and kept in the descriptor's aCache), made through the family's
// constructor aCreate; 15503 for a class that is missing or abstract.
template <typename E, typename R, typename F, typename P, typename D>
auto CreatePart(const R& aFamily, std::u16string_view aWord, F R::*aCreate, P* aParent, D* aDescriptor,
                const TmvRegisterableEngineClassRef*& aCache) {
  const auto& cls =
      static_cast<const R&>(mvEngineClassForDescriptor<E>(aFamily, aDescriptor->ClassType(), aWord, aCache));
  if (!(cls.*aCreate)) RaiseUnknown<E>(aWord, cls);
  return (cls.*aCreate)(aParent, aDescriptor);
}

// The record pointer argument aIndex of a notification.
const void* RecordArg(std::span<const TVarRec> aArgs, size_t aIndex) {
  MV_ASSERT(aIndex < aArgs.size() && aArgs[aIndex].kind() == TVarRec::vtPointer);
  return aArgs[aIndex].asPointer();
}

}  // namespace

void mvSetRefIntMapperHook(const TmvRefIntMapperHook& aHook) { Hook() = aHook; }

const TmvRefIntMapperHook& mvGetRefIntMapperHook() { return Hook(); }

// ---------------------------------------------------------------------------
// TmvRefIntegrityEngine

namespace {
TmvBaseRefIntegrityEngine* CreateRefIntegrityEngine(TmvBaseRegisterableDescriptor* aDescriptor,
                                                    TmvAbstractCursor* aCursor) {
  auto* descriptor = dynamic_cast<TmvRefIntegrityDescriptor*>(aDescriptor);
  if (!descriptor) RaiseUnknown<EmvRefIntegrityEngineException>(u"RefIntegrity", aDescriptor->ClassType());
  return new TmvRefIntegrityEngine(descriptor, aCursor);
}
}  // namespace

constinit const TmvRefIntegrityEngineClassRef TmvRefIntegrityEngine::StaticClass{
    {{u"TmvRefIntegrityEngine", &TmvBaseRefIntegrityEngine::StaticClass},
     &TmvBaseRefIntegrityEngine::Registry,
     nullptr},
    &CreateRefIntegrityEngine};

TmvRefIntegrityEngine::TmvRefIntegrityEngine(TmvRefIntegrityDescriptor* aDescriptor, TmvAbstractCursor* aCursor)
    : rieDescriptor(aDescriptor), rieCursor(aCursor) {
  try {
    for (int32_t i = 0; i < aDescriptor->ReferenceCount(); ++i)
      rieReferences.push_back(TmvReferenceEngine::CreateFor(this, aDescriptor->Reference(i)));
  } catch (...) {
    FreeReferences();
    throw;
  }
}

TmvRefIntegrityEngine::~TmvRefIntegrityEngine() { FreeReferences(); }

void TmvRefIntegrityEngine::FreeReferences() {
  for (auto it = rieReferences.rbegin(); it != rieReferences.rend(); ++it) delete *it;
  rieReferences.clear();
}

uint32_t TmvRefIntegrityEngine::Notify(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec> aArgs) {
  if (!rieActions[aBefore ? 1 : 0].Contains(aAction)) return 0;
  // The later reference acts first.
  for (auto it = rieReferences.rbegin(); it != rieReferences.rend(); ++it)
    if (uint32_t result = (*it)->NotifyReference(aAction, aBefore, aArgs)) return result;
  return 0;
}

// ---------------------------------------------------------------------------
// TmvReferenceEngine

namespace {
TmvReferenceEngine* CreateReference(TmvRefIntegrityEngine* aParent, TmvReferenceDescriptor* aDescriptor) {
  return new TmvReferenceEngine(aParent, aDescriptor);
}
}  // namespace

TmvClassRegistry* TmvReferenceEngine::Registry() { return mvFamilyRegistry<TmvReferenceEngine>(); }

constinit const TmvReferenceEngineClassRef TmvReferenceEngine::StaticClass{
    {{u"TmvReferenceEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvReferenceEngine::Registry, nullptr},
    &CreateReference};

TmvReferenceEngine* TmvReferenceEngine::CreateFor(TmvRefIntegrityEngine* aParent, TmvReferenceDescriptor* aDescriptor) {
  return CreatePart<EmvReferenceEngineException>(StaticClass, u"Reference",
                                                 &TmvReferenceEngineClassRef::CreateReference, aParent, aDescriptor,
                                                 aDescriptor->rdCachedEngineClass);
}

TmvReferenceEngine::TmvReferenceEngine(TmvRefIntegrityEngine* aParent, TmvReferenceDescriptor* aDescriptor)
    : reParent(aParent), reDescriptor(aDescriptor) {
  try {
    reTargetCursor = TmvBaseTargetCursorEngine::CreateFor(this, aDescriptor->GetTargetCursor());
    for (int32_t i = 0; i < aDescriptor->SourceCount(); ++i)
      reSources.push_back(TmvBaseSourceEngine::CreateFor(this, aDescriptor->Source(i)));
    for (int32_t i = 0; i < aDescriptor->ActionCount(); ++i)
      reActions.push_back(TmvBaseActionEngine::CreateFor(this, aDescriptor->Action(i)));
    MapActions();
  } catch (...) {
    FreeParts();
    throw;
  }
}

TmvReferenceEngine::~TmvReferenceEngine() { FreeParts(); }

void TmvReferenceEngine::FreeParts() {
  // The target cursor goes first: it unprepares this reference.
  delete reTargetCursor;
  reTargetCursor = nullptr;
  for (TmvBaseActionEngine* a : reActions) delete a;
  reActions.clear();
  for (TmvBaseSourceEngine* s : reSources) delete s;
  reSources.clear();
}

void TmvReferenceEngine::MapActions() {
  for (TmvBaseActionEngine* action : reActions) {
    AddActionToMapping(action, action->RequiredBeforeActions(), true);
    AddActionToMapping(action, action->RequiredAfterActions(), false);
  }
}

void TmvReferenceEngine::AddActionToMapping(TmvBaseActionEngine* aAction, const TmvEngineActions& aActions,
                                            bool aBefore) {
  if (aActions.Empty()) return;
  const int side = aBefore ? 1 : 0;
  for (int a = 0; a < mvEngineActionCount; ++a) {
    if (!aActions.Contains(a)) continue;
    reParent->rieActions[side].Include(a);
    reActionMapping[side][a].push_back(aAction);
  }
}

void TmvReferenceEngine::Raise(uint32_t aCode) { throw EmvReferenceEngineException(int64_t(aCode)); }

void TmvReferenceEngine::PrepareTargetCursor() {
  TmvAbstractCursor* cursor = reTargetCursor->GetCursor();
  reFieldsDescriptor = cursor->FieldsDescriptor();
  reTargetRecordLength = uint32_t(reFieldsDescriptor->RecordLength());
  reTargetRecordBuffer1.assign(size_t(reTargetRecordLength) + 4, 0);
  reTargetRecordBuffer2.assign(size_t(reTargetRecordLength) + 4, 0);
  try {
    TmvBaseTableDescriptor* table = cursor->GetTableDescriptor();
    TmvMainIndicesDescriptor* indices = table ? table->GetIndicesDescriptor() : nullptr;
    TmvIndexDescriptor* index = indices ? indices->GetDescriptorFromName(reDescriptor->GetTargetIndex()) : nullptr;
    if (!index) throw EmvReferenceEngineException(MVERR_NOSUCHINDEX, String(u"Index does not exist."));
    auto* key = dynamic_cast<TmvCompKeyDescriptor*>(index->GetKeyDescriptor());
    if (!key) throw EmvReferenceEngineException(MVERR_INVALIDINDEXDESC, String(u"A composite index is required"));
    if (key->KeyFieldCount() < SourceCount())
      throw EmvReferenceEngineException(MVERR_INVALIDDESC,
                                        String(u"The reference descriptor has more fields than the target index."));
    reTargetKeyDescriptor = key;
    for (int32_t i = 0; i < SourceCount(); ++i)
      reSources[size_t(i)]->Initialize(key->KeyFields(i)->GetFieldNumber(), cursor);
  } catch (...) {
    UnprepareTargetCursor();
    throw;
  }
  reTargetCursorPrepared = true;
}

void TmvReferenceEngine::UnprepareTargetCursor() {
  reTargetRecordBuffer1 = {};
  reTargetRecordBuffer2 = {};
  reTargetRecordLength = 0;
  reTargetKeyDescriptor = nullptr;
  reTargetCursorPrepared = false;
}

void TmvReferenceEngine::EmptyTargetBuffers() {
  reFieldsDescriptor->InitRecord(reTargetRecordBuffer1.data());
  reFieldsDescriptor->InitRecord(reTargetRecordBuffer2.data());
}

bool TmvReferenceEngine::SetTargetRange(const void* aSourceRecord, bool& aNullFound) {
  aNullFound = false;
  if (!reTargetCursorPrepared) PrepareTargetCursor();
  TmvAbstractCursor* cursor = reTargetCursor->GetCursor();
  EmptyTargetBuffers();
  for (TmvBaseSourceEngine* source : reSources) {
    bool isNull = false;
    if (uint32_t code = source->SetValueTo(vutRangeStart, reTargetRecordBuffer1.data(), aSourceRecord, &isNull))
      Raise(code);
    if (isNull) {
      if (source->Descriptor()->GetSkipOnNull()) return false;
      aNullFound = true;
    }
    if (uint32_t code = source->SetValueTo(vutRangeEnd, reTargetRecordBuffer2.data(), aSourceRecord, nullptr))
      Raise(code);
  }
  const int32_t count = SourceCount();
  if (uint32_t code = cursor->RangeSet(count, 0, false, reTargetRecordBuffer1.data(), true, count, 0, false,
                                       reTargetRecordBuffer2.data(), true))
    Raise(code);
  return true;
}

bool TmvReferenceEngine::SourceKeyChanged(const void* aNewRecord, const void* aOldRecord) {
  if (!reTargetCursorPrepared) PrepareTargetCursor();
  TmvAbstractCursor* cursor = reTargetCursor->GetCursor();
  EmptyTargetBuffers();
  for (TmvBaseSourceEngine* source : reSources) {
    if (uint32_t code = source->SetValueTo(vutCompare, reTargetRecordBuffer1.data(), aNewRecord, nullptr)) Raise(code);
    if (uint32_t code = source->SetValueTo(vutCompare, reTargetRecordBuffer2.data(), aOldRecord, nullptr)) Raise(code);
  }
  int32_t result = 0;
  if (uint32_t code = cursor->CompareKeys(SourceCount(), 0, false, reTargetRecordBuffer1.data(), false,
                                          reTargetRecordBuffer2.data(), result))
    Raise(code);
  return result != 0;
}

uint32_t TmvReferenceEngine::NotifyReference(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec> aArgs) {
  const std::vector<TmvBaseActionEngine*>& actions = reActionMapping[aBefore ? 1 : 0][aAction];
  if (actions.empty()) return 0;
  reTargetCursor->BeginUse();
  struct TEndUse {
    TmvBaseTargetCursorEngine* engine;
    ~TEndUse() { engine->EndUse(); }
  } endUse{reTargetCursor};

  // The range is on the new record (onNew) or on the old one (a modify).
  const void* newRecord = nullptr;
  const void* oldRecord = nullptr;
  bool onNew = true;
  switch (aAction) {
    case eaRecordInsert:
      newRecord = RecordArg(aArgs, 1);
      break;
    case eaRecordDelete:
      newRecord = RecordArg(aArgs, 0);
      break;
    case eaRecordModify:
      newRecord = RecordArg(aArgs, 0);
      oldRecord = RecordArg(aArgs, 1);
      if (!aBefore) {
        if (!SourceKeyChanged(newRecord, oldRecord)) return 0;
        onNew = actions.front()->WantsNewOnAfterModify();
      }
      break;
    default:
      return 0;
  }
  bool nullFound = false;
  if (!SetTargetRange(onNew ? newRecord : oldRecord, nullFound)) return 0;
  for (TmvBaseActionEngine* action : actions) {
    if (nullFound && action->Descriptor()->GetSkipOnNull()) continue;
    if (aAction == eaRecordModify && action->WantsNewOnAfterModify() != onNew) {
      onNew = !onNew;
      if (!SetTargetRange(onNew ? newRecord : oldRecord, nullFound)) return 0;
    }
    if (uint32_t result = action->Execute(aAction, aBefore, aArgs)) return BuildViolationError(result);
  }
  return 0;
}

uint32_t TmvReferenceEngine::BuildViolationError(uint32_t aErrorCode) {
  uint32_t lastCode = 0;
  String text;
  EmvBaseException::GetLastConvertedException(lastCode, text);
  if (lastCode != aErrorCode || text.empty()) text = mvOriginalMessageMarker();
  String sources, targets;
  for (size_t i = 0; i < reSources.size(); ++i) {
    if (i > 0) {
      sources += u", ";
      targets += u", ";
    }
    sources += reSources[i]->GetSourceName();
    targets += reSources[i]->GetTargetName();
  }
  String message = kViolation + reParent->Cursor()->FullName() + u"(" + sources + u") -> " +
                   reDescriptor->GetTargetCursor()->ReferencedTableName() + u"(" + targets + u"): " + text;
  EmvBaseException::SetLastConvertedException(aErrorCode, message);
  return aErrorCode;
}

// ---------------------------------------------------------------------------
// Target cursors

TmvClassRegistry* TmvBaseTargetCursorEngine::Registry() { return mvFamilyRegistry<TmvBaseTargetCursorEngine>(); }

constinit const TmvTargetCursorEngineClassRef TmvBaseTargetCursorEngine::StaticClass{
    {{u"TmvBaseTargetCursorEngine", &TmvBaseRegisterableEngine::StaticClass},
     &TmvBaseTargetCursorEngine::Registry,
     nullptr},
    nullptr};

TmvBaseTargetCursorEngine* TmvBaseTargetCursorEngine::CreateFor(TmvReferenceEngine* aParent,
                                                                TmvBaseTargetCursorDescriptor* aDescriptor) {
  return CreatePart<EmvTargetCursorEngineException>(StaticClass, u"TargetCursor",
                                                    &TmvTargetCursorEngineClassRef::CreateTargetCursor, aParent,
                                                    aDescriptor, aDescriptor->btcCachedEngineClass);
}

TmvBaseTargetCursorEngine::TmvBaseTargetCursorEngine(TmvReferenceEngine* aParent,
                                                     TmvBaseTargetCursorDescriptor* aDescriptor)
    : btceParent(aParent), btceDescriptor(aDescriptor) {}

TmvBaseTargetCursorEngine::~TmvBaseTargetCursorEngine() {
  if (btceRequestClose) btceRequestClose->Disconnect();
  TmvPadlockGuard guard(&btcePadlock);
  ++btceInUse;  // a late close request finds the cursor in use
  CloseCursor();
}

void TmvBaseTargetCursorEngine::CloseCursor() {
  btceParent->UnprepareTargetCursor();
  if (TmvAbstractCursor* cursor = std::exchange(btceCursor, nullptr)) TmvAbstractServerObject::Free(cursor);
}

void TmvBaseTargetCursorEngine::RequestClose() {
  TmvPadlockGuard guard(&btcePadlock);
  if (btceInUse != 0) return;
  CloseCursor();
}

TmvAbstractCursor* TmvBaseTargetCursorEngine::GetCursor() {
  if (btceCursor) return btceCursor;
  TmvAbstractCursor* cursor = nullptr;
  if (uint32_t code = OpenTargetCursor(btceParent->Parent()->Cursor(), cursor)) {
    if (cursor) TmvAbstractServerObject::Free(cursor);
    throw EmvTargetCursorEngineException(int64_t(btceParent->BuildViolationError(code)));
  }
  // A cursor not on the target index would serve the wrong ranges the next
  // time: it is not kept.
  if (uint32_t code = cursor->SwitchToIndex(btceParent->Descriptor()->GetTargetIndex(), -1, porFalse)) {
    TmvAbstractServerObject::Free(cursor);
    throw EmvTargetCursorEngineException(int64_t(code));
  }
  btceCursor = cursor;
  if (auto* server = dynamic_cast<TmvServerBaseCursor*>(cursor)) {
    if (!btceRequestClose) mvCreateRequestCloseHandler(btceRequestClose, [this] { RequestClose(); });
    server->sbcSetOnRequestClose(btceRequestClose.get());
  }
  return cursor;
}

void TmvBaseTargetCursorEngine::BeginUse() {
  TmvPadlockGuard guard(&btcePadlock);
  ++btceInUse;
  mvBeginTimeoutScope();
}

void TmvBaseTargetCursorEngine::EndUse() {
  TmvPadlockGuard guard(&btcePadlock);
  --btceInUse;
  mvEndTimeoutScope();
}

namespace {
template <typename T>
TmvBaseTargetCursorEngine* CreateTargetCursor(TmvReferenceEngine* aParent, TmvBaseTargetCursorDescriptor* aDescriptor) {
  return new T(aParent, aDescriptor);
}

// The database's CursorOpen as every target table is opened.
uint32_t OpenByName(TmvAbstractCursor* aSourceCursor, const String& aTableName, const String& aPassword,
                    bool aAllowSystem, TmvAbstractCursor*& aTargetCursor) {
  return aSourceCursor->Database()->CursorOpen(aTargetCursor, aTableName, aPassword, omReadWrite, smShared,
                                               aSourceCursor->GetTimeout(), String(), -1, aAllowSystem, 0, 500,
                                               nullptr);
}
}  // namespace

constinit const TmvTargetCursorEngineClassRef TmvCloneTargetCursorEngine::StaticClass{
    {{u"TmvCloneTargetCursorEngine", &TmvBaseTargetCursorEngine::StaticClass},
     &TmvBaseTargetCursorEngine::Registry,
     nullptr},
    &CreateTargetCursor<TmvCloneTargetCursorEngine>};

uint32_t TmvCloneTargetCursorEngine::OpenTargetCursor(TmvAbstractCursor* aSourceCursor,
                                                      TmvAbstractCursor*& aTargetCursor) {
  return aSourceCursor->Duplicate(omReadWrite, aTargetCursor);
}

constinit const TmvTargetCursorEngineClassRef TmvTableTargetCursorEngine::StaticClass{
    {{u"TmvTableTargetCursorEngine", &TmvBaseTargetCursorEngine::StaticClass},
     &TmvBaseTargetCursorEngine::Registry,
     nullptr},
    &CreateTargetCursor<TmvTableTargetCursorEngine>};

uint32_t TmvTableTargetCursorEngine::OpenTargetCursor(TmvAbstractCursor* aSourceCursor,
                                                      TmvAbstractCursor*& aTargetCursor) {
  auto* descriptor = static_cast<TmvTableTargetCursorDescriptor*>(btceDescriptor);
  return OpenByName(aSourceCursor, descriptor->GetTableName(), descriptor->GetPassword(), false, aTargetCursor);
}

constinit const TmvTargetCursorEngineClassRef TmvRelativeTargetCursorEngine::StaticClass{
    {{u"TmvRelativeTargetCursorEngine", &TmvBaseTargetCursorEngine::StaticClass},
     &TmvBaseTargetCursorEngine::Registry,
     nullptr},
    &CreateTargetCursor<TmvRelativeTargetCursorEngine>};

String TmvRelativeTargetCursorEngine::TargetTableName(TmvAbstractCursor* aSourceCursor) {
  const String& path = static_cast<TmvRelativeTargetCursorDescriptor*>(btceDescriptor)->GetTableName();
  String base;
  if (!path.empty() && path[0] == u'.') {
    base = aSourceCursor->FullName();
  } else if (auto* sql = dynamic_cast<TmvSqlAbstractCursor*>(aSourceCursor)) {
    base = sql->RootName();
  } else {
    base = aSourceCursor->FullName();
    base = base.substr(0, base.find(u':'));
  }
  return base + u":" + path;
}

uint32_t TmvRelativeTargetCursorEngine::OpenTargetCursor(TmvAbstractCursor* aSourceCursor,
                                                         TmvAbstractCursor*& aTargetCursor) {
  auto* server = dynamic_cast<TmvServerBaseCursor*>(aSourceCursor);
  const String password = server ? server->sbcExtractPassword() : String();
  const String fullName = aSourceCursor->FullName();
  const bool allowSystem = !fullName.empty() && fullName[0] == u'$';
  return OpenByName(aSourceCursor, TargetTableName(aSourceCursor), password, allowSystem, aTargetCursor);
}

// ---------------------------------------------------------------------------
// Sources

TmvClassRegistry* TmvBaseSourceEngine::Registry() { return mvFamilyRegistry<TmvBaseSourceEngine>(); }

constinit const TmvSourceEngineClassRef TmvBaseSourceEngine::StaticClass{
    {{u"TmvBaseSourceEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvBaseSourceEngine::Registry, nullptr},
    nullptr};

TmvBaseSourceEngine* TmvBaseSourceEngine::CreateFor(TmvReferenceEngine* aParent, TmvBaseSourceDescriptor* aDescriptor) {
  return CreatePart<EmvSourceEngineException>(StaticClass, u"Source", &TmvSourceEngineClassRef::CreateSource, aParent,
                                              aDescriptor, aDescriptor->bsdCachedEngineClass);
}

TmvBaseSourceEngine::TmvBaseSourceEngine(TmvReferenceEngine* aParent, TmvBaseSourceDescriptor* aDescriptor)
    : bseParent(aParent),
      bseDescriptor(aDescriptor),
      bseSourceFields(aParent->Parent()->Cursor()->FieldsDescriptor()) {}

void TmvBaseSourceEngine::Initialize(int32_t aTargetField, TmvAbstractCursor* aTargetCursor) {
  bseTargetFields = aTargetCursor->FieldsDescriptor();
  if (aTargetField < 0 || aTargetField >= bseTargetFields->FieldCount())
    throw EmvSourceEngineException(MVERR_INVALIDDESC, u"Invalid field number: %d", {aTargetField});
  bseTargetField = aTargetField;
  bseTargetOffset = bseTargetFields->FieldDescriptor(aTargetField)->Offset();
}

uint32_t TmvBaseSourceEngine::ClearField(TmvValueUseType, void* aTargetBuffer) {
  bseTargetFields->SetRecordFieldNull(bseTargetField, aTargetBuffer, true);
  return 0;
}

uint32_t TmvBaseSourceEngine::SetFieldToDefault(TmvValueUseType aType, TmvAbstractCursor* aTargetCursor,
                                                void* aTargetBuffer) {
  auto* server = dynamic_cast<TmvServerBaseCursor*>(aTargetCursor);
  if (TmvDefaultValueHandler* handler = server ? server->DefaultValueHandler() : nullptr) {
    handler->SetDefaultValue(aTargetBuffer, bseTargetField);
    return 0;
  }
  return ClearField(aType, aTargetBuffer);
}

namespace {
TmvBaseSourceEngine* CreateFieldSource(TmvReferenceEngine* aParent, TmvBaseSourceDescriptor* aDescriptor) {
  return new TmvFieldSourceEngine(aParent, aDescriptor);
}
}  // namespace

constinit const TmvSourceEngineClassRef TmvFieldSourceEngine::StaticClass{
    {{u"TmvFieldSourceEngine", &TmvBaseSourceEngine::StaticClass}, &TmvBaseSourceEngine::Registry, nullptr},
    &CreateFieldSource};

TmvFieldSourceEngine::~TmvFieldSourceEngine() { FreeMapper(); }

void TmvFieldSourceEngine::FreeMapper() {
  if (void* instance = std::exchange(fseMapperInst, nullptr)) {
    const TmvRefIntMapperHook& hook = Hook();
    MV_ASSERT(hook.FreeMapper != nullptr);
    hook.FreeMapper(instance);
  }
  fseMapper = TmvRefIntMapping();
}

void TmvFieldSourceEngine::Initialize(int32_t aTargetField, TmvAbstractCursor* aTargetCursor) {
  TmvBaseSourceEngine::Initialize(aTargetField, aTargetCursor);
  const int32_t sourceField = static_cast<TmvFieldSourceDescriptor*>(bseDescriptor)->GetFieldNumber();
  if (sourceField < 0 || sourceField >= bseSourceFields->FieldCount())
    throw EmvSourceEngineException(MVERR_INVALIDDESC, u"Invalid field number: %d", {sourceField});
  TmvFieldDescriptor* source = bseSourceFields->FieldDescriptor(sourceField);
  TmvFieldDescriptor* target = bseTargetFields->FieldDescriptor(aTargetField);
  fseSourceOffset = source->Offset();
  fseSourceName = source->GetName();
  fseTargetName = target->GetName();
  FreeMapper();
  if (const TmvRefIntMapperHook& hook = Hook(); hook.CreateMapper)
    fseMapperInst = hook.CreateMapper(source, bseParent->Parent()->Cursor(), target, aTargetCursor, fseMapper);
}

uint32_t TmvFieldSourceEngine::SetValueTo(TmvValueUseType, void* aTargetBuffer, const void* aSourceBuffer,
                                          bool* aSourceIsNull) {
  const int32_t sourceField = static_cast<TmvFieldSourceDescriptor*>(bseDescriptor)->GetFieldNumber();
  const bool isNull = bseSourceFields->IsRecordFieldNull(sourceField, aSourceBuffer);
  if (aSourceIsNull) *aSourceIsNull = isNull;
  if (isNull) {
    bseTargetFields->SetRecordFieldNull(bseTargetField, aTargetBuffer, true);
    return 0;
  }
  bseTargetFields->SetRecordFieldNull(bseTargetField, aTargetBuffer, false);
  if (!fseMapper.Assigned()) return EmvBaseException::mvSetMessage(MVERR_INVALIDFLDXFORM, String());
  const uint32_t result = fseMapper.Code(fseMapper.Data, static_cast<const uint8_t*>(aSourceBuffer) + fseSourceOffset,
                                         static_cast<uint8_t*>(aTargetBuffer) + bseTargetOffset);
  if (result == 1) {
    bseTargetFields->SetRecordFieldNull(bseTargetField, aTargetBuffer, true);
    return 0;
  }
  return result;
}

// ---------------------------------------------------------------------------
// Actions

TmvClassRegistry* TmvBaseActionEngine::Registry() { return mvFamilyRegistry<TmvBaseActionEngine>(); }

constinit const TmvActionEngineClassRef TmvBaseActionEngine::StaticClass{
    {{u"TmvBaseActionEngine", &TmvBaseRegisterableEngine::StaticClass}, &TmvBaseActionEngine::Registry, nullptr},
    nullptr};

TmvBaseActionEngine* TmvBaseActionEngine::CreateFor(TmvReferenceEngine* aParent, TmvBaseActionDescriptor* aDescriptor) {
  return CreatePart<EmvActionEngineException>(StaticClass, u"Action", &TmvActionEngineClassRef::CreateAction, aParent,
                                              aDescriptor, aDescriptor->badCachedEngineClass);
}

TmvBaseActionEngine::TmvBaseActionEngine(TmvReferenceEngine* aParent, TmvBaseActionDescriptor* aDescriptor)
    : baeParent(aParent), baeDescriptor(aDescriptor) {}

uint32_t TmvBaseActionEngine::Execute(TmvEngineAction, bool, std::span<const TVarRec>) { return 0; }

void TmvBaseActionEngine::CheckCall(TmvEngineAction aAction, bool aBefore, TmvEngineAction aOwnAction,
                                    bool aOwnBefore) {
  MV_ASSERT(aAction == aOwnAction && aBefore == aOwnBefore);
}

void TmvBaseActionEngine::MarkTransactionCorrupted() {
  TmvAbstractCursor* cursor = baeParent->TargetCursor()->GetCursor();
  // The violation is the answer whatever happens here; a failure to mark the
  // transaction is logged so that it is not lost.
  if (uint32_t code = cursor->Database()->TransactionCorrupted())
    mvServerLogError(u"Referential integrity: marking the transaction of " + cursor->FullName() +
                     u" corrupted failed: " + EmvBaseException(int64_t(code)).ProcessedErrorString());
}

uint32_t TmvBaseActionEngine::PresenceTest() {
  TmvAbstractCursor* cursor = baeParent->TargetCursor()->GetCursor();
  if (uint32_t code = cursor->SetToBegin()) return code;
  return cursor->RecordGetNext(mvltNoLock, nullptr);
}

template <typename F>
uint32_t TmvBaseActionEngine::ChangingLoop(F&& aChange) {
  TmvAbstractCursor* cursor = baeParent->TargetCursor()->GetCursor();
  uint8_t* buffer = baeParent->TargetRecordBuffer1();
  if (uint32_t code = cursor->SetToBegin()) return code;
  uint32_t code = cursor->RecordGetNext(mvltWriteLock, buffer);
  while (code == 0) {
    for (int32_t i = 0; i < baeParent->SourceCount(); ++i)
      if (uint32_t failed = aChange(baeParent->Source(i), buffer)) throw EmvActionEngineException(int64_t(failed));
    if (uint32_t failed = cursor->RecordModify(buffer, true, nullptr)) {
      if (uint32_t released = cursor->RecordLockRelease(false, false))
        mvServerLogError(u"Referential integrity: releasing the lock after a failed change failed: " +
                         EmvBaseException(int64_t(released)).ProcessedErrorString());
      return failed;
    }
    code = cursor->RecordGetNext(mvltWriteLock, buffer);
  }
  // The end of the range. Its records need not have left it: a default equal
  // to the old key keeps them there.
  return code == uint32_t(MVERR_EOF) ? 0 : code;
}

namespace {
template <typename T>
TmvBaseActionEngine* CreateAction(TmvReferenceEngine* aParent, TmvBaseActionDescriptor* aDescriptor) {
  return new T(aParent, aDescriptor);
}
// An action that changes target records asks the source cursor for nested
// transactions, so that its failure can be undone with the operation.
void RequestNested(TmvReferenceEngine* aParent) { aParent->Parent()->Cursor()->RequestNestedTransactions(); }
}  // namespace

#define MV_ACTION_CLASSREF(Name)                             \
  constinit const TmvActionEngineClassRef Name::StaticClass{ \
      {{u"" #Name, &TmvBaseActionEngine::StaticClass}, &TmvBaseActionEngine::Registry, nullptr}, &CreateAction<Name>};

#define MV_CHANGING_ACTION(Name)                                                \
  MV_ACTION_CLASSREF(Name)                                                      \
  Name::Name(TmvReferenceEngine* aParent, TmvBaseActionDescriptor* aDescriptor) \
      : TmvBaseActionEngine(aParent, aDescriptor) {                             \
    RequestNested(aParent);                                                     \
  }

MV_CHANGING_ACTION(TmvCascadeDeleteActionEngine)
MV_CHANGING_ACTION(TmvClearDeleteActionEngine)
MV_CHANGING_ACTION(TmvSetDefaultDeleteActionEngine)
MV_ACTION_CLASSREF(TmvBlockDeleteActionEngine)
MV_CHANGING_ACTION(TmvCascadeModifyActionEngine)
MV_CHANGING_ACTION(TmvClearModifyActionEngine)
MV_CHANGING_ACTION(TmvSetDefaultModifyActionEngine)
MV_CHANGING_ACTION(TmvBlockModifyActionEngine)
MV_CHANGING_ACTION(TmvTargetRequiredActionEngine)

uint32_t TmvCascadeDeleteActionEngine::Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec>) {
  CheckCall(aAction, aBefore, eaRecordDelete, false);
  if (uint32_t code = baeParent->TargetCursor()->GetCursor()->DeleteRecords()) {
    MarkTransactionCorrupted();
    return code;
  }
  return 0;
}

uint32_t TmvClearDeleteActionEngine::Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec>) {
  CheckCall(aAction, aBefore, eaRecordDelete, false);
  return ChangingLoop([](TmvBaseSourceEngine* s, void* b) { return s->ClearField(vutRecordDelete, b); });
}

uint32_t TmvSetDefaultDeleteActionEngine::Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec>) {
  CheckCall(aAction, aBefore, eaRecordDelete, false);
  TmvAbstractCursor* target = baeParent->TargetCursor()->GetCursor();
  return ChangingLoop(
      [target](TmvBaseSourceEngine* s, void* b) { return s->SetFieldToDefault(vutRecordDelete, target, b); });
}

uint32_t TmvBlockDeleteActionEngine::Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec>) {
  CheckCall(aAction, aBefore, eaRecordDelete, true);
  const uint32_t code = PresenceTest();
  if (code == 0) return EmvBaseException::mvSetMessage(MVERR_MASTEREXISTS, String());
  return code == uint32_t(MVERR_EOF) ? 0 : code;
}

uint32_t TmvCascadeModifyActionEngine::Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec> aArgs) {
  CheckCall(aAction, aBefore, eaRecordModify, false);
  const void* newRecord = RecordArg(aArgs, 0);
  return ChangingLoop(
      [newRecord](TmvBaseSourceEngine* s, void* b) { return s->SetValueTo(vutRecordModify, b, newRecord, nullptr); });
}

uint32_t TmvClearModifyActionEngine::Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec>) {
  CheckCall(aAction, aBefore, eaRecordModify, false);
  return ChangingLoop([](TmvBaseSourceEngine* s, void* b) { return s->ClearField(vutRecordModify, b); });
}

uint32_t TmvSetDefaultModifyActionEngine::Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec>) {
  CheckCall(aAction, aBefore, eaRecordModify, false);
  TmvAbstractCursor* target = baeParent->TargetCursor()->GetCursor();
  return ChangingLoop(
      [target](TmvBaseSourceEngine* s, void* b) { return s->SetFieldToDefault(vutRecordModify, target, b); });
}

uint32_t TmvBlockModifyActionEngine::Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec>) {
  CheckCall(aAction, aBefore, eaRecordModify, false);
  const uint32_t code = PresenceTest();
  if (code == 0) {
    MarkTransactionCorrupted();
    return EmvBaseException::mvSetMessage(MVERR_MASTEREXISTS, String());
  }
  return code == uint32_t(MVERR_EOF) ? 0 : code;
}

uint32_t TmvTargetRequiredActionEngine::Execute(TmvEngineAction aAction, bool aBefore, std::span<const TVarRec>) {
  MV_ASSERT(!aBefore && (aAction == eaRecordInsert || aAction == eaRecordModify));
  const uint32_t code = PresenceTest();
  if (code == uint32_t(MVERR_EOF)) {
    MarkTransactionCorrupted();
    return EmvBaseException::mvSetMessage(MVERR_MASTERMISSING, String());
  }
  return code;
}

// ---------------------------------------------------------------------------
// Unit

namespace {
// In the order they are registered.
const TmvRegisterableEngineClassRef* const kEngineClasses[] = {
    &TmvRefIntegrityEngine::StaticClass,           &TmvReferenceEngine::StaticClass,
    &TmvCloneTargetCursorEngine::StaticClass,      &TmvTableTargetCursorEngine::StaticClass,
    &TmvRelativeTargetCursorEngine::StaticClass,   &TmvFieldSourceEngine::StaticClass,
    &TmvCascadeDeleteActionEngine::StaticClass,    &TmvClearDeleteActionEngine::StaticClass,
    &TmvSetDefaultDeleteActionEngine::StaticClass, &TmvBlockDeleteActionEngine::StaticClass,
    &TmvCascadeModifyActionEngine::StaticClass,    &TmvClearModifyActionEngine::StaticClass,
    &TmvSetDefaultModifyActionEngine::StaticClass, &TmvBlockModifyActionEngine::StaticClass,
    &TmvTargetRequiredActionEngine::StaticClass,
};
}  // namespace

void mvseRefIntEngineInit() {
  size_t done = 0;
  try {
    for (; done < std::size(kEngineClasses); ++done) TmvBaseRegisterableEngine::RegisterEngine(*kEngineClasses[done]);
  } catch (...) {
    while (done > 0) TmvBaseRegisterableEngine::UnregisterEngine(*kEngineClasses[--done]);
    throw;
  }
}

void mvseRefIntEngineFini() {
  for (size_t i = std::size(kEngineClasses); i > 0; --i)
    TmvBaseRegisterableEngine::UnregisterEngine(*kEngineClasses[i - 1]);
}
