// The lazy palette store: placeholders per temporary id and their resolution through a palette.
#include "store/lazy_palette_store.h"

#include <string>
#include <utility>

namespace kubrel {

Result<LazyPaletteBlockStoreWrapper> LazyPaletteBlockStoreWrapper::empty_fixed_from_size(
    int32_t d_x, int32_t d_y, int32_t d_z) {
  Boundary boundary{{0, 0, 0},
                    static_cast<uint32_t>(d_x),
                    static_cast<uint32_t>(d_y),
                    static_cast<uint32_t>(d_z)};
  KUBREL_ASSIGN_OR_RETURN(auto inner, PagedBlockStore::new_for_boundary(boundary));
  return LazyPaletteBlockStoreWrapper(std::move(inner));
}

LazyPaletteBlockStoreWrapper::TempEntry& LazyPaletteBlockStoreWrapper::temp_state_from_temp_id(
    int64_t temp_id) {
  TempEntry* entry;
  if (temp_id >= 0 && temp_id < kDenseTempIds) {
    auto index = static_cast<size_t>(temp_id);
    if (index >= dense_temp_states_.size()) dense_temp_states_.resize(index + 1);
    entry = &dense_temp_states_[index];
  } else {
    entry = &sparse_temp_states_[temp_id];
  }
  if (entry->placeholder == nullptr) {
    entry->placeholder = make_state(BlockState("unknown", {{"id", std::to_string(temp_id)}}));
  }
  return *entry;
}

Status LazyPaletteBlockStoreWrapper::set_unknown_block(const BlockPosition& position,
                                                       int64_t temp_id) {
  TempEntry& entry = temp_state_from_temp_id(temp_id);
  if (entry.inner_id != kNoInnerId) return inner_->set_palette_id_at(position, entry.inner_id);

  KUBREL_TRY(inner_->set_block_at(position, entry.placeholder));
  // Placeholders differ for every temporary id, so this one has just become a new inner id.
  size_t inner_id = *inner_->palette_id(*entry.placeholder);
  entry.inner_id = inner_id;
  if (temp_id_of_inner_.size() <= inner_id) temp_id_of_inner_.resize(inner_id + 1);
  temp_id_of_inner_[inner_id] = temp_id;
  if (actual_palette_) resolve(inner_id);
  return {};
}

void LazyPaletteBlockStoreWrapper::set_actual_palette(
    std::unordered_map<int64_t, BlockStateRef> palette) {
  actual_palette_ = std::move(palette);
  resolved_.clear();
  for (size_t inner_id = 0; inner_id < temp_id_of_inner_.size(); ++inner_id) resolve(inner_id);
}

void LazyPaletteBlockStoreWrapper::resolve(size_t inner_id) {
  if (resolved_.size() <= inner_id) resolved_.resize(inner_id + 1);
  auto it = actual_palette_->find(temp_id_of_inner_[inner_id]);
  resolved_[inner_id] = it == actual_palette_->end() ? nullptr : it->second;
}

Result<std::optional<BlockStateRef>> LazyPaletteBlockStoreWrapper::block_at(
    const BlockPosition& position) const {
  if (!actual_palette_) return fail("Can not access blocks if palette is not provided");
  KUBREL_ASSIGN_OR_RETURN(std::optional<size_t> inner_id, inner_->palette_id_at(position));
  if (!inner_id) return std::optional<BlockStateRef>{};
  // Only placeholders stored through this wrapper reach the inner store.
  if (*inner_id >= resolved_.size()) return fail("Invalid temporary ID");
  const BlockStateRef& state = resolved_[*inner_id];
  if (state == nullptr) return fail("Temporary ID not found in actual palette");
  return std::optional<BlockStateRef>{state};
}

}  // namespace kubrel
