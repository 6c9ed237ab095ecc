// Platform layer: the string list. One string list serves the whole engine;
// it lives with the other general classes in platform/Classes.h. This header
// remains for the units that include it by this name.
#pragma once

#include "platform/Classes.h"

inline constexpr char16_t SListCapacityError[] = u"リストの容量が超えました (%d)";
inline constexpr char16_t SListCountError[] = u"リストの個数を超えました (%d)";
