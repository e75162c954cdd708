#include "platform/pipewire/pipewire_buffer_content.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>

namespace velmora {

BufferContent contentOf(const spa_buffer& buffer) {
  if (buffer.n_datas < 1 || buffer.datas[0].chunk->size == 0 || (buffer.datas[0].chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0) {
    return BufferContent::unusable;
  }
  const auto* header =
      static_cast<const spa_meta_header*>(spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
  if (header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0) {
    return BufferContent::unusable;
  }
  // The damaged regions end with the first empty one.
  const spa_meta* damage = spa_buffer_find_meta(&buffer, SPA_META_VideoDamage);
  if (damage == nullptr || damage->size < sizeof(spa_meta_region)) {
    return BufferContent::changed;
  }
  return spa_meta_region_is_valid(static_cast<const spa_meta_region*>(damage->data)) ? BufferContent::changed
                                                                                     : BufferContent::unchanged;
}

}  // namespace velmora
