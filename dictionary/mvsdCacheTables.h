// Data dictionary: the names that cacheable and cache tables use.
//
// A source table takes part in record caching once it is cacheable: a
// modify LSN kept in a main index (to find changed rows), an insert LSN and
// a record reference (to tell rows apart), and internal indexes for deleted
// rows (the graveyard) and for BLOB numbers. A cache table, made from a copy
// of the source's dictionary, keeps the rows of a cache with the variable
// record engine and, when it has BLOB fields, an internal index of cached
// BLOBs. The operations are members of the table descriptor and the data
// dictionary (`IsCacheable`, `MakeCacheable`, `MakeCacheTable`, `MakeCache`,
// declared in mvsdTableDescriptor.h and mvsdDataDictionary.h and defined in
// mvsdCacheTables.cpp); the storage and server layers find the parts by
// these names.
//
// Layer: data dictionary. Threading: constants only.
#pragma once

// The custom string that marks what MakeCacheable added, so that it can be
// told apart from the user's schema: "$Implicit"="$Cacheable".
inline constexpr char16_t mvImplicitName[] = u"$Implicit";
inline constexpr char16_t mvImplicitCacheable[] = u"$Cacheable";

// The special fields MakeCacheable adds when the table has none of the kind.
inline constexpr char16_t mvModifyLSNFieldName[] = u"$ModifyLSN";
inline constexpr char16_t mvInsertLSNFieldName[] = u"$InsertLSN";
inline constexpr char16_t mvRefNrFieldName[] = u"$RefNr";

// The main index over the modify LSN.
inline constexpr char16_t mvModifyLSNIndexName[] = u"$ModifyLSN";
// The internal indexes: of a cacheable table, the deleted rows by LSN and by
// reference and the counter of BLOB numbers; of a cache table with BLOB
// fields, the cached BLOBs.
inline constexpr char16_t mvGraveyardLSNIndexName[] = u"$GraveyardLSN";
inline constexpr char16_t mvGraveyardRefNrIndexName[] = u"$GraveyardRefNr";
inline constexpr char16_t mvBlobNrCounterIndexName[] = u"$BlobNrCounter";
inline constexpr char16_t mvCachedBlobsIndexName[] = u"$CachedBlobs";
