#include "support/small_stack.hpp"

#include <pthread.h>

#include <exception>
#include <stdexcept>
#include <system_error>

namespace ossara::testing {

namespace {
struct Job {
    const std::function<void()>* work;
    std::exception_ptr error;
};

void* run_job(void* arg) {
    auto* job = static_cast<Job*>(arg);
    try {
        (*job->work)();
    } catch (...) {
        job->error = std::current_exception();
    }
    return nullptr;
}
}  // namespace

void run_on_small_stack(const std::function<void()>& work, std::size_t stack_size) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_size);
    Job job{&work, nullptr};
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, &run_job, &job);
    pthread_attr_destroy(&attr);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_create");
    pthread_join(thread, nullptr);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace ossara::testing
