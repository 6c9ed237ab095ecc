// Server engine: the name rules of tables, aliases and other named objects
// (unit mvsdServerNames).
//
// Each check answers 0 or an error code and records its message as the
// thread's last converted exception (mvValidateIdentifier checks one name's
// characters, length and blanks); nothing is raised. The checks of whole
// table names and nested-table paths (mvCheckTableName,
// mvCheckChildTablePath) are the dictionary's, which stores table names
// too; this unit adds the server's own rules. Free of state; any thread.
// Calls the foundation and the dictionary's table-name checks.
#pragma once

#include <cstdint>
#include <string_view>

#include "dictionary/mvsdTableNames.h"

// A root table name alone: a ":" followed by more characters gives 10039
// with the code's own text followed by " Child name separators \":\" are
// not allowed."; "<name>" (more than two characters) is checked inside the
// brackets; other failures 10039, and an empty name 10024 when required.
uint32_t mvCheckRootTableName(std::u16string_view aName, bool aRequired, bool aAllowReserved);
// 10067 "Invalid alias name."; an empty name 10014 "Unknown database." when
// required.
uint32_t mvCheckAliasName(std::u16string_view aName, bool aRequired);
// 10068 "Invalid name."; an empty name 8712 "Could not find object." when
// required.
uint32_t mvCheckObjectName(std::u16string_view aName, bool aRequired);

// "#x": a temporary table private to its database (at least two
// characters, the second not "#").
bool mvIsTemporaryTableName(std::u16string_view aName);
// "##x": an engine-wide temporary table (more than two characters, the
// third not "#").
bool mvIsGlobalTemporaryTableName(std::u16string_view aName);
// "<x>" (more than two characters) or "###x" (more than three, the fourth
// not "#").
bool mvIsSpecialTableName(std::u16string_view aName);
