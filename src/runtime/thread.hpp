#pragma once

// Threads of the runtime.

#include <pthread.h>

namespace quorix::rt::detail {

/// Starts a thread named `name` that runs fn(arg), with every asynchronous signal blocked so
/// that process-directed signals (Ctrl+C) reach the application's own threads, where the
/// Python interpreter expects them. Detached unless `joinable` is given, which receives the
/// thread. Returns 0 or the error number of pthread_create.
int start_thread(const char* name, void (*fn)(void*), void* arg, pthread_t* joinable = nullptr) noexcept;

}  // namespace quorix::rt::detail
