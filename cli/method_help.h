// The channel's three methods as the command line names and explains them: `call METHOD
// --help`, and the nearest known name for a mistyped one. The texts say in short what
// docs/channel.md says in full.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace velmo::cli {

struct MethodHelp {
  std::string_view name;
  // The method's arguments, one key a line, ending in a newline.
  std::string_view text;
};

// "metadata", "render" and "tile", in that order.
std::span<const MethodHelp> channelMethods();

// The method named exactly |name|, or nullptr.
const MethodHelp* findMethod(std::string_view name);

// Edits (insertions, deletions, substitutions of one byte) from |a| to |b|, letters compared
// without case.
size_t editDistance(std::string_view a, std::string_view b);

// The known method nearest to |name|, when it is near enough to be a slip of the fingers: at
// most half the known name's letters (and at least one) differ. nullopt for a known name or
// for one near none.
std::optional<std::string_view> nearestMethod(std::string_view name);

}  // namespace velmo::cli
