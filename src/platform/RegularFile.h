// Files read by name (the configuration file, survey logs) can be replaced by
// something that is not a file: opening a FIFO blocks until a writer comes, a
// device node may never reach end-of-file, a folder opens and reads nothing.
// Only a regular file, or a symlink to one, is read.
#pragma once

#include <cstdio>
#include <string>

enum class FileKind { Missing, Regular, Folder, Fifo, Device, Socket, Other };

// What the path names, symlinks followed; Missing when it cannot be looked up.
FileKind KindOfFile(const std::string& path);
// "a folder", "a FIFO", "a device", "a socket", "not a regular file".
const char* FileKindText(FileKind kind);

// Opens a regular file for reading (text as stored, close-on-exec). nullptr when
// the path names no regular file (kind says what it names) or when it cannot be
// opened (kind Regular). Never blocks on a FIFO and never opens a device.
std::FILE* OpenRegularFileForReading(const std::string& path, FileKind& kind);

// Text for a terminal or a message box: control bytes (C0, DEL, and the C1 range
// in its UTF-8 form) written as \xNN, so a file cannot send escape sequences to
// the user's terminal. Everything else stays as it is.
std::string EscapeControlBytes(const std::string& text);
