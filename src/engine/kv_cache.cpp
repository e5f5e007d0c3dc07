#include "engine/kv_cache.hpp"

namespace korvex {

KvCache KvCache::empty(const ModelConfig& config) {
  KvCache cache;
  cache.layers.resize(config.layers);
  return cache;
}

}  // namespace korvex
