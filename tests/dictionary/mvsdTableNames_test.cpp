// Tests of the table-name and nested-table path checks: the codes and the
// messages they record for exceptions made from the code alone.
#include "dictionary/mvsdTableNames.h"

#include <gtest/gtest.h>

#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

// The message an exception made from the code alone carries.
String RecordedMessage(uint32_t aCode) { return EmvBaseException(int64_t(aCode)).ProcessedErrorString(); }

TEST(TableNames, TableNamesAndChildPaths) {
  const struct {
    const char16_t* name;
    bool required, allowSpecial;
    uint32_t code;
  } names[] = {{u"qbdb", true, false, 0},          {u"qbdb:qbrecord", true, false, 0},
               {u"a:b:c", true, false, 0},         {u"a:..", true, false, 0},
               {u"a:.:b", true, false, 0},         {u"a:$child", true, false, 0},  // nested names may be reserved
               {u"<sys>", true, false, 0},         {u"<$sys>", true, true, 0},
               {u"$sys", true, true, 0},           {u"", true, false, 10024},
               {u"", false, false, 10039},         {u"$sys", true, false, 10039},
               {u"<$sys>", true, false, 10039},    {u"<>", true, false, 10039},
               {u"a/b", true, false, 10039},       {u" qbdb", true, false, 10039},
               {u":qbrecord", true, false, 10039}, {u"qbdb:", true, false, 10039},
               {u"qbdb::x", true, false, 10039},   {u"qbdb:a|b", true, false, 10039}};
  for (const auto& n : names)
    EXPECT_EQ(mvCheckTableName(n.name, n.required, n.allowSpecial), n.code)
        << Utf8(n.name) << " required " << n.required << " special " << n.allowSpecial;

  const struct {
    const char16_t* path;
    uint32_t code;
  } paths[] = {{u"detail", 0},      {u".", 0},         {u"..", 0},    {u"..:..:gcount", 0},
               {u".:detail:$x", 0}, {u".detail", 0},   {u"", 10039},  {u":", 10039},
               {u"detail:", 10039}, {u"a:b/c", 10039}, {u"...:x", 0}, {u" a", 10039}};
  for (const auto& p : paths) EXPECT_EQ(mvCheckChildTablePath(p.path), p.code) << Utf8(p.path);
}

TEST(TableNames, RecordedMessages) {
  ASSERT_EQ(mvCheckTableName(u"qbdb:a|b", true, false), 10039u);
  EXPECT_EQ(RecordedMessage(10039), u"Invalid table name. \"|\" is not a valid character.");
  ASSERT_EQ(mvCheckTableName(u"", true, false), 10024u);
  EXPECT_EQ(RecordedMessage(10024), u"Table does not exist.");
  ASSERT_EQ(mvCheckChildTablePath(u"x:"), 10039u);
  EXPECT_EQ(RecordedMessage(10039), u"Invalid table name. Empty string is not allowed.");
}

}  // namespace
