-- Makes wrk time a fixed number of requests, each on its own connection, cycling over
-- the members of a folder (wrk by itself runs for a time, against one path), from the
-- START-th request of the cycle.
--   wrk -c1 -t1 -d300s -s wrk.lua URL -- METHOD COUNT FOLDER START [PROPFIND-BODY]
-- At the COUNT-th answer it prints "wrk-count ANSWERS MICROSECONDS FAILED" (FAILED:
-- answers with a status of 400 or more) and stops sending; wrk itself runs on until
-- its time is up or it gets SIGINT, which bench/davbench.py sends on that line. Then
-- done() prints "wrk-errors N", the socket errors and timeouts of the whole run.
local ffi = require("ffi")
ffi.cdef [[
  struct timespec { long tv_sec; long tv_nsec; };
  int clock_gettime(int clock, struct timespec *t);
]]
local function microseconds()
  local t = ffi.new("struct timespec")
  ffi.C.clock_gettime(1, t) -- CLOCK_MONOTONIC
  return tonumber(t.tv_sec) * 1e6 + tonumber(t.tv_nsec) / 1e3
end

local requests, count, answered, failed, started, sent = {}, 0, 0, 0, 0, 0

function init(args)
  local method, folder, body = args[1], args[3], args[5]
  count = tonumber(args[2])
  sent = tonumber(args[4])
  local headers = { ["Connection"] = "close" }
  if method == "PROPFIND" then
    headers["Depth"] = "0"
    headers["Content-Type"] = "text/xml"
  end
  for i = 0, 999 do
    requests[i + 1] = wrk.format(method, folder .. string.format("f%05d.bin", i), headers, body)
  end
  started = microseconds()
end

function request()
  sent = sent + 1
  return requests[(sent - 1) % #requests + 1]
end

function response(status, headers, body)
  answered = answered + 1
  if status >= 400 then failed = failed + 1 end
  if answered == count then
    io.write(string.format("wrk-count %d %.0f %d\n", answered, microseconds() - started, failed))
    io.flush()
    wrk.thread:stop()
  end
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("wrk-errors %d\n", e.connect + e.read + e.write + e.timeout))
end
