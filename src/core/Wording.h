// The words of the library's facts: the texts of reasons, of lost
// generations and of errors, each made here and nowhere else.

#ifndef TOLVANE_SRC_CORE_WORDING_H_
#define TOLVANE_SRC_CORE_WORDING_H_

#include <string>

namespace nq_tolvane {

// The text of the errno value `error`, with the cause where it is not
// obvious: ECHILD means that the caller ignores SIGCHLD or reaps the
// commands.
std::string ErrorText(int error);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_CORE_WORDING_H_
