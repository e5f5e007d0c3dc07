#include "gguf/warm_up.hpp"

#include <fmt/format.h>

#include "common/fatal.hpp"
#include "common/output.hpp"

namespace korvex {

uint64_t warm_up_total(std::span<const TensorInfo> tensors, uint64_t data_offset, uint64_t mapping_size) {
  uint64_t total = 0;
  for (const TensorInfo& t : tensors) {
    std::optional<ByteRange> r = tensor_byte_range(t, data_offset);
    // A corrupt record is not this pass's business: the weights loader refuses it at use.
    if (!r || r->end > mapping_size) continue;
    total += r->end - r->begin;  // each size fits in the mapping, so 64 bits cannot overflow here
    if (total > WARM_UP_LIMIT) break;
  }
  return total;
}

std::string warm_up_message(uint64_t total) {
  return fmt::format("korvex: mmap warmup complete ({:.1f} GB touched)", static_cast<double>(total) / 1e9);
}

void warm_up_mapping(std::shared_ptr<const GgufFile> file) {
  try {
    uint64_t total = warm_up_total(file->tensors, file->data_offset, file->mmap.size);
    err_line(warm_up_message(total));
  } catch (const Fatal& f) {
    err_line_unchecked(f.what());
  }
  file.reset();
}

}  // namespace korvex
