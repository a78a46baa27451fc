// What the scheduler says of one of this process's threads, so that a
// thread that only waits for a processor can be told from one that is
// blocked.
#pragma once

#include <sys/types.h>

namespace QuarlComm32 {

// The calling thread's kernel id.
pid_t CurrentThreadId();

// True when the thread is running or ready to run (it waits for a processor
// at most), false when it sleeps or is no longer there.
bool ThreadIsRunnable(pid_t tid);

}  // namespace QuarlComm32
