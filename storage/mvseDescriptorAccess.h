// Storage: what the heap and BLOB engines read of their dictionary
// descriptors, in a unit of its own so that the engines' units need not
// include the dictionary's headers beside the storage types.
#pragma once

#include <cstdint>

class TmvBaseHeapDescriptor;
class TmvBaseBlockHeapDescriptor;

int32_t mvHeapDescriptorID(const TmvBaseHeapDescriptor* aDescriptor);
TmvBaseBlockHeapDescriptor* mvBlockHeapDescriptorOf(const TmvBaseHeapDescriptor* aDescriptor);
