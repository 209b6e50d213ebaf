// The region-file rows of the core benchmark tool: a world's region file read to per-chunk arrays
// of block-state indices, through the world reader beside the least any reader must do.
#pragma once

namespace kubrel::bench {

// Prints one JSON object; returns the process exit status.
int region_to_arrays(const char* path, int repeats);

}  // namespace kubrel::bench
