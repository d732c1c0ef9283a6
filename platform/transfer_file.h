// Files for the transfer commands, as each system supplies them: a file
// read from its start to its end, and a file written under a temporary name
// in the folder of its final name, given that name only when it is
// complete and never over a file that exists.
#pragma once

#include <cstddef>
#include <cstdint>

// Paths longer than this are refused (the temporary name is kept here).
constexpr size_t kTransferPathMax = 1024;

struct TransferFile {
    intptr_t handle = -1;                 // the system's descriptor or handle; -1: none
    char tempPath[kTransferPathMax] = {};  // a file being written: its temporary name
};

// Opens `path` to read; its size in `size`. A folder is refused.
bool TransferFileOpenRead(const char* path, TransferFile* file, uint64_t* size, unsigned long* error);

// Reads up to `length` bytes: how many came (0 at the end), or -1 with the
// error number in `error`.
long TransferFileRead(TransferFile* file, void* data, size_t length, unsigned long* error);

// Creates a new, empty file with a temporary name beside `finalPath` (same
// folder) and opens it for writing.
bool TransferFileCreateTemp(const char* finalPath, TransferFile* file, unsigned long* error);

// Writes all `length` bytes, or fails (a full disk among the reasons).
bool TransferFileWrite(TransferFile* file, const void* data, size_t length, unsigned long* error);

// A file being written: writes it out, closes it and gives it `finalPath`.
// Fails, the temporary file removed, when anything of that name exists by
// then or the file could not be written out.
bool TransferFileFinish(TransferFile* file, const char* finalPath, unsigned long* error);

// Closes the file; a file being written is removed.
void TransferFileDiscard(TransferFile* file);

// Whether anything (a file, a folder, a link) has that name.
bool TransferPathExists(const char* path);

// Whether `path` is a folder.
bool TransferFolderExists(const char* path);

// The system's text for an error number, without a line break; cut to fit.
void TransferErrorText(unsigned long error, char* text, size_t size);
