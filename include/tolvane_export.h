// The mark of every function that tolvane and the device services it stands
// in for export. The libraries are built with hidden symbols by default, so
// only what carries this mark is visible to programs that load them; for
// those programs the mark changes nothing.

#ifndef TOLVANE_INCLUDE_TOLVANE_EXPORT_H_
#define TOLVANE_INCLUDE_TOLVANE_EXPORT_H_

#define TOLVANE_EXPORT __attribute__((visibility("default")))

#endif  // TOLVANE_INCLUDE_TOLVANE_EXPORT_H_
