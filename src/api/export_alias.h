// Second export names: one function with one entry point, exported under two names by the
// shared object and the DLL alike (not a second function that calls the first).
#pragma once

// Stands after the declaration of the second name, the function's own definition being in
// the same file:
//   KESTREL_EXPORT int32_t KESTREL_CALL Second(KestrelSession* session)
//       KESTREL_ALIAS_OF(First, 4);
// argumentBytes are the bytes of the arguments, which the __stdcall symbol of a 32-bit Windows
// function carries as its @N suffix; a wrong number fails the build (an alias of an undefined
// symbol), so it cannot go wrong silently.
#if defined(_WIN32) && !defined(_WIN64)
#define KESTREL_ALIAS_SYMBOL(target, argumentBytes) #target "@" #argumentBytes
#else
#define KESTREL_ALIAS_SYMBOL(target, argumentBytes) #target
#endif

// GCC, optimizing, finds that the function throws nothing (every export catches everything)
// and wants the second name to say so too; clang would take that for an exception
// specification the header's declaration lacks.
#if defined(__clang__)
#define KESTREL_ALIAS_OF(target, argumentBytes) \
    __attribute__((alias(KESTREL_ALIAS_SYMBOL(target, argumentBytes))))
#else
#define KESTREL_ALIAS_OF(target, argumentBytes) \
    __attribute__((alias(KESTREL_ALIAS_SYMBOL(target, argumentBytes)), nothrow))
#endif
