// File operations with the semantics the relay relies on.
#pragma once

// Renames `from` to `to` only when `to` does not exist; an existing target is
// never replaced. Returns false when the source is missing, the target exists
// or the rename fails otherwise.
bool MoveFileNoReplace(const char* from, const char* to);
