// The transfer rate and time-left texts of the launcher page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The millisecond tick the rate and the time left are measured with.
uint32_t tickCount();

// Bytes per second over elapsedMs, truncated. False when less than 1 ms has
// passed: there is no rate to compute, and the caller keeps its last one.
bool computeRate(uint32_t bytes, uint32_t elapsedMs, uint32_t& rate);

std::string formatRateText(uint32_t rate);     // "%i b/s", "%.1f kb/s" or "%i kb/s"
std::string formatTimeText(float secondsLeft); // "%02d:%02d:%02d", rounded to whole seconds

// Fills a language file's time pattern with hours, minutes and seconds. Only
// %d / %i conversions (with flags and width) and %% are honoured: the pattern
// comes from a file and must not reach printf.
std::string formatTimePattern(const std::string& pattern, int hours, int minutes, int seconds);

// The pattern with each "%s" replaced by the next value, in order; a "%s"
// without a value stays empty. Language files supply patterns, so nothing
// here reaches printf.
std::string fillPattern(const std::string& pattern, const std::vector<std::string>& values);

// A byte count for people: "900 B", "12.3 kB", "45.6 MB", "1.2 GB".
std::string formatBytes(uint64_t bytes);
