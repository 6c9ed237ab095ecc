// Tests of the engine's start-up registrations: every family registry, the
// family order, the referential-integrity engines, the encryption engines,
// the header formats and the default classes, after a start, after a second
// run in the same process, and after the last stop; defaults the host set
// before start-up stay its own.
#include "server/mvsrServerUnits.h"

#include <gtest/gtest.h>

#include "foundation/errors/mvllErrors.h"
#include "server/mvseRefIntEngine.h"
#include "server/mvseSortEngineMerge.h"
#include "storage/blobs/mvseBlobEngine.h"
#include "storage/cache/mvseTemporaryStorageChunked.h"
#include "storage/compression/mvseRecordCompressionEngine.h"
#include "storage/encryption/mvseEncryptionEngines.h"
#include "storage/files/mvsrPosixFiles.h"
#include "storage/header/mvsrFileHeader1x.h"
#include "storage/header/mvsrFileHeader2x.h"
#include "storage/heaps/mvseBlockHeapEngine.h"
#include "storage/heaps/mvseHeapEngine.h"
#include "storage/indices/mvseIndexEngine.h"
#include "storage/indices/mvseIndicesEngine.h"
#include "storage/records/mvseAutoIncEngine.h"
#include "storage/records/mvseRecordEngine.h"
#include "storage/records/mvseRecordEngineVariable.h"
#include "storage/records/mvseStaticRecordEngine.h"
#include "storage/streams/mvseStreamEngine.h"
#include "storage/transactions/mvseJournalEngine.h"

namespace {

// "name=Class" for every entry of a registry, in its (sorted) order.
std::vector<String> Entries(TmvClassRegistry* aRegistry) {
  std::vector<String> out;
  if (*aRegistry)
    for (int32_t i = 0; i < (*aRegistry)->Count(); ++i)
      out.push_back((*aRegistry)->Strings(i) + u"=" +
                    String(static_cast<const ClassRef*>((*aRegistry)->Objects(i))->ClassName));
  return out;
}

String NameOf(const ClassRef* aClass) { return aClass ? String(aClass->ClassName) : String(u"-"); }

// Everything the start-up registers, as lines of text.
std::vector<String> Registrations() {
  std::vector<String> out;
  auto add = [&](const String& aFamily, TmvClassRegistry* aRegistry) {
    for (const String& e : Entries(aRegistry)) out.push_back(aFamily + u": " + e);
  };
  for (const TmvSubEngineClassRef* base : TmvBaseSubEngine::BaseClasses()) {
    out.push_back(u"family " + String(base->ClassName));
    add(base->ClassName, base->GetList());
  }
  add(u"index", TmvBaseIndexEngine::GetList());
  add(u"refint", TmvBaseRefIntegrityEngine::Registry());
  add(u"reference", TmvReferenceEngine::Registry());
  add(u"target", TmvBaseTargetCursorEngine::Registry());
  add(u"source", TmvBaseSourceEngine::Registry());
  add(u"action", TmvBaseActionEngine::Registry());
  for (bool server : {false, true}) {
    TmvUnicodeStrings names;
    mvGetRegisteredEncryptionEngines(names, server);
    for (const String& n : names) out.push_back((server ? u"encryption server: " : u"encryption user: ") + n);
  }
  out.push_back(u"table file " + NameOf(TableFileInfoClass.load()));
  out.push_back(u"default file " + NameOf(DefaultFileInfoClass.load()));
  out.push_back(u"temporary storage " + NameOf(mvTempStorageClass.load()));
  out.push_back(u"sort " + NameOf(mvSortEngineClass.load()));
  out.push_back(u"journal " + NameOf(mvDefaultJournalEngineClass.load()));
  for (const char16_t* journal : {u"Tmv1xJournalEngine", u"Tmv1xCommitJournalEngine", u"Tmv1xRollbackJournalEngine"})
    if (GetClass(journal)) out.push_back(u"class " + String(journal));
  return out;
}

const std::vector<String> kExpected = {
    u"family TmvBaseAutoIncEngine",
    u"TmvBaseAutoIncEngine: mv1xDefault=TmvSimpleAutoIncEngine",
    u"family TmvBaseBlobEngine",
    u"TmvBaseBlobEngine: mv1xDefault=TmvSegmentedBlobEngine",
    u"TmvBaseBlobEngine: mv1xSimple=TmvSimpleBlobEngine",
    u"family TmvBaseStreamEngine",
    u"TmvBaseStreamEngine: mv1xDefault=TmvSimpleStreamEngine",
    u"family TmvBaseRecordEngine",
    u"TmvBaseRecordEngine: mv1xDefault=TmvStaticRecordEngine",
    u"TmvBaseRecordEngine: Static=TmvStaticRecordEngine",
    u"TmvBaseRecordEngine: Variable=TmvVariableRecordEngine",
    u"TmvBaseRecordEngine: VariableVersioned=TmvVariableVersionedRecordEngine",
    u"family TmvBaseIndicesEngine",
    u"TmvBaseIndicesEngine: mv1xDefault=TmvSimpleIndicesEngine",
    u"family TmvBaseBlockHeapEngine",
    u"TmvBaseBlockHeapEngine: mv1xDefault=TmvNonfragmentingBlockHeapEngine",
    u"family TmvBaseHeapEngine",
    u"TmvBaseHeapEngine: mv1xDefault=TmvCachedHeapEngine",
    u"family TmvBaseRecordCompressionEngine",
    u"TmvBaseRecordCompressionEngine: Compressor=TmvCompressorRecordCompressionEngine",
    u"TmvBaseRecordCompressionEngine: Null=TmvNullRecordCompressionEngine",
    u"TmvBaseRecordCompressionEngine: Smart=TmvSmartRecordCompressionEngine",
    u"index: CacheKeylessBstarTree=TmvCacheKeylessBstarTreeIndexEngine",
    u"index: KeylessBStarTree=TmvKeylessBstarTreeIndexEngine",
    u"index: mv1xDefault=TmvStaticKeyBstarTreeIndexEngine",
    u"refint: TmvRefIntegrityEngine=TmvRefIntegrityEngine",
    u"reference: TmvReferenceEngine=TmvReferenceEngine",
    u"target: TmvCloneTargetCursorEngine=TmvCloneTargetCursorEngine",
    u"target: TmvRelativeTargetCursorEngine=TmvRelativeTargetCursorEngine",
    u"target: TmvTableTargetCursorEngine=TmvTableTargetCursorEngine",
    u"source: TmvFieldSourceEngine=TmvFieldSourceEngine",
    u"action: TmvBlockDeleteActionEngine=TmvBlockDeleteActionEngine",
    u"action: TmvBlockModifyActionEngine=TmvBlockModifyActionEngine",
    u"action: TmvCascadeDeleteActionEngine=TmvCascadeDeleteActionEngine",
    u"action: TmvCascadeModifyActionEngine=TmvCascadeModifyActionEngine",
    u"action: TmvClearDeleteActionEngine=TmvClearDeleteActionEngine",
    u"action: TmvClearModifyActionEngine=TmvClearModifyActionEngine",
    u"action: TmvSetDefaultDeleteActionEngine=TmvSetDefaultDeleteActionEngine",
    u"action: TmvSetDefaultModifyActionEngine=TmvSetDefaultModifyActionEngine",
    u"action: TmvTargetRequiredActionEngine=TmvTargetRequiredActionEngine",
    u"encryption user: ",
    u"encryption user: mv1xDefault",
    u"encryption server: ",
    u"encryption server: mv1xDefault",
    u"table file TmvOverlappedWin32File",
    u"default file TmvBaseWin32File",
    u"temporary storage TmvChunkedTempStorage",
    u"sort TmvMergeSortEngine",
    u"journal Tmv1xRollbackJournalEngine",
    u"class Tmv1xJournalEngine",
    u"class Tmv1xCommitJournalEngine",
    u"class Tmv1xRollbackJournalEngine",
};

const std::vector<String> kNothing = {
    u"encryption user: ", u"encryption server: ", u"table file -", u"default file -", u"temporary storage -", u"sort -",
    u"journal -",
};

// Lines that differ, for a readable failure.
std::string Diff(const std::vector<String>& aActual, const std::vector<String>& aExpected) {
  std::string out;
  for (size_t i = 0; i < std::max(aActual.size(), aExpected.size()); ++i) {
    const String a = i < aActual.size() ? aActual[i] : String(u"<none>");
    const String e = i < aExpected.size() ? aExpected[i] : String(u"<none>");
    if (a != e) out += "  line " + std::to_string(i) + ": " + UTF8Encode(a) + " (expected " + UTF8Encode(e) + ")\n";
  }
  return out;
}

TEST(ServerUnits, TheRegistrationsOfAStartAndTheirRemoval) {
  ASSERT_EQ(Registrations(), kNothing) << Diff(Registrations(), kNothing);
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    mvServerInit();
    mvServerInit();
    EXPECT_EQ(Registrations(), kExpected) << Diff(Registrations(), kExpected);
    // Names are compared without regard to case; two names, one class.
    const auto& records = TmvBaseRecordEngine::StaticClass;
    EXPECT_EQ(TmvBaseSubEngine::FindEngineClass(records, u"variable"), &TmvVariableRecordEngine::StaticClass);
    EXPECT_EQ(TmvBaseSubEngine::FindEngineClass(records, u"mv1xDefault"),
              TmvBaseSubEngine::FindEngineClass(records, u"Static"));
    // A name twice in one family is refused, and the family is unchanged.
    EXPECT_ANY_THROW(TmvBaseSubEngine::Register(TmvVariableRecordEngine::StaticClass, u"STATIC"));
    EXPECT_ANY_THROW(TmvBaseRegisterableEngine::RegisterEngine(TmvFieldSourceEngine::StaticClass));
    EXPECT_EQ(Registrations(), kExpected);
    // Both header formats are known, no other.
    EXPECT_NO_THROW(TmvBaseFileHeaderAccessFactory::CheckValid(mv1xHeaderSignature, false));
    EXPECT_NO_THROW(TmvBaseFileHeaderAccessFactory::CheckValid(mv2xHeaderSignature, false));
    mvServerFini();
    EXPECT_EQ(Registrations(), kExpected);  // only the last stop acts
    mvServerFini();
    EXPECT_EQ(Registrations(), kNothing) << Diff(Registrations(), kNothing);
  }
}

TEST(ServerUnits, DefaultsSetBeforeStartUpStayTheHosts) {
  // The host chose the very classes the units would set, and another one.
  mvTempStorageClass = &TmvChunkedTempStorage::StaticClass;
  mvSortEngineClass = &TmvMergeSortEngine::StaticClass;
  mvDefaultJournalEngineClass = &Tmv1xCommitJournalEngine::StaticClass;
  TableFileInfoClass = &TmvBaseWin32File::StaticClass;
  for (int run = 0; run < 2; ++run) {
    mvServerInit();
    EXPECT_EQ(mvDefaultJournalEngineClass.load(), &Tmv1xCommitJournalEngine::StaticClass);
    EXPECT_EQ(TableFileInfoClass.load(), &TmvBaseWin32File::StaticClass);
    EXPECT_EQ(DefaultFileInfoClass.load(), &TmvBaseWin32File::StaticClass);  // set, as it was unset
    mvServerFini();
    EXPECT_EQ(mvTempStorageClass.load(), &TmvChunkedTempStorage::StaticClass);
    EXPECT_EQ(mvSortEngineClass.load(), &TmvMergeSortEngine::StaticClass);
    EXPECT_EQ(mvDefaultJournalEngineClass.load(), &Tmv1xCommitJournalEngine::StaticClass);
    EXPECT_EQ(TableFileInfoClass.load(), &TmvBaseWin32File::StaticClass);
    EXPECT_EQ(DefaultFileInfoClass.load(), nullptr);
  }
  mvTempStorageClass = nullptr;
  mvSortEngineClass = nullptr;
  mvDefaultJournalEngineClass = nullptr;
  TableFileInfoClass = nullptr;
}

}  // namespace
