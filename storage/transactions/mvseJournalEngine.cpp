// Storage engines: the journal engine's stand-in. See mvseJournalEngine.h.
#include "storage/transactions/mvseJournalEngine.h"

#include "foundation/mvllErrors.h"

namespace {

TmvBaseJournalEngine* create1x(const String& aFileName) { return new Tmv1xJournalEngine(aFileName); }

[[noreturn]] void notSupported(const char16_t* aOperation) {
  throw EmvBaseException(MVERR_NOTSUPPORTED, u"%s not supported by %s", {aOperation, u"Tmv1xJournalEngine"});
}

}  // namespace

constinit const TmvJournalEngineClassRef Tmv1xJournalEngine::StaticClass{
    {u"Tmv1xJournalEngine", &TmvBaseJournalEngine::StaticClass}, &create1x, &Tmv1xJournalEngine::Check};

void Tmv1xJournalEngine::Check(const String&, const String&) {}
void Tmv1xJournalEngine::PrepareJournal() { notSupported(u"PrepareJournal"); }
void Tmv1xJournalEngine::AddBlock(TmvBaseTransaction*, TmvReadOnlyBlock*) { notSupported(u"AddBlock"); }
void Tmv1xJournalEngine::FinalizeJournal() { notSupported(u"FinalizeJournal"); }

constinit std::atomic<const TmvJournalEngineClassRef*> mvDefaultJournalEngineClass{&Tmv1xJournalEngine::StaticClass};

const TmvJournalEngineClassRef* mvFindJournalEngineClass(std::u16string_view aName) {
  for (const TmvJournalEngineClassRef* cls : {&Tmv1xJournalEngine::StaticClass})
    if (SameClassName(aName, cls->ClassName)) return cls;
  return nullptr;
}
