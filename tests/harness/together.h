// Several processes released at one instant, so that their calls race.
#pragma once

#include <functional>
#include <vector>

#include "harness/proc.h"

namespace mfpsys::test {

// Starts n children, each running prepare(i) (if given) and then fn(i);
// fn starts in all of them at once, after every prepare has ended. Returns
// how each child ended.
inline std::vector<Outcome> run_together(int n, const std::function<int(int)>& fn,
                                         const std::function<int(int)>& prepare = {}) {
    Gate go;
    Arrivals ready;
    std::vector<Child> kids;
    for (int i = 0; i < n; ++i)
        kids.emplace_back([&, i] {
            const int r = prepare ? prepare(i) : 0;
            ready.arrive();
            go.wait();
            return r != 0 ? r : fn(i);
        });
    ready.await(n);
    go.open(n);
    std::vector<Outcome> out;
    for (auto& k : kids) out.push_back(k.wait());
    return out;
}

}  // namespace mfpsys::test
