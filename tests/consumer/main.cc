#include <nq_tolvane.h>

// No type is selected, so the switch reads false.
int main() { return nq_tolvane::IsDebugging() ? 1 : 0; }
