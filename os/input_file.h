// Reading the input picture's file: opening it by name, its size, reading it
// in order, and moving ahead in a file. input_file_posix.cpp and
// input_file_windows.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An input opened for reading.
struct input_file {
  bool open = false;    // false: it could not be opened, or is a folder
  intptr_t handle = 0;  // the system's handle of it
  bool sized = false;   // a regular file, whose size is known and which can seek
  uint64_t size = 0;    // its size, when sized
};

// Opens `path` (UTF-8 text on Windows, bytes elsewhere) for reading. Regular
// files are sized; other inputs that can be read in order (a pipe, a FIFO,
// a terminal or another device) are streams on POSIX systems. On Windows
// only files on a disk are opened.
input_file open_input(const std::string& path);

// Reads `count` bytes into `bytes`, from where the last read ended; returns
// how many were read, fewer only where the input ends or fails. `failed`
// says whether it failed: a read error, not the end of the input.
size_t read_input(const input_file& in, uint8_t* bytes, size_t count, bool& failed);

// Makes the next read start at `offset` of a sized file; false on failure.
bool seek_input(const input_file& in, uint64_t offset);

void close_input(input_file& in);
