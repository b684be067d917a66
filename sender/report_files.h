#pragma once
// The report folder on disk: made with its parents, written file by file
// through temporary names, listed, and moved once sent. Every file goes into
// the folder by a single checked name, never along an outside path.
#include <ctime>
#include <string>
#include <vector>

#include "crash_block.h"

namespace sender {

// The largest listed file copied whole; a longer one is cut there.
inline constexpr long long kMaxCopiedFile = 64ll << 20;
// All listed files together: the crashed process waits while they are copied.
inline constexpr long long kMaxCopiedTotal = 256ll << 20;

// Creates the folder and any missing parents (private to the user).
bool MakeDirectories(const std::string& path, std::string* error);

// Replaces folder/name with the content as one step: a reader never sees half a file.
bool WriteReportFile(const std::string& folder, const std::string& name, const std::string& content,
                     std::string* error);

// Copies a listed file, or every match of a pattern, into the folder under its
// destination name; one note per file says what happened. *budget is the
// number of bytes the report may still take; copies take it down.
void CopyListedFile(const std::string& folder, const FileItem& item, long long* budget,
                    std::vector<std::string>* notes);

// The report folders (GUID names holding a report.txt) under an application folder, sorted.
std::vector<std::string> ListReports(const std::string& appFolder);

// The regular files of a folder, sorted by name.
std::vector<std::string> FilesOf(const std::string& folder);

bool MoveFolder(const std::string& from, const std::string& to, std::string* error);

// Deletes a report folder and the files in it; links are removed, never followed.
bool RemoveFolder(const std::string& folder, std::string* error);

// Stores every file of the folder in one ZIP archive at `archive`, written
// through a temporary name.
bool StoreArchive(const std::string& folder, const std::string& archive, std::time_t time, std::string* error);

// The start of a regular file, at most `limit` bytes; false when it cannot be read.
bool ReadSmallFile(const std::string& path, size_t limit, std::string* text);

// Names the sender writes itself; a listed file may not take them.
bool IsReservedName(const std::string& name);

}  // namespace sender
