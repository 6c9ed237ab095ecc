// Storage: the interface of the SQL engine. See mvsrSqlEngine.h.
#include "storage/mvsrSqlEngine.h"

constinit const TmvComponentClassRef TmvBaseSqlEngine::StaticClass{
    {{u"TmvBaseSqlEngine", &TmvStateComponent::StaticClass}, nullptr}, &EmvStateComponentExceptionClass};
