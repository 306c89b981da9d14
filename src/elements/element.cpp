#include "elements/element.hpp"

#include <pthread.h>

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
        try {
            q.pending.push_back(h);
        } catch (...) {
            // No room to queue it (memory exhausted): destroyed here instead,
            // one level deeper on the stack.
            h->destroy(h);
        }
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

// The margin kept free at the bottom of a thread's stack: room for the frames
// of the kinds below the last combinator (a pattern search included), larger
// under the sanitizer, whose frames are several times bigger.
#if defined(__SANITIZE_ADDRESS__)
constexpr uintptr_t kStackMargin = 512 * 1024;
#else
constexpr uintptr_t kStackMargin = 128 * 1024;
#endif

void find_stack_bounds(MatchDepthState& s) noexcept {
    s.stack_high = 1;  // read once per thread, even when it fails
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && size > 0) {
        uintptr_t margin = kStackMargin < size / 2 ? kStackMargin : size / 2;
        s.stack_low = reinterpret_cast<uintptr_t>(addr);
        s.stack_high = s.stack_low + size;
        s.stack_floor = s.stack_low + margin;
    }
    pthread_attr_destroy(&attr);
}

}  // namespace qgx
