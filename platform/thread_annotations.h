// Lock rules written where clang can check them (-Wthread-safety): which mutex guards a
// member, which lock a function needs or must not hold, and which of two locks comes first.
// Other compilers see nothing.
#pragma once

/// @cond

#if defined(__clang__)
#define MV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) MV_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY MV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(m) MV_THREAD_ANNOTATION(guarded_by(m))
#define PT_GUARDED_BY(m) MV_THREAD_ANNOTATION(pt_guarded_by(m))
#define ACQUIRED_BEFORE(...) MV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) MV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) MV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) MV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) MV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) MV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) MV_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) MV_THREAD_ANNOTATION(lock_returned(x))
// For the few functions whose locking the analysis cannot follow; say why at each use.
#define NO_THREAD_SAFETY_ANALYSIS MV_THREAD_ANNOTATION(no_thread_safety_analysis)
/// @endcond
