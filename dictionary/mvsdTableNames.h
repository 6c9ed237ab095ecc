// Data dictionary: the checks of table names and nested-table paths.
//
// A table is named by its root table's name, optionally followed by the
// names of nested tables, each after a colon ("qbdb:qbrecord"). A path
// from one table to another inside the same file is a colon-separated list
// of parts, each "." (this table), ".." (the parent table) or the name of a
// nested table. The checks belong to the server engine, which names tables
// wherever a cursor is opened; they live here because the dictionary,
// below the server, checks the table names that its referential-integrity
// descriptors store, and the server uses these same routines.
//
// Each check answers 0 or an error code and records its message as the
// thread's last converted exception (mvllExceptions.h), so that an
// exception made from the code alone carries it; nothing is raised.
//
// Layer: data dictionary; calls the foundation's identifier rules only.
// Threading: free of state; any thread.
#pragma once

#include <cstdint>
#include <string_view>

// Each part must be ".", ".." or a name under the identifier rules
// (reserved names allowed); otherwise 10039 "Invalid table name.". An empty
// path is one empty part, which is not a name.
uint32_t mvCheckChildTablePath(std::u16string_view aPath);

// The root name (up to the first ":") must be a name under the identifier
// rules, "$" names only with aAllowSpecial; a root name of more than two
// characters in angle brackets ("<name>") is checked without them. What
// follows the first ":" is checked as a child path. Failures give 10039; an
// empty name gives 10024 "Table does not exist." when aRequired, else
// 10039.
uint32_t mvCheckTableName(std::u16string_view aName, bool aRequired, bool aAllowSpecial);
