#include "flags.h"

int qnMetrics = 0;
int qnDebugger = 0;
std::atomic<unsigned char> gShutdown{0};
