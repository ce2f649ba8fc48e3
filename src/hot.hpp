// Marks the small functions every call runs through (binding, the in-place
// reads of arguments): always inlined into the entries, so that each entry's
// constant parameter description folds into straight-line code.
#pragma once

#define VELTRUM_HOT [[gnu::always_inline]] inline
