// One simulated board for the life of a fuzzing process, in a fresh IPC
// namespace so that no System V object of the machine is touched.
#pragma once

#include "sim/board.h"

namespace fuzz {

mfpsim::Board& board();

}  // namespace fuzz
