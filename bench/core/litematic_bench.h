// The Litematica rows of the core benchmark tool: the floor (the file inflated in one call, its
// largest region's packed indices unpacked into an array) and a whole read through the reader.
#pragma once

namespace kubrel::bench {

// Each prints one JSON object; returns the process exit status.
int litematic_floor(const char* path);
int litematic_read(const char* path);

}  // namespace kubrel::bench
