#pragma once
// Written files survive a power cut only once their bytes are flushed: until
// then the names that point at them can reach the disk first, and a cut
// leaves them zero-filled or cut short. What an update places is flushed
// before any record (version.txt, the maps marker) says it is in place.
#include <filesystem>
#include <fstream>
#include <vector>

// Closes a file just written through the stream. Windows: its bytes are first
// flushed to the disk through the handle that wrote them, since reopening it
// later can be refused by a program that looks at the new file meanwhile (a
// sync or backup client, an indexer); a failed flush is logged with the file
// and the cause. POSIX: FlushFilesToDisk flushes them later. False (and the
// stream failed) when the file is not whole on the disk.
bool CloseWritten(std::ofstream& out, const std::filesystem::path& file);

// The bytes of the files just written below the directory and closed with
// CloseWritten reach the disk. POSIX: one syncfs of the file system that holds
// them, far cheaper than an fsync of each; Windows: nothing left to do. No list
// of the files is needed, so none is kept (100,000 paths take tens of MB).
// False when a flush failed.
bool FlushFilesToDisk(const std::filesystem::path& directory);

// Starts writing a file just written to the disk without waiting, so that the
// flush of many files finds most of their bytes there already. POSIX:
// sync_file_range; Windows: nothing (FlushFileBuffers flushes each file).
void StartWritingToDisk(const std::filesystem::path& file);

// A file about to be removed whose bytes are needed no more: what of them is
// not yet on the disk is dropped, so that a flush does not write it first.
// POSIX: the file is cut to nothing (syncfs would write it with the rest);
// Windows: nothing to do, only the files named are flushed.
void DropFileContent(const std::filesystem::path& file);

// The names created, renamed or removed below the directory reach the disk.
// POSIX: syncfs of its file system; Windows: nothing to do, every move is made
// write-through and NTFS journals names in order.
void FlushNamesToDisk(const std::filesystem::path& directory);
