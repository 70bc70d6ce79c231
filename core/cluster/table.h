// Operations of the mappings table: its life (table.cpp), membership (membership.cpp),
// and the server store and bootstrap server (store.cpp, bootstrap.cpp).
//
// Every operation takes the table first. Where an operation has a lock flag, 1 means it
// takes tableLock itself and 0 that its caller already holds it.
#pragma once

#include <cstdint>

#include "property_types.h"
#include "proxy_types.h"
#include "request_types.h"
#include "table_types.h"

// table.cpp: the record's life. initTable takes initLock, then (for its additions)
// tableLock; 0 when the table is ready, -1 when no server could be found. Its exchanges
// run with tableLock released: it is the upkeep's (upkeep.cpp), never a request's.
int32_t initTable(mappingsTable* table, quon_request* req);
// Sets ignoreSuffixes under tableLock and returns its previous value.
int32_t ignoreSuffixMap(mappingsTable* table, quon_request* req, int32_t flag);

// membership.cpp. addProxy, removeProxy and updateProxy take the proxy's lock inside
// tableLock. addProxy returns 0, or -1 when the master list is full and the proxy is not
// in it: the table then holds no reference to it and the caller still owns it.
int32_t addProxy(mappingsTable* table, quonProxy* proxy, quon_request* req, int lock);
void removeProxy(mappingsTable* table, quonProxy* proxy, quon_request* req, int lock);
void updateProxy(mappingsTable* table, quonProxy* proxy, quon_request* req, int lock);
// Master-list slot of the first proxy with exactly this name, or -1. tableLock held.
int32_t hasProxyNamed(const mappingsTable* table, const char* name);
// Creates, initialises and adds the servers that serverList names (its values) and
// re-activates known ones; then rewrites the store. A name at an address no server is at
// (unspecified, multicast, link-local, broadcast) or outside the member networks is
// refused with a line that says why, unless it is the configured bootstrap server. Each
// new server is checked, then initialised with no lock held and added under tableLock,
// which the caller does not hold. Consumes serverList; returns the number of servers
// created and added.
int32_t addRemoteJvms(mappingsTable* table, quon_request* req, propertyTable* serverList);
// The same for the names the server store holds, which are taken as configured: no
// address refusal, no member networks.
int32_t addStoredServers(mappingsTable* table, quon_request* req, propertyTable* serverList);
// The networks the table's members must be in (count 0: any); the array outlives the
// table. Set before the table is first used.
void setMemberNetworks(mappingsTable* table, const qnNetwork* networks, int32_t count);
// Moves the last entry back to its place in match order. tableLock held.
void mergeNewMapping(mappingsTable* table);
// Applies the member list of a server that reported sequence number seq: fetches it and
// initialises new members with no lock held, applies the rest under tableLock (which the
// caller does not hold). 1 when a list was applied, 0 when there was nothing to do (the
// number is known, or another thread fetches), -1 when the list could not be fetched or
// a listed server could not be initialised (the number is then not taken).
int32_t updateClusteredServers(mappingsTable* table, quon_request* req, quonProxy* proxy,
                               int32_t seq);
// Traces the entries and their proxies under label. tableLock held.
void dumpMappings(mappingsTable* table, quon_request* req, const char* label);

// store.cpp. loadServersFromStore runs under initLock; persistServers takes tableLock to
// read the master list and writes the file without it. Neither is called with tableLock
// held.
int32_t loadServersFromStore(mappingsTable* table, quon_request* req);
int32_t persistServers(mappingsTable* table, quon_request* req);
// The URL patterns the store holds, then those the operator claims, as the table's knownPatterns (replacing any it had);
// their number. Takes tableLock for the replacement alone.
int32_t loadKnownPatterns(mappingsTable* table, quon_request* req);

// bootstrap.cpp: the servers the bootstrap server lists, added as addRemoteJvms adds
// them; its exchange runs with no lock held.
int32_t retrieveServersFromBootstrapServer(mappingsTable* table, quon_request* req);
