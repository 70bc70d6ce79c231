// The ordered key/value container of the connector: fixed capacity, one allocation,
// insertion order, first-match case-sensitive lookup. The table owns its strings.
#pragma once

extern "C" {

inline constexpr int QN_PROPERTY_CAPACITY = 8192;

struct propertyEntry {
    char* key;
    char* value;
};

struct propertyTable {
    propertyEntry entries[QN_PROPERTY_CAPACITY];
    int count;
};

}  // extern "C"
