#pragma once
// How a caller ends a long call from outside (a signal, a cancelled batch).

namespace quillmere {

// A question a long call asks at its waiting points (before each Newton pass, when a read was
// interrupted); when it answers true the call ends early and says so in its result. A plain
// function and its context, so that asking costs one indirect call. The default never interrupts.
struct Interruption {
    bool (*requested)(const void* context) = nullptr;
    const void* context = nullptr;

    bool operator()() const { return requested != nullptr && requested(context); }
};

}  // namespace quillmere
