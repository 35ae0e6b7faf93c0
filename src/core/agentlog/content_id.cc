#include "core/agentlog/content_id.h"

#include "core/agentlog/canonical.h"
#include "core/agentlog/sha256.h"

namespace korvane::agentlog {

std::string content_id(const json::JsonValue& value) {
  // The canonical bytes go to the hash in pieces as they are written.
  Sha256 hasher;
  json::Output out;
  out.spill_to([&](json::Output& full) {
    hasher.update(full.view());
    full.clear();
  });
  write_canonical(out, value);
  hasher.update(out.view());
  std::string id;
  id.reserve(kContentIdSize);
  id += "sha256:";
  append_hex(id, hasher.finish());
  return id;
}

}  // namespace korvane::agentlog
