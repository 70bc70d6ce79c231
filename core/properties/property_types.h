// The ordered key/value container of the connector: insertion order, first-match
// case-sensitive lookup, at most QN_PROPERTY_CAPACITY entries. The entries array grows
// as pairs are added (QN_PROPERTY_FIRST_CAPACITY, then doubling up to the limit), so a
// table costs what it holds. The table owns its strings and its entries array.
#pragma once

extern "C" {

inline constexpr int QN_PROPERTY_CAPACITY = 8192;
// Slots of the entries array once the first pair is added.
inline constexpr int QN_PROPERTY_FIRST_CAPACITY = 8;

struct propertyEntry {
    char* key;
    char* value;
};

// entries[0] to entries[count-1] are in use; the array has capacity slots (null while
// capacity is 0). Copying the record by value would share the array: tables are passed
// by pointer.
struct propertyTable {
    propertyEntry* entries;
    int count;
    int capacity;
};

}  // extern "C"
