// Field conversion: the mapper of Guid sources.
//
// `TmvGuidMapper` copies a Guid's 16 bytes into a Guid or the start of a
// ByteArray, and writes its braced registry text (38 upper-case characters)
// into a ShortString, NullString or WideString. A target too small for the
// whole value or text gets no conversion, so nothing is ever cut and the
// checking and forcing variants are one. Every routine is bound to the
// class.
//
// Layer: field conversion; calls the mapper base and common routines, the
// data dictionary's field descriptors, the engine's log and the platform's
// GUIDs. Stateless: any thread may run it.
#pragma once

#include "convert/mvsdFieldMapperBase.h"

class TmvGuidMapper : public TmvBaseFieldMapper {
  MV_DECLARE_CLASSREF(TmvFieldMapperClassRef)
 public:
  // Never makes an instance. For a string target the platform must be able
  // to create a GUID (its text is measured), else there is no conversion.
  MV_FIELD_MAPPER_TRY_CREATE
};

// Unit start-up and shutdown: register and remove the class in its cells.
void mvsdFieldMapperGuidInit();
void mvsdFieldMapperGuidFini();
