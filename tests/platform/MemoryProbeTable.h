// The addresses the probe of the application's memory must judge, shared by
// the tests that make it ask the system in each of its ways.
#pragma once

// Runs the table against CMemoryProbe; failures are reported with the row.
void expect_probe_answers();
