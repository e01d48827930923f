// One update of an installed program at a time: a named mutex whose name is derived from the
// program's registry key, so that updaters of other programs run freely.
#pragma once

#include <cstddef>

// Object names: the prefix, 16 hex digits and the NUL.
constexpr size_t kUpdateLockNameSize = 64;

// Writes the lock's object name for keyPath (below HKEY_LOCAL_MACHINE) into out, prefixed by
// prefix ("Global\\" or "Local\\"). Registry keys are not case-sensitive and a trailing
// backslash names the same key, so the name is a 64-bit FNV-1a hash of the key with its ASCII
// letters folded and its trailing backslashes dropped: kernel object names cannot contain a
// backslash after their namespace, and a key may be longer than an object name may be. Callers
// fold other letters first where they can (CharUpperBuffA). 1, or 0 when out is too small
// (out is then empty).
int UpdateLockName(const char* prefix, const char* keyPath, char* out, size_t outSize);
