-- Prints the latency tail of a wrk run as "key value" lines (milliseconds).
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("requests %d\n", summary.requests))
  io.write(string.format("non2xx %d\n", e.status))
  io.write(string.format("sockerr %d\n", e.connect + e.read + e.write + e.timeout))
  io.write(string.format("p50 %.2f\n", latency:percentile(50) / 1000))
  io.write(string.format("p99 %.2f\n", latency:percentile(99) / 1000))
  io.write(string.format("p99.9 %.2f\n", latency:percentile(99.9) / 1000))
  io.write(string.format("max %.2f\n", latency.max / 1000))
end
