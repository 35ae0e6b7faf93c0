#include "core/agentlog/content_id.h"

#include "core/agentlog/canonical.h"
#include "core/agentlog/sha256.h"

namespace korvane::agentlog {

std::string content_id(const json::JsonValue& value) {
  std::string id;
  id.reserve(kContentIdSize);
  id += "sha256:";
  append_hex(id, sha256(canonical_bytes(value)));
  return id;
}

}  // namespace korvane::agentlog
