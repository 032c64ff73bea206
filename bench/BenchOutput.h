#pragma once
// What the bench programs share: a monotonic clock, the process's memory
// counters, and the JSON they hand to bench/run_bench.py.

#include <windows.h>

#include <string>

// Seconds on the performance counter; only differences mean anything.
double NowSeconds();

// A JSON string literal of the text, in UTF-8.
std::string JsonText(const std::wstring& text);

// GetProcessMemoryInfo of this process as a JSON object, in bytes.
std::string MemoryCountersJson();

// The JSON text goes to the file; false when it cannot be written.
bool WriteJsonFile(const std::wstring& path, const std::string& json);

// A fixed-point number for JSON, e.g. Number(0.0123456) == "0.012346".
std::string Number(double value);
