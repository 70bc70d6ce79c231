// The request attribute list: named binary values kept for one request. New nodes go
// in front; lookups find the newest node of a name. The list owns its nodes; names and
// values only when a node is marked owned, else their setter keeps them alive until
// freeAttributes has run.
#pragma once

#include "request_types.h"

void setAttribute(quon_request* req, const char* name, const void* value, int size);
const void* getAttribute(quon_request* req, const char* name, void* destination);
int getAttributeSize(quon_request* req, const char* name);
char** getAttributeNames(quon_request* req);
void freeAttributes(quon_request* req);
void freeAttributeNames(quon_request* req);
