#include "JobSlots.h"

namespace vserver {

JobSlots::JobSlots(std::size_t count) : free_(count == 0 ? 1 : count) {}

void JobSlots::acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    available_.wait(lock, [this] { return free_ > 0; });
    --free_;
}

void JobSlots::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++free_;
    }
    available_.notify_one();
}

JobSlots::Guard::Guard(JobSlots& slots) : slots_(slots) {
    slots_.acquire();
}

JobSlots::Guard::~Guard() {
    slots_.release();
}

}  // namespace vserver
