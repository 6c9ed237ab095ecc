// Tests of the dictionary's start-up and shutdown: counting, and the
// registration of the descriptor classes (with the alias of the validations
// list) that dictionary streams name and of the engines made from them.
#include "dictionary/mvsdUnits.h"

#include <gtest/gtest.h>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/filters/mvsdDefaultValueEngines.h"
#include "dictionary/filters/mvsdValidationDescriptors.h"
#include "dictionary/filters/mvsdValidationEngine.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/items/mvsdFileDescriptor.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/keys/mvsdCompositeKeyFieldEngines.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/mvsdCustomDescriptors.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "dictionary/mvsdTableDescriptor.h"

namespace {

bool Registered(const TmvRegisterableDescriptorClassRef& aFamily, std::u16string_view aName) {
  return TmvBaseRegisterableDescriptor::FindDescriptorClass(aFamily, aName) != nullptr;
}

TEST(DictionaryUnits, StartTwiceStopTwice) {
  const auto& fields = TmvFieldDescriptor::StaticClass;
  ASSERT_FALSE(Registered(fields, u"TmvFieldDescriptor"));
  for (int round = 0; round < 2; ++round) {
    mvDictionaryInit();
    mvDictionaryInit();
    EXPECT_TRUE(Registered(fields, u"tmvfielddescriptor"));
    EXPECT_TRUE(Registered(TmvFieldsDescriptor::StaticClass, u"TmvFieldsDescriptor"));
    EXPECT_TRUE(Registered(TmvFileDescriptor::StaticClass, u"TmvFileDescriptor"));
    EXPECT_TRUE(Registered(TmvFilesDescriptor::StaticClass, u"TmvFilesDescriptor"));
    EXPECT_TRUE(Registered(TmvBaseDefaultValueDescriptor::StaticClass, u"TmvNextLSNDefaultValueDescriptor"));
    EXPECT_TRUE(Registered(TmvLocaleDescriptor::StaticClass, u"TmvLocaleDescriptor"));
    for (const char16_t* key : {u"TmvRefKeyDescriptor", u"TmvInt64KeyDescriptor", u"TmvBlobCacheKeyDescriptor",
                                u"TmvCompKeyDescriptor", u"TmvNoNullCompKeyDescriptor"})
      EXPECT_TRUE(Registered(TmvBaseKeyDescriptor::StaticClass, key));
    for (const char16_t* keyField :
         {u"TmvKeyFieldDescriptor", u"TmvTextKeyFieldDescriptor", u"TmvExtTextKeyFieldDescriptor"})
      EXPECT_TRUE(Registered(TmvKeyFieldDescriptor::StaticClass, keyField));
    EXPECT_TRUE(Registered(TmvIndexDescriptor::StaticClass, u"TmvIndexDescriptor"));
    for (const char16_t* indices :
         {u"TmvBaseIndicesDescriptor", u"TmvMainIndicesDescriptor", u"TmvInternalIndicesDescriptor"})
      EXPECT_TRUE(Registered(TmvBaseIndicesDescriptor::StaticClass, indices));
    for (const char16_t* kind : {u"Const", u"CurrentDateTime", u"CurrentUser", u"AutoGuid", u"Empty", u"NextLSN"}) {
      const String name = u"Tmv" + String(kind) + u"DefaultValue";
      EXPECT_TRUE(Registered(TmvBaseDefaultValueDescriptor::StaticClass, name + u"Descriptor")) << UTF8Encode(name);
      EXPECT_NE(TmvBaseRegisterableEngine::FindEngineClass(TmvBaseDefaultValueEngine::StaticClass, name + u"Engine"),
                nullptr)
          << UTF8Encode(name);
    }
    EXPECT_EQ(TmvBaseRegisterableDescriptor::FindDescriptorClass(TmvFieldValidationsDescriptor::StaticClass,
                                                                 u"TmvValidationsDescriptor"),
              &TmvFieldValidationsDescriptor::StaticClass);
    for (const char16_t* v : {u"MinMax", u"NoChange", u"SqlCheck"}) {
      const String name = u"Tmv" + String(v) + u"Validation";
      EXPECT_TRUE(Registered(TmvBaseFieldValidationDescriptor::StaticClass, name + u"Descriptor")) << UTF8Encode(name);
      EXPECT_NE(TmvBaseRegisterableEngine::FindEngineClass(TmvBaseValidationEngine::StaticClass, name + u"Engine"),
                nullptr)
          << UTF8Encode(name);
    }
    EXPECT_NE(TmvBaseRegisterableEngine::FindEngineClass(TmvBaseValidationEngine::StaticClass,
                                                         u"TmvNotNullValidationEngine"),
              nullptr);
    EXPECT_NE(TmvBaseRegisterableEngine::FindEngineClass(TmvFieldsValidationsEngine::StaticClass,
                                                         u"TmvFieldsValidationsEngine"),
              nullptr);
    EXPECT_NE(TmvBaseRegisterableEngine::FindEngineClass(TmvFieldValidationsEngine::StaticClass,
                                                         u"TmvFieldValidationsEngine"),
              nullptr);
    // Each list engine family resolves its own list class only.
    EXPECT_EQ(TmvBaseRegisterableEngine::FindEngineClass(TmvFieldValidationsEngine::StaticClass,
                                                         u"TmvFieldsValidationsEngine"),
              nullptr);
    EXPECT_EQ(TmvCompositeKeyFieldEngine::RegisteredEngines(),
              u"\"\",DateOnly,DateOnlyMonth,DateOnlyWeek,DateOnlyYear,NumbersOnly");
    // Each storage family resolves its own classes, and only those.
    const struct {
      const TmvRegisterableDescriptorClassRef& family;
      std::u16string_view name;
    } storage[] = {
        {TmvBaseRecordDescriptor::StaticClass, u"TmvHeapRecordDescriptor"},
        {TmvBaseBlobDescriptor::StaticClass, u"TmvHeapBlobDescriptor"},
        {TmvBaseAutoIncDescriptor::StaticClass, u"TmvAdvAutoIncDescriptor"},
        {TmvBaseHeapDescriptor::StaticClass, u"TmvBaseHeapDescriptor"},
        {TmvBaseBlockHeapDescriptor::StaticClass, u"TmvBaseBlockHeapDescriptor"},
        {TmvBaseRecordCompressionDescriptor::StaticClass, u"TmvBaseRecordCompressionDescriptor"},
        {TmvBaseStreamDescriptor::StaticClass, u"TmvBaseStreamDescriptor"},
        {TmvBaseCustomDescriptor::StaticClass, u"TmvBaseCustomDescriptor"},
        {TmvCustomDescsDescriptor::StaticClass, u"TmvCustomDescsDescriptor"},
        {TmvTablesDescriptor::StaticClass, u"TmvTablesDescriptor"},
        {TmvBaseTableDescriptor::StaticClass, u"TmvNestedTableDescriptor"},
    };
    for (const auto& s : storage) EXPECT_TRUE(Registered(s.family, s.name)) << UTF8Encode(String(s.name));
    EXPECT_FALSE(Registered(TmvBaseRecordDescriptor::StaticClass, u"TmvHeapBlobDescriptor"));
    EXPECT_FALSE(Registered(TmvBaseHeapDescriptor::StaticClass, u"TmvBaseBlockHeapDescriptor"));
    // Families stay apart.
    EXPECT_FALSE(Registered(fields, u"TmvFileDescriptor"));
    mvDictionaryFini();
    EXPECT_TRUE(Registered(fields, u"TmvFieldDescriptor"));
    mvDictionaryFini();
    EXPECT_FALSE(Registered(fields, u"TmvFieldDescriptor"));
    EXPECT_EQ(*TmvFieldDescriptor::Registry(), nullptr);  // the last name went: no registry
    EXPECT_EQ(*TmvBaseKeyDescriptor::Registry(), nullptr);
    EXPECT_EQ(*TmvBaseIndicesDescriptor::Registry(), nullptr);
    EXPECT_EQ(*TmvBaseDefaultValueDescriptor::Registry(), nullptr);
    EXPECT_EQ(*TmvBaseDefaultValueEngine::Registry(), nullptr);
    EXPECT_EQ(*TmvBaseFieldValidationDescriptor::Registry(), nullptr);
    EXPECT_EQ(*TmvBaseValidationEngine::Registry(), nullptr);
    EXPECT_EQ(*TmvFieldsValidationsEngine::Registry(), nullptr);
  }
  mvDictionaryFini();  // an unmatched stop changes nothing
  EXPECT_FALSE(mvDisable30900LocaleFixes);  // the test program has no such switch
}

}  // namespace
