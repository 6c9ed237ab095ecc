// Data dictionary: the checks of table names and nested-table paths. See
// mvsdTableNames.h.
#include "dictionary/mvsdTableNames.h"

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/mvllUtils.h"

namespace {

uint32_t CheckRootTableName(std::u16string_view aName, bool aAllowSpecial) {
  if (aName.size() > 2 && aName.front() == u'<' && aName.back() == u'>') aName = aName.substr(1, aName.size() - 2);
  return mvValidateIdentifier(aName, MVERR_INVALIDTABLENAME, false, aAllowSpecial);
}

}  // namespace

uint32_t mvCheckChildTablePath(std::u16string_view aPath) {
  for (;;) {
    const size_t colon = aPath.find(u':');
    const std::u16string_view part = aPath.substr(0, colon);
    if (part != u"." && part != u"..") {
      if (uint32_t code = mvValidateIdentifier(part, MVERR_INVALIDTABLENAME, false, true)) return code;
    }
    if (colon == std::u16string_view::npos) return 0;
    aPath.remove_prefix(colon + 1);
  }
}

// An empty name is the one failure that aRequired turns into 10024; its
// message is then the code's own text.
uint32_t mvCheckTableName(std::u16string_view aName, bool aRequired, bool aAllowSpecial) {
  if (aName.empty() && aRequired) return EmvBaseException::mvSetMessage(MVERR_NOSUCHTABLE, String());
  const size_t colon = aName.find(u':');
  if (uint32_t code = CheckRootTableName(aName.substr(0, colon), aAllowSpecial)) return code;
  return colon == std::u16string_view::npos ? 0 : mvCheckChildTablePath(aName.substr(colon + 1));
}
