// The demo flavour's main-loop stall probe: when VORLIA_DEMO_STALL_LOG names a
// file, one line "<end_monotonic_us> <stall_us> <cpu_us>" is appended to it for
// every turn of the default main context whose work (from the end of one poll
// to the start of the next) lasted 8 ms or more; the last field is the main
// thread's processor time in that turn, which tells work from waiting. Benchmarks read it with
// bench/lib/stalls.py. The production executable links none of this.
#pragma once

namespace vorlia::demo {

// Attaches the probe to the default main context when the variable is set.
// Call it from main before any thread starts; the probe lives as long as the
// process.
void startStallProbeFromEnvironment();

} // namespace vorlia::demo
