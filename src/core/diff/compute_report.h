// The diff of two traces: the one entry point of the diff subsystem.
//
// compute_report pairs the chat_response records of the two traces by
// position, computes the nine axis rows, aligns the full response lists to
// find divergences, drills down into the most regressed pairs and derives
// recommendations. The records are only read; the report owns everything it
// holds. With a seed every bootstrap of the report is reproducible; without
// one each reads fresh OS entropy.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/agentlog/record.h"
#include "core/diff/axes.h"
#include "core/diff/cost.h"
#include "core/diff/report.h"

namespace korvane::diff {

// Record contents never make it fail. Throws InternalError
// "from_entropy failed: ..." when there is no seed and the OS refuses
// entropy; no partial report is returned.
DiffReport compute_report(std::span<const agentlog::Record> baseline,
                          std::span<const agentlog::Record> candidate, const PricingTable& pricing,
                          std::optional<uint64_t> seed);

// The chat_response records of a trace, in trace order.
std::vector<const agentlog::Record*> chat_responses(std::span<const agentlog::Record> trace);

// Response i of each list, for i below the smaller length; the surplus of the
// longer list is left out.
std::vector<ResponsePair> pair_by_position(std::span<const agentlog::Record* const> baseline,
                                           std::span<const agentlog::Record* const> candidate);

}  // namespace korvane::diff
