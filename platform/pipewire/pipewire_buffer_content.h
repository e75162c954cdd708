#pragma once

struct spa_buffer;

namespace velmora {

enum class BufferContent { changed, unchanged, unusable };

// What a producer's buffer says about the picture in it: unusable when empty or marked corrupt
// (mutter sends empty buffers when only its cursor moved), unchanged when its damage list is
// empty, changed otherwise (also when it carries no damage list at all).
BufferContent contentOf(const spa_buffer& buffer);

}  // namespace velmora
