// SPDX-License-Identifier: ISC
// The C++ runtime's exception state, carried from thread to thread (private
// to the library, and included by lwp.cpp alone).
//
// The runtime keeps, for each process thread, the exceptions whose handlers
// are running and the count of those in flight. The threads here share a
// process thread, so each keeps its own copy while it is parked, and every
// switch puts the copy of the thread resumed in the runtime's place.
#pragma once

// The layout is the one the runtime's ABI fixes.
struct LwpEhState {
    void *caught;        // innermost handler's exception first
    unsigned uncaught;
#if defined(__arm__) && !defined(__ARM_DWARF_EH__)
    void *propagating;   // kept by the ARM unwinder only
#endif
};

// Weak, so that a program without the C++ runtime links and has no
// exception state to keep; with it, the runtime provides both, under the
// names its ABI gives them.
extern "C" __attribute__((weak)) LwpEhState *__cxa_get_globals();  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" __attribute__((weak)) void __cxa_end_catch();  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace lwp_eh {
// Private to lwp.cpp, the one file that includes this header.
namespace {  // NOLINT(cert-dcl59-cpp)

// The runtime's state for the process thread, found once per run; a
// stand-in without the runtime.
LwpEhState no_runtime;
LwpEhState *current = &no_runtime;

inline void find()
{
    if (__cxa_get_globals)
        current = __cxa_get_globals();
}

inline void park(LwpEhState *left) { *left = *current; }
inline void resume(const LwpEhState &resumed) { *current = resumed; }

// A thread that ends inside a handler never finishes it; finish it here, so
// that the exception it caught is released (unless an exception_ptr still
// holds it) instead of lost.
inline void finish_handlers()
{
    while (current->caught)
        __cxa_end_catch();
}

}  // namespace
}  // namespace lwp_eh
