// Heap accounting for benchmark programs: include in exactly one source file of
// a program. Every malloc-family call of the process is counted while counting
// is on (C++ new goes through malloc too), so a peak covers buffers, parsed
// documents and the structures built from them. Under the sanitizers, which own
// malloc themselves, nothing is counted and kHeapCounting is false.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kHeapCounting = false;
#else
constexpr bool kHeapCounting = true;
#endif

namespace heap_counter {

inline std::atomic<long long> g_current{0};
inline std::atomic<long long> g_peak{0};
// Counting costs time; it is on only for untimed memory passes.
inline std::atomic<bool> g_counting{false};

inline void Track(long long delta) {
  const long long now = g_current.fetch_add(delta, std::memory_order_relaxed) + delta;
  long long peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

inline bool Counting() { return g_counting.load(std::memory_order_relaxed); }

}  // namespace heap_counter

// Starts counting; the peak is taken relative to the bytes in use now, which
// are returned as the base of the measurement.
inline long long HeapCountStart() {
  heap_counter::g_counting = true;
  const long long now = heap_counter::g_current.load();
  heap_counter::g_peak.store(now);
  return now;
}
inline long long HeapPeak() { return heap_counter::g_peak.load(); }
inline long long HeapCurrent() { return heap_counter::g_current.load(); }
inline void HeapCountStop() { heap_counter::g_counting = false; }

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  if (p && heap_counter::Counting()) heap_counter::Track(static_cast<long long>(malloc_usable_size(p)));
  return p;
}
void* calloc(size_t n, size_t m) {
  void* p = __libc_calloc(n, m);
  if (p && heap_counter::Counting()) heap_counter::Track(static_cast<long long>(malloc_usable_size(p)));
  return p;
}
void* realloc(void* old, size_t n) {
  if (!heap_counter::Counting()) return __libc_realloc(old, n);
  const long long before = old ? static_cast<long long>(malloc_usable_size(old)) : 0;
  void* p = __libc_realloc(old, n);
  if (p) {
    heap_counter::Track(static_cast<long long>(malloc_usable_size(p)) - before);
  } else if (n == 0 && old) {
    heap_counter::Track(-before);
  }
  return p;
}
void free(void* p) {
  if (p && heap_counter::Counting()) heap_counter::Track(-static_cast<long long>(malloc_usable_size(p)));
  __libc_free(p);
}
void* memalign(size_t a, size_t n) {
  void* p = __libc_memalign(a, n);
  if (p && heap_counter::Counting()) heap_counter::Track(static_cast<long long>(malloc_usable_size(p)));
  return p;
}
void* aligned_alloc(size_t a, size_t n) { return memalign(a, n); }
int posix_memalign(void** out, size_t a, size_t n) {
  void* p = memalign(a, n);
  if (!p) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}
#endif
