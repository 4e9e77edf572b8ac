// Lock contracts that clang checks at compile time (-Wthread-safety): which mutex guards a field,
// which a function needs held or must not hold. Other compilers read the macros as nothing.
//
// A field tagged GUARDED_BY(mu) may be read or written only with `mu` held; a function tagged
// REQUIRES(mu) is called with `mu` held, one tagged EXCLUDES(mu) with `mu` not held (it takes it
// itself). The checked lock type is base/mutex.h's Mutex.
#pragma once

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

// A type that is a lock; `name` appears in the compiler's messages.
#define CAPABILITY(name) THREAD_ANNOTATION(capability(name))
// An object that holds a lock from its construction to its destruction.
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
// The field is read and written only with the lock held.
#define GUARDED_BY(lock) THREAD_ANNOTATION(guarded_by(lock))
// The caller holds the locks.
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller does not hold the locks: the function takes them.
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function takes the locks (none named: the object it is called on) and returns holding them.
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases the locks, which the caller holds.
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function returns a reference to the lock, which callers may then take by this name.
#define RETURN_CAPABILITY(lock) THREAD_ANNOTATION(lock_returned(lock))
