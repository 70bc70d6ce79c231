#include "slow_start.h"

#include <algorithm>
#include <cstdlib>

double qnSlowStartShare(const mappingsTable* table, const quonProxy* proxy, int64_t nowMono) {
    const int64_t span = int64_t(table->slowStartSeconds) * 1000;
    if (span <= 0 || !proxy) return 1.0;
    constexpr auto relaxed = std::memory_order_relaxed;
    const int64_t up = proxy->upSinceMono.load(relaxed);
    const int64_t elapsed = nowMono - up;
    if (up == 0 || elapsed >= span) return 1.0;
    // Back after being out, or a member that joined once the table served: warming.
    const bool cameBack = proxy->downSinceMono.load(relaxed) != 0;
    const bool lateJoin =
        table->firstJoinMono != 0 && up - table->firstJoinMono > QN_SLOW_START_JOIN_GRACE_MS;
    if (!cameBack && !lateJoin) return 1.0;
    return std::max(QN_SLOW_START_LEAST, double(std::max<int64_t>(elapsed, 0)) / double(span));
}

double qnSlowStartDraw() { return double(rand()) / (double(RAND_MAX) + 1.0); }
