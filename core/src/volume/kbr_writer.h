// Writes a volume as a KBR document (uncompressed; the caller chooses the sink, usually a gzip
// one): the header with the box and the walk order, the palette definitions, then the runs of
// equal states along the walk. The walk order is the one with the fewest runs, counted exactly for
// all six orders from one pass over the grid; runs are what the body's size follows. A palette
// entry is stored as a difference against an earlier entry when that is shorter than its full
// text, and every definition is checked by parsing it back exactly as a reader will, so a file is
// written only when it reads back to the same states.
//
// KBR holds no block entities and no entities: a volume with any is refused unless the caller
// asks for them to be dropped, and the report says how many were.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "common/geometry.h"
#include "io/byte_sink.h"
#include "volume/volume.h"

namespace kubrel {

struct KbrWriteOptions {
  // Write a volume that has block entities or entities, leaving them out.
  bool drop_entities = false;
};

struct KbrWriteReport {
  size_t dropped_block_entities = 0;
  size_t dropped_entities = 0;
  AxisOrder order = AxisOrder::YZX;
  uint64_t runs = 0;
};

// Fails for a volume with block entities or entities (unless dropped), a state the format's
// grammar cannot express (neither as text nor as a difference), or a failing sink.
[[nodiscard]] Result<KbrWriteReport> write_kbr(const Volume& volume, const KbrWriteOptions& options,
                                               ByteSink& sink);

}  // namespace kubrel
