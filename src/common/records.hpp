// Message records: the library's only output. One record is one line on
// standard output: a blank (as list-directed output starts its records), the
// fixed text, and optionally one value on the same line. Each record is
// written with a single call and flushed, so records of solves running on
// different threads never interleave within a line.
#pragma once

namespace bk {

void record(const char* text);
void record(const char* text, int value);      // integer, right-aligned width 12
void record(const char* text, double value);   // double, %25.16E

// Writes the record, flushes, and ends the process with a failure status
// (across ranks: every rank of the job). For conditions that valid input
// never produces.
[[noreturn]] void fatal_record(const char* text);

}  // namespace bk
