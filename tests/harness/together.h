// Several processes released at one instant, so that their calls race.
#pragma once

#include <functional>
#include <vector>

#include "harness/proc.h"

namespace mfpsys::test {

// Starts n children running fn(i), waits until every one is ready, releases
// them together and returns how each ended.
inline std::vector<Outcome> run_together(int n, const std::function<int(int)>& fn) {
    Gate go;
    Arrivals ready;
    std::vector<Child> kids;
    for (int i = 0; i < n; ++i)
        kids.emplace_back([&, i] {
            ready.arrive();
            go.wait();
            return fn(i);
        });
    ready.await(n);
    go.open(n);
    std::vector<Outcome> out;
    for (auto& k : kids) out.push_back(k.wait());
    return out;
}

}  // namespace mfpsys::test
