// Tests of the error-code message table and its lookup.
#include <gtest/gtest.h>

#include "foundation/errors/mvllErrors.h"

namespace {

const String kUnknown = u"Unknown (server exception object has unknown error code)";

TEST(mvGetErrorString, TableRowsComposedCodesAndUnknownCodes) {
  struct Case {
    int32_t code;
    String text;
  } cases[] = {
      {0, u"Success"},
      {3, u"Cache is invalid"},
      {MVERR_BOF, u"At beginning of table."},
      {10036, u"Unknown user name or password."},
      {10015, u"Invalid password given."},
      {15414, u"A TmvServerEngine without file header access factories has been detected. Please add "
              u"\"mvseAllEngines\" to your program's USES clause, and recompile."},
      {15536, u"No message is queued"},
      // Composed: "Cache is invalid" + ": " + the text of the code with 0xF0 cleared.
      {8945, u"Cache is invalid: At beginning of table."},
      {8950, u"Cache is invalid: Could not find record."},
      {8952, u"Cache is invalid: Could not find object."},
      {8944, u"Cache is invalid: " + kUnknown},  // 8704 has no row
      {8947, u"Cache is invalid: " + kUnknown},  // nor 8707
      {8959, u"Cache is invalid: " + kUnknown},
      // No row, and not composed on the full 32-bit value.
      {8707, kUnknown},
      {8943, kUnknown},
      {8960, kUnknown},
      {15514, kUnknown},
      {15520, kUnknown},
      {-1, kUnknown},
      {65536, kUnknown},
      {0x122F1, kUnknown},
      {static_cast<int32_t>(0xFFFF22F1u), kUnknown},
      {INT32_MIN, kUnknown},
  };
  for (const auto& c : cases) EXPECT_EQ(mvGetErrorString(c.code), c.text) << c.code;
}

TEST(mvGetErrorString, EveryNamedCodeHasItsOwnRow) {
  const int32_t named[] = {MVERR_KEYFILTERED, MVERR_REENTERED, MVERR_KEYVIOL, MVERR_RECLOCKED,
                           MVERR_OSUNKNOWN, MVERR_UPDATEABORTED, MVERR_FILEINVALIDDATA,
                           MVERR_UNEXPECTEDEXCEPTION, MVERR_NOMESSAGEQUEUED};
  for (int32_t code : named) EXPECT_NE(mvGetErrorString(code), kUnknown) << code;
  EXPECT_EQ(mvGetErrorString(MVERR_LOCKTIMEOUT), u"Lock time out.");
  EXPECT_EQ(mvGetErrorString(MVERR_UNEXPECTEDEXCEPTION), u"Unknown (unexpected exception object raised)");
}

TEST(mvHiByte, CategoryIsBits8To15) {
  EXPECT_EQ(mvHiByte(MVERR_BOF), 0x22);
  EXPECT_EQ(mvHiByte(MVERR_RECLOCKED), MVERRCAT_LOCKCONFLICT);
  EXPECT_EQ(mvHiByte(MVERR_DEADLOCK), 40);
  EXPECT_EQ(mvHiByte(MVERR_OSUNKNOWN), MVERRCAT_OS);
  EXPECT_EQ(mvHiByte(0x12345678), 0x56);
  EXPECT_EQ(mvHiByte(-1), 0xFF);
}

}  // namespace
