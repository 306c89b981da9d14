#include "elements/element.hpp"

#include <vector>

namespace qgx {

namespace {
// Records whose destruction was asked for while another one was being
// destroyed; drained by the outermost release.
struct ReleaseQueue {
    bool draining = false;
    std::vector<ElementHeader*> pending;
};
thread_local ReleaseQueue tls_release;
}  // namespace

void release_element(ElementHeader* h) noexcept {
    if (h->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    ReleaseQueue& q = tls_release;
    if (q.draining) {
        q.pending.push_back(h);
        return;
    }
    q.draining = true;
    h->destroy(h);
    while (!q.pending.empty()) {
        ElementHeader* next = q.pending.back();
        q.pending.pop_back();
        next->destroy(next);
    }
    q.draining = false;
}

}  // namespace qgx
