// The download access logs: one tab-separated row per resumable download,
// in "logs\downloadSuccessAccess.log" under the installation folder for
// result 0 and in "logs\downloadFailureAccess.log" for any other result.
#pragma once

// The header each file starts with: the column names and a rule of 142 "-".
extern const char kAccessLogHeader[];

// Opens the file in text append mode, writes the formatted text and closes
// it. Nothing happens when the file cannot be opened.
void AppendFormattedToFile(const char* path, const char* format, ...);
