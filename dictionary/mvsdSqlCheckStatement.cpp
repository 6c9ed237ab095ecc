// Data dictionary: the abstract CHECK statement. See mvsdSqlCheckStatement.h.
#include "dictionary/mvsdSqlCheckStatement.h"

std::atomic<const TmvSqlCheckStatementClassRef*> mvSqlCheckStatementClass{nullptr};

void TmvBaseSqlCheckStatement::GetBlobValue(TmvFieldDescriptor*, bool, TmvBlobNr, Variant& aValue) {
  aValue = Variant();
}
