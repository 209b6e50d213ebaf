// The visible-face rows of the core benchmark tool: the pass that finds the faces a 3D view draws
// beside a plain pass over the same grid (a look read per cell and the non-empty ones counted).
#pragma once

namespace kubrel::bench {

// Prints one JSON object; returns the process exit status.
int visible_faces(const char* path);

}  // namespace kubrel::bench
