#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace vserver {

// A counting semaphore that bounds how many removals run at once, whatever
// the number of connection threads.
class JobSlots final {
public:
    explicit JobSlots(std::size_t count);

    // Holds one slot for its lifetime.
    class Guard final {
    public:
        explicit Guard(JobSlots& slots);
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        JobSlots& slots_;
    };

private:
    void acquire();
    void release();

    std::mutex mutex_;
    std::condition_variable available_;
    std::size_t free_;
};

}  // namespace vserver
