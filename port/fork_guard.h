// A fork must never hand the child a process-local mutex that another thread
// of the parent held: the child has only the forking thread, so nobody would
// ever release it. Each mutex the library keeps is named here with its place
// in the one order in which a thread may hold several; fork takes them all in
// that order and releases them in parent and child alike. None of them is
// held across a heap call, so the heap's own fork handling needs no place here.
#pragma once

#include <mutex>

namespace mfpsys::port {

// A thread holding one of these takes only those that come later.
enum class LockRank {
    keys,           // key allocator; its calls attach the bitmap through the registry
    registry,       // registry table and attachment list
    registrySetup,  // registry set-up, also taken by a lookup before set-up
    nvPointers,     // this process's pointers into the NV tables
    envSector,      // boot-environment buffers; takes nothing else
    count
};

// Makes every fork take m at its rank. Called once per mutex, while the
// library starts (a static initialiser), never with a guarded mutex held.
bool guardAcrossFork(std::mutex& m, LockRank rank) noexcept;

}  // namespace mfpsys::port
