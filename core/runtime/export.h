// Visibility of the core's functions and data inside the module's shared object:
// everything is hidden unless marked QN_EXPORT, which also gives it C linkage.
#pragma once

#define QN_EXPORT extern "C" __attribute__((visibility("default")))
