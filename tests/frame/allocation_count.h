// How many blocks of the frame test programs' heap are in use, counted by their own global
// operator new and delete (allocation_count.cpp): the frame takes its queue nodes and pin table
// with new, so a node the frame loses track of shows as one block more than there should be.
#pragma once

#include <cstdint>

namespace frame_test {

// Blocks taken with any operator new and not yet given back, in the whole program.
int64_t LiveAllocations();

// False where the count cannot be kept (under a sanitizer, whose allocator owns new and delete).
bool AllocationsCounted();

}  // namespace frame_test
