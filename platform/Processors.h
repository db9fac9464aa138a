#pragma once

#include <functional>
#include <mutex>

namespace vn {

// How many processors this process may run on at once: the ones its affinity mask allows where
// the system has one, otherwise the machine's count. At least 1.
int usableProcessors();

// The processor the calling thread runs on at this moment, or -1 where that cannot be told.
int currentProcessor();

// Moves the calling thread onto the processors the process may use other than `processor`, where
// there are others; nothing where `processor` is -1 or the process has no other. Some schedulers
// (those of virtual machines that pack work onto few processors among them) wake a thread on the
// processor of the thread that woke it and leave it there, next to that thread, while another
// processor idles: a helper that works beside the thread that wakes it moves off that processor.
void moveOffProcessor(int processor);

// One step of a short wait for another thread, telling the processor so.
inline void pauseProcessor() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Starts `run` on a thread of its own, left running for the process's life; false where the
// system gives no thread.
bool startProcessThread(std::function<void()> run);

// The `make` of a PerProcess<T> whose object runs T::run() on a thread of its own, for the
// process's life: a new T, never deleted (its thread may still use it while the process ends),
// or null where no thread can be had. A T whose constructor or run() is private makes this its
// friend.
template <class T>
T* startedOnItsThread() {
    auto* t = new T;
    if (!startProcessThread([t] { t->run(); })) {
        delete t;
        return nullptr;
    }
    return t;
}

// This process's id. A child forked from the process has another one, and none of its threads.
long processId();

// An object that owns a thread of the process (a helper kept for the process's life): made by
// `make` when first wanted, and made anew in a child forked from the process, since the child
// does not inherit the thread (the parent's object is left as it is there). `make` gives null
// where no thread can be had.
template <class T>
class PerProcess {
public:
    explicit PerProcess(T* (*make)()) : m_make(make) {}
    T* get() {
        const std::lock_guard lock(m_mutex);
        const long self = processId();
        if (m_owner != self) {
            m_owner = self;
            m_object = m_make();
        }
        return m_object;
    }

private:
    T* (*m_make)();
    std::mutex m_mutex;
    long m_owner = 0;
    T* m_object = nullptr;
};

// The process's one T that runs on a thread of its own (see startedOnItsThread), made when first
// wanted, and anew in a forked child; null where no thread can be had.
template <class T>
T* processThread() {
    static PerProcess<T> objects(&startedOnItsThread<T>);
    return objects.get();
}

}  // namespace vn
