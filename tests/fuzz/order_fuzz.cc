// Archive-name parsing and the age order. Input: two bytes of the current
// number, then names separated by line feeds. Sorting must give a permutation
// with every name numbered above the current number first, each group
// ascending.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <string>
#include <vector>

#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"

namespace nti = nq_tolvane::nq_tolvane_internals;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const bool selected = [] {
    std::string name;
    return nti::Initialize(nq_tolvane::LOGTYPE_MISC, name);
  }();
  if (!selected || size < 2) return 0;
  const unsigned n = data[0] | data[1] << 8;
  nti::SetLogNum(static_cast<std::uint16_t>(n));

  std::list<std::string> names;
  const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    names.push_back(text.substr(start, end - start));
    nti::FindLogNum(names.back(), names.front());  // any prefix at all
    start = end + 1;
  }
  std::vector<std::string> before(names.begin(), names.end());
  names.sort(nti::compare_file_age);
  const std::vector<std::string> after(names.begin(), names.end());
  if (!std::is_permutation(before.begin(), before.end(), after.begin(),
                           after.end()))
    std::abort();

  // Older generations (above n) first, then the current cycle; ascending.
  for (size_t i = 1; i < after.size(); ++i) {
    const unsigned a = nti::FindLogNum(after[i - 1], "misc");
    const unsigned b = nti::FindLogNum(after[i], "misc");
    const bool aOld = a > n, bOld = b > n;
    if ((!aOld && bOld) || (aOld == bOld && a > b)) std::abort();
  }
  return 0;
}
