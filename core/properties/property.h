// Operations on propertyTable: the text parser and file loader, lookup, set, add and
// remove, the wrappers that run without a caller's record, and the lookups that expand
// "{name}" references. Every one of them is exported by the module.
//
// A table, its entries array and its strings come from the permMalloc slot of the record
// that created or extended it and go back through permFree. The array grows as entries
// are added; one that cannot grow is treated as full. Lookups return strings that still belong
// to the table; the expanding operations return new heap strings (doMalloc/doStrdup)
// that the caller releases with doFree.
#pragma once

#include "export.h"
#include "property_types.h"
#include "request_types.h"

// A new table with the pairs of a NUL-terminated text; null only when the table itself
// cannot be allocated. A null text parses as the empty text.
QN_EXPORT propertyTable* parseProperties(quon_request* req, const char* text);
// A new table parsed from the file at path, or null when it cannot be opened, is empty,
// or yields nothing to read.
QN_EXPORT propertyTable* loadProperties(quon_request* req, const char* path);
// Frees every key and value in use, then the table; a null table is ignored.
QN_EXPORT void freeProperties(quon_request* req, propertyTable* table);

// Value of the first entry whose key equals key (case-sensitive), or null.
QN_EXPORT const char* getPropertyValue(const propertyTable* table, const char* key);
// Sets the first entry with key to a copy of value, or appends copies of both; returns
// the entry's index, -1 when the key is new and the table full.
QN_EXPORT int setProperty(quon_request* req, propertyTable* table, const char* key,
                          const char* value);
// Sets the pair as setProperty does, then removes that entry; returns the new count.
QN_EXPORT int removeProperty(quon_request* req, propertyTable* table, const char* key,
                             const char* value);
// Frees the entry's strings and closes the gap; returns the new count.
QN_EXPORT int removePropertyByIndex(quon_request* req, propertyTable* table, int index);
// Appends the two pointers as they are; the table takes them over. Returns the new
// index, or -1 (with a message through log) when the table is full.
QN_EXPORT int addProperty1(quon_request* req, propertyTable* table, char* key, char* value);
// Appends like addProperty1 for callers that know there is room: it never allocates, so
// it appends only into a slot the entries array already has (count < capacity). Without
// one the table is left untouched and -1 returned.
QN_EXPORT int addProperty(propertyTable* table, char* key, char* value);

// The same operations with a default record of plain heap allocators and silent traces.
QN_EXPORT propertyTable* loadProperties1(const char* path);
QN_EXPORT propertyTable* parseProperties1(const char* text);
QN_EXPORT void freeProperties1(propertyTable* table);
QN_EXPORT int setProperty1(propertyTable* table, const char* key, const char* value);

// Expanded value of key: from props, or from defaults (may be null) when props lacks
// the key or holds exactly "{default}" for it. Null when there is nothing to expand.
QN_EXPORT char* getPropertyValue2(const propertyTable* props, const propertyTable* defaults,
                                  const char* key);
// As getPropertyValue2, also knowing "{quon.server.name}" (serverName) and
// "{quon.server.rootdir}" (rootDirs' value for serverName).
QN_EXPORT char* getPropertyValue3(const propertyTable* props, const propertyTable* defaults,
                                  const propertyTable* rootDirs, const char* key,
                                  const char* serverName);
// A copy of text with every "{name}" reference replaced by the name's expanded value;
// references to unknown names disappear. A null text counts as empty.
QN_EXPORT char* expand_vars(const char* text, const propertyTable* props,
                            const propertyTable* defaults);
QN_EXPORT char* expand_vars2(const char* text, const propertyTable* props,
                             const propertyTable* defaults, const propertyTable* rootDirs,
                             const char* serverName);
// 1 when text has a "{" and a "}" after it, with open and close pointing at the first
// such pair; else 0 and both left as they were.
QN_EXPORT int find_variable(const char* text, const char** open, const char** close);
