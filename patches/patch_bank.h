// The built-in bank: 64 constant records, 46 sounds and 18 empty slots. Construction copies
// them into the engine and stamps every copy's header (stampPatchHeader).
#pragma once

#include "patches/patch.h"

/// The 64 built-in records, slot 0 first.
extern const Patch PatchBank[kPatchCount];
/// Slots 0 to 45 hold the built-in sounds; the rest are empty.
constexpr int kBuiltInProgramCount = 46;

/// The effect name written into every record's product tag.
constexpr const char* kProductTag = "kelvar(Quarnel)";

/// Writes the chunk header into a record: format version 1, the product tag with its zero
/// (the rest of the 32-byte field keeps its bytes), size 328 and its complement -329.
void stampPatchHeader(Patch& patch);
