// Server engine: the name rules. See mvsdServerNames.h.
#include "server/mvsdServerNames.h"

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllUtils.h"

namespace {

// The code's own text, recorded, and the code.
uint32_t StandardText(int32_t aCode) { return EmvBaseException::mvSetMessage(aCode, String()); }

}  // namespace

uint32_t mvCheckRootTableName(std::u16string_view aName, bool aRequired, bool aAllowReserved) {
  if (aName.empty() && aRequired) return StandardText(MVERR_NOSUCHTABLE);
  const size_t colon = aName.find(u':');
  if (colon != std::u16string_view::npos && colon + 1 < aName.size())
    return EmvBaseException::mvSetMessage(
        MVERR_INVALIDTABLENAME, mvOriginalMessageMarker() + u" Child name separators \":\" are not allowed.");
  if (aName.size() > 2 && aName.front() == u'<' && aName.back() == u'>') aName = aName.substr(1, aName.size() - 2);
  return mvValidateIdentifier(aName, MVERR_INVALIDTABLENAME, false, aAllowReserved);
}

uint32_t mvCheckAliasName(std::u16string_view aName, bool aRequired) {
  if (aName.empty() && aRequired) return StandardText(MVERR_UNKNOWNDB);
  return mvValidateIdentifier(aName, MVERR_INVALIDALIASNAME, false, false);
}

uint32_t mvCheckObjectName(std::u16string_view aName, bool aRequired) {
  if (aName.empty() && aRequired) return StandardText(MVERR_OBJNOTFOUND);
  return mvValidateIdentifier(aName, MVERR_INVALIDNAME, false, false);
}

bool mvIsTemporaryTableName(std::u16string_view aName) {
  return aName.size() >= 2 && aName[0] == u'#' && aName[1] != u'#';
}

bool mvIsGlobalTemporaryTableName(std::u16string_view aName) {
  return aName.size() > 2 && aName[0] == u'#' && aName[1] == u'#' && aName[2] != u'#';
}

bool mvIsSpecialTableName(std::u16string_view aName) {
  if (aName.size() > 2 && aName.front() == u'<' && aName.back() == u'>') return true;
  return aName.size() > 3 && aName.substr(0, 3) == u"###" && aName[3] != u'#';
}
