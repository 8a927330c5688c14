#pragma once

// Prints "idle_ms=<ms>" once the event loop has gone quiet, then quits it. The time runs from
// spawned_ns, the CLOCK_MONOTONIC nanoseconds the harness read just before starting this
// process, to the last moment the loop was about to wait before a quiet spell, so events
// that arrive late in start-up are counted too.
void report_idle_time_then_quit(const char* spawned_ns);
