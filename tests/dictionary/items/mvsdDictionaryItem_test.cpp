// Tests of the dictionary item base: the item header, IDs, custom strings,
// constraint names, copying, the tree walks, the renumbering rule and the
// locale part of localized items.
#include "dictionary/items/mvsdDictionaryItem.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "dictionary/mvsdDictionaryVersions.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class DictionaryItem : public DictionaryTest {};

std::vector<String> Lines(TmvDictionaryItem& aItem) {
  std::vector<String> lines;
  if (!aItem.IsCustomStringsStored()) return lines;
  for (int32_t i = 0; i < aItem.GetCustomStrings().Count(); ++i) lines.push_back(aItem.GetCustomStrings()[i]);
  return lines;
}

TEST_F(DictionaryItem, HeaderVersionsAndIDs) {
  TTestDictionary dd;
  EXPECT_EQ(dd.Fields->GetID(), 1);  // IDs from the root, in order of creation
  EXPECT_EQ(dd.Files->GetID(), 2);
  TmvDictionaryItem free(nullptr);
  EXPECT_EQ(free.GetID(), 0);

  TmvDictionaryItem item(dd.Fields);
  item.GetCustomStrings().Add(u"x=1");
  // Version 3: the custom strings, the ID and the (empty) constraint name.
  EXPECT_EQ(Written(item), (std::vector<uint8_t>{0x02, 0x03, 0x01, 0x06, 0x03, 'x', '=', '1', 0x00, 0x02, 0x03, 0x12,
                                                 0x00, 0x00, 0x00, 0x00}));
  // Version 1 below 20000: neither ID nor constraint name; reading it keeps
  // the ID the constructor gave.
  const std::vector<uint8_t> v1 = Written(item, mvPeerVersionItemIDs - 1);
  EXPECT_EQ(v1, (std::vector<uint8_t>{0x02, 0x01, 0x01, 0x06, 0x03, 'x', '=', '1', 0x00}));
  TmvDictionaryItem other(dd.Fields);
  ReadAll(v1, other);
  EXPECT_EQ(other.GetID(), 4);
  EXPECT_EQ(Lines(other), std::vector<String>{u"x=1"});
  // Version 2 carries an ID but no constraint name.
  ReadAll({0x02, 0x02, 0x01, 0x00, 0x02, 0x2A}, other);
  EXPECT_EQ(other.GetID(), 42);
  EXPECT_FALSE(other.IsCustomStringsStored());  // an empty list leaves no list

  for (uint8_t version : {0, 4}) {
    EXPECT_EQ(RaisedCode([&] { ReadAll({0x02, version, 0x01, 0x00}, other); }), 15498u) << int(version);
  }
}

TEST_F(DictionaryItem, CheckValidKeepsTheLastLineOfEachName) {
  TmvDictionaryItem item(nullptr);
  for (const char16_t* line : {u"a=1", u"b=2", u"A=3", u"   "}) item.GetCustomStrings().Add(line);
  item.CheckValid(false);
  EXPECT_EQ(Lines(item).size(), 4u);
  item.CheckValid(true);
  EXPECT_EQ(Lines(item), (std::vector<String>{u"b=2", u"A=3"}));

  TmvDictionaryItem single(nullptr);
  single.GetCustomStrings().Add(u"  ");  // fewer than two lines: untouched
  single.CheckValid(true);
  EXPECT_EQ(Lines(single).size(), 1u);
}

TEST_F(DictionaryItem, MissingInformationMarksOnlyTheDictionaryOnce) {
  TTestDictionary dd;
  mvSetMissingInformation(true);
  const std::vector<uint8_t> marked = Written(dd);
  TmvDictionaryItem child(dd.Fields);
  const std::vector<uint8_t> plainItem = Written(child, mvPeerVersionItemIDs - 1);
  mvSetMissingInformation(false);
  TTestDictionary copy;
  ReadAll(marked, copy);
  EXPECT_EQ(Lines(copy), std::vector<String>{u"$MissingInformation=True"});
  EXPECT_EQ(plainItem, (std::vector<uint8_t>{0x02, 0x01, 0x01, 0x00}));  // only the dictionary gets the line

  mvSetMissingInformation(true);
  const std::vector<uint8_t> again = Written(copy);  // already holds a value: not added twice
  mvSetMissingInformation(false);
  TTestDictionary third;
  ReadAll(again, third);
  EXPECT_EQ(Lines(third), std::vector<String>{u"$MissingInformation=True"});
}

TEST_F(DictionaryItem, ParentsAndRelatedDescriptors) {
  TTestDictionary dd;
  TmvDictionaryItem child(dd.Fields);
  TPersistent* found;
  EXPECT_TRUE(child.FindParentOfType(TmvFieldsDescriptor::StaticClass, found));
  EXPECT_EQ(found, dd.Fields);
  EXPECT_EQ(&child.GetDictionaryRoot(), static_cast<ImvDictionaryRoot*>(&dd));
  EXPECT_EQ(child.GetRelatedDescriptorOfType(TmvFilesDescriptor::StaticClass), dd.Files);

  String message;
  EXPECT_EQ(RaisedCode([&] { child.GetParentOfType(TmvFileDescriptor::StaticClass); }, &message), 8712u);
  EXPECT_EQ(message, u"No Parent of type TmvFileDescriptor could be found");
  TmvDictionaryItem loose(nullptr);
  EXPECT_EQ(RaisedCode([&] { loose.GetRelatedDescriptorOfType(TmvFilesDescriptor::StaticClass); }, &message), 8712u);
  EXPECT_EQ(message, u"No related Descriptor of type TmvFilesDescriptor could be found");
  EXPECT_EQ(RaisedCode([&] { loose.GetDictionaryRoot(); }, &message), 8712u);
  EXPECT_EQ(message, u"No Parent of type TmvDataDictionary could be found");

  EXPECT_EQ(dd.Fields->ChildCount(), 1);
  EXPECT_FALSE(dd.RequiresPack());

  // A child its parent did not free outlives it without a dangling parent.
  auto* parent = new TmvDictionaryItem(nullptr);
  auto* orphan = new TmvDictionaryItem(parent);
  delete parent;
  EXPECT_EQ(orphan->GetParent(), nullptr);
  delete orphan;
}

// An item that refers to one target and may ask for a pack.
struct Referrer : TmvDictionaryItem {
  Referrer(TPersistent* aParent, TmvDictionaryItem* aTarget) : TmvDictionaryItem(aParent), target(aTarget) {}
  bool References(TmvDictionaryItem* aItem) override { return aItem == target; }
  bool ItemRequiresPack() override { return pack; }
  TmvDictionaryItem* target;
  bool pack = false;
};

TEST_F(DictionaryItem, IterateReferencingAndRequiresPack) {
  TmvDictionaryItem root(nullptr), target(nullptr);
  Referrer a(&root, &target), other(&root, nullptr);
  Referrer deep(&other, &target);
  std::vector<TmvDictionaryItem*> visited;
  auto collect = [&](TmvDictionaryItem* aItem, void* aCookie) {
    EXPECT_EQ(aCookie, &visited);
    visited.push_back(aItem);
    return irContinue;
  };
  EXPECT_EQ(root.IterateReferencing(collect, &visited, &target, false), irContinue);
  EXPECT_EQ(visited, std::vector<TmvDictionaryItem*>{&a});
  visited.clear();
  root.IterateReferencing(collect, &visited, &target, true);
  EXPECT_EQ(visited.size(), 2u);  // the children in list order, each followed by its own
  EXPECT_NE(std::find(visited.begin(), visited.end(), &deep), visited.end());
  int calls = 0;
  auto stop = [&](TmvDictionaryItem*, void*) {
    ++calls;
    return irStop;
  };
  EXPECT_EQ(root.IterateReferencing(stop, nullptr, &target, true), irStop);
  EXPECT_EQ(calls, 1);

  EXPECT_FALSE(root.RequiresPack());
  deep.pack = true;
  EXPECT_TRUE(root.RequiresPack());  // found below a child
}

TEST_F(DictionaryItem, ConstraintNames) {
  TTestDictionary dd;
  TmvDictionaryItem a(dd.Fields), b(dd.Fields);
  a.SetConstraintName(u"PK_A");
  EXPECT_EQ(dd.Constraints, std::vector<String>{u"PK_A"});
  const int calls = dd.ConstraintCalls;
  a.SetConstraintName(u"PK_A");  // the same name registers nothing
  EXPECT_EQ(dd.ConstraintCalls, calls);

  EXPECT_EQ(RaisedCode([&] { b.SetConstraintName(u"pk_a"); }), 10009u);  // in use: b keeps none
  EXPECT_EQ(b.GetConstraintName(), u"");
  EXPECT_EQ(RaisedCode([&] { a.SetConstraintName(u"bad:name"); }), 10068u);
  EXPECT_EQ(a.GetConstraintName(), u"PK_A");

  a.SetConstraintName(u"PK_B");
  EXPECT_EQ(dd.Constraints, std::vector<String>{u"PK_B"});
  {
    TmvDictionaryItem c(dd.Fields);
    c.SetConstraintName(u"CHK");
  }
  EXPECT_EQ(dd.Constraints, std::vector<String>{u"PK_B"});  // destruction unregisters
}

TEST_F(DictionaryItem, ReadOnlyDictionaryRefusesChanges) {
  TTestDictionary dd;
  TmvDictionaryItem item(dd.Fields);
  dd.ReadOnly = true;
  for (auto change : {std::function<void()>([&] { item.SetConstraintName(u"X"); }),
                      std::function<void()>([&] { item.SetCustomStrings(nullptr); }),
                      std::function<void()>([&] { item.Clear(false); }),
                      std::function<void()>([&] { dd.Fields->AddField(u"A", u"", mvtInt32, 0, 0, false); }),
                      std::function<void()>([&] { dd.Files->AddFile(u"", mvbs4k, u""); })})
    EXPECT_EQ(RaisedCode(change), 15500u);
}

TEST_F(DictionaryItem, AssignCopiesThroughTheStream) {
  TTestDictionary dd;
  TmvFieldsDescriptor source(&dd), target(&dd);
  source.AddField(u"A", u"first", mvtInt32, 0, 0, true);
  source.AddField(u"B", u"", mvtNullString, 10, 0, false);
  source.GetCustomStrings().Add(u"k=v");
  const int32_t targetID = target.GetID();
  const int32_t before = dd.CurrentID;

  target.Assign(&source);
  EXPECT_TRUE(target.IsEqual(&source));
  EXPECT_EQ(target.GetID(), targetID);  // keeps its own ID
  ASSERT_EQ(target.FieldCount(), 2);
  EXPECT_EQ(target.FieldDescriptor(0)->GetID(), before + 1);  // new sub-items: fresh IDs
  EXPECT_EQ(target.FieldDescriptor(1)->GetID(), before + 2);
  EXPECT_EQ(Lines(target), std::vector<String>{u"k=v"});
  EXPECT_EQ(mvGetAssignDepth(), 0);

  TmvFilesDescriptor files(&dd);
  EXPECT_THROW(files.Assign(&source), EConvertError);  // another class: the platform refuses
}

TEST_F(DictionaryItem, RenumberingRule) {
  struct Case {
    int32_t oldNumber, newNumber, held, expected;
  } cases[] = {
      {2, 5, 2, 5},    // its own entry moves
      {2, -1, 2, -1},  // its own entry goes (a holder refuses this in the check pass)
      {0, -1, 2, 1},   // an entry before it goes
      {3, -1, 2, 2},   // an entry after it goes
      {-1, 0, 2, 3},   // inserted before it
      {-1, 2, 2, 3},   // inserted at its place
      {-1, 3, 2, 2},   // inserted after it
      {0, 2, 2, 1},    // moved from before to its place
      {0, 4, 2, 1},    // moved from before to after
      {4, 1, 2, 3},    // moved from after to before
      {4, 2, 2, 3},    // moved from after to its place
      {0, 1, 2, 2},    // moved within the part before it
      {3, 4, 2, 2},    // moved within the part after it
  };
  for (const Case& c : cases)
    EXPECT_EQ(mvRenumberAfterChange(c.held, c.oldNumber, c.newNumber), c.expected)
        << c.oldNumber << " -> " << c.newNumber << " holding " << c.held;
  EXPECT_TRUE(mvChangeRemoves(2, 2, -1));
  EXPECT_FALSE(mvChangeRemoves(2, 2, 0));
}

TEST_F(DictionaryItem, LocalePartAndInheritance) {
  TTestDictionary dd;
  TmvFieldDescriptor* field = dd.Fields->AddField(u"Name", u"", mvtNullString, 10, 0, false);
  EXPECT_EQ(field->GetUsedLocaleDescriptor(), nullptr);
  EXPECT_EQ(field->GetUsedStorageCodePage(), 0);

  // A field without a locale of its own uses the nearest one above it.
  TmvLocalizedDictionaryItem table(&dd);
  TmvFieldsDescriptor fields(&table);
  TmvFieldDescriptor* inner = new TmvFieldDescriptor(&fields, u"X", u"", mvtNullString, 5, 0, false);
  std::unique_ptr<TmvFieldDescriptor> innerOwner(inner);
  EXPECT_EQ(inner->GetUsedLocaleDescriptor(), nullptr);
  table.AddLocaleDescriptor()->SetOverrideStorageCodepage(1252);
  ASSERT_NE(table.GetLocaleDescriptor(), nullptr);
  EXPECT_EQ(inner->GetUsedLocaleDescriptor(), table.GetLocaleDescriptor());
  EXPECT_EQ(inner->GetUsedStorageCodePage(), 1252);

  // The cache keeps what it found.
  table.ActivateCache();
  table.GetLocaleDescriptor()->SetOverrideStorageCodepage(932);
  EXPECT_EQ(inner->GetUsedStorageCodePage(), 1252);
  table.DeactivateCache();
  EXPECT_EQ(inner->GetUsedStorageCodePage(), 932);

  // The locale part: integer 1, boolean, class name, body; none below 20000.
  EXPECT_EQ(RaisedCode([&] { Written([&](TmvWriter& w) { table.SaveLocaleToWriter(w, mvPeerVersionItemIDs - 1); }); }), 12039u);
  TmvLocalizedDictionaryItem copy(&dd);
  ReadAll(Written([&](TmvWriter& w) { table.SaveLocaleToWriter(w, mvEngineVersion); }),
          [&](TmvReader& r) { copy.LoadLocaleFromReader(r); });
  EXPECT_TRUE(copy.IsEqual(&table));
  ReadAll({0x02, 0x01, 0x08}, [&](TmvReader& r) { copy.LoadLocaleFromReader(r); });
  EXPECT_EQ(copy.GetLocaleDescriptor(), nullptr);  // none in the stream: none left
  EXPECT_FALSE(copy.IsEqual(&table));

  String message;
  const std::vector<uint8_t> unknown = {0x02, 0x01, 0x09, 0x06, 0x04, 'N', 'o', 'n', 'e'};
  EXPECT_EQ(RaisedCode([&] { ReadAll(unknown, [&](TmvReader& r) { copy.LoadLocaleFromReader(r); }); }, &message),
            15499u);
  EXPECT_EQ(message, u"LocaleDescriptor class is not supported: None");
  EXPECT_EQ(RaisedCode([&] { ReadAll({0x02, 0x02, 0x08}, [&](TmvReader& r) { copy.LoadLocaleFromReader(r); }); }),
            15498u);

  // The own locale is checked with the item.
  table.GetLocaleDescriptor()->SetOverrideStorageCodepage(1);
  EXPECT_EQ(RaisedCode([&] { table.CheckValid(false); }), 10043u);
  table.RemoveLocaleDescriptor();
  EXPECT_EQ(table.GetLocaleDescriptor(), nullptr);
  table.CheckValid(false);
}

}  // namespace
