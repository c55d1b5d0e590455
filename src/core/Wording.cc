#include "core/Wording.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/Status.h"
#include "tolvane_report.h"

namespace nq_tolvane {

std::string ErrorText(int error) {
  std::string text = std::strerror(error);
  if (error == ECHILD)
    text += " (the caller ignores SIGCHLD or reaps the commands)";
  return text;
}

std::string ReasonText(Reason reason, int error) {
  switch (reason) {
    case Reason::kNone:
      return "";
    case Reason::kNotCopied:
      return "could not be copied";
    case Reason::kNotDecompressed:
      return "could not decompress";
    case Reason::kSudoRefused:
      return "permission denied by sudo";
    case Reason::kNoRoom:
      return "no room in /var/tmp";
    case Reason::kNotWritten:
      return "could not be written";
    case Reason::kNotListed:
      return "the directory could not be listed";
    case Reason::kNotRun:
      return ErrorText(error);
    case Reason::kGunzipWarned:
      return "gunzip warned: data after the compressed data ignored";
    case Reason::kDamaged:
      return "damaged: written as far as it decompresses";
  }
  return "";
}

void Describe(const Status& status, PieceReport* piece) {
  if (status.kind == Status::kLeftOut) piece->status = PieceStatus::kLeftOut;
  if (status.kind == Status::kGone) piece->status = PieceStatus::kGone;
  piece->code = status.reason;
  piece->error = status.error;
  piece->reason = ReasonText(status.reason, status.error);
  piece->bytesLost = status.bytesLost;
}

std::string GenerationsText(const GenerationRun& run) {
  char text[40];
  if (run.first == run.last)
    std::snprintf(text, sizeof text, "generation %05u", unsigned{run.first});
  else
    std::snprintf(text, sizeof text, "generations %05u-%05u",
                  unsigned{run.first}, unsigned{run.last});
  return text;
}

std::string RotatingText(LogType type, const GenerationRun& run) {
  return LogTypeName(type) + " " + GenerationsText(run) +
         (run.first == run.last
              ? " is being rotated: it is not in this output"
              : " are being rotated: they are not in this output");
}

std::string MissingText(LogType type, const GenerationRun& run) {
  return LogTypeName(type) + " " + GenerationsText(run) +
         (run.first == run.last ? " is missing" : " are missing");
}

}  // namespace nq_tolvane
