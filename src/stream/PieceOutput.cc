#include "stream/PieceOutput.h"

#include <cstring>

#include "core/Json.h"
#include "core/Position.h"
#include "core/Selection.h"

namespace nq_tolvane {

PieceOutput::PieceOutput(Sink& sink, OutputFormat format, PieceFacts facts,
                         Window& window)
    : sink_(sink),
      format_(format),
      facts_(std::move(facts)),
      window_(window),
      written_(facts_.start),
      lineStart_(facts_.start),
      checkBefore_(format == OutputFormat::kJson ? window.Check() : 0) {}

bool PieceOutput::Put(const char* data, std::size_t size) {
  if (!headed_ && format_ == OutputFormat::kPieces) {
    const std::string block =
        "\n" + HeaderLine(facts_.source, facts_.start, facts_.damaged) + "\n\n";
    if (!sink_.Write(block.data(), block.size())) return false;
  }
  headed_ = true;
  if (format_ != OutputFormat::kJson) {
    if (size == 0) return true;
    if (!sink_.Write(data, size)) return false;
    window_.Add(data, size);
    written_ += size;
    return true;
  }
  while (size > 0) {
    const char* feed = static_cast<const char*>(std::memchr(data, '\n', size));
    const std::size_t take = feed ? feed - data + 1 : size;
    window_.Add(data, take);
    written_ += take;
    line_.append(data, feed ? take - 1 : take);
    data += take;
    size -= take;
    if (feed != nullptr) {
      const std::uint64_t check = window_.Check();
      if (!Line(written_, check)) return false;
      checkBefore_ = check;
    }
  }
  return true;
}

bool PieceOutput::Finish() {
  if (format_ != OutputFormat::kJson || line_.empty()) return true;
  return facts_.closed ? Line(written_, window_.Check())
                       : Line(lineStart_, checkBefore_);
}

// Writes the object of the line held, which ends at byte `end`, the cursor
// `end` with `check`, and starts the next line there.
bool PieceOutput::Line(std::uint64_t end, std::uint64_t check) {
  std::string object = "{\"message\":";
  AppendJsonString(&object, line_);
  object += ",\"log\":";
  AppendJsonString(&object, facts_.log);
  object += ",\"source\":";
  AppendJsonString(&object, facts_.source);
  object += ",\"generation\":" + std::to_string(facts_.generation) +
            ",\"offset\":" + std::to_string(lineStart_) + ",\"cursor\":\"" +
            PositionText({facts_.log, facts_.generation, end, check}) + "\"";
  if (facts_.damaged) object += ",\"damaged\":true";
  object += "}\n";
  line_.clear();
  lineStart_ = written_;
  return sink_.Write(object.data(), object.size());
}

}  // namespace nq_tolvane
