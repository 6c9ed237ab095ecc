// Tests of the server's name rules.
#include <gtest/gtest.h>

#include "ServerTestSupport.h"

namespace {

TEST(ServerNames, TableNamesAndTheirParts) {
  struct Case {
    const char16_t* name;
    bool required;
    uint32_t table;  // mvCheckTableName
    uint32_t root;   // mvCheckRootTableName
  } cases[] = {
      {u"a", true, 0, 0},
      {u"a:b:c", true, 0, 10039},      // b and c checked as children
      {u"a:..", true, 0, 10039},       // the parent of a is a valid path part
      {u"a:.", true, 0, 10039},
      {u"a:b*c", true, 10039, 10039},  // a child that is no name
      {u"a*b:c", true, 10039, 10039},  // a root that is no name
      {u"<tmp>", true, 0, 0},          // checked inside the brackets
      {u"<a*b>", true, 10039, 10039},
      {u" a", true, 10039, 10039},
      {u"<>", true, 10039, 10039},
      {u"", true, 10024, 10024},
      {u"", false, 10039, 10039},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mvCheckTableName(c.name, c.required, false), c.table) << UTF8Encode(c.name);
    EXPECT_EQ(mvCheckRootTableName(c.name, c.required, false), c.root) << UTF8Encode(c.name);
  }
  EXPECT_EQ(mvCheckRootTableName(u"a:b", true, false), 10039u);
  EXPECT_EQ(LastText(10039), u"Invalid table name. Child name separators \":\" are not allowed.");
  EXPECT_EQ(mvCheckRootTableName(u"$sys", true, false), 10039u);
  EXPECT_EQ(mvCheckRootTableName(u"$sys", true, true), 0u);
}

TEST(ServerNames, AliasAndObjectNames) {
  EXPECT_EQ(mvCheckAliasName(u"", true), 10014u);
  EXPECT_EQ(LastText(10014), u"Unknown database.");
  EXPECT_EQ(mvCheckAliasName(u"", false), 10067u);
  EXPECT_EQ(mvCheckAliasName(u"my*alias", false), 10067u);
  EXPECT_EQ(mvCheckAliasName(u"Data1", true), 0u);
  EXPECT_EQ(mvCheckObjectName(u"", true), 8712u);
  EXPECT_EQ(mvCheckObjectName(u"", false), 10068u);
  EXPECT_EQ(mvCheckObjectName(u"x/y", true), 10068u);
  EXPECT_EQ(mvCheckObjectName(u"x", true), 0u);
}

TEST(ServerNames, TemporaryAndSpecialTableNames) {
  struct Case {
    const char16_t* name;
    bool temporary, global, special;
  } cases[] = {
      {u"#x", true, false, false},   {u"##x", false, true, false}, {u"###x", false, false, true},
      {u"<x>", false, false, true},  {u"#", false, false, false},  {u"##", false, false, false},
      {u"###", false, false, false}, {u"<>", false, false, false}, {u"####x", false, false, false},
      {u"x#", false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mvIsTemporaryTableName(c.name), c.temporary) << UTF8Encode(c.name);
    EXPECT_EQ(mvIsGlobalTemporaryTableName(c.name), c.global) << UTF8Encode(c.name);
    EXPECT_EQ(mvIsSpecialTableName(c.name), c.special) << UTF8Encode(c.name);
  }
}

}  // namespace
