#include "core/Selection.h"

#include <algorithm>

namespace nq_tolvane {
std::string SelectionProblem(const Selection& selection,
                             const std::string& prefix) {
  if (selection.since && selection.until && *selection.until < *selection.since)
    return "the window ends before it starts";
  Position position;
  if (selection.after.empty()) return "";
  if (!ParsePosition(selection.after, &position))
    return "not a position: " + selection.after;
  if (position.prefix != prefix)
    return "a position of log " + position.prefix + ", not of log " + prefix;
  return "";
}

std::vector<Rule> WindowRules(const Pieces& pieces,
                              const std::optional<std::int64_t>& since,
                              const std::optional<std::int64_t>& until,
                              bool* before) {
  auto first = [&](std::int64_t time) {
    std::size_t i = 0;
    while (i < pieces.size() && pieces[i].endTime() < time) ++i;
    return i;
  };
  std::vector<Rule> rules(pieces.size(), Rule::kNone);
  *before = false;
  if (since) {
    const std::size_t from = first(*since);
    *before = !pieces.empty() && from == 0;
    std::fill(rules.begin(), rules.begin() + from, Rule::kSince);
  }
  if (until)
    for (std::size_t i = first(*until) + 1; i < pieces.size(); ++i)
      if (rules[i] == Rule::kNone) rules[i] = Rule::kUntil;
  return rules;
}

std::string HeaderLine(const std::string& source, std::uint64_t start,
                       bool damaged) {
  return source + " follows" +
         (start == 0 ? std::string() : " from byte " + std::to_string(start)) +
         (damaged ? ", damaged:" : ":");
}

std::string HeaderText(const std::string& source, std::uint64_t start) {
  return "\n" + HeaderLine(source, start) + "\n";
}

}  // namespace nq_tolvane
